// Vault files and folders prepared by someone else: schema objects that
// would run inside the program, oversized rows, links to the vault, its
// copy and the scratch icon, and the modes the vault is kept with.
#include "testsupport.h"

#include "accounts/frmMain.h"
#include "accounts/startup.h"
#include "shared/module1.h"
#include "vault/apperror.h"
#include "vault/sqlite.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QScopeGuard>
#include <QSystemTrayIcon>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Changes a vault the way another program could: no guard, no limits.
void alterUnguarded(const QString& path, const std::function<void(Database&)>& change)
{
    Database raw;
    raw.open(path, VaultStore::DatabasePassword);
    sqlite3_set_authorizer(raw.handle(), nullptr, nullptr);
    sqlite3_db_config(raw.handle(), SQLITE_DBCONFIG_DEFENSIVE, 0, nullptr);
    sqlite3_limit(raw.handle(), SQLITE_LIMIT_LENGTH, 64 * 1024 * 1024);
    registerAccountOrder(raw);
    change(raw);
}

void alterUnguarded(const QString& path, const char* sql)
{
    alterUnguarded(path, [sql](Database& raw) { raw.exec(sql); });
}

// The one number a query answers.
qint64 numberOf(Database& db, const char* sql)
{
    Statement query(db, sql);
    query.step();
    return query.integer(0);
}

// An account with a name and nothing else.
AccountFields namedOnly(const QString& name)
{
    return {name, {}, {}, QStringLiteral("http://"), {}, {}};
}

}  // namespace

class TestHostile : public QObject {
    Q_OBJECT
private slots:
    void hostileVaultIsRefusedAndLeftAsItIs_data()
    {
        QTest::addColumn<QByteArray>("sql");
        QTest::addColumn<QString>("named");
        QTest::addColumn<int>("code");
        QTest::newRow("schema the engine must never run (CVE-2018-8740)")
            << QByteArray("pragma writable_schema = 1; insert into sqlite_master "
                          "values ('table', 'x', 'x', 0, 'CREATE TABLE x AS SELECT 1')")
            << "malformed database schema" << ErrorCode::VaultDamaged;
        QTest::newRow("trigger") << QByteArray("create trigger spy after insert on accounts begin "
                                               "update master set password = new.password; end")
                                 << "a trigger 'spy'" << ErrorCode::UntrustedVault;
        QTest::newRow("view") << QByteArray("create view everything as select * from accounts") << "a view 'everything'"
                              << ErrorCode::UntrustedVault;
        QTest::newRow("fts3") << QByteArray("create virtual table search using fts3(content)")
                              << "a virtual table 'search'" << ErrorCode::UntrustedVault;
        QTest::newRow("fts4 and a trigger reading it")
            << QByteArray("create virtual table search using fts4(content);"
                          "create trigger feed after insert on accounts begin "
                          "insert into search select content from search where search match new.account; end")
            << "a virtual table 'search'" << ErrorCode::UntrustedVault;
        QTest::newRow("extra table") << QByteArray("create table stolen (what text)") << "a table 'stolen'"
                                     << ErrorCode::UntrustedVault;
        QTest::newRow("index on an expression") << QByteArray("create index lowered on accounts (lower(account))")
                                                << "an index 'lowered' on an expression" << ErrorCode::UntrustedVault;
        QTest::newRow("partial index") << QByteArray("create index some on accounts (account) where url like 'x%'")
                                       << "a partial index 'some'" << ErrorCode::UntrustedVault;
        // A unique index refuses rows a fresh vault takes, whatever form it is written in.
        QTest::newRow("unique index on accounts") << QByteArray("create unique index once on accounts (account)")
                                                  << "a UNIQUE index 'once'" << ErrorCode::UntrustedVault;
        QTest::newRow("unique index on master") << QByteArray("create unique index onekey on master (key)")
                                                << "a UNIQUE index 'onekey'" << ErrorCode::UntrustedVault;
        QTest::newRow("unique index, quoted, collated, two columns")
            << QByteArray("CREATE UNIQUE INDEX IF NOT EXISTS \"one per site\" ON \"accounts\" "
                          "(url COLLATE NOCASE DESC, [username])")
            << "a UNIQUE index 'one per site'" << ErrorCode::UntrustedVault;
        QTest::newRow("CHECK calling a function")
            << QByteArray("drop table accounts; create table accounts (account text check (length(account) < 999), "
                          "username text, password text, url text, hint text, notes text)")
            << "a CHECK constraint in table 'accounts'" << ErrorCode::UntrustedVault;
        QTest::newRow("foreign collation")
            << QByteArray("drop table accounts; create table accounts (account text collate unicode_nocase, "
                          "username text, password text, url text, hint text, notes text)")
            << "the collation 'unicode_nocase'" << ErrorCode::UntrustedVault;
        // Columns are exactly those of a fresh vault: a clause would change what is stored.
        const auto accounts = [](const char* account, const char* more = "") {
            return QByteArray("drop table accounts; create table accounts (") + account
                + ", username text, password text, url text, hint text, notes text" + more + ")";
        };
        QTest::newRow("UNIQUE ON CONFLICT REPLACE")
            << accounts("account text", ", unique (account) on conflict replace")
            << "a UNIQUE constraint in table 'accounts'" << ErrorCode::UntrustedVault;
        QTest::newRow("numeric name") << accounts("account numeric") << "the column type 'numeric'"
                                      << ErrorCode::UntrustedVault;
        QTest::newRow("primary key") << accounts("account text primary key") << "a PRIMARY KEY"
                                     << ErrorCode::UntrustedVault;
        QTest::newRow("default") << QByteArray("drop table master; create table master (key text, password text, "
                                               "initialized boolean default 1)")
                                 << "a default value in table 'master'" << ErrorCode::UntrustedVault;
        QTest::newRow("oversized value") << QByteArray() << "larger than 4 MB" << ErrorCode::UntrustedVault;
    }

