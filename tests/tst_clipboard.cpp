#include "testsupport.h"

#include "accounts/frmEditAccount.h"
#include "accounts/frmMain.h"
#include "accounts/frmNewAccount.h"
#include "security/frmCreatePassword.h"
#include "shared/module1.h"
#include "shared/programend.h"

#include <QAction>
#include <QClipboard>
#include <QComboBox>
#include <QLineEdit>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTextCursor>
#include <QTimer>

namespace {

const QString PasswordHint = QStringLiteral("x-kde-passwordManagerHint");

QClipboard* Clipboard()
{
    return QGuiApplication::clipboard();
}

void PutOnClipboard(const QString& text)
{
    Clipboard()->setText(text);
}

// Something that is no text at all.
void PutDataOnClipboard()
{
    auto* data = new QMimeData;
    data->setData(QStringLiteral("application/x-quillock-test"), QByteArrayLiteral("\x01\x02"));
    Clipboard()->setMimeData(data);
}

void Select(QLineEdit* box, int start, int length)
{
    box->setFocus();
    box->setSelection(start, length);
}

void Select(QPlainTextEdit* box, int start, int end)
{
    box->setFocus();
    QTextCursor cursor = box->textCursor();
    cursor.setPosition(start);
    cursor.setPosition(end, QTextCursor::KeepAnchor);
    box->setTextCursor(cursor);
}

void Press(QWidget* target, Qt::Key key)
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
    bool ready() { return WaitUntilActive(&dialog); }
    QLineEdit* line(const char* name) { return Child<QLineEdit>(&dialog, name); }
    QPlainTextEdit* plain(const char* name) { return Child<QPlainTextEdit>(&dialog, name); }
    QAction* action(const char* name) { return Child<QAction>(&dialog, name); }
    frmNewAccount dialog;
};

const QString Secret = QStringLiteral("s3cret pässword");

}  // namespace

class TestClipboard : public QObject {
    Q_OBJECT

private slots:
    void keysRunTheMenuNotTheBoxes();
    void copyAndCutTakeTheSelection();
    void copyAndCutWithoutSelectionEmptyTheClipboard();
    void pasteReplacesSelectionOrInsertsAtCaret();
    void pasteOfNoTextDeletesTheSelection();
    void multiLineBoxesKeepLineBreaksAndLimit();
    void nothingHappensOnAButton();
    void passwordCarriesTheManagerHint();
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
        QWidget* box = Child<QWidget>(&open.dialog, name);
        box->setFocus();
        for (const auto& [key, item] : {std::pair{Qt::Key_X, "mnuCut"}, std::pair{Qt::Key_C, "mnuCopy"},
                                         std::pair{Qt::Key_V, "mnuPaste"}}) {
            QSignalSpy spy(open.action(item), &QAction::triggered);
            Press(box, key);
            QCOMPARE(spy.count(), 1);
        }
    }
}

void TestClipboard::copyAndCutTakeTheSelection()
{
    Sandbox sandbox;
    auto vault = sandbox.openVault();
    OpenDialog open(*vault);
    QVERIFY(open.ready());
    auto* name = open.line("txtName");
    name->setText(QStringLiteral("Bank of Ålesund"));

    Select(name, 8, 7);
    Press(name, Qt::Key_C);
    QCOMPARE(Clipboard()->text(), QStringLiteral("Ålesund"));
    QCOMPARE(name->text(), QStringLiteral("Bank of Ålesund"));
    QVERIFY(!Clipboard()->mimeData()->hasFormat(PasswordHint));

    Select(name, 0, 5);
    Press(name, Qt::Key_X);
    QCOMPARE(Clipboard()->text(), QStringLiteral("Bank "));
    QCOMPARE(name->text(), QStringLiteral("of Ålesund"));

    // Called directly, as the main window's menu does.
    open.line("txtURL")->setFocus();
    open.line("txtURL")->selectAll();
    Module1::copyText();
    QCOMPARE(Clipboard()->text(), QStringLiteral("http://"));
}

