#include "testsupport.h"

#include "accounts/clipboard.h"
#include "accounts/frmMain.h"
#include "accounts/frmNewAccount.h"
#include "security/frmCreatePassword.h"
#include "shared/module1.h"
#include "shared/programend.h"

#include <QAction>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QLineEdit>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTextCursor>
#include <QTimer>

namespace {

const QString PasswordHint = QStringLiteral("x-kde-passwordManagerHint");

QClipboard* systemClipboard()
{
    return QGuiApplication::clipboard();
}

// What the clipboard holds before a key: plain text, text with a rich
// copy beside it, a password copied with the manager hint, or no text at all.
enum class Holding { Text, RichText, Secret, NoText };
// What the test does: a key, or the copy command the main window's menu runs.
enum class Action { Copy, Cut, Paste, CopyCommand };

void PutOnClipboard(const QString& text, Holding holding = Holding::Text)
{
    auto* data = new QMimeData;
    if (holding == Holding::NoText) {
        data->setData(QStringLiteral("application/x-quillock-test"), QByteArrayLiteral("\x01\x02"));
    } else {
        data->setText(text);
        if (holding == Holding::RichText)
            data->setHtml(QStringLiteral("<b>%1</b>").arg(text));
        if (holding == Holding::Secret)
            data->setData(PasswordHint, QByteArrayLiteral("secret"));
    }
    systemClipboard()->setMimeData(data);
}

// Selects from `start` to `end` of a one- or multi-line box, or puts the
// caret at `start` when they are equal.
void selectText(QWidget* box, int start, int end)
{
    box->setFocus();
    if (auto* line = qobject_cast<QLineEdit*>(box)) {
        line->setSelection(start, end - start);
        return;
    }
    auto* plain = static_cast<QPlainTextEdit*>(box);
    QTextCursor cursor = plain->textCursor();
    cursor.setPosition(start);
    cursor.setPosition(end, QTextCursor::KeepAnchor);
    plain->setTextCursor(cursor);
}

void setBoxText(QWidget* box, const QString& text)
{
    if (auto* line = qobject_cast<QLineEdit*>(box))
        line->setText(text);
    else
        static_cast<QPlainTextEdit*>(box)->setPlainText(text);
}

QString textOf(QWidget* box)
{
    auto* line = qobject_cast<QLineEdit*>(box);
    return line ? line->text() : AccountDialog::boxText(static_cast<QPlainTextEdit*>(box));
}

int caretOf(QWidget* box)
{
    auto* line = qobject_cast<QLineEdit*>(box);
    return line ? line->cursorPosition() : static_cast<QPlainTextEdit*>(box)->textCursor().position();
}

void press(QWidget* target, Qt::Key key)
{
    QTest::keyClick(target, key, Qt::ControlModifier);
}

// An add dialog on screen and active, as the clipboard keys need.
struct OpenDialog {
    explicit OpenDialog(VaultStore& vault) : dialog(vault)
    {
        dialog.show();
        dialog.activateWindow();
    }
    bool ready() { return waitUntilActive(&dialog); }
    QLineEdit* line(const char* name) { return childNamed<QLineEdit>(&dialog, name); }
    QAction* action(const char* name) { return childNamed<QAction>(&dialog, name); }
    frmNewAccount dialog;
};

const QString Secret = QStringLiteral("s3cret pässword");

}  // namespace

Q_DECLARE_METATYPE(Holding)
Q_DECLARE_METATYPE(Action)

class TestClipboard : public QObject {
    Q_OBJECT

private slots:
    void keysRunTheMenuNotTheBoxes();
    void keysActOnTheSelection_data();
    void keysActOnTheSelection();
    void nothingHappensOnAButton();
    void editDialogHasTheSameKeys();
    void onlyACopiedPasswordIsClearedLater_data();
    void onlyACopiedPasswordIsClearedLater();
};