    void hostileVaultIsRefusedAndLeftAsItIs()
    {
        QFETCH(QByteArray, sql);
        QFETCH(QString, named);
        QFETCH(int, code);
        MainWindowFixture f;
        f.sandbox.initializeMaster(MasterPassword);
        f.sandbox.addAccount(QStringLiteral("kept"));
        alterUnguarded(f.sandbox.vaultPath(), [&](Database& raw) {
            if (!sql.isEmpty()) {
                raw.exec(sql.constData());
                return;
            }
            Statement big(raw, "insert into accounts (account, notes) values ('big', ?)");
            big.bind(1, QString(MaxValueBytes + 1, QLatin1Char('n')));
            big.step();
        });
        const QByteArray before = readFile(f.sandbox.vaultPath());

        QVERIFY(!f.open());
        verifyStartUpEnded(f.sandbox);
        const QString text = f.sandbox.messages.value(0).text;
        QVERIFY2(text.endsWith(QString::number(code) + QStringLiteral("SQLCipher")), qPrintable(text));
        QVERIFY2(text.contains(named), qPrintable(text));
        QCOMPARE(readFile(f.sandbox.vaultPath()), before);
        QCOMPARE(folderEntries(f.sandbox.appFolder()), QStringList{QStringLiteral("data.mdb")});

        // A start that skips the compaction meets the same refusal.
        QCOMPARE(errorCodeOf([&] { accountNames(*VaultStore::open(f.sandbox.vaultPath())); }), code);

        // The tools give their one line and exit 1, never a signal.
        f.window.reset();  // the program that ended holds the folder no more
        const QString csv = f.sandbox.workFolder() + QStringLiteral("/in.csv");
        writeFile(csv, "name,password\nsite,secret\n");
        const QString exported = f.sandbox.workFolder() + QStringLiteral("/out.csv");
        const std::pair<const char*, QStringList> runs[] = {{QUILLOCK_TEST_IMPORT, {csv}},
                                                            {QUILLOCK_TEST_EXPORT, {exported}}};
        for (const auto& [tool, args] : runs) {
            QString err;
            QCOMPARE(runTool(tool, args + QStringList{"--vault", f.sandbox.vaultPath()}, MasterPassword.toUtf8(),
                             nullptr, &err),
                     1);
            QCOMPARE(err.count(QLatin1Char('\n')), 1);
        }
        QVERIFY(!QFile::exists(exported));
        QCOMPARE(readFile(f.sandbox.vaultPath()), before);
    }

    void plainIndexesPassAndAreCompactedAlong()
    {
        MainWindowFixture f;
        f.sandbox.initializeMaster(MasterPassword);
        f.sandbox.addAccount(QStringLiteral("beta"));
        f.sandbox.addAccount(QStringLiteral("Alpha"));
        alterUnguarded(f.sandbox.vaultPath(),
                       "create index byname on accounts (account collate nocase desc);"
                       "create index onekey on master (key)");
        QVERIFY2(f.open(), qPrintable(f.sandbox.messages.value(0).text));
        QVERIFY(f.sandbox.messages.isEmpty());
        QCOMPARE(accountNames(*f.window->VaultDb()), QStringList({"Alpha", "beta"}));
        Database check;
        check.open(f.sandbox.vaultPath(), VaultStore::DatabasePassword);
        QCOMPARE(numberOf(check, "select count(*) from sqlite_master where type = 'index'"), 2);
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
        QTest::newRow("drop a table") << QByteArray("drop table master");
        QTest::newRow("secure delete off") << QByteArray("pragma secure_delete = off");
        QTest::newRow("another file format") << QByteArray("pragma cipher_compatibility = 4");
    }