void TestClipboard::copyAndCutWithoutSelectionEmptyTheClipboard()
{
    Sandbox sandbox;
    auto vault = sandbox.openVault();
    OpenDialog open(*vault);
    QVERIFY(open.ready());
    auto* user = open.line("txtUsername");
    user->setText(QStringLiteral("someone"));
    user->setFocus();
    user->setCursorPosition(3);

    // Whatever the clipboard held, in any format, is gone.
    auto* data = new QMimeData;
    data->setText(QStringLiteral("before"));
    data->setHtml(QStringLiteral("<b>before</b>"));
    Clipboard()->setMimeData(data);
    Press(user, Qt::Key_C);
    QCOMPARE(Clipboard()->text(), QString());
    QVERIFY(!Clipboard()->mimeData()->hasHtml());

    PutOnClipboard(QStringLiteral("before"));
    Press(user, Qt::Key_X);
    QCOMPARE(Clipboard()->text(), QString());
    QCOMPARE(user->text(), QStringLiteral("someone"));
    QCOMPARE(user->cursorPosition(), 3);
}

void TestClipboard::pasteReplacesSelectionOrInsertsAtCaret()
{
    Sandbox sandbox;
    auto vault = sandbox.openVault();
    OpenDialog open(*vault);
    QVERIFY(open.ready());
    auto* url = open.line("txtURL");

    PutOnClipboard(QStringLiteral("例え.jp"));
    url->setFocus();
    url->end(false);
    Press(url, Qt::Key_V);
    QCOMPARE(url->text(), QStringLiteral("http://例え.jp"));

    Select(url, 0, 4);
    PutOnClipboard(QStringLiteral("https"));
    Press(url, Qt::Key_V);
    QCOMPARE(url->text(), QStringLiteral("https://例え.jp"));

    // A box takes no more than its limit, pasted or typed.
    auto* password = open.line("txtPassword");
    password->setFocus();
    PutOnClipboard(QString(70, QLatin1Char('k')));
    Press(password, Qt::Key_V);
    QCOMPARE(password->text(), QString(50, QLatin1Char('k')));
}

void TestClipboard::pasteOfNoTextDeletesTheSelection()
{
    Sandbox sandbox;
    auto vault = sandbox.openVault();
    OpenDialog open(*vault);
    QVERIFY(open.ready());
    auto* name = open.line("txtName");
    name->setText(QStringLiteral("keep-drop-keep"));
    auto* notes = open.plain("txtNotes");
    notes->setPlainText(QStringLiteral("line one\nline two"));

    PutDataOnClipboard();
    Select(name, 4, 5);
    Press(name, Qt::Key_V);
    QCOMPARE(name->text(), QStringLiteral("keep-keep"));

    Select(notes, 4, 13);
    Press(notes, Qt::Key_V);
    QCOMPARE(AccountDialog::boxText(notes), QStringLiteral("line two"));
    // The clipboard's data is left as it was.
    QVERIFY(Clipboard()->mimeData()->hasFormat(QStringLiteral("application/x-quillock-test")));

    // Nothing selected and nothing to paste: the box stays as it is.
    Press(notes, Qt::Key_V);
    QCOMPARE(AccountDialog::boxText(notes), QStringLiteral("line two"));
}

void TestClipboard::multiLineBoxesKeepLineBreaksAndLimit()
{
    Sandbox sandbox;
    auto vault = sandbox.openVault();
    OpenDialog open(*vault);
    QVERIFY(open.ready());
    auto* hint = open.plain("txtHint");
    hint->setPlainText(QStringLiteral("first\u00a0line\nsecond line"));

    Select(hint, 6, 17);
    Press(hint, Qt::Key_C);
    QCOMPARE(Clipboard()->text(), QStringLiteral("line\nsecond"));

    Select(hint, 0, 5);
    Press(hint, Qt::Key_X);
    QCOMPARE(Clipboard()->text(), QStringLiteral("first"));
    QCOMPARE(AccountDialog::boxText(hint), QStringLiteral("\u00a0line\nsecond line"));

    PutOnClipboard(QStringLiteral("a\nb\n"));
    Press(hint, Qt::Key_V);
    QCOMPARE(AccountDialog::boxText(hint), QStringLiteral("a\nb\n\u00a0line\nsecond line"));

    auto* notes = open.plain("txtNotes");
    notes->setFocus();
    PutOnClipboard(QString(1500, QLatin1Char('x')));
    Press(notes, Qt::Key_V);
    Press(notes, Qt::Key_V);
    QCOMPARE(AccountDialog::boxText(notes), QString(2000, QLatin1Char('x')));
}

