// Leaving the program: the exit command and its question, the tray icon and
// its menu, the close box, and the ways out to help, the web and About.
#include "testsupport.h"

#include "accounts/frmMain.h"
#include "desktop/tray.h"
#include "shared/module1.h"
#include "shared/settings.h"

#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QUrl>

namespace {

// The main window over a vault with its master password, a report left
// from an earlier run, and the tray there or not.
struct ExitFixture : MainWindowFixture {
    void start(bool trayAvailable = true)
    {
        Tray::overrideAvailability(trayAvailable);
        writeFile(report(), "an earlier report");
        MainWindowFixture::start();
        QVERIFY(QTest::qWaitForWindowExposed(window.get(), LoadedMachineMs));
    }
    ~ExitFixture() { Tray::overrideAvailability(std::nullopt); }

    bool scratchIconExists() const { return QFile::exists(sandbox.workFolder() + QStringLiteral("/temp.icx")); }
};

}  // namespace

class TestExit : public QObject {
    Q_OBJECT
private slots:
    void exitFollowsTheStoredChoice_data()
    {
        QTest::addColumn<QString>("setting");
        QTest::addColumn<int>("answer");
        QTest::addColumn<bool>("asked");
        QTest::addColumn<QString>("outcome");
        const int none = QMessageBox::NoButton;
        QTest::newRow("E ends") << "E" << none << false << "ended";
        QTest::newRow("T hides") << "T" << none << false << "hidden";
        QTest::newRow("unset, Yes") << "" << int(QMessageBox::Yes) << true << "hidden";
        QTest::newRow("unset, No") << "" << int(QMessageBox::No) << true << "ended";
        QTest::newRow("unset, Cancel") << "" << int(QMessageBox::Cancel) << true << "shown";
        QTest::newRow("lower-case e asks") << "e" << int(QMessageBox::Cancel) << true << "shown";
        QTest::newRow("lower-case t asks") << "t" << int(QMessageBox::No) << true << "ended";
        QTest::newRow("padded E asks") << " E" << int(QMessageBox::Yes) << true << "hidden";
    }

