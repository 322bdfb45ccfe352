// Start-up over the vault: the hardened process, compaction, opening, the
// first run, the scratch icon, a report left part-written and the unload,
// with the failures start-up must survive or report.
#include "testsupport.h"

#include "accounts/frmMain.h"
#include "accounts/startup.h"
#include "report/reportwriter.h"
#include "shared/module1.h"
#include "shared/secrets.h"
#include "shared/settings.h"
#include "vault/apperror.h"
#include "vault/stringcipher.h"
#include "vault/vaultlock.h"

#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QPushButton>
#include <QScopeGuard>
#include <QSettings>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

void chooseMasterPassword(const QString& first, const QString& second)
{
    whenModalOpens([=](QWidget* dialog) {
        QCOMPARE(dialog->windowTitle(), QStringLiteral("Please select a . . ."));
        typeInto(dialog, "txtPassword1", first);
        typeInto(dialog, "txtPassword2", second);
        QTest::mouseClick(childNamed<QPushButton>(dialog, "cmdOk"), Qt::LeftButton);
    });
}

}  // namespace

class TestStartUp : public QObject {
    Q_OBJECT
private slots:
    void hardeningKeepsMemoryFromCoreFilesAndDebuggers()
    {
        // In a child, so this process keeps its own settings.
        const pid_t child = ::fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            ::prctl(PR_SET_DUMPABLE, 1, 0, 0, 0);
            ::umask(022);
            Secrets::hardenProcess();
            rlimit core{};
            ::getrlimit(RLIMIT_CORE, &core);
            mode_t forTheBrowser = 0;
            {
                const Secrets::UserUmask user;
                forTheBrowser = ::umask(0);
                ::umask(forTheBrowser);
            }
            ::_exit((::prctl(PR_GET_DUMPABLE, 0, 0, 0, 0) != 0 ? 1 : 0) | (core.rlim_cur || core.rlim_max ? 2 : 0)
                    | (::umask(0) != 077 ? 4 : 0) | (forTheBrowser != 022 ? 8 : 0));
        }
        int status = 0;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QVERIFY(WIFEXITED(status));
        QCOMPARE(WEXITSTATUS(status),
                 0);  // 1: dumpable, 2: core files allowed, 4: umask not 077, 8: the browser's umask not the user's
    }

    void firstRunAsksForTheMasterPasswordOnce()
    {
        MainWindowFixture f;
        // The setting is written, never read: it cannot skip the first run.
        Settings::saveSetting(Settings::InitializedKey, QStringLiteral("T"));
        chooseMasterPassword(MasterPassword, MasterPassword);
        QVERIFY(f.open());
        QVERIFY(f.sandbox.openVault()->isInitialized());
        QCOMPARE(Decrypt(f.sandbox.openVault()->storedMasterPassword()), MasterPassword);
        QCOMPARE(f.window->windowTitle(), QStringLiteral("Quillock"));
        f.window->close();
        f.window.reset();

        QSettings(Module1::ProgramTitle, Module1::ProgramTitle).clear();
        QVERIFY(f.open());
        QCOMPARE(QApplication::activeModalWidget(), nullptr);
        QCOMPARE(f.sandbox.ends, 0);
        QVERIFY(f.sandbox.messages.isEmpty());
    }

    void exitOnTheFirstRunEndsWithNothingStored()
    {
        MainWindowFixture f;
        whenModalOpens([](QWidget* dialog) { clickOn(dialog, "cmdExit"); });
        QVERIFY(!f.open());
        QCOMPARE(f.sandbox.ends, 1);
        QVERIFY(!f.sandbox.openVault()->isInitialized());
    }

    void listIsLoadedInOrderWithNothingSelected()
    {
        MainWindowFixture f;
        for (const char* name : {"beta", "Alpha", "gamma"})
            f.sandbox.addAccount(QString::fromLatin1(name));
        f.start();
        QCOMPARE(f.listed(), QStringList({"Alpha", "beta", "gamma"}));
        QCOMPARE(f.list()->currentIndex(), -1);
        for (const char* button : {"cmdEdit", "cmdDelete", "cmdHttp", "cmdReveal"})
            QVERIFY(!f.enabled(button));
        QVERIFY(!f.window->timer().isActive());
    }

    void compactionReplacesTheVaultAndLeavesNoCopy()
    {
        MainWindowFixture f;
        f.sandbox.initializeMaster(MasterPassword);
        f.sandbox.addAccount(QStringLiteral("kept"), QStringLiteral("user"), QStringLiteral("pass"));
        const QString compactPath = f.sandbox.appFolder() + QStringLiteral("/data1.mdb");
        // A leftover copy from an interrupted start never replaces the vault.
        writeFile(compactPath, "left over from an interrupted start");
        // A leftover's name on a link to another folder: that folder is not ours to empty.
        QTemporaryDir elsewhere;
        writeFile(elsewhere.filePath(QStringLiteral("kept")), "someone else's");
        QVERIFY(QFile::link(elsewhere.path(), f.sandbox.appFolder() + QStringLiteral("/.quillock-compact-Ln4Kd2")));
        const auto before = inodeOf(f.sandbox.vaultPath());

        QVERIFY(f.open());
        QVERIFY(!QFile::exists(compactPath));
        QVERIFY(QFile::exists(elsewhere.filePath(QStringLiteral("kept"))));
        QVERIFY(inodeOf(f.sandbox.vaultPath()) != before);  // a new file took its place
        QCOMPARE(f.listed(), QStringList({"kept"}));
        QCOMPARE(Decrypt(f.sandbox.openVault()->accountAt(1)->fields.password), QStringLiteral("pass"));
    }

    void unwritableFolderSkipsCompactionAndKeepsTheVault()
    {
        MainWindowFixture f;
        f.sandbox.initializeMaster(MasterPassword);
        f.sandbox.addAccount(QStringLiteral("kept"));
        const QByteArray before = readFile(f.sandbox.vaultPath());
        QFile::setPermissions(f.sandbox.appFolder(), QFile::ReadOwner | QFile::ExeOwner);
        {
            ObeyFilePermissions obey;
            const bool loaded = f.open();
            QVERIFY2(loaded, qPrintable(f.sandbox.messages.value(0).text));
            QCOMPARE(f.listed(), QStringList({"kept"}));
            QVERIFY(f.sandbox.messages.isEmpty());
            f.window->close();
            f.window.reset();
        }
        QFile::setPermissions(f.sandbox.appFolder(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QCOMPARE(readFile(f.sandbox.vaultPath()), before);
        QVERIFY(!QFile::exists(f.sandbox.appFolder() + QStringLiteral("/data1.mdb")));
    }

    void unusableVaultEndsWithOneMessage_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<int>("code");
        QTest::newRow("missing") << QByteArray() << ErrorCode::VaultNotFound;
        QTest::newRow("damaged") << QByteArray(8192, '\x17') << ErrorCode::UnrecognizedFormat;
        QTest::newRow("empty master") << QByteArray("no master row") << ErrorCode::NoCurrentRecord;
    }

    void unusableVaultEndsWithOneMessage()
    {
        QFETCH(QByteArray, contents);
        QFETCH(int, code);
        MainWindowFixture f;
        if (code == ErrorCode::NoCurrentRecord) {
            execOnVault(f.sandbox.vaultPath(), "delete from master");
        } else {
            QFile::remove(f.sandbox.vaultPath());
            if (!contents.isEmpty())
                writeFile(f.sandbox.vaultPath(), contents);
        }
        const QByteArray before = readFile(f.sandbox.vaultPath());

        QVERIFY(!f.open());
        verifyStartUpEnded(f.sandbox);
        const MessageBox::Request message = f.sandbox.messages.value(0);
        QVERIFY(message.text.contains(QString::number(code)));
        QVERIFY(message.text.endsWith(QStringLiteral("SQLCipher")));
        QCOMPARE(message.title, QStringLiteral("Quillock"));
        QCOMPARE(message.icon, QMessageBox::NoIcon);
        QCOMPARE(message.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        QVERIFY(!f.window->isVisible());
        // Nothing repaired, nothing created, no scratch icon.
        QCOMPARE(QFile::exists(f.sandbox.vaultPath()), !contents.isEmpty() || code == ErrorCode::NoCurrentRecord);
        if (code != ErrorCode::NoCurrentRecord)
            QCOMPARE(readFile(f.sandbox.vaultPath()), before);
        QVERIFY(!QFile::exists(QStringLiteral("temp.icx")));
    }

    void scratchIconLivesInTheWorkingFolderUntilUnload()
    {
        MainWindowFixture f;
        const QString inAppFolder = f.sandbox.appFolder() + QStringLiteral("/temp.icx");
        writeFile(inAppFolder, "not ours");
        f.start();
        QVERIFY(QFile::exists(f.sandbox.workFolder() + QStringLiteral("/temp.icx")));
        QVERIFY(!readFile(QStringLiteral("temp.icx")).isEmpty());
        QCOMPARE(f.window->Tray1().IconFile, QStringLiteral("temp.icx"));
        QVERIFY(!f.window->Tray1().findChild<QSystemTrayIcon*>()->icon().isNull());
        QCOMPARE(f.window->Tray1().TipText, QStringLiteral("Quillock"));
        f.window->close();
        QVERIFY(!QFile::exists(f.sandbox.workFolder() + QStringLiteral("/temp.icx")));
        QVERIFY(QFile::exists(inAppFolder));
        QCOMPARE(f.window->VaultDb(), nullptr);
        QCOMPARE(f.sandbox.ends, 0);
    }

    void readOnlyWorkingFolderStillStarts()
    {
        MainWindowFixture f;
        QFile::setPermissions(f.sandbox.workFolder(), QFile::ReadOwner | QFile::ExeOwner);
        {
            ObeyFilePermissions obey;
            f.start();
            QVERIFY(!QFile::exists(QStringLiteral("temp.icx")));
            QVERIFY(f.sandbox.messages.isEmpty());
            f.window->close();
            f.window.reset();
        }
        QFile::setPermissions(f.sandbox.workFolder(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    void scratchIconFolderIsNoHindrance()
    {
        MainWindowFixture f;
        QVERIFY(QDir().mkdir(QStringLiteral("temp.icx")));
        f.start();
        f.window->close();
        QVERIFY2(f.sandbox.messages.isEmpty(), qPrintable(f.sandbox.messages.value(0).text));
    }

    // A program killed while writing the report leaves its scratch file, with
    // the passwords in it, only until the next start.
    void interruptedReportIsRemovedByTheNextStart()
    {
        MainWindowFixture f;
        f.sandbox.initializeMaster(MasterPassword);
        for (int i = 0; i < 200; ++i)
            f.sandbox.addAccount(QStringLiteral("account %1").arg(i), QStringLiteral("user"), QStringLiteral("pw"));
        const pid_t child = ::fork();
        if (child == 0) {
            // The file size limit kills the writer part way, as a crash would.
            const rlimit noCore{0, 0}, small{4096, 4096};
            ::setrlimit(RLIMIT_CORE, &noCore);
            ::setrlimit(RLIMIT_FSIZE, &small);
            writeReport(*VaultStore::open(f.sandbox.vaultPath()), f.sandbox.appFolder() + "/report.htm");
            ::_exit(0);
        }
        int status = 0;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QVERIFY(WIFSIGNALED(status));
        const QString left = QStringLiteral(".report.htm.%1.").arg(child);
        QCOMPARE(folderEntries(f.sandbox.appFolder()).filter(left).size(), 1);
        // One that a running copy is writing stays.
        const QString running = f.sandbox.appFolder() + QStringLiteral("/.report.htm.1.AbCdEf");
        writeFile(running, "being written", 0600);
        QVERIFY(f.open());
        QCOMPARE(folderEntries(f.sandbox.appFolder()),
                 (QStringList{QStringLiteral(".report.htm.1.AbCdEf"), QStringLiteral("data.mdb")}));
    }

    void busyOrDeniedStepsAreSkipped_data()
    {
        using Step = StartUp::Step;
        QTest::addColumn<int>("step");
        QTest::addColumn<int>("code");
        QTest::addColumn<bool>("goesOn");
        const std::pair<const char*, Step> steps[] = {{"sharing the folder lock", Step::ShareLock},
                                                      {"first-run test", Step::FirstRunTest},
                                                      {"first list", Step::FirstList}};
        for (const auto& [name, step] : steps) {
            QTest::addRow("%s, busy", name) << int(step) << ErrorCode::Busy << true;
            QTest::addRow("%s, denied", name) << int(step) << ErrorCode::PathAccess << true;
            QTest::addRow("%s, damaged", name) << int(step) << ErrorCode::VaultDamaged << false;
        }
    }

    void busyOrDeniedStepsAreSkipped()
    {
        QFETCH(int, step);
        QFETCH(int, code);
        QFETCH(bool, goesOn);
        MainWindowFixture f;
        f.sandbox.initializeMaster(MasterPassword);
        f.sandbox.addAccount(QStringLiteral("kept"));
        StartUp::setProbe([=](StartUp::Step running) {
            if (int(running) == step)
                throw AppError(code, QStringLiteral("refused"), ErrorSource::Store);
        });
        const auto noProbe = qScopeGuard([] { StartUp::setProbe({}); });

        QCOMPARE(f.open(), goesOn);
        if (!goesOn) {
            verifyStartUpEnded(f.sandbox);
            QCOMPARE(f.sandbox.messages.first().text, QStringLiteral("error at formloadrefused%1SQLCipher").arg(code));
            return;
        }
        QVERIFY2(f.sandbox.messages.isEmpty(), qPrintable(f.sandbox.messages.value(0).text));
        QCOMPARE(f.window->windowTitle(), QStringLiteral("Quillock"));
        QVERIFY(f.window->Tray1().isShown());
        // A skipped first list leaves the list empty until the next rebuild.
        const bool listSkipped = step == int(StartUp::Step::FirstList);
        QCOMPARE(f.listed(), listSkipped ? QStringList() : QStringList({"kept"}));
    }

    // The window takes what start-up got even when start-up fails: while
    // the program ends, no other copy may compact the vault it has open.
    void failedStartUpKeepsTheVaultAndItsLock()
    {
        MainWindowFixture f;
        f.sandbox.initializeMaster(MasterPassword);
        StartUp::setProbe([](StartUp::Step running) {
            if (running == StartUp::Step::FirstRunTest)
                throw AppError(ErrorCode::VaultDamaged, QStringLiteral("refused"), ErrorSource::Store);
        });
        const auto noProbe = qScopeGuard([] { StartUp::setProbe({}); });

        QVERIFY(!f.open());
        QVERIFY(f.window->VaultDb());
        VaultLock other(f.sandbox.vaultPath());
        QCOMPARE(errorCodeOf([&] { other.takeExclusive(); }), ErrorCode::Busy);
    }

    void keyboardStartsOnExitProgram()
    {
        MainWindowFixture f;
        f.start();
        f.window->activateWindow();
        QVERIFY(waitUntilActive(f.window.get()));
        QCOMPARE(QApplication::focusWidget(), childNamed<QWidget>(f.window.get(), "cmdExit"));

        // The first key acts on "Exit Program", which asks; never on a
        // guarded command, which would prompt for the master password.
        QString prompted;
        whenModalOpens([&prompted](QWidget* dialog) {
            prompted = dialog->windowTitle();
            static_cast<QDialog*>(dialog)->reject();
        });
        f.sandbox.answers = {QMessageBox::Cancel};
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
        callOffModalActions();
        QCOMPARE(prompted, QString());
        QCOMPARE(f.sandbox.messages.size(), 1);
        QCOMPARE(f.sandbox.messages.first().title, QStringLiteral("Quillock Exit Utility"));
    }

    void secondCopySharesTheVaultWithoutLosingChanges()
    {
        MainWindowFixture f;
        f.start();
        const auto before = inodeOf(f.sandbox.vaultPath());
        frmMain second;
        QVERIFY(second.load());
        // The second copy must not have replaced the file under the first.
        QCOMPARE(inodeOf(f.sandbox.vaultPath()), before);
        f.window->VaultDb()->appendAccount(
            {QStringLiteral("added by the first copy"), Encrypt({}), Encrypt({}), {}, {}, {}});
        QCOMPARE(f.sandbox.openVault()->accountList().size(), size_t(1));
        second.LoadAccountList();
        auto* secondList = childNamed<QComboBox>(&second, "cboAccount");
        QCOMPARE(secondList->count(), 1);
        QCOMPARE(secondList->itemText(0), QStringLiteral("added by the first copy"));
    }
};

QUILLOCK_TEST_MAIN(TestStartUp)
#include "tst_startup.moc"
