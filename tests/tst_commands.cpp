// The main window's commands end to end: each guarded command asks for the
// master password every time, and the account dialogs feed the list.
#include "testsupport.h"

#include "accounts/frmMain.h"
#include "shared/module1.h"
#include "shared/settings.h"
#include "vault/stringcipher.h"

#include <QAction>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

namespace {

// Two accounts listed, the second ("beta", user "u2") picked.
void startWithBetaPicked(MainWindowFixture& f)
{
    f.sandbox.addAccount(QStringLiteral("alpha"), QStringLiteral("u1"));
    f.sandbox.addAccount(QStringLiteral("beta"), QStringLiteral("u2"));
    f.start();
    f.pick(1);
}

}  // namespace

class TestCommands : public QObject {
    Q_OBJECT
private slots:
    void newAccountIsListedInItsPlace()
    {
        MainWindowFixture f;
        f.sandbox.addAccount(QStringLiteral("alpha"));
        f.sandbox.addAccount(QStringLiteral("gamma"));
        f.start();
        whenModalOpens([](QWidget* dialog) {
            QCOMPARE(dialog->windowTitle(), QStringLiteral("Add New Account. . ."));
            typeInto(dialog, "txtName", QStringLiteral("Beta"));
            typeInto(dialog, "txtPassword", QStringLiteral("pw"));
            QTest::mouseClick(childNamed<QPushButton>(dialog, "cmdOk"), Qt::LeftButton);
        });
        f.click("cmdNewAccount");
        QCOMPARE(f.listed(), QStringList({"alpha", "Beta", "gamma"}));
        QCOMPARE(f.list()->currentIndex(), -1);

        // Cancel leaves the list as it was, selection included.
        f.pick(2);
        whenModalOpens([](QWidget* dialog) {
            typeInto(dialog, "txtName", QStringLiteral("never stored"));
            QTest::mouseClick(childNamed<QPushButton>(dialog, "cmdCancel"), Qt::LeftButton);
        });
        f.click("cmdNewAccount");
        QCOMPARE(f.listed(), QStringList({"alpha", "Beta", "gamma"}));
        QCOMPARE(f.list()->currentIndex(), 2);
    }

    void editAsksEveryTimeAndRenames()
    {
        MainWindowFixture f;
        startWithBetaPicked(f);
        bool dialogOpened = false;
        answerMasterPrompt(QStringLiteral("wrong one"), [&](QWidget* dialog) {
            dialogOpened = true;
            dialog->close();
        });
        f.click("cmdEdit");
        QCOMPARE(f.sandbox.messages.size(), 1);
        QCOMPARE(f.sandbox.messages[0].text, QStringLiteral("Security check failed."));
        QVERIFY(!dialogOpened);

        answerMasterPrompt(MasterPassword, [](QWidget* dialog) {
            QCOMPARE(dialog->windowTitle(), QStringLiteral("Edit Account Information. . ."));
            QCOMPARE(childNamed<QLineEdit>(dialog, "txtUsername")->text(), QStringLiteral("u2"));
            typeInto(dialog, "txtName", QStringLiteral("0 renamed"));
            QTest::mouseClick(childNamed<QPushButton>(dialog, "cmdOk"), Qt::LeftButton);
        });
        f.click("cmdEdit");
        QCOMPARE(f.listed(), QStringList({"0 renamed", "alpha"}));
        QCOMPARE(f.list()->currentIndex(), -1);
        QCOMPARE(Decrypt(f.sandbox.openVault()->accountAt(1)->fields.username), QStringLiteral("u2"));
    }

    void editNeverOpensAnAccountAnotherCopyMovedDuringThePrompt()
    {
        MainWindowFixture f;
        startWithBetaPicked(f);
        bool dialogOpened = false;
        whenModalOpens([&](QWidget* prompt) {
            typeInto(prompt, "txtPassword", MasterPassword);
            f.sandbox.addAccount(QStringLiteral("Aardvark"), QStringLiteral("other"));
            QTest::mouseClick(childNamed<QPushButton>(prompt, "cmdOk"), Qt::LeftButton);
            whenModalOpens([&](QWidget* dialog) {
                dialogOpened = true;
                dialog->close();
            });
        });
        f.click("cmdEdit");
        QVERIFY(!dialogOpened);
        QCOMPARE(f.listed(), QStringList({"Aardvark", "alpha", "beta"}));
        QCOMPARE(f.list()->currentIndex(), -1);
        QVERIFY(f.sandbox.messages.isEmpty());
        QCOMPARE(Decrypt(f.sandbox.openVault()->accountAt(1)->fields.username), QStringLiteral("other"));
    }