    void exitFollowsTheStoredChoice()
    {
        QFETCH(QString, setting);
        QFETCH(int, answer);
        QFETCH(bool, asked);
        QFETCH(QString, outcome);
        ExitFixture f;
        if (!setting.isEmpty())
            Settings::saveSetting(Settings::ExitKey, setting);
        f.start();
        if (answer != QMessageBox::NoButton)
            f.sandbox.answers = {QMessageBox::StandardButton(answer)};
        f.click("cmdExit");

        // The report goes first, whatever happens next.
        QVERIFY(!QFile::exists(f.report()));
        QCOMPARE(f.sandbox.messages.size(), asked ? 1 : 0);
        if (asked) {
            const MessageBox::Request& question = f.sandbox.messages.first();
            QCOMPARE(question.title, QStringLiteral("Quillock Exit Utility"));
            QCOMPARE(question.buttons, QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
            QCOMPARE(question.defaultButton, QMessageBox::Yes);
            QCOMPARE(question.icon, QMessageBox::Question);
            QVERIFY(question.text.startsWith(QStringLiteral("Do you want to leave an icon in the system tray (next")));
            QVERIFY(question.text.contains(QStringLiteral("screen)?  If yes")));
        }
        QCOMPARE(f.sandbox.ends, outcome == QLatin1String("ended") ? 1 : 0);
        QCOMPARE(f.window->isVisible(), outcome != QLatin1String("hidden"));
        QCOMPARE(f.window->Tray1().isShown(), outcome != QLatin1String("ended"));
        QCOMPARE(f.scratchIconExists(), outcome != QLatin1String("ended"));
        // The answer is never stored.
        QCOMPARE(Settings::getSetting(Settings::ExitKey), setting);
        QVERIFY(f.window->VaultDb() != nullptr);
    }

    void trayBringsTheWindowBack()
    {
        ExitFixture f;
        Settings::saveSetting(Settings::ExitKey, QStringLiteral("T"));
        f.sandbox.addAccount(QStringLiteral("a"), QStringLiteral("u"));
        f.start();
        f.pick(0);
        f.click("cmdExit");
        QVERIFY(!f.window->isVisible());
        QVERIFY(f.window->timer().isActive());  // hiding does not stop the clearing

        emit f.window->Tray1().MouseAction(3);
        QVERIFY(!f.window->isVisible());
        emit f.window->Tray1().MouseAction(Tray::Restore);
        QVERIFY(f.window->isVisible());
        QCOMPARE(f.label("lblUsername"), QStringLiteral("u"));
        QVERIFY(f.sandbox.messages.isEmpty());  // no password asked

        auto* menu = childNamed<QMenu>(f.window.get(), "mnuTray");
        emit f.window->Tray1().MouseAction(Tray::ContextMenu);
        QTRY_VERIFY_WITH_TIMEOUT(menu->isVisible(), LoadedMachineMs);
        menu->hide();

        f.window->hide();
        childNamed<QAction>(f.window.get(), "mnuOpen")->trigger();
        QVERIFY(f.window->isVisible());
    }

    void trayMenuExitKeepsTheReport()
    {
        ExitFixture f;
        f.start();
        childNamed<QAction>(f.window.get(), "mnuExit")->trigger();
        QCOMPARE(f.sandbox.ends, 1);
        QVERIFY(QFile::exists(f.report()));
        QVERIFY(!f.scratchIconExists());
        QVERIFY(!f.window->Tray1().isShown());
        QVERIFY(f.sandbox.messages.isEmpty());
    }

    void closeBoxUnloadsAndKeepsTheReport()
    {
        ExitFixture f;
        Settings::saveSetting(Settings::ExitKey, QStringLiteral("T"));
        f.start();
        f.window->close();
        QVERIFY(QFile::exists(f.report()));
        QVERIFY(!f.scratchIconExists());
        QCOMPARE(f.window->VaultDb(), nullptr);
        QVERIFY(!f.window->Tray1().isShown());
        QVERIFY(f.sandbox.messages.isEmpty());
        QCOMPARE(f.sandbox.ends, 0);
    }

    void withoutATrayTheWindowIsMinimized()
    {
        ExitFixture f;
        Settings::saveSetting(Settings::ExitKey, QStringLiteral("T"));
        f.start(/*trayAvailable=*/false);
        f.click("cmdExit");
        QVERIFY(f.window->isMinimized());
        QCOMPARE(f.sandbox.ends, 0);
        emit f.window->Tray1().MouseAction(Tray::Restore);
        QVERIFY(!f.window->isMinimized());
    }

    void helpAndWebAddresses()
    {
        ExitFixture f;
        f.start();
        f.click("cmdHelp");
        childNamed<QAction>(f.window.get(), "mnuHelpC")->trigger();
        childNamed<QAction>(f.window.get(), "mnuWebsite")->trigger();
        const QString help = QUrl::fromLocalFile(f.sandbox.appFolder() + QStringLiteral("/help/index.htm")).toString();
        QCOMPARE(f.sandbox.opened, QStringList({help, help, QStringLiteral("http://www.quillock.app/")}));
    }

    void openUrlHandsOverWebAddressesOnly_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("address");  // empty: nothing handed over
        QTest::newRow("http") << "http://example.com/a b"
                              << "http://example.com/a b";
        QTest::newRow("https") << "https://example.com"
                               << "https://example.com";
        QTest::newRow("capital scheme") << "HTTP://EXAMPLE.COM"
                                        << "HTTP://EXAMPLE.COM";
        QTest::newRow("no scheme") << "www.example.com/login"
                                   << "http://www.example.com/login";
        QTest::newRow("host and port") << "localhost:8080/x"
                                       << "http://localhost:8080/x";
        QTest::newRow("address and port") << "10.0.0.1:8443"
                                          << "http://10.0.0.1:8443";
        QTest::newRow("file") << "file:///etc/passwd"
                              << "";
        QTest::newRow("javascript") << "javascript:alert(1)"
                                    << "";
        QTest::newRow("program") << "ssh://host"
                                 << "";
        QTest::newRow("no host") << "http:/usr/bin/xterm"
                                 << "";
        QTest::newRow("path") << "/usr/bin/xterm"
                              << "";
        QTest::newRow("home") << "~/.ssh/id_rsa"
                              << "";
        QTest::newRow("option") << "--version-check"
                                << "";
    }

    void openUrlHandsOverWebAddressesOnly()
    {
        QFETCH(QString, url);
        QFETCH(QString, address);
        ExitFixture f;
        f.sandbox.addAccount(QStringLiteral("a"), {}, {}, url);
        f.start();
        f.pick(0);
        QVERIFY(f.enabled("cmdHttp"));
        f.click("cmdHttp");
        QCOMPARE(f.sandbox.opened, address.isEmpty() ? QStringList{} : QStringList{address});
        QVERIFY(f.sandbox.messages.isEmpty());
    }

    void aboutBoxIsModalOverTheMainWindow()
    {
        ExitFixture f;
        f.start();
        QString version;
        whenModalOpens([&](QWidget* about) {
            version = childNamed<QLabel>(about, "lblVersion")->text();
            QTest::mouseClick(childNamed<QPushButton>(about, "cmdOK"), Qt::LeftButton);
        });
        childNamed<QAction>(f.window.get(), "mnuAbout")->trigger();
        QCOMPARE(version, QStringLiteral("Version " QUILLOCK_TEST_VERSION));
    }
};

QUILLOCK_TEST_MAIN(TestExit)
#include "tst_exit.moc"
