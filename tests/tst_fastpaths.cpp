// Lookups that go straight to a remembered row must answer exactly what a
// walk of the ordered query would: after our own writes, after another
// connection's, and after another process's.
#include "testsupport.h"

#include "accounts/frmMain.h"
#include "vault/apperror.h"
#include "vault/sqlite.h"
#include "vault/stringcipher.h"

#include <QComboBox>
#include <QLabel>
#include <QProcess>
#include <QStandardPaths>

namespace {

// The row ids of the ordered query, read on a connection of its own.
std::vector<qint64> walkedOrder(const QString& path)
{
    Database raw;
    raw.open(path, VaultStore::DatabasePassword);
    VaultStore::registerAccountOrder(raw);
    Statement query(raw, "select rowid from accounts order by account collate UNICODE_NOCASE, rowid");
    std::vector<qint64> rowids;
    while (query.step())
        rowids.push_back(query.integer(0));
    return rowids;
}

// Every position of `vault` answers the walked row, and none past either end.
void verifyPositions(VaultStore& vault, const QString& path)
{
    const std::vector<qint64> expected = walkedOrder(path);
    for (size_t i = 0; i < expected.size(); ++i) {
        const auto row = vault.accountAt(qint64(i) + 1);
        QVERIFY2(row, qPrintable(QStringLiteral("no row at %1").arg(i + 1)));
        QCOMPARE(row->rowid, expected[i]);
    }
    QVERIFY(!vault.accountAt(0));
    QVERIFY(!vault.accountAt(qint64(expected.size()) + 1));
}

void rawExec(const QString& path, const char* sql)
{
    Database raw;
    raw.open(path, VaultStore::DatabasePassword);
    raw.exec(sql);
}

}  // namespace

class TestFastPaths : public QObject {
    Q_OBJECT
private slots:
    void rememberedPositionsMatchTheWalk()
    {
        Sandbox sandbox;
        for (const char* name : {"delta", "Alpha", "alpha", "ALPHA", "Ωmega", "émile", "bravo", "Charlie"})
            sandbox.addAccount(QString::fromUtf8(name), QStringLiteral("user of %1").arg(QString::fromUtf8(name)));
        auto vault = sandbox.openVault();
        const std::vector<AccountEntry> list = vault->accountList();
        QCOMPARE(list.size(), size_t(8));
        verifyPositions(*vault, sandbox.vaultPath());
        // The whole row comes back, not only its id.
        const auto last = vault->accountAt(8);
        QCOMPARE(last->fields.account, list.back().account);
        QCOMPARE(Decrypt(last->fields.username), QStringLiteral("user of %1").arg(list.back().account));
    }

    void ourOwnWritesAreNoticed()
    {
        Sandbox sandbox;
        for (const char* name : {"b", "d", "f"})
            sandbox.addAccount(QString::fromLatin1(name));
        auto vault = sandbox.openVault();
        vault->accountList();

        // Our own commits leave PRAGMA data_version as it was.
        const qint64 added = vault->appendAccount({QStringLiteral("a"), Encrypt({}), Encrypt({}), {}, {}, {}});
        QCOMPARE(vault->accountAt(1)->rowid, added);
        verifyPositions(*vault, sandbox.vaultPath());

        vault->accountList();
        const auto first = vault->accountAt(1);
        AccountFields renamed = first->fields;
        renamed.account = QStringLiteral("z");
        QVERIFY(vault->updateAccountAt(1, first->rowid, renamed));
        QCOMPARE(vault->accountAt(4)->rowid, first->rowid);
        verifyPositions(*vault, sandbox.vaultPath());

        vault->accountList();
        const auto second = vault->accountAt(2);
        QVERIFY(vault->deleteAccountAt(2, second->rowid));
        verifyPositions(*vault, sandbox.vaultPath());
        QCOMPARE(vault->accountList().size(), size_t(3));
    }

    void anotherConnectionsChangesAreNoticed_data()
    {
        QTest::addColumn<QString>("change");
        QTest::newRow("insert before the first") << QStringLiteral("insert into accounts (account) values ('aaa')");
        QTest::newRow("delete the first") << QStringLiteral("delete from accounts where account = 'b'");
        QTest::newRow("rename to the end") << QStringLiteral("update accounts set account = 'zzz' where account = 'b'");
        QTest::newRow("delete all") << QStringLiteral("delete from accounts");
    }