void TestClipboard::nothingHappensOnAButton()
{
    Sandbox sandbox;
    auto vault = sandbox.openVault();
    OpenDialog open(*vault);
    QVERIFY(open.ready());
    auto* name = open.line("txtName");
    name->setText(QStringLiteral("unchanged"));
    auto* cancel = Child<QPushButton>(&open.dialog, "cmdCancel");
    cancel->setFocus();
    QCOMPARE(QApplication::focusWidget(), cancel);

    PutOnClipboard(QStringLiteral("kept"));
    QSignalSpy copies(open.action("mnuCopy"), &QAction::triggered);
    Press(cancel, Qt::Key_C);
    Press(cancel, Qt::Key_X);
    Press(cancel, Qt::Key_V);
    QCOMPARE(copies.count(), 1);
    QCOMPARE(Clipboard()->text(), QStringLiteral("kept"));
    QCOMPARE(name->text(), QStringLiteral("unchanged"));
    QCOMPARE(open.line("txtURL")->text(), QStringLiteral("http://"));
    QVERIFY(open.dialog.isVisible());

    // Without an active window the commands find no box either.
    name->setFocus();
    name->selectAll();
    open.dialog.hide();
    Module1::cutText();
    Module1::pasteText();
    QCOMPARE(Clipboard()->text(), QStringLiteral("kept"));
    QCOMPARE(name->text(), QStringLiteral("unchanged"));
}

void TestClipboard::passwordCarriesTheManagerHint()
{
    Sandbox sandbox;
    auto vault = sandbox.openVault();
    OpenDialog open(*vault);
    QVERIFY(open.ready());
    auto* password = open.line("txtPassword");
    password->setText(QStringLiteral("pä👤ss"));

    Select(password, 0, password->text().size());
    Press(password, Qt::Key_C);
    const QMimeData* copied = Clipboard()->mimeData();
    QCOMPARE(copied->text(), QStringLiteral("pä👤ss"));
    QCOMPARE(copied->data(PasswordHint), QByteArrayLiteral("secret"));

    Select(password, 0, 2);
    Press(password, Qt::Key_X);
    QCOMPARE(Clipboard()->mimeData()->text(), QStringLiteral("pä"));
    QCOMPARE(Clipboard()->mimeData()->data(PasswordHint), QByteArrayLiteral("secret"));
    QCOMPARE(password->text(), QStringLiteral("👤ss"));

    // Taken from another box the text is no secret.
    Select(open.line("txtUsername"), 0, 0);
    Press(open.line("txtUsername"), Qt::Key_C);
    QVERIFY(!Clipboard()->mimeData()->hasFormat(PasswordHint));
}

void TestClipboard::editDialogHasTheSameKeys()
{
    Sandbox sandbox;
    sandbox.addAccount(QStringLiteral("Mail"), QStringLiteral("user"), QStringLiteral("pass"));
    auto vault = sandbox.openVault();
    QString copied;
    bool opened = false;
    WhenModalOpens([&](QWidget* dialog) {
        opened = true;
        auto* password = Child<QLineEdit>(dialog, "txtPassword");
        Select(password, 0, 4);
        Press(password, Qt::Key_C);
        copied = Clipboard()->text();
        auto* name = Child<QLineEdit>(dialog, "txtName");
        Select(name, 0, 4);
        PutOnClipboard(QStringLiteral("Post"));
        Press(name, Qt::Key_V);
        QTest::mouseClick(Child<QPushButton>(dialog, "cmdOk"), Qt::LeftButton);
    });
    QVERIFY(EditListed(*vault, 0));
    QVERIFY(opened);
    QCOMPARE(copied, QStringLiteral("pass"));
    QCOMPARE(vault->accountAt(1)->fields.account, QStringLiteral("Post"));
}

