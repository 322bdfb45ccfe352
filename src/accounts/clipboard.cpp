#include "accounts/clipboard.h"

#include "shared/module1.h"
#include "shared/programend.h"
#include "vault/wipe.h"

#include <QApplication>
#include <QClipboard>
#include <QLineEdit>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPointer>
#include <QTextCursor>
#include <QTimer>

namespace Module1 {

namespace {

// The focused control of the active window, when it is a text box.
QWidget* focusedTextBox()
{
    QWidget* focus = QApplication::focusWidget();
    if (!focus || focus->window() != QApplication::activeWindow())
        return nullptr;
    if (qobject_cast<QLineEdit*>(focus) || qobject_cast<QPlainTextEdit*>(focus))
        return focus;
    return nullptr;
}

QString selectedText(QWidget* box)
{
    if (auto* line = qobject_cast<QLineEdit*>(box))
        return line->selectedText();
    QString text = static_cast<QPlainTextEdit*>(box)->textCursor().selectedText();
    return text.replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
}

void replaceSelection(QWidget* box, const QString& text)
{
    if (auto* line = qobject_cast<QLineEdit*>(box)) {
        line->insert(text);
        return;
    }
    auto* plain = static_cast<QPlainTextEdit*>(box);
    QTextCursor cursor = plain->textCursor();
    // One undo step, with whatever the box's limit cuts from it.
    cursor.beginEditBlock();
    cursor.insertText(text);
    cursor.endEditBlock();
    plain->setTextCursor(cursor);
}

// Lets clipboard managers keep a copied password out of their history.
bool holdsSecret(QWidget* box)
{
    if (box->objectName() == QLatin1String("txtPassword"))
        return true;
    auto* line = qobject_cast<QLineEdit*>(box);
    return line && line->echoMode() != QLineEdit::Normal;
}

// The password last put on the clipboard, shared with the clipboard's own
// copy: once the clipboard lets its copy go, wiping this one zeroes the text.
QString& heldSecret()
{
    static QString text;
    return text;
}

QPointer<QTimer>& timerSlot()
{
    static QPointer<QTimer> timer;
    return timer;
}

void forgetSecret()
{
    if (timerSlot())
        timerSlot()->stop();
    Secrets::wipe(heldSecret());
}

void putSelectionOnClipboard(QWidget* box)
{
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    // A password still waiting to be cleared went with the old contents.
    forgetSecret();
    const QString text = selectedText(box);
    const bool secret = holdsSecret(box);
    auto* data = new QMimeData;
    data->setText(text);
    if (secret)
        data->setData(QStringLiteral("x-kde-passwordManagerHint"), QByteArrayLiteral("secret"));
    clipboard->setMimeData(data);
    if (secret && !text.isEmpty()) {
        heldSecret() = text;
        clipboardSecretTimer().start();
    }
}

}  // namespace

void CutText()
{
    if (QWidget* box = focusedTextBox()) {
        putSelectionOnClipboard(box);
        replaceSelection(box, QString());
    }
}

void CopyText()
{
    if (QWidget* box = focusedTextBox())
        putSelectionOnClipboard(box);
}

void PasteText()
{
    if (QWidget* box = focusedTextBox())
        replaceSelection(box, QGuiApplication::clipboard()->text());
}

void clearClipboardSecret()
{
    if (!heldSecret().isEmpty()) {
        QClipboard* clipboard = QGuiApplication::clipboard();
        // Anything copied since, by us or anyone, is not ours to clear.
        if (clipboard->text() == heldSecret())
            clipboard->clear();
    }
    forgetSecret();
}

QTimer& clipboardSecretTimer()
{
    QPointer<QTimer>& timer = timerSlot();
    if (!timer) {
        timer = new QTimer(QCoreApplication::instance());
        timer->setSingleShot(true);
        timer->setInterval(SecretLifetime);
        QObject::connect(timer, &QTimer::timeout, timer, [] { clearClipboardSecret(); });
        ProgramEnd::atEnd([] { clearClipboardSecret(); });
        // Once the clipboard holds something else, the copy is not needed.
        QObject::connect(QGuiApplication::clipboard(), &QClipboard::dataChanged, timer, [] {
            if (!heldSecret().isEmpty() && QGuiApplication::clipboard()->text() != heldSecret())
                forgetSecret();
        });
    }
    return *timer;
}

}  // namespace Module1