    void reportIsWrittenOnlyAfterTheCheck()
    {
        MainWindowFixture f;
        f.sandbox.addAccount(QStringLiteral("a"), QStringLiteral("user"), QStringLiteral("secret"));
        f.start();
        writeFile(f.report(), "older report");
        answerMasterPrompt(MasterPassword + QLatin1Char(' '));
        f.click("FlatBttn2");
        QCOMPARE(f.sandbox.messages.last().text, QStringLiteral("Security check failed."));
        QCOMPARE(readFile(f.report()), QByteArray("older report"));
        QVERIFY(f.sandbox.opened.isEmpty());

        answerMasterPrompt(MasterPassword);
        f.click("FlatBttn2");
        QVERIFY(readFile(f.report()).contains("<font face=\"arial\">secret</td></tr>"));
        QCOMPARE(f.sandbox.opened,
                 QStringList({QStringLiteral("file://") + f.sandbox.appFolder() + QStringLiteral("/report.htm")}));
    }

    void optionsChangeTheMasterPasswordAndTheExitChoice()
    {
        MainWindowFixture f;
        f.start();
        answerMasterPrompt(MasterPassword, [](QWidget* options) {
            QCOMPARE(options->windowTitle(), QStringLiteral("Quillock Options"));
            QCOMPARE(childNamed<QLineEdit>(options, "txtPassword1")->text(), MasterPassword);
            QTest::mouseClick(childNamed<QRadioButton>(options, "Option1"), Qt::LeftButton);
            typeInto(options, "txtPassword1", QStringLiteral("new master"));
            typeInto(options, "txtPassword2", QStringLiteral("new master"));
            QTest::mouseClick(childNamed<QPushButton>(options, "cmdOk"), Qt::LeftButton);
        });
        f.click("FlatBttn1");
        QCOMPARE(Settings::getSetting(Settings::ExitKey), QStringLiteral("T"));
        QCOMPARE(Decrypt(f.sandbox.openVault()->storedMasterPassword()), QStringLiteral("new master"));

        // The old password no longer opens anything.
        bool opened = false;
        answerMasterPrompt(MasterPassword, [&](QWidget* dialog) {
            opened = true;
            dialog->close();
        });
        f.click("FlatBttn1");
        QCOMPARE(f.sandbox.messages.last().text, QStringLiteral("Security check failed."));
        QVERIFY(!opened);
    }

    void noDialogCanBeMinimizedAway_data()
    {
        const QString prompt = QStringLiteral("Please enter your. . .");
        QTest::addColumn<QByteArray>("command");
        QTest::addColumn<QStringList>("dialogs");  // the modal dialogs it opens, in turn
        QTest::newRow("add") << QByteArray("cmdNewAccount") << QStringList{"Add New Account. . ."};
        QTest::newRow("edit") << QByteArray("cmdEdit") << QStringList{prompt, "Edit Account Information. . ."};
        QTest::newRow("options") << QByteArray("FlatBttn1") << QStringList{prompt, "Quillock Options"};
        QTest::newRow("report") << QByteArray("FlatBttn2") << QStringList{prompt};
        QTest::newRow("about") << QByteArray("mnuAbout") << QStringList{"About Quillock"};
    }

    void noDialogCanBeMinimizedAway()
    {
        QFETCH(QByteArray, command);
        QFETCH(QStringList, dialogs);
        MainWindowFixture f;
        f.sandbox.addAccount(QStringLiteral("a"));
        f.start();
        f.pick(0);
        // Minimized, a modal dialog would leave its owner refusing input with
        // nothing on screen; the main window itself keeps its minimize button.
        QVERIFY(f.window->windowFlags() & Qt::WindowMinimizeButtonHint);
        QStringList seen;
        QStringList minimizable;
        std::function<void(QWidget*)> look = [&](QWidget* dialog) {
            seen << dialog->windowTitle();
            const Qt::WindowFlags flags = dialog->windowFlags();
            if ((flags & Qt::WindowMinimizeButtonHint) || !(flags & Qt::CustomizeWindowHint))
                minimizable << dialog->windowTitle();
            if (seen.size() == dialogs.size()) {
                static_cast<QDialog*>(dialog)->reject();
                return;
            }
            typeInto(dialog, "txtPassword", MasterPassword);
            whenModalOpens(look);
            clickOn(dialog, "cmdOk");
        };
        whenModalOpens(look);
        if (auto* action = f.window->findChild<QAction*>(QString::fromLatin1(command))) {
            action->trigger();
            callOffModalActions();
        } else {
            f.click(command.constData());
        }
        QCOMPARE(seen, dialogs);
        QCOMPARE(minimizable, QStringList());
    }

    void realMessageBoxesShowTheirTextAsWritten()
    {
        Sandbox sandbox;
        MessageBox::setResponder({});
        const QString text = QStringLiteral("Data validation error.  Your internet url must be in the proper format "
                                            "(http://<address>).");
        QString shown;
        whenModalOpens([&](QWidget* box) {
            for (QLabel* label : box->findChildren<QLabel*>())
                if (label->text() == text && label->textFormat() == Qt::PlainText)
                    shown = label->text();
            QTest::keyClick(box, Qt::Key_Enter);
        });
        QCOMPARE(MessageBox::information(nullptr, QString(), text), QMessageBox::Ok);
        QCOMPARE(shown, text);
    }
};

QUILLOCK_TEST_MAIN(TestCommands)
#include "tst_commands.moc"
