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
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
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
        Settings::SaveSetting(Settings::InitializedKey, QStringLiteral("T"));
        {
            frmMain window;
            chooseMasterPassword(QStringLiteral("opensesame"), QStringLiteral("opensesame"));
            QVERIFY(window.Load());
            QVERIFY(sandbox.openVault()->isInitialized());
            QCOMPARE(Decrypt(sandbox.openVault()->storedMasterPassword()), QStringLiteral("opensesame"));
            QCOMPARE(window.windowTitle(), QStringLiteral("Quillock"));
            window.close();
        }
        QSettings(Module1::ProgramTitle, Module1::ProgramTitle).clear();
        frmMain later;
        QVERIFY(later.Load());
        QCOMPARE(QApplication::activeModalWidget(), nullptr);
        QCOMPARE(sandbox.ends, 0);
        QVERIFY(sandbox.messages.isEmpty());
    }

    void exitOnTheFirstRunEndsWithNothingStored()
    {
        Sandbox sandbox;
        frmMain window;
        WhenModalOpens([](QWidget* dialog) { QTest::mouseClick(Child<QPushButton>(dialog, "cmdExit"), Qt::LeftButton); });
        QVERIFY(!window.Load());
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
        QVERIFY(window.Load());
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
        QVERIFY(window.Load());
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
            const bool loaded = window.Load();
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
        QVERIFY(!window.Load());
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
        QVERIFY(window.Load());
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
            QVERIFY(window.Load());
            QVERIFY(!QFile::exists(QStringLiteral("temp.icx")));
            QVERIFY(sandbox.messages.isEmpty());
            window.close();
        }
        QFile::setPermissions(sandbox.workFolder(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    void secondCopySharesTheVaultWithoutLosingChanges()
    {
        Sandbox sandbox;
        sandbox.initializeMaster(QStringLiteral("opensesame"));
        frmMain first;
        QVERIFY(first.Load());
        const auto before = InodeOf(sandbox.vaultPath());
        frmMain second;
        QVERIFY(second.Load());
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