    void connectionRefusesWhatTheProgramNeverDoes()
    {
        QFETCH(QByteArray, sql);
        Sandbox sandbox;
        sandbox.initializeMaster(MasterPassword);
        alterUnguarded(sandbox.vaultPath(),
                       "create table stolen (what text);"
                       "create trigger spy after insert on accounts begin "
                       "insert into stolen values (new.password); end");
        {
            Database db;
            db.open(sandbox.vaultPath(), VaultStore::DatabasePassword);
            QCOMPARE(errorCodeOf([&] { db.exec(sql.constData()); }), ErrorCode::UntrustedVault);
            db.exec("insert into accounts (account, password) values ('new', 'secret')");
        }
        // The trigger stayed off for the program's own write.
        alterUnguarded(sandbox.vaultPath(),
                       [](Database& raw) { QCOMPARE(numberOf(raw, "select count(*) from stolen"), 0); });
    }

    void symlinkedVaultStaysALinkAndGetsEveryChange()
    {
        // The folders outlive the windows that use them.
        QTemporaryDir synced;
        MainWindowFixture f;
        f.sandbox.initializeMaster(MasterPassword);
        f.sandbox.addAccount(QStringLiteral("before"));
        const QString real = synced.filePath(QStringLiteral("vault.mdb"));
        QVERIFY(QFile::rename(f.sandbox.vaultPath(), real));
        QVERIFY(QFile::link(real, f.sandbox.vaultPath()));
        // What an interrupted compaction leaves there must not stop the next.
        const QString leftover = synced.filePath(QStringLiteral(".quillock-compact-Ab12Cd"));
        QVERIFY(QDir().mkpath(leftover));
        writeFile(leftover + QStringLiteral("/data1.mdb"), "partial copy");
        const auto inode = inodeOf(real);
        QVERIFY2(f.open(), qPrintable(f.sandbox.messages.value(0).text));
        QVERIFY(inodeOf(real) != inode);  // compacted where the file lies
        QCOMPARE(QFileInfo(f.sandbox.vaultPath()).symLinkTarget(), real);
        f.addThroughDialog(namedOnly(QStringLiteral("after")));
        f.window->close();
        f.window.reset();
        QVERIFY(f.sandbox.messages.isEmpty());
        QCOMPARE(accountNames(*VaultStore::open(real)), QStringList({"after", "before"}));
        QCOMPARE(folderEntries(synced.path()), QStringList{QStringLiteral("vault.mdb")});
        QCOMPARE(folderEntries(f.sandbox.appFolder()), QStringList{QStringLiteral("data.mdb")});
    }

    // Copies installed in two folders that link to one vault never replace
    // it under each other.
    void linkedVaultSharedByTwoFoldersIsNotReplacedUnderTheOther()
    {
        // The folders outlive the windows that use them.
        QTemporaryDir otherApp;
        QTemporaryDir synced;
        MainWindowFixture f;
        f.sandbox.initializeMaster(MasterPassword);
        const QString real = synced.filePath(QStringLiteral("vault.mdb"));
        QVERIFY(QFile::rename(f.sandbox.vaultPath(), real));
        QVERIFY(QFile::link(real, f.sandbox.vaultPath()));
        QVERIFY(QFile::link(real, otherApp.filePath(QStringLiteral("data.mdb"))));
        QVERIFY(f.open());
        const auto inode = inodeOf(real);
        Module1::setApplicationFolder(otherApp.path());
        frmMain second;
        QVERIFY(second.load());
        QCOMPARE(inodeOf(real), inode);
        f.addThroughDialog(namedOnly(QStringLiteral("added by the first")));
        second.LoadAccountList();
        QCOMPARE(childNamed<QComboBox>(&second, "cboAccount")->itemText(0), QStringLiteral("added by the first"));
        QVERIFY(f.sandbox.messages.isEmpty());
    }