void TestClipboard::keysRunTheMenuNotTheBoxes()
{
    Sandbox sandbox;
    auto vault = sandbox.openVault();
    OpenDialog open(*vault);
    QVERIFY(open.ready());
    for (const char* name : {"txtName", "txtHint"}) {
        QWidget* box = childNamed<QWidget>(&open.dialog, name);
        box->setFocus();
        const std::pair<const char*, const char*> bindings[] = {{"Ctrl+X", "mnuCut"},    {"Ctrl+C", "mnuCopy"},
                                                                {"Ctrl+V", "mnuPaste"},  {"Shift+Del", "mnuCut"},
                                                                {"Ctrl+Ins", "mnuCopy"}, {"Shift+Ins", "mnuPaste"}};
        for (const auto& [keys, item] : bindings) {
            QSignalSpy spy(open.action(item), &QAction::triggered);
            QTest::keySequence(box, QKeySequence(QString::fromLatin1(keys)));
            QCOMPARE(spy.count(), 1);
        }
        // Copy from the box's own menu, opened with the mouse where it goes.
        setBoxText(box, QStringLiteral("text"));
        selectText(box, 0, 4);
        QSignalSpy copies(open.action("mnuCopy"), &QAction::triggered);
        auto* area = qobject_cast<QPlainTextEdit*>(box);
        QContextMenuEvent click(QContextMenuEvent::Mouse, QPoint(4, 4), box->mapToGlobal(QPoint(4, 4)));
        QApplication::sendEvent(area ? area->viewport() : box, &click);
        QTest::keyClick(QApplication::activePopupWidget(), Qt::Key_C);
        QCOMPARE(copies.count(), 1);
    }
}

void TestClipboard::keysActOnTheSelection_data()
{
    QTest::addColumn<QByteArray>("box");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("start");  // the selection, or the caret when `end` is the same
    QTest::addColumn<int>("end");
    QTest::addColumn<Holding>("holding");
    QTest::addColumn<QString>("held");
    QTest::addColumn<Action>("action");
    QTest::addColumn<QString>("textAfter");
    QTest::addColumn<QString>("clipboardAfter");
    QTest::addColumn<bool>("secret");  // the clipboard carries the password manager hint

    const QString bank = QStringLiteral("Bank of Ålesund");
    QTest::newRow("copy takes the selection") << QByteArray("txtName") << bank << 8 << 15 << Holding::Text << "before"
                                              << Action::Copy << bank << "Ålesund" << false;
    QTest::newRow("cut takes the selection")
        << QByteArray("txtName") << bank << 0 << 5 << Holding::Text << "before" << Action::Cut << "of Ålesund"
        << "Bank " << false;
    // Called directly, as the main window's menu does.
    QTest::newRow("copy command") << QByteArray("txtURL") << "http://" << 0 << 7 << Holding::Text << "before"
                                  << Action::CopyCommand << "http://"
                                  << "http://" << false;

    // Whatever the clipboard held, in any format, is gone.
    QTest::newRow("copy without a selection empties the clipboard")
        << QByteArray("txtUsername") << "someone" << 3 << 3 << Holding::RichText << "before" << Action::Copy
        << "someone"
        << "" << false;
    QTest::newRow("cut without a selection empties the clipboard")
        << QByteArray("txtUsername") << "someone" << 3 << 3 << Holding::Text << "before" << Action::Cut << "someone"
        << "" << false;

    QTest::newRow("paste at the caret") << QByteArray("txtURL") << "http://" << 7 << 7 << Holding::Text << "例え.jp"
                                        << Action::Paste << "http://例え.jp"
                                        << "例え.jp" << false;
    QTest::newRow("paste over the selection") << QByteArray("txtURL") << "http://例え.jp" << 0 << 4 << Holding::Text
                                              << "https" << Action::Paste << "https://例え.jp"
                                              << "https" << false;
    // A box takes no more than its limit, pasted or typed.
    QTest::newRow("paste up to the limit")
        << QByteArray("txtPassword") << "" << 0 << 0 << Holding::Text << QString(70, QLatin1Char('k')) << Action::Paste
        << QString(50, QLatin1Char('k')) << QString(70, QLatin1Char('k')) << false;

    // The clipboard's data is left as it was.
    QTest::newRow("paste of no text deletes the selection")
        << QByteArray("txtName") << "keep-drop-keep" << 4 << 9 << Holding::NoText << "" << Action::Paste << "keep-keep"
        << "" << false;
    QTest::newRow("paste of no text deletes the selection of lines")
        << QByteArray("txtNotes") << "line one\nline two" << 4 << 13 << Holding::NoText << "" << Action::Paste
        << "line two"
        << "" << false;
    // Nothing selected and nothing to paste: the box stays as it is.
    QTest::newRow("paste of no text at the caret")
        << QByteArray("txtNotes") << "line two" << 4 << 4 << Holding::NoText << "" << Action::Paste << "line two"
        << "" << false;

    const QString lines = QStringLiteral("first\u00a0line\nsecond line");
    QTest::newRow("copy keeps line breaks") << QByteArray("txtHint") << lines << 6 << 17 << Holding::Text << "before"
                                            << Action::Copy << lines << "line\nsecond" << false;
    QTest::newRow("cut from lines") << QByteArray("txtHint") << lines << 0 << 5 << Holding::Text << "before"
                                    << Action::Cut << lines.mid(5) << "first" << false;
    QTest::newRow("paste keeps line breaks")
        << QByteArray("txtHint") << lines.mid(5) << 0 << 0 << Holding::Text << "a\nb\n"
        << Action::Paste << "a\nb\n" + lines.mid(5) << "a\nb\n"
        << false;
    QTest::newRow("paste up to the limit of lines")
        << QByteArray("txtNotes") << QString(1500, QLatin1Char('x')) << 1500 << 1500 << Holding::Text
        << QString(1500, QLatin1Char('x')) << Action::Paste << QString(2000, QLatin1Char('x'))
        << QString(1500, QLatin1Char('x')) << false;

    const QString password = QStringLiteral("pä👤ss");
    QTest::newRow("a copied password carries the hint")
        << QByteArray("txtPassword") << password << 0 << int(password.size()) << Holding::Text << "before"
        << Action::Copy << password << password << true;
    QTest::newRow("a cut password carries the hint")
        << QByteArray("txtPassword") << password << 0 << 2 << Holding::Text << "before" << Action::Cut << "👤ss"
        << "pä" << true;
    // Taken from another box the text is no secret.
    QTest::newRow("a copy from another box drops the hint")
        << QByteArray("txtUsername") << "" << 0 << 0 << Holding::Secret << "pä" << Action::Copy << ""
        << "" << false;
}

