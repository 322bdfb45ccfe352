// Vault files and folders prepared by someone else: schema objects that
// would run inside the program, oversized rows, links to the vault, its
// copy and the scratch icon, and the modes the vault is kept with.
#include "testsupport.h"

#include "accounts/frmMain.h"
#include "shared/module1.h"
#include "vault/apperror.h"
#include "vault/sqlite.h"
#include "vault/stringcipher.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString Master = QStringLiteral("opensesame");

// Changes a vault the way another program could: no guard, no limits.
void alterUnguarded(const QString& path, const std::function<void(Database&)>& change)
{
    Database raw;
    raw.open(path, VaultStore::DatabasePassword);
    sqlite3_set_authorizer(raw.handle(), nullptr, nullptr);
    sqlite3_limit(raw.handle(), SQLITE_LIMIT_LENGTH, 64 * 1024 * 1024);
    VaultStore::registerAccountOrder(raw);
    change(raw);
}

void alterUnguarded(const QString& path, const char* sql)
{
    alterUnguarded(path, [sql](Database& raw) { raw.exec(sql); });
}

QStringList names(VaultStore& vault)
{
    QStringList found;
    for (const AccountEntry& entry : vault.accountList())
        found << entry.account;
    return found;
}

QStringList everythingIn(const QString& folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

unsigned modeOf(const QString& path)
{
    struct stat info {};
    ::stat(QFile::encodeName(path).constData(), &info);
    return info.st_mode & 07777;
}

// Adds an account through the main window's own dialog.
void addThroughWindow(frmMain& window, const QString& name)
{
    WhenModalOpens([name](QWidget* dialog) {
        Child<QLineEdit>(dialog, "txtName")->setText(name);
        Child<QLineEdit>(dialog, "txtURL")->setText(QStringLiteral("http://"));
        QTest::mouseClick(Child<QAbstractButton>(dialog, "cmdOk"), Qt::LeftButton);
    });
    QTest::mouseClick(Child<QAbstractButton>(&window, "cmdNewAccount"), Qt::LeftButton);
}

}  // namespace

class TestHostile : public QObject {
    Q_OBJECT
private slots:
    void hostileVaultIsRefusedAndLeftAsItIs_data()
    {
        QTest::addColumn<QByteArray>("sql");
        QTest::addColumn<QString>("named");
        QTest::newRow("trigger") << QByteArray("create trigger spy after insert on accounts begin "
                                               "update master set password = new.password; end")
                                 << "a trigger 'spy'";
        QTest::newRow("view") << QByteArray("create view everything as select * from accounts")
                              << "a view 'everything'";
        QTest::newRow("fts3") << QByteArray("create virtual table search using fts3(content)")
                              << "a virtual table 'search'";
        QTest::newRow("fts4 and a trigger reading it")
            << QByteArray("create virtual table search using fts4(content);"
                          "create trigger feed after insert on accounts begin "
                          "insert into search select content from search where search match new.account; end")
            << "a virtual table 'search'";
        QTest::newRow("extra table") << QByteArray("create table stolen (what text)") << "a table 'stolen'";
        QTest::newRow("index on an expression") << QByteArray("create index lowered on accounts (lower(account))")
                                                << "an index 'lowered' on an expression";
        QTest::newRow("partial index") << QByteArray("create index some on accounts (account) where url like 'x%'")
                                       << "a partial index 'some'";
        QTest::newRow("CHECK calling a function")
            << QByteArray("drop table accounts; create table accounts (account text check (length(account) < 999), "
                          "username text, password text, url text, hint text, notes text)")
            << "a CHECK constraint in table 'accounts'";
        QTest::newRow("foreign collation")
            << QByteArray("drop table accounts; create table accounts (account text collate unicode_nocase, "
                          "username text, password text, url text, hint text, notes text)")
            << "the collation 'unicode_nocase'";
        QTest::newRow("oversized value") << QByteArray() << "larger than 4 MB";
    }

    void hostileVaultIsRefusedAndLeftAsItIs()
    {
        QFETCH(QByteArray, sql);
        QFETCH(QString, named);
        Sandbox sandbox;
        sandbox.initializeMaster(Master);
        sandbox.addAccount(QStringLiteral("kept"));
        alterUnguarded(sandbox.vaultPath(), [&](Database& raw) {
            if (!sql.isEmpty()) {
                raw.exec(sql.constData());
                return;
            }
            Statement big(raw, "insert into accounts (account, notes) values ('big', ?)");
            big.bind(1, QString(MaxValueBytes + 1, QLatin1Char('n')));
            big.step();
        });
        const QByteArray before = ReadFile(sandbox.vaultPath());

        frmMain window;
        QVERIFY(!window.load());
        QCOMPARE(sandbox.ends, 1);
        QCOMPARE(sandbox.messages.size(), 1);
        const QString text = sandbox.messages.first().text;
        QVERIFY2(text.startsWith(QStringLiteral("error at formload")), qPrintable(text));
        QVERIFY2(text.endsWith(QString::number(ErrorCode::UntrustedVault) + QStringLiteral("SQLCipher")), qPrintable(text));
        QVERIFY2(text.contains(named), qPrintable(text));
        QCOMPARE(ReadFile(sandbox.vaultPath()), before);
        QCOMPARE(everythingIn(sandbox.appFolder()), QStringList{QStringLiteral("data.mdb")});

        // A start that skips the compaction meets the same refusal.
        QCOMPARE(ErrorCodeOf([&] { names(*VaultStore::open(sandbox.vaultPath())); }), ErrorCode::UntrustedVault);
        QCOMPARE(ReadFile(sandbox.vaultPath()), before);
    }

