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
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QToolButton>

namespace {

const QString Master = QStringLiteral("opensesame");

struct CommandFixture {
    Sandbox sandbox;
    std::unique_ptr<frmMain> window;
    QString report() const { return sandbox.appFolder() + QStringLiteral("/report.htm"); }

    void start()
    {
        sandbox.initializeMaster(Master);
        window = std::make_unique<frmMain>();
        QVERIFY(window->load());
        window->show();
    }
    QComboBox* list() { return Child<QComboBox>(window.get(), "cboAccount"); }
    void pick(int index)
    {
        list()->setCurrentIndex(index);
        emit list()->activated(index);
    }
    // The command runs to its end inside the click; a dialog it did not open
    // by then never comes.
    void click(const char* name)
    {
        QTest::mouseClick(Child<QAbstractButton>(window.get(), name), Qt::LeftButton);
        CallOffModalActions();
    }
    // Answers the master password prompt, then hands the next dialog (if
    // the command opens one) to `then`.
    void answerPrompt(const QString& entry, std::function<void(QWidget*)> then = {})
    {
        WhenModalOpens([entry, then](QWidget* prompt) {
            QCOMPARE(prompt->windowTitle(), QStringLiteral("Please enter your. . ."));
            TypeInto(prompt, "txtPassword", entry);
            QTest::mouseClick(Child<QPushButton>(prompt, "cmdOk"), Qt::LeftButton);
            if (then)
                WhenModalOpens(then);
        });
    }
    QStringList listed()
    {
        QStringList names;
        for (int i = 0; i < list()->count(); ++i)
            names << list()->itemText(i);
        return names;
    }
};

}  // namespace

class TestCommands : public QObject {
    Q_OBJECT
private slots:
    void newAccountIsListedInItsPlace()
    {
        CommandFixture f;
        f.sandbox.addAccount(QStringLiteral("alpha"));
        f.sandbox.addAccount(QStringLiteral("gamma"));
        f.start();
        WhenModalOpens([](QWidget* dialog) {
            QCOMPARE(dialog->windowTitle(), QStringLiteral("Add New Account. . ."));
            TypeInto(dialog, "txtName", QStringLiteral("Beta"));
            TypeInto(dialog, "txtPassword", QStringLiteral("pw"));
            QTest::mouseClick(Child<QPushButton>(dialog, "cmdOk"), Qt::LeftButton);
        });
        f.click("cmdNewAccount");
        QCOMPARE(f.listed(), QStringList({"alpha", "Beta", "gamma"}));
        QCOMPARE(f.list()->currentIndex(), -1);

        // Cancel leaves the list as it was, selection included.
        f.pick(2);
        WhenModalOpens([](QWidget* dialog) {
            TypeInto(dialog, "txtName", QStringLiteral("never stored"));
            QTest::mouseClick(Child<QPushButton>(dialog, "cmdCancel"), Qt::LeftButton);
        });
        f.click("cmdNewAccount");
        QCOMPARE(f.listed(), QStringList({"alpha", "Beta", "gamma"}));
        QCOMPARE(f.list()->currentIndex(), 2);
    }

    void editAsksEveryTimeAndRenames()
    {
        CommandFixture f;
        f.sandbox.addAccount(QStringLiteral("alpha"), QStringLiteral("u1"));
        f.sandbox.addAccount(QStringLiteral("beta"), QStringLiteral("u2"));
        f.start();
        f.pick(1);
        bool dialogOpened = false;
        f.answerPrompt(QStringLiteral("wrong one"), [&](QWidget* dialog) { dialogOpened = true; dialog->close(); });
        f.click("cmdEdit");
        QCOMPARE(f.sandbox.messages.size(), 1);
        QCOMPARE(f.sandbox.messages[0].text, QStringLiteral("Security check failed."));
        QVERIFY(!dialogOpened);

        f.answerPrompt(Master, [](QWidget* dialog) {
            QCOMPARE(dialog->windowTitle(), QStringLiteral("Edit Account Information. . ."));
            QCOMPARE(Child<QLineEdit>(dialog, "txtUsername")->text(), QStringLiteral("u2"));
            TypeInto(dialog, "txtName", QStringLiteral("0 renamed"));
            QTest::mouseClick(Child<QPushButton>(dialog, "cmdOk"), Qt::LeftButton);
        });
        f.click("cmdEdit");
        QCOMPARE(f.listed(), QStringList({"0 renamed", "alpha"}));
        QCOMPARE(f.list()->currentIndex(), -1);
        QCOMPARE(Decrypt(f.sandbox.openVault()->accountAt(1)->fields.username), QStringLiteral("u2"));
    }