void TestClipboard::keysActOnTheSelection()
{
    QFETCH(QByteArray, box);
    QFETCH(QString, text);
    QFETCH(int, start);
    QFETCH(int, end);
    QFETCH(Holding, holding);
    QFETCH(QString, held);
    QFETCH(Action, action);
    QFETCH(QString, textAfter);
    QFETCH(QString, clipboardAfter);
    QFETCH(bool, secret);
    Sandbox sandbox;
    auto vault = sandbox.openVault();
    OpenDialog open(*vault);
    QVERIFY(open.ready());
    QWidget* target = childNamed<QWidget>(&open.dialog, box.constData());
    setBoxText(target, text);
    PutOnClipboard(held, holding);
    selectText(target, start, end);

    switch (action) {
    case Action::Copy:
        press(target, Qt::Key_C);
        break;
    case Action::Cut:
        press(target, Qt::Key_X);
        break;
    case Action::Paste:
        press(target, Qt::Key_V);
        break;
    case Action::CopyCommand:
        Module1::CopyText();
        break;
    }
    QCOMPARE(textOf(target), textAfter);
    const QMimeData* data = systemClipboard()->mimeData();
    QCOMPARE(data->text(), clipboardAfter);
    if (secret)
        QCOMPARE(data->data(PasswordHint), QByteArrayLiteral("secret"));
    else
        QVERIFY(!data->hasFormat(PasswordHint));
    if (action == Action::Paste) {
        QCOMPARE(data->hasFormat(QStringLiteral("application/x-quillock-test")), holding == Holding::NoText);
    } else {
        QVERIFY(!data->hasHtml());
        if (start == end)
            QCOMPARE(caretOf(target), start);
    }
}