void TestClipboard::onlyACopiedPasswordIsClearedLater_data()
{
    // A masked box of the master password window, cut; else a box of the add dialog, copied.
    QTest::addColumn<bool>("masked");
    QTest::addColumn<QString>("box");
    QTest::addColumn<QString>("then");  // "", "other program", or a plain box copying the same text
    QTest::addColumn<QString>("end");   // "lifetime", "end now" or "close box"
    QTest::addColumn<bool>("cleared");
    QTest::newRow("password, lifetime over") << false << "txtPassword" << "" << "lifetime" << true;
    QTest::newRow("masked box, lifetime over") << true << "txtPassword1" << "" << "lifetime" << true;
    QTest::newRow("password, program ends") << false << "txtPassword" << "" << "end now" << true;
    QTest::newRow("masked box, close box") << true << "txtPassword2" << "" << "close box" << true;
    QTest::newRow("another program copied since") << false << "txtPassword" << "other program" << "lifetime" << false;
    QTest::newRow("a plain box copied it since") << false << "txtPassword" << "txtUsername" << "end now" << false;
    QTest::newRow("a plain box alone") << false << "txtName" << "" << "close box" << false;
}

void TestClipboard::onlyACopiedPasswordIsClearedLater()
{
    QFETCH(bool, masked);
    QFETCH(QString, box);
    QFETCH(QString, then);
    QFETCH(QString, end);
    QFETCH(bool, cleared);
    Sandbox sandbox;
    sandbox.initializeMaster(QStringLiteral("opensesame"));
    sandbox.addAccount(QStringLiteral("Mail"), QStringLiteral("user"), QStringLiteral("pass"));
    frmMain main;
    QVERIFY(main.load());
    main.show();
    Child<QComboBox>(&main, "cboAccount")->setCurrentIndex(0);
    emit Child<QComboBox>(&main, "cboAccount")->activated(0);
    QCOMPARE(Module1::SelectedPassword, QStringLiteral("pass"));

    std::unique_ptr<QDialog> dialog;
    if (masked)
        dialog = std::make_unique<frmCreatePassword>(*main.VaultDb());
    else
        dialog = std::make_unique<frmNewAccount>(*main.VaultDb());
    dialog->show();
    dialog->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(dialog.get()));
    const auto copyFrom = [&](const QString& name) {
        auto* line = Child<QLineEdit>(dialog.get(), name.toLatin1().constData());
        line->setText(Secret);
        Select(line, 0, int(Secret.size()));
        masked ? Module1::cutText() : Module1::copyText();
    };
    copyFrom(box);
    QCOMPARE(Clipboard()->text(), Secret);
    QCOMPARE(Module1::clipboardSecretTimer().isActive(), box != QLatin1String("txtName"));
    QCOMPARE(Module1::clipboardSecretTimer().interval(), 30000);
    if (then == QLatin1String("other program"))
        PutOnClipboard(QStringLiteral("someone else's"));
    else if (!then.isEmpty())
        copyFrom(then);
    const QString before = Clipboard()->text();

    if (end == QLatin1String("lifetime"))
        QMetaObject::invokeMethod(&Module1::clipboardSecretTimer(), "timeout");
    else if (end == QLatin1String("end now"))
        ProgramEnd::endNow();
    else
        main.close();
    QCOMPARE(Clipboard()->text(), cleared ? QString() : before);
    QVERIFY(!Module1::clipboardSecretTimer().isActive());
    if (end != QLatin1String("lifetime"))
        QCOMPARE(Module1::SelectedPassword, QString());
}

QUILLOCK_TEST_MAIN(TestClipboard)
#include "tst_clipboard.moc"