    void editNeverOpensAnAccountAnotherCopyMovedDuringThePrompt()
    {
        CommandFixture f;
        f.sandbox.addAccount(QStringLiteral("alpha"), QStringLiteral("u1"));
        f.sandbox.addAccount(QStringLiteral("beta"), QStringLiteral("u2"));
        f.start();
        f.pick(1);
        bool dialogOpened = false;
        WhenModalOpens([&](QWidget* prompt) {
            TypeInto(prompt, "txtPassword", Master);
            f.sandbox.addAccount(QStringLiteral("Aardvark"), QStringLiteral("other"));
            QTest::mouseClick(Child<QPushButton>(prompt, "cmdOk"), Qt::LeftButton);
            WhenModalOpens([&](QWidget* dialog) {
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
        CommandFixture f;
        f.sandbox.addAccount(QStringLiteral("a"), QStringLiteral("user"), QStringLiteral("secret"));
        f.start();
        {
            QFile older(f.report());
            QVERIFY(older.open(QIODevice::WriteOnly));
            older.write("older report");
        }
        f.answerPrompt(Master + QLatin1Char(' '));
        f.click("FlatBttn2");
        QCOMPARE(f.sandbox.messages.last().text, QStringLiteral("Security check failed."));
        QFile older(f.report());
        QVERIFY(older.open(QIODevice::ReadOnly));
        QCOMPARE(older.readAll(), QByteArray("older report"));
        QVERIFY(f.sandbox.opened.isEmpty());

        f.answerPrompt(Master);
        f.click("FlatBttn2");
        QFile report(f.report());
        QVERIFY(report.open(QIODevice::ReadOnly));
        const QByteArray content = report.readAll();
        QVERIFY(content.contains("<font face=\"arial\">secret</td></tr>"));
        QCOMPARE(f.sandbox.opened,
                 QStringList({QStringLiteral("file://") + f.sandbox.appFolder() + QStringLiteral("/report.htm")}));
    }

    void optionsChangeTheMasterPasswordAndTheExitChoice()
    {
        CommandFixture f;
        f.start();
        f.answerPrompt(Master, [](QWidget* options) {
            QCOMPARE(options->windowTitle(), QStringLiteral("Quillock Options"));
            QCOMPARE(Child<QLineEdit>(options, "txtPassword1")->text(), Master);
            QTest::mouseClick(Child<QRadioButton>(options, "Option1"), Qt::LeftButton);
            TypeInto(options, "txtPassword1", QStringLiteral("new master"));
            TypeInto(options, "txtPassword2", QStringLiteral("new master"));
            QTest::mouseClick(Child<QPushButton>(options, "cmdOk"), Qt::LeftButton);
        });
        f.click("FlatBttn1");
        QCOMPARE(Settings::getSetting(Settings::ExitKey), QStringLiteral("T"));
        QCOMPARE(Decrypt(f.sandbox.openVault()->storedMasterPassword()), QStringLiteral("new master"));

        // The old password no longer opens anything.
        bool opened = false;
        f.answerPrompt(Master, [&](QWidget* dialog) { opened = true; dialog->close(); });
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
        CommandFixture f;
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
            TypeInto(dialog, "txtPassword", Master);
            WhenModalOpens(look);
            QTest::mouseClick(Child<QPushButton>(dialog, "cmdOk"), Qt::LeftButton);
        };
        WhenModalOpens(look);
        if (auto* action = f.window->findChild<QAction*>(QString::fromLatin1(command)))
            action->trigger();
        else
            QTest::mouseClick(Child<QAbstractButton>(f.window.get(), command), Qt::LeftButton);
        CallOffModalActions();
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
        WhenModalOpens([&](QWidget* box) {
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