void TestClipboard::nothingHappensOnAButton()
{
    Sandbox sandbox;
    auto vault = sandbox.openVault();
    OpenDialog open(*vault);
    QVERIFY(open.ready());
    auto* name = open.line("txtName");
    name->setText(QStringLiteral("unchanged"));
    auto* cancel = childNamed<QPushButton>(&open.dialog, "cmdCancel");
    cancel->setFocus();
    QCOMPARE(QApplication::focusWidget(), cancel);

    PutOnClipboard(QStringLiteral("kept"));
    QSignalSpy copies(open.action("mnuCopy"), &QAction::triggered);
    press(cancel, Qt::Key_C);
    press(cancel, Qt::Key_X);
    press(cancel, Qt::Key_V);
    QCOMPARE(copies.count(), 1);
    QCOMPARE(systemClipboard()->text(), QStringLiteral("kept"));
    QCOMPARE(name->text(), QStringLiteral("unchanged"));
    QCOMPARE(open.line("txtURL")->text(), QStringLiteral("http://"));
    QVERIFY(open.dialog.isVisible());

    // Without an active window the commands find no box either.
    name->setFocus();
    name->selectAll();
    open.dialog.hide();
    Module1::CutText();
    Module1::PasteText();
    QCOMPARE(systemClipboard()->text(), QStringLiteral("kept"));
    QCOMPARE(name->text(), QStringLiteral("unchanged"));
}

void TestClipboard::editDialogHasTheSameKeys()
{
    Sandbox sandbox;
    sandbox.addAccount(QStringLiteral("Mail"), QStringLiteral("user"), QStringLiteral("pass"));
    auto vault = sandbox.openVault();
    QString copied;
    bool opened = false;
    whenModalOpens([&](QWidget* dialog) {
        opened = true;
        auto* password = childNamed<QLineEdit>(dialog, "txtPassword");
        selectText(password, 0, 4);
        press(password, Qt::Key_C);
        copied = systemClipboard()->text();
        auto* name = childNamed<QLineEdit>(dialog, "txtName");
        selectText(name, 0, 4);
        PutOnClipboard(QStringLiteral("Post"));
        press(name, Qt::Key_V);
        QTest::mouseClick(childNamed<QPushButton>(dialog, "cmdOk"), Qt::LeftButton);
    });
    QVERIFY(editListed(*vault, 0));
    QVERIFY(opened);
    QCOMPARE(copied, QStringLiteral("pass"));
    QCOMPARE(vault->accountAt(1)->fields.account, QStringLiteral("Post"));
}

void TestClipboard::onlyACopiedPasswordIsClearedLater_data()
{
    // A masked box of the master password window, cut; else a box of the add dialog, copied.
    QTest::addColumn<bool>("masked");
    QTest::addColumn<QString>("box");  // and how the text leaves it, if not by the command
    QTest::addColumn<QString>("then");  // "", "other program", or a plain box copying the same text
    QTest::addColumn<QString>("end");  // "lifetime", "end now" or "close box"
    QTest::addColumn<bool>("cleared");
    QTest::newRow("password, lifetime over") << false << "txtPassword"
                                             << ""
                                             << "lifetime" << true;
    QTest::newRow("masked box, lifetime over") << true << "txtPassword1"
                                               << ""
                                               << "lifetime" << true;
    QTest::newRow("password, program ends") << false << "txtPassword"
                                            << ""
                                            << "end now" << true;
    QTest::newRow("masked box, close box") << true << "txtPassword2"
                                           << ""
                                           << "close box" << true;
    QTest::newRow("another program copied since") << false << "txtPassword"
                                                  << "other program"
                                                  << "lifetime" << false;
    QTest::newRow("a plain box copied it since") << false << "txtPassword"
                                                 << "txtUsername"
                                                 << "end now" << false;
    QTest::newRow("a plain box alone") << false << "txtName"
                                       << ""
                                       << "close box" << false;
    // Every other way out of a password box; a masked box lets nothing out.
    for (const char* route : {"Ctrl+Ins", "Shift+Del", "menu Copy", "menu Cut", "Ctrl+K", "Ctrl+U", "selection"}) {
        QTest::addRow("password, %s", route) << false << QStringLiteral("txtPassword ") + route << ""
                                             << "lifetime" << true;
        QTest::addRow("masked box, %s", route) << true << QStringLiteral("txtPassword1 ") + route << ""
                                               << "" << false;
    }
}

