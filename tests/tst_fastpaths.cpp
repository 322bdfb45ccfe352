// Lookups that go straight to a remembered row must answer exactly what a
// walk of the ordered query would: after our own writes, after another
// connection's, and after another process's.
#include "testsupport.h"

#include "accounts/frmMain.h"
#include "vault/apperror.h"
#include "vault/sqlite.h"
#include "vault/stringcipher.h"

#include <QComboBox>
#include <QProcess>
#include <QStandardPaths>
#include <random>

namespace {

// The row ids and names of the ordered query, read on a connection of its own.
std::vector<AccountEntry> walkedEntries(const QString& path)
{
    Database raw;
    raw.open(path, VaultStore::DatabasePassword);
    registerAccountOrder(raw);
    Statement query(raw, "select rowid, account from accounts order by account collate UNICODE_NOCASE, rowid");
    std::vector<AccountEntry> entries;
    while (query.step())
        entries.push_back({query.integer(0), query.text(1)});
    return entries;
}

// The username at the 0-based `index` of the ordered query, read the same way.
QString walkedUsername(const QString& path, int index)
{
    Database raw;
    raw.open(path, VaultStore::DatabasePassword);
    registerAccountOrder(raw);
    Statement query(raw,
                    "select username from accounts order by account collate UNICODE_NOCASE, rowid limit 1 offset ?");
    query.bind(1, qint64(index));
    return query.step() ? Decrypt(query.text(0)) : QStringLiteral("no row at %1").arg(index);
}

// Every position of `vault` answers the walked row, and none past either end.
void verifyPositions(VaultStore& vault, const QString& path)
{
    const std::vector<AccountEntry> expected = walkedEntries(path);
    for (size_t i = 0; i < expected.size(); ++i) {
        const auto row = vault.accountAt(qint64(i) + 1);
        QVERIFY2(row, qPrintable(QStringLiteral("no row at %1").arg(i + 1)));
        QCOMPARE(row->rowid, expected[i].rowid);
    }
    QVERIFY(!vault.accountAt(0));
    QVERIFY(!vault.accountAt(qint64(expected.size()) + 1));
}

// Names in many scripts and both cases, with ties: pieces that fold alike
// ("STRASSE"/"strasse", "Ωmega"/"ωMEGA", Deseret capitals and smalls),
// pieces that only look alike ("straße", the "ﬁ" ligature, dotted and
// dotless i) and a small number so that equal names come up often.
QString randomName(std::mt19937& random)
{
    static const QStringList pieces = {
        QStringLiteral("alpha"),    QStringLiteral("Alpha"),   QStringLiteral("ALPHA"),    QStringLiteral("émile"),
        QStringLiteral("Émile"),    QStringLiteral("Ωmega"),   QStringLiteral("ωMEGA"),    QStringLiteral("straße"),
        QStringLiteral("STRASSE"),  QStringLiteral("strasse"), QStringLiteral("İstanbul"), QStringLiteral("ıstanbul"),
        QStringLiteral("Istanbul"), QStringLiteral("ǅemal"),   QStringLiteral("ǆemal"),    QStringLiteral("ﬁle"),
        QStringLiteral("FILE"),     QStringLiteral("Ярослав"), QStringLiteral("ярослав"),  QStringLiteral("日本"),
        QStringLiteral("中文"),     QStringLiteral("عربي"),    QStringLiteral("עברית"),    QStringLiteral("ΣΊΣΥΦΟΣ"),
        QStringLiteral("σίσυφος"),  QStringLiteral("𐐀𐐁"),      QStringLiteral("𐐨𐐩"),       QStringLiteral("😀"),
        QStringLiteral("Zeta"),     QStringLiteral("zeta"),    QStringLiteral(" "),        QStringLiteral("_"),
        QStringLiteral("~"),        QStringLiteral("0"),       QStringLiteral(" "),        QStringLiteral("Ａ"),
        QStringLiteral("ａ")};
    QString name;
    const int count = 1 + int(random() % 3);
    for (int i = 0; i < count; ++i)
        name += pieces.at(qsizetype(random() % pieces.size()));
    if (random() % 2)
        name += QString::number(random() % 20);
    return name;
}

// A connection that has read its list once, on a vault holding `names`.
std::unique_ptr<VaultStore> listedVault(Sandbox& sandbox, std::initializer_list<const char*> names)
{
    for (const char* name : names)
        sandbox.addAccount(QString::fromLatin1(name));
    auto vault = sandbox.openVault();
    vault->accountList();
    return vault;
}

AccountFields fieldsNamed(const QString& name, qint64 serial)
{
    return {name, Encrypt(QStringLiteral("user %1").arg(serial)), Encrypt({}), QStringLiteral("http://"), {}, {}};
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
        auto vault = listedVault(sandbox, {"b", "d", "f"});

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
        QTest::newRow("rename in case only") << QStringLiteral("update accounts set account = 'D' where account = 'd'");
        // More than the store follows one by one: the order is built afresh.
        QString many = QStringLiteral("begin;");
        for (int i = 0; i < 300; ++i)
            many += QStringLiteral("insert into accounts (account) values ('%1%2');").arg(i % 2 ? u'x' : u'X').arg(i);
        QTest::newRow("more than the changes kept") << many + QStringLiteral("commit;");
    }

