#include "shared/module1.h"

#include <QApplication>
#include <QClipboard>
#include <QLineEdit>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QTextCursor>

namespace Module1 {

namespace {

// The focused control of the active window, when it is a text box.
QWidget* FocusedTextBox()
{
    QWidget* focus = QApplication::focusWidget();
    if (!focus || focus->window() != QApplication::activeWindow())
        return nullptr;
    if (qobject_cast<QLineEdit*>(focus) || qobject_cast<QPlainTextEdit*>(focus))
        return focus;
    return nullptr;
}

QString SelectedText(QWidget* box)
{
    if (auto* line = qobject_cast<QLineEdit*>(box))
        return line->selectedText();
    QString text = static_cast<QPlainTextEdit*>(box)->textCursor().selectedText();
    return text.replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
}

void ReplaceSelection(QWidget* box, const QString& text)
{
    if (auto* line = qobject_cast<QLineEdit*>(box)) {
        line->insert(text);
        return;
    }
    auto* plain = static_cast<QPlainTextEdit*>(box);
    QTextCursor cursor = plain->textCursor();
    cursor.insertText(text);
    plain->setTextCursor(cursor);
}

// Lets clipboard managers keep a copied password out of their history.
bool HoldsSecret(QWidget* box)
{
    if (box->objectName() == QLatin1String("txtPassword"))
        return true;
    auto* line = qobject_cast<QLineEdit*>(box);
    return line && line->echoMode() != QLineEdit::Normal;
}

void PutSelectionOnClipboard(QWidget* box)
{
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    auto* data = new QMimeData;
    data->setText(SelectedText(box));
    if (HoldsSecret(box))
        data->setData(QStringLiteral("x-kde-passwordManagerHint"), QByteArrayLiteral("secret"));
    clipboard->setMimeData(data);
}

}  // namespace

void CutText()
{
    if (QWidget* box = FocusedTextBox()) {
        PutSelectionOnClipboard(box);
        ReplaceSelection(box, QString());
    }
}

void CopyText()
{
    if (QWidget* box = FocusedTextBox())
        PutSelectionOnClipboard(box);
}

void PasteText()
{
    if (QWidget* box = FocusedTextBox())
        ReplaceSelection(box, QGuiApplication::clipboard()->text());
}

}  // namespace Module1