    void hardLinkedVaultIsUsedInPlace()
    {
        // The folders outlive the windows that use them.
        QTemporaryDir elsewhere;
        MainWindowFixture f;
        f.sandbox.initializeMaster(MasterPassword);
        const QString second = elsewhere.filePath(QStringLiteral("second name.mdb"));
        QVERIFY(::link(QFile::encodeName(f.sandbox.vaultPath()).constData(), QFile::encodeName(second).constData())
                == 0);
        const auto inode = inodeOf(f.sandbox.vaultPath());
        QVERIFY(f.open());
        QVERIFY(f.sandbox.messages.isEmpty());
        QCOMPARE(inodeOf(f.sandbox.vaultPath()), inode);
        f.addThroughDialog(namedOnly(QStringLiteral("seen by both names")));
        QCOMPARE(accountNames(*VaultStore::open(second)), QStringList{QStringLiteral("seen by both names")});
        QCOMPARE(folderEntries(f.sandbox.appFolder()), QStringList{QStringLiteral("data.mdb")});
    }

    void scratchIconReplacesALinkAndSparesItsTarget()
    {
        // The folders outlive the windows that use them.
        QTemporaryDir elsewhere;
        MainWindowFixture f;
        f.sandbox.initializeMaster(MasterPassword);
        const QString victim = elsewhere.filePath(QStringLiteral("precious.txt"));
        writeFile(victim, "precious");
        QVERIFY(QFile::link(victim, QStringLiteral("temp.icx")));
        QVERIFY(f.open());
        QCOMPARE(readFile(victim), QByteArray("precious"));
        QVERIFY(!QFileInfo(QStringLiteral("temp.icx")).isSymLink());
        QVERIFY(readFile(QStringLiteral("temp.icx")).startsWith("\x89PNG"));
        QCOMPARE(folderEntries(f.sandbox.workFolder()), QStringList{QStringLiteral("temp.icx")});
        f.window->close();
        QCOMPARE(readFile(victim), QByteArray("precious"));
    }

    void trayNeverDrawsAScratchIconOfAnotherUser()
    {
        MainWindowFixture f;
        f.sandbox.initializeMaster(MasterPassword);
        QImage planted(16, 16, QImage::Format_RGB32);
        planted.fill(Qt::red);
        // Where the scratch icon goes, and left there: that step is skipped.
        QVERIFY(planted.save(QStringLiteral("temp.icx"), "PNG"));
        if (::chown("temp.icx", 65534, 65534) != 0)
            QSKIP("Giving a file to another user needs root");
        StartUp::setProbe([](StartUp::Step step) {
            if (step == StartUp::Step::ScratchIcon)
                throw AppError(ErrorCode::PathAccess, QStringLiteral("read-only"), ErrorSource::Files);
        });
        const auto noProbe = qScopeGuard([] { StartUp::setProbe({}); });
        QVERIFY(f.open());
        QVERIFY(f.window->Tray1().findChild<QSystemTrayIcon*>()->icon().isNull());
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
        MainWindowFixture f;
        QCOMPARE(modeOf(f.sandbox.vaultPath()), 0600u);
        if (how == QLatin1String("fresh")) {
            // The tool's own file, made under a umask that keeps nothing back.
            QVERIFY(QFile::remove(f.sandbox.vaultPath()));
            const mode_t mask = ::umask(0);
            const int status = runTool(QUILLOCK_TEST_MAKEVAULT, {f.sandbox.vaultPath()});
            ::umask(mask);
            QCOMPARE(status, 0);
            QCOMPARE(modeOf(f.sandbox.vaultPath()), 0600u);
        }
        f.sandbox.initializeMaster(MasterPassword);
        if (how != QLatin1String("fresh"))
            QVERIFY(QFile::setPermissions(f.sandbox.vaultPath(),
                                          QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther));
        if (how == QLatin1String("open"))
            VaultStore::open(f.sandbox.vaultPath());
        if (how == QLatin1String("start") || how == QLatin1String("skip")) {
            const auto inode = inodeOf(f.sandbox.vaultPath());
            if (how == QLatin1String("skip"))
                QFile::setPermissions(f.sandbox.appFolder(), QFile::ReadOwner | QFile::ExeOwner);
            {
                ObeyFilePermissions obey;
                QVERIFY(f.open());
                f.window->close();
                f.window.reset();
            }
            QFile::setPermissions(f.sandbox.appFolder(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
            QCOMPARE(inodeOf(f.sandbox.vaultPath()) == inode, how == QLatin1String("skip"));
        }
        QCOMPARE(modeOf(f.sandbox.vaultPath()), 0600u);
    }
};

QUILLOCK_TEST_MAIN(TestHostile)
#include "tst_hostile.moc"