void TestClipboard::onlyACopiedPasswordIsClearedLater()
{
    QFETCH(bool, masked);
    QFETCH(QString, box);
    QFETCH(QString, then);
    QFETCH(QString, end);
    QFETCH(bool, cleared);
    const QByteArray route = box.section(QLatin1Char(' '), 1).toLatin1();
    box = box.section(QLatin1Char(' '), 0, 0);
    if ((route == "selection" && !systemClipboard()->supportsSelection())
        || ((route == "Ctrl+K" || route == "Ctrl+U")
            && QKeySequence::keyBindings(QKeySequence::DeleteEndOfLine).isEmpty()))
        QSKIP("Only X11 has a primary selection and these keys");
    MainWindowFixture f;
    f.sandbox.addAccount(QStringLiteral("Mail"), QStringLiteral("user"), QStringLiteral("pass"));
    f.start();
    f.pick(0);
    QCOMPARE(Module1::SelectedPassword, QStringLiteral("pass"));
    PutOnClipboard(QStringLiteral("before"));
    systemClipboard()->clear(QClipboard::Selection);

    std::unique_ptr<QDialog> dialog;
    if (masked)
        dialog = std::make_unique<frmCreatePassword>(*f.window->VaultDb());
    else
        dialog = std::make_unique<frmNewAccount>(*f.window->VaultDb());
    dialog->show();
    dialog->activateWindow();
    QVERIFY(waitUntilActive(dialog.get()));
    const auto copyFrom = [&](const QString& name, const QByteArray& how) {
        auto* line = childNamed<QLineEdit>(dialog.get(), name.toLatin1().constData());
        line->setText(Secret);
        selectText(line, int(Secret.size()), 0);  // all of it, the caret at its start for Ctrl+K
        if (how == "command") {
            masked ? Module1::CutText() : Module1::CopyText();
        } else if (how.startsWith("menu ")) {
            QContextMenuEvent menu(QContextMenuEvent::Keyboard, {}, line->mapToGlobal(QPoint()));
            QApplication::sendEvent(line, &menu);
            QTest::keyClick(QApplication::activePopupWidget(), how == "menu Cut" ? Qt::Key_T : Qt::Key_C);
        } else if (how == "selection") {
            QTest::mousePress(line, Qt::LeftButton, {}, QPoint(2, 5));
            QTest::mouseMove(line, QPoint(line->width() - 2, 5));
            QTest::mouseRelease(line, Qt::LeftButton, {}, QPoint(line->width() - 2, 5));
            QVERIFY(line->hasSelectedText());
        } else {
            QTest::keySequence(line, QKeySequence(QString::fromLatin1(how)));
        }
    };
    copyFrom(box, route.isEmpty() ? "command" : route);
    QCOMPARE(systemClipboard()->text(QClipboard::Selection), QString());
    if (route == "selection" || (masked && !route.isEmpty())) {
        QCOMPARE(systemClipboard()->text(), QStringLiteral("before"));
        return;
    }
    QCOMPARE(systemClipboard()->text(), Secret);
    QCOMPARE(Module1::clipboardSecretTimer().isActive(), box != QLatin1String("txtName"));
    QCOMPARE(Module1::clipboardSecretTimer().interval(), 30000);
    if (then == QLatin1String("other program"))
        PutOnClipboard(QStringLiteral("someone else's"));
    else if (!then.isEmpty())
        copyFrom(then, "command");
    const QString before = systemClipboard()->text();

    if (end == QLatin1String("lifetime"))
        QMetaObject::invokeMethod(&Module1::clipboardSecretTimer(), "timeout");
    else if (end == QLatin1String("end now"))
        ProgramEnd::endNow();
    else
        f.window->close();
    QCOMPARE(systemClipboard()->text(), cleared ? QString() : before);
    QVERIFY(!Module1::clipboardSecretTimer().isActive());
    if (end != QLatin1String("lifetime"))
        QCOMPARE(Module1::SelectedPassword, QString());
}

QUILLOCK_TEST_MAIN(TestClipboard)
#include "tst_clipboard.moc"