    void anotherConnectionsChangesAreNoticed()
    {
        QFETCH(QString, change);
        Sandbox sandbox;
        auto vault = listedVault(sandbox, {"b", "d", "f", "h"});
        verifyPositions(*vault, sandbox.vaultPath());
        execOnVault(sandbox.vaultPath(), change.toUtf8().constData());
        verifyPositions(*vault, sandbox.vaultPath());
        QCOMPARE(vault->accountList(), walkedEntries(sandbox.vaultPath()));
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
        QCOMPARE(walkedEntries(sandbox.vaultPath()).size(), size_t(3));
        QVERIFY(vault->deleteAccountAt(2, listedFirst));
        verifyPositions(*vault, sandbox.vaultPath());
    }

    void anotherProcessesChangesAreNoticed()
    {
        const QString shell = QStandardPaths::findExecutable(QStringLiteral("sqlcipher"));
        if (shell.isEmpty())
            QSKIP("the sqlcipher shell is not installed");
        Sandbox sandbox;
        auto vault = listedVault(sandbox, {"b", "d", "f"});
        QProcess process;
        process.start(shell, {sandbox.vaultPath()});
        process.write("PRAGMA key = 'tuvesk';\nPRAGMA cipher_compatibility = 3;\n"
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
        MainWindowFixture f;
        f.sandbox.addAccount(QStringLiteral("b"), QStringLiteral("user b"));
        f.sandbox.addAccount(QStringLiteral("c"), QStringLiteral("user c"));
        f.start();
        f.pick(1);
        QCOMPARE(f.label("lblUsername"), QStringLiteral("user c"));

        // Position 2 now holds "b": the pick must not show it under "c".
        f.sandbox.addAccount(QStringLiteral("a"), QStringLiteral("user a"));
        f.pick(1);
        QCOMPARE(f.label("lblUsername"), QString());
        QCOMPARE(f.list()->count(), 3);
        QCOMPARE(f.list()->currentIndex(), -1);

        f.pick(2);
        QCOMPARE(f.label("lblUsername"), QStringLiteral("user c"));
    }

    void foldingKeepsSupplementaryCharactersInTheirBlock()
    {
        // What lets the list compare folded UTF-16 as the collation compares
        // folded code points.
        for (char32_t code = 0x10000; code <= 0x10FFFF; ++code)
            QVERIFY(QChar::highSurrogate(QChar::toCaseFolded(code)) == QChar::highSurrogate(code));
    }

    void keptListFollowsTheOrderedQuery()
    {
        MainWindowFixture f;
        std::mt19937 random(20261207);
        qint64 serial = 0;
        f.sandbox.openVault()->appendAccounts({}, [&](AccountFields& fields) {
            fields = fieldsNamed(randomName(random), ++serial);
            return serial < 2000;
        });
        f.start();
        VaultStore& ours = *f.window->VaultDb();
        auto other = f.sandbox.openVault();
        QComboBox* list = f.list();

        // The entry at `index` as our list and the vault now have it.
        const auto rowidAt = [&](int index) { return ours.accountOrder().at(size_t(index)).rowid; };
        const auto verify = [&](int step) {
            const std::vector<AccountEntry> expected = walkedEntries(f.sandbox.vaultPath());
            QCOMPARE(ours.accountList(), expected);
            QCOMPARE(list->count(), int(expected.size()));
            for (int i = 0; i < list->count(); ++i)
                QVERIFY2(list->itemText(i) == expected[size_t(i)].account, qPrintable(QString::number(step)));
            QCOMPARE(list->currentIndex(), -1);
        };
        for (int step = 0; step < 1000; ++step) {
            const int count = list->count();
            const int index = count > 0 ? int(random() % unsigned(count)) : -1;
            switch (random() % 10) {
            case 0:
            case 1:
            case 2:
            case 3:
                ours.appendAccount(fieldsNamed(randomName(random), ++serial));
                break;
            case 4:
            case 5:
                if (index >= 0)
                    QVERIFY(ours.updateAccountAt(index + 1, rowidAt(index), fieldsNamed(randomName(random), ++serial)));
                break;
            case 6:
            case 7:
                if (index >= 0)
                    QVERIFY(ours.deleteAccountAt(index + 1, rowidAt(index)));
                break;
            case 8:
                // Another copy of the program writes.
                if (random() % 2 || index < 0)
                    other->appendAccount(fieldsNamed(randomName(random), ++serial));
                else
                    QVERIFY(other->deleteAccountAt(index + 1, other->accountList().at(size_t(index)).rowid));
                break;
            default:
                // A pick on a list just brought up to date shows the row at
                // that place in the ordered query.
                if (index >= 0) {
                    f.pick(index);
                    QCOMPARE(list->currentIndex(), index);
                    QCOMPARE(f.label("lblUsername"), walkedUsername(f.sandbox.vaultPath(), index));
                }
                break;
            }
            f.window->LoadAccountList();
            if (step % 100 == 0)
                verify(step);
        }
        verify(1000);
    }

    void fixedKeyShortcutKeepsOtherKeysApart()
    {
        const QString other = QStringLiteral("1234");
        const QString underOther = StringCipher::instance().Encrypt(QStringLiteral("text"), other);
        QCOMPARE(StringCipher::instance().Decrypt(underOther, other), QStringLiteral("text"));
        QCOMPARE(errorCodeOf([&] { Decrypt(underOther); }), ErrorCode::CipherFailure);
        const QString underFixed = Encrypt(QStringLiteral("text"));
        QCOMPARE(StringCipher::instance().Decrypt(underFixed, StringCipher::FixedKey), QStringLiteral("text"));
        QCOMPARE(errorCodeOf([&] { StringCipher::instance().Decrypt(underFixed, other); }), ErrorCode::CipherFailure);
    }
};

QUILLOCK_TEST_MAIN(TestFastPaths)
#include "tst_fastpaths.moc"