    void anotherConnectionsChangesAreNoticed()
    {
        QFETCH(QString, change);
        Sandbox sandbox;
        for (const char* name : {"b", "d", "f", "h"})
            sandbox.addAccount(QString::fromLatin1(name));
        auto vault = sandbox.openVault();
        vault->accountList();
        verifyPositions(*vault, sandbox.vaultPath());
        rawExec(sandbox.vaultPath(), change.toUtf8().constData());
        verifyPositions(*vault, sandbox.vaultPath());
    }

    void staleListedRowsAreNeverChanged()
    {
        Sandbox sandbox;
        sandbox.addAccount(QStringLiteral("b"));
        sandbox.addAccount(QStringLiteral("c"));
        auto vault = sandbox.openVault();
        const qint64 listedFirst = vault->accountList().front().rowid;
        sandbox.addAccount(QStringLiteral("a"));  // now at position 1
        const AccountFields replacement{QStringLiteral("x"), Encrypt({}), Encrypt({}), {}, {}, {}};
        QVERIFY(!vault->updateAccountAt(1, listedFirst, replacement));
        QVERIFY(!vault->deleteAccountAt(1, listedFirst));
        QCOMPARE(walkedOrder(sandbox.vaultPath()).size(), size_t(3));
        QVERIFY(vault->deleteAccountAt(2, listedFirst));
        verifyPositions(*vault, sandbox.vaultPath());
    }

    void anotherProcessesChangesAreNoticed()
    {
        const QString shell = QStandardPaths::findExecutable(QStringLiteral("sqlcipher"));
        if (shell.isEmpty())
            QSKIP("the sqlcipher shell is not installed");
        Sandbox sandbox;
        for (const char* name : {"b", "d", "f"})
            sandbox.addAccount(QString::fromLatin1(name));
        auto vault = sandbox.openVault();
        vault->accountList();
        QProcess process;
        process.start(shell, {sandbox.vaultPath()});
        process.write("PRAGMA key = 'tuvesk';\n"
                      "insert into accounts (account, username, password, url, hint, notes) "
                      "values ('a', '', '', '', '', '');\n"
                      "delete from accounts where account = 'f';\n");
        process.closeWriteChannel();
        QVERIFY(process.waitForFinished(30000));
        QCOMPARE(process.exitCode(), 0);
        QCOMPARE(vault->accountAt(1)->fields.account, QStringLiteral("a"));
        verifyPositions(*vault, sandbox.vaultPath());
    }

    void pickAfterAnotherCopyChangedTheVaultRebuildsTheList()
    {
        Sandbox sandbox;
        sandbox.initializeMaster(QStringLiteral("masterpass"));
        sandbox.addAccount(QStringLiteral("b"), QStringLiteral("user b"));
        sandbox.addAccount(QStringLiteral("c"), QStringLiteral("user c"));
        auto window = std::make_unique<frmMain>();
        QVERIFY(window->Load());
        auto* list = Child<QComboBox>(window.get(), "cboAccount");
        auto* username = Child<QLabel>(window.get(), "lblUsername");

        list->setCurrentIndex(1);
        emit list->activated(1);
        QCOMPARE(username->text(), QStringLiteral("user c"));

        // Position 2 now holds "b": the pick must not show it under "c".
        sandbox.addAccount(QStringLiteral("a"), QStringLiteral("user a"));
        list->setCurrentIndex(1);
        emit list->activated(1);
        QCOMPARE(username->text(), QString());
        QCOMPARE(list->count(), 3);
        QCOMPARE(list->currentIndex(), -1);

        list->setCurrentIndex(2);
        emit list->activated(2);
        QCOMPARE(username->text(), QStringLiteral("user c"));
    }

    void fixedKeyShortcutKeepsOtherKeysApart()
    {
        const QString other = QStringLiteral("1234");
        const QString underOther = StringCipher::instance().Encrypt(QStringLiteral("text"), other);
        QCOMPARE(StringCipher::instance().Decrypt(underOther, other), QStringLiteral("text"));
        QCOMPARE(ErrorCodeOf([&] { Decrypt(underOther); }), ErrorCode::CipherFailure);
        const QString underFixed = Encrypt(QStringLiteral("text"));
        QCOMPARE(StringCipher::instance().Decrypt(underFixed, StringCipher::FixedKey), QStringLiteral("text"));
        QCOMPARE(ErrorCodeOf([&] { StringCipher::instance().Decrypt(underFixed, other); }), ErrorCode::CipherFailure);
    }
};

QUILLOCK_TEST_MAIN(TestFastPaths)
#include "tst_fastpaths.moc"