    void plainIndexesPassAndAreCompactedAlong()
    {
        Sandbox sandbox;
        sandbox.initializeMaster(Master);
        sandbox.addAccount(QStringLiteral("beta"));
        sandbox.addAccount(QStringLiteral("Alpha"));
        alterUnguarded(sandbox.vaultPath(), "create index byname on accounts (account collate nocase desc);"
                                            "create unique index onekey on master (key)");
        frmMain window;
        QVERIFY2(window.load(), qPrintable(sandbox.messages.value(0).text));
        QVERIFY(sandbox.messages.isEmpty());
        QCOMPARE(names(*window.VaultDb()), QStringList({"Alpha", "beta"}));
        Database check;
        check.open(sandbox.vaultPath(), VaultStore::DatabasePassword);
        Statement indexes(check, "select count(*) from sqlite_master where type = 'index'");
        indexes.step();
        QCOMPARE(indexes.integer(0), 2);
    }

    // The file's content never runs, even where no schema check stands.
    void connectionRefusesWhatTheProgramNeverDoes_data()
    {
        QTest::addColumn<QByteArray>("sql");
        QTest::newRow("read another table") << QByteArray("select what from stolen");
        QTest::newRow("function") << QByteArray("select hex(randomblob(8))");
        QTest::newRow("create") << QByteArray("create table more (x)");
        QTest::newRow("pragma") << QByteArray("pragma writable_schema = 1");
        QTest::newRow("attach") << QByteArray("attach database 'elsewhere.mdb' as elsewhere");
        QTest::newRow("export") << QByteArray("select sqlcipher_export('main')");
    }

    void connectionRefusesWhatTheProgramNeverDoes()
    {
        QFETCH(QByteArray, sql);
        Sandbox sandbox;
        sandbox.initializeMaster(Master);
        alterUnguarded(sandbox.vaultPath(), "create table stolen (what text);"
                                            "create trigger spy after insert on accounts begin "
                                            "insert into stolen values (new.password); end");
        {
            Database db;
            db.open(sandbox.vaultPath(), VaultStore::DatabasePassword);
            QCOMPARE(ErrorCodeOf([&] { db.exec(sql.constData()); }), ErrorCode::UntrustedVault);
            db.exec("insert into accounts (account, password) values ('new', 'secret')");
        }
        // The trigger stayed off for the program's own write.
        alterUnguarded(sandbox.vaultPath(), [](Database& raw) {
            Statement stolen(raw, "select count(*) from stolen");
            stolen.step();
            QCOMPARE(stolen.integer(0), 0);
        });
    }

    void symlinkedVaultStaysALinkAndGetsEveryChange()
    {
        Sandbox sandbox;
        sandbox.initializeMaster(Master);
        sandbox.addAccount(QStringLiteral("before"));
        QTemporaryDir synced;
        const QString real = synced.filePath(QStringLiteral("vault.mdb"));
        QVERIFY(QFile::rename(sandbox.vaultPath(), real));
        QVERIFY(QFile::link(real, sandbox.vaultPath()));
        // What an interrupted compaction leaves there must not stop the next.
        const QString leftover = synced.filePath(QStringLiteral(".quillock-compact-Ab12Cd"));
        QVERIFY(QDir().mkpath(leftover));
        WriteFile(leftover + QStringLiteral("/data1.mdb"), "partial copy");
        const auto inode = InodeOf(real);
        {
            frmMain window;
            QVERIFY2(window.load(), qPrintable(sandbox.messages.value(0).text));
            QVERIFY(InodeOf(real) != inode);  // compacted where the file lies
            QCOMPARE(QFileInfo(sandbox.vaultPath()).symLinkTarget(), real);
            addThroughWindow(window, QStringLiteral("after"));
            window.close();
        }
        QVERIFY(sandbox.messages.isEmpty());
        QCOMPARE(names(*VaultStore::open(real)), QStringList({"after", "before"}));
        QCOMPARE(everythingIn(synced.path()), QStringList{QStringLiteral("vault.mdb")});
        QCOMPARE(everythingIn(sandbox.appFolder()), QStringList{QStringLiteral("data.mdb")});
    }

