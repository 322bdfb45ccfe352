// Start-up over the vault: compaction, opening, the first run, the scratch
// icon and the unload, with the failures start-up must survive or report.
#include "testsupport.h"

#include "accounts/frmMain.h"
#include "shared/module1.h"
#include "shared/settings.h"
#include "vault/apperror.h"
#include "vault/sqlite.h"
#include "vault/stringcipher.h"

#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QScopeGuard>
#include <QSettings>

namespace {

QStringList listed(frmMain& window)
{
    QStringList names;
    auto* list = Child<QComboBox>(&window, "cboAccount");
    for (int i = 0; i < list->count(); ++i)
        names << list->itemText(i);
    return names;
}

void chooseMasterPassword(const QString& first, const QString& second)
{
    WhenModalOpens([=](QWidget* dialog) {
        QCOMPARE(dialog->windowTitle(), QStringLiteral("Please select a . . ."));
        TypeInto(dialog, "txtPassword1", first);
        TypeInto(dialog, "txtPassword2", second);
        QTest::mouseClick(Child<QPushButton>(dialog, "cmdOk"), Qt::LeftButton);
    });
}

}  // namespace

class TestStartUp : public QObject {
    Q_OBJECT
private slots:
    void firstRunAsksForTheMasterPasswordOnce()
    {
        Sandbox sandbox;
        // The setting is written, never read: it cannot skip the first run.
        Settings::saveSetting(Settings::InitializedKey, QStringLiteral("T"));
        {
            frmMain window;
            chooseMasterPassword(QStringLiteral("opensesame"), QStringLiteral("opensesame"));
            QVERIFY(window.load());
            QVERIFY(sandbox.openVault()->isInitialized());
            QCOMPARE(Decrypt(sandbox.openVault()->storedMasterPassword()), QStringLiteral("opensesame"));
            QCOMPARE(window.windowTitle(), QStringLiteral("Quillock"));
            window.close();
        }
        QSettings(Module1::ProgramTitle, Module1::ProgramTitle).clear();
        frmMain later;
        QVERIFY(later.load());
        QCOMPARE(QApplication::activeModalWidget(), nullptr);
        QCOMPARE(sandbox.ends, 0);
        QVERIFY(sandbox.messages.isEmpty());
    }

    void exitOnTheFirstRunEndsWithNothingStored()
    {
        Sandbox sandbox;
        frmMain window;
        WhenModalOpens([](QWidget* dialog) { QTest::mouseClick(Child<QPushButton>(dialog, "cmdExit"), Qt::LeftButton); });
        QVERIFY(!window.load());
        QCOMPARE(sandbox.ends, 1);
        QVERIFY(!sandbox.openVault()->isInitialized());
    }

    void listIsLoadedInOrderWithNothingSelected()
    {
        Sandbox sandbox;
        sandbox.initializeMaster(QStringLiteral("opensesame"));
        for (const char* name : {"beta", "Alpha", "gamma"})
            sandbox.addAccount(QString::fromLatin1(name));
        frmMain window;
        QVERIFY(window.load());
        QCOMPARE(listed(window), QStringList({"Alpha", "beta", "gamma"}));
        QCOMPARE(Child<QComboBox>(&window, "cboAccount")->currentIndex(), -1);
        for (const char* button : {"cmdEdit", "cmdDelete", "cmdHttp", "cmdReveal"})
            QVERIFY(!Child<QPushButton>(&window, button)->isEnabled());
        QVERIFY(!window.timer().isActive());
    }

    void compactionReplacesTheVaultAndLeavesNoCopy()
    {
        Sandbox sandbox;
        sandbox.initializeMaster(QStringLiteral("opensesame"));
        sandbox.addAccount(QStringLiteral("kept"), QStringLiteral("user"), QStringLiteral("pass"));
        const QString compactPath = sandbox.appFolder() + QStringLiteral("/data1.mdb");
        // A leftover copy from an interrupted start never replaces the vault.
        WriteFile(compactPath, "left over from an interrupted start");
        const auto before = InodeOf(sandbox.vaultPath());

        frmMain window;
        QVERIFY(window.load());
        QVERIFY(!QFile::exists(compactPath));
        QVERIFY(InodeOf(sandbox.vaultPath()) != before);  // a new file took its place
        QCOMPARE(listed(window), QStringList({"kept"}));
        QCOMPARE(Decrypt(sandbox.openVault()->accountAt(1)->fields.password), QStringLiteral("pass"));
    }

    void unwritableFolderSkipsCompactionAndKeepsTheVault()
    {
        Sandbox sandbox;
        sandbox.initializeMaster(QStringLiteral("opensesame"));
        sandbox.addAccount(QStringLiteral("kept"));
        const QByteArray before = ReadFile(sandbox.vaultPath());
        QFile::setPermissions(sandbox.appFolder(), QFile::ReadOwner | QFile::ExeOwner);
        {
            ObeyFilePermissions obey;
            frmMain window;
            const bool loaded = window.load();
            QVERIFY2(loaded, qPrintable(sandbox.messages.value(0).text));
            QCOMPARE(listed(window), QStringList({"kept"}));
            QVERIFY(sandbox.messages.isEmpty());
            window.close();
        }
        QFile::setPermissions(sandbox.appFolder(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QCOMPARE(ReadFile(sandbox.vaultPath()), before);
        QVERIFY(!QFile::exists(sandbox.appFolder() + QStringLiteral("/data1.mdb")));
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
        Sandbox sandbox;
        if (code == ErrorCode::NoCurrentRecord) {
            Database raw;
            raw.open(sandbox.vaultPath(), VaultStore::DatabasePassword);
            raw.exec("delete from master");
        } else {
            QFile::remove(sandbox.vaultPath());
            if (!contents.isEmpty())
                WriteFile(sandbox.vaultPath(), contents);
        }
        const QByteArray before = ReadFile(sandbox.vaultPath());

        frmMain window;
        QVERIFY(!window.load());
        QCOMPARE(sandbox.ends, 1);
        QCOMPARE(sandbox.messages.size(), 1);
        const MessageBox::Request& message = sandbox.messages.first();
        QVERIFY(message.text.startsWith(QStringLiteral("error at formload")));
        QVERIFY(message.text.contains(QString::number(code)));
        QVERIFY(message.text.endsWith(QStringLiteral("SQLCipher")));
        QCOMPARE(message.title, QStringLiteral("Quillock"));
        QCOMPARE(message.icon, QMessageBox::NoIcon);
        QCOMPARE(message.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        QVERIFY(!window.isVisible());
        // Nothing repaired, nothing created, no scratch icon.
        QCOMPARE(QFile::exists(sandbox.vaultPath()), !contents.isEmpty() || code == ErrorCode::NoCurrentRecord);
        if (code != ErrorCode::NoCurrentRecord)
            QCOMPARE(ReadFile(sandbox.vaultPath()), before);
        QVERIFY(!QFile::exists(QStringLiteral("temp.icx")));
    }

    void scratchIconLivesInTheWorkingFolderUntilUnload()
    {
        Sandbox sandbox;
        sandbox.initializeMaster(QStringLiteral("opensesame"));
        const QString inAppFolder = sandbox.appFolder() + QStringLiteral("/temp.icx");
        WriteFile(inAppFolder, "not ours");
        frmMain window;
        QVERIFY(window.load());
        QVERIFY(QFile::exists(sandbox.workFolder() + QStringLiteral("/temp.icx")));
        QVERIFY(!ReadFile(QStringLiteral("temp.icx")).isEmpty());
        QCOMPARE(window.Tray1().IconFile, QStringLiteral("temp.icx"));
        QCOMPARE(window.Tray1().TipText, QStringLiteral("Quillock"));
        window.close();
        QVERIFY(!QFile::exists(sandbox.workFolder() + QStringLiteral("/temp.icx")));
        QVERIFY(QFile::exists(inAppFolder));
        QCOMPARE(window.VaultDb(), nullptr);
        QCOMPARE(sandbox.ends, 0);
    }

    void readOnlyWorkingFolderStillStarts()
    {
        Sandbox sandbox;
        sandbox.initializeMaster(QStringLiteral("opensesame"));
        QFile::setPermissions(sandbox.workFolder(), QFile::ReadOwner | QFile::ExeOwner);
        {
            ObeyFilePermissions obey;
            frmMain window;
            QVERIFY(window.load());
            QVERIFY(!QFile::exists(QStringLiteral("temp.icx")));
            QVERIFY(sandbox.messages.isEmpty());
            window.close();
        }
        QFile::setPermissions(sandbox.workFolder(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    void busyOrDeniedStepsAreSkipped_data()
    {
        using Step = frmMain::StartUpStep;
        QTest::addColumn<int>("step");
        QTest::addColumn<int>("code");
        QTest::addColumn<bool>("goesOn");
        const std::pair<const char*, Step> steps[] = {
            {"sharing the folder lock", Step::ShareLock}, {"first-run test", Step::FirstRunTest},
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
        Sandbox sandbox;
        sandbox.initializeMaster(QStringLiteral("opensesame"));
        sandbox.addAccount(QStringLiteral("kept"));
        frmMain::setStartUpProbe([=](frmMain::StartUpStep running) {
            if (int(running) == step)
                throw AppError(code, QStringLiteral("refused"), ErrorSource::Store);
        });
        const auto noProbe = qScopeGuard([] { frmMain::setStartUpProbe({}); });

        frmMain window;
        QCOMPARE(window.load(), goesOn);
        if (!goesOn) {
            QCOMPARE(sandbox.messages.size(), 1);
            QCOMPARE(sandbox.messages.first().text,
                     QStringLiteral("error at formloadrefused%1SQLCipher").arg(code));
            return;
        }
        QVERIFY2(sandbox.messages.isEmpty(), qPrintable(sandbox.messages.value(0).text));
        QCOMPARE(window.windowTitle(), QStringLiteral("Quillock"));
        QVERIFY(window.Tray1().isShown());
        // A skipped first list leaves the list empty until the next rebuild.
        const bool listSkipped = step == int(frmMain::StartUpStep::FirstList);
        QCOMPARE(listed(window), listSkipped ? QStringList() : QStringList({"kept"}));
    }

    void keyboardStartsOnExitProgram()
    {
        Sandbox sandbox;
        sandbox.initializeMaster(QStringLiteral("opensesame"));
        frmMain window;
        QVERIFY(window.load());
        window.show();
        window.activateWindow();
        QVERIFY(WaitUntilActive(&window));
        QCOMPARE(QApplication::focusWidget(), Child<QWidget>(&window, "cmdExit"));

        // The first key acts on "Exit Program", which asks; never on a
        // guarded command, which would prompt for the master password.
        QString prompted;
        WhenModalOpens([&prompted](QWidget* dialog) {
            prompted = dialog->windowTitle();
            static_cast<QDialog*>(dialog)->reject();
        });
        sandbox.answers = {QMessageBox::Cancel};
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
        CallOffModalActions();
        QCOMPARE(prompted, QString());
        QCOMPARE(sandbox.messages.size(), 1);
        QCOMPARE(sandbox.messages.first().title, QStringLiteral("Quillock Exit Utility"));
    }

    void secondCopySharesTheVaultWithoutLosingChanges()
    {
        Sandbox sandbox;
        sandbox.initializeMaster(QStringLiteral("opensesame"));
        frmMain first;
        QVERIFY(first.load());
        const auto before = InodeOf(sandbox.vaultPath());
        frmMain second;
        QVERIFY(second.load());
        // The second copy must not have replaced the file under the first.
        QCOMPARE(InodeOf(sandbox.vaultPath()), before);
        first.VaultDb()->appendAccount({QStringLiteral("added by the first copy"), Encrypt({}), Encrypt({}), {}, {}, {}});
        QCOMPARE(sandbox.openVault()->accountList().size(), size_t(1));
        second.LoadAccountList();
        QCOMPARE(listed(second), QStringList({"added by the first copy"}));
    }
};

QUILLOCK_TEST_MAIN(TestStartUp)
#include "tst_startup.moc"