    // Copies installed in two folders that link to one vault never replace
    // it under each other.
    void linkedVaultSharedByTwoFoldersIsNotReplacedUnderTheOther()
    {
        Sandbox sandbox;
        sandbox.initializeMaster(Master);
        QTemporaryDir otherApp;
        QTemporaryDir synced;
        const QString real = synced.filePath(QStringLiteral("vault.mdb"));
        QVERIFY(QFile::rename(sandbox.vaultPath(), real));
        QVERIFY(QFile::link(real, sandbox.vaultPath()));
        QVERIFY(QFile::link(real, otherApp.filePath(QStringLiteral("data.mdb"))));
        frmMain first;
        QVERIFY(first.load());
        const auto inode = InodeOf(real);
        Module1::setApplicationFolder(otherApp.path());
        frmMain second;
        QVERIFY(second.load());
        QCOMPARE(InodeOf(real), inode);
        addThroughWindow(first, QStringLiteral("added by the first"));
        second.LoadAccountList();
        QCOMPARE(Child<QComboBox>(&second, "cboAccount")->itemText(0), QStringLiteral("added by the first"));
        QVERIFY(sandbox.messages.isEmpty());
    }

    void hardLinkedVaultIsUsedInPlace()
    {
        Sandbox sandbox;
        sandbox.initializeMaster(Master);
        QTemporaryDir elsewhere;
        const QString second = elsewhere.filePath(QStringLiteral("second name.mdb"));
        QVERIFY(::link(QFile::encodeName(sandbox.vaultPath()).constData(), QFile::encodeName(second).constData()) == 0);
        const auto inode = InodeOf(sandbox.vaultPath());
        frmMain window;
        QVERIFY(window.load());
        QVERIFY(sandbox.messages.isEmpty());
        QCOMPARE(InodeOf(sandbox.vaultPath()), inode);
        addThroughWindow(window, QStringLiteral("seen by both names"));
        QCOMPARE(names(*VaultStore::open(second)), QStringList{QStringLiteral("seen by both names")});
        QCOMPARE(everythingIn(sandbox.appFolder()), QStringList{QStringLiteral("data.mdb")});
    }

    void scratchIconReplacesALinkAndSparesItsTarget()
    {
        Sandbox sandbox;
        sandbox.initializeMaster(Master);
        QTemporaryDir elsewhere;
        const QString victim = elsewhere.filePath(QStringLiteral("precious.txt"));
        WriteFile(victim, "precious");
        QVERIFY(QFile::link(victim, QStringLiteral("temp.icx")));
        frmMain window;
        QVERIFY(window.load());
        QCOMPARE(ReadFile(victim), QByteArray("precious"));
        QVERIFY(!QFileInfo(QStringLiteral("temp.icx")).isSymLink());
        QVERIFY(ReadFile(QStringLiteral("temp.icx")).startsWith("\x89PNG"));
        QCOMPARE(everythingIn(sandbox.workFolder()), QStringList{QStringLiteral("temp.icx")});
        window.close();
        QCOMPARE(ReadFile(victim), QByteArray("precious"));
    }

    void vaultIsReadableByItsOwnerOnly_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("made by quillock-makevault") << "fresh";
        QTest::newRow("0644 opened") << "open";
        QTest::newRow("0644 compacted at start-up") << "start";
        QTest::newRow("0644, compaction skipped") << "skip";
    }

    void vaultIsReadableByItsOwnerOnly()
    {
        QFETCH(QString, how);
        Sandbox sandbox;
        QCOMPARE(modeOf(sandbox.vaultPath()), 0600u);
        sandbox.initializeMaster(Master);
        if (how != QLatin1String("fresh"))
            QVERIFY(QFile::setPermissions(sandbox.vaultPath(), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup
                                                                   | QFile::ReadOther));
        if (how == QLatin1String("open"))
            VaultStore::open(sandbox.vaultPath());
        if (how == QLatin1String("start") || how == QLatin1String("skip")) {
            const auto inode = InodeOf(sandbox.vaultPath());
            if (how == QLatin1String("skip"))
                QFile::setPermissions(sandbox.appFolder(), QFile::ReadOwner | QFile::ExeOwner);
            {
                ObeyFilePermissions obey;
                frmMain window;
                QVERIFY(window.load());
                window.close();
            }
            QFile::setPermissions(sandbox.appFolder(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
            QCOMPARE(InodeOf(sandbox.vaultPath()) == inode, how == QLatin1String("skip"));
        }
        QCOMPARE(modeOf(sandbox.vaultPath()), 0600u);
    }
};

QUILLOCK_TEST_MAIN(TestHostile)
#include "tst_hostile.moc"
