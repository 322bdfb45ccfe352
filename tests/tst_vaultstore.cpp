// The vault file and the field cipher, below any window.
#include "coresupport.h"

#include "vault/apperror.h"
#include "vault/fileops.h"
#include "vault/sqlite.h"
#include "vault/stringcipher.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <cerrno>

class TestVaultStore : public QObject {
    Q_OBJECT
private slots:
    void freshVaultIsEmptyAndUninitialised()
    {
        CoreSandbox sandbox;
        auto vault = sandbox.openVault();
        QVERIFY(vault->accountList().empty());
        QVERIFY(!vault->isInitialized());
        for (qint64 position : {-1, 0, 1})
            QVERIFY(!vault->accountAt(position));
        QCOMPARE(errorCodeOf([&] { VaultStore::createFresh(sandbox.vaultPath()); }), ErrorCode::DatabaseFailure);

        // The engine's own default would let a large sort spill into a file.
        Database db;
        db.open(sandbox.vaultPath(), VaultStore::DatabasePassword);
        Statement tempStore(db, "pragma temp_store");
        QVERIFY(tempStore.step());
        QCOMPARE(tempStore.integer(0), 2);
    }

    void orderIgnoresCaseInEveryScriptAndKeepsTies()
    {
        CoreSandbox sandbox;
        const QStringList inserted = {QStringLiteral("zoo"),    QStringLiteral("Émile 2"), QStringLiteral("apple"),
                                      QStringLiteral("SAME"),   QStringLiteral("émile 1"), QStringLiteral("Bravo"),
                                      QStringLiteral("same"),   QStringLiteral("σίγμα b"), QStringLiteral("ΣΊΓΜΑ a"),
                                      QStringLiteral("Яблоко"), QStringLiteral("яблоко"),  QStringLiteral("Same")};
        for (const QString& name : inserted)
            sandbox.addAccount(name);
        auto vault = sandbox.openVault();
        const QStringList expected = {QStringLiteral("apple"),   QStringLiteral("Bravo"),   QStringLiteral("SAME"),
                                      QStringLiteral("same"),    QStringLiteral("Same"),    QStringLiteral("zoo"),
                                      QStringLiteral("émile 1"), QStringLiteral("Émile 2"), QStringLiteral("ΣΊΓΜΑ a"),
                                      QStringLiteral("σίγμα b"), QStringLiteral("Яблоко"),  QStringLiteral("яблоко")};
        QCOMPARE(accountNames(*vault), expected);
        // Each of the three equal names is reached at its own position, in
        // the order they were stored, on every query.
        QCOMPARE(vault->accountAt(3)->fields.account, QStringLiteral("SAME"));
        QCOMPARE(vault->accountAt(4)->fields.account, QStringLiteral("same"));
        QCOMPARE(vault->accountAt(5)->fields.account, QStringLiteral("Same"));
        QCOMPARE(accountNames(*vault), expected);
    }

    void positionsReachEveryRowAndNoMore()
    {
        CoreSandbox sandbox;
        sandbox.addAccount(QStringLiteral("a"), QStringLiteral("u1"));
        sandbox.addAccount(QStringLiteral("b"), QStringLiteral("u2"));
        sandbox.addAccount(QStringLiteral("c"), QStringLiteral("u3"));
        auto vault = sandbox.openVault();
        QCOMPARE(Decrypt(vault->accountAt(1)->fields.username), QStringLiteral("u1"));
        QCOMPARE(Decrypt(vault->accountAt(3)->fields.username), QStringLiteral("u3"));
        QVERIFY(!vault->accountAt(4));
        QVERIFY(!vault->accountAt(-1));
    }

    void positionsBeyondSixteenBits()
    {
        CoreSandbox sandbox;
        {
            Database raw;
            raw.open(sandbox.vaultPath(), VaultStore::DatabasePassword);
            raw.exec("begin");
            Statement insert(raw, "insert into accounts (account) values (?)");
            for (int i = 0; i < 40000; ++i) {
                insert.reset();
                insert.bind(1, QStringLiteral("account %1").arg(i, 5, 10, QLatin1Char('0')));
                insert.step();
            }
            raw.exec("commit");
        }
        auto vault = sandbox.openVault();
        const auto last = vault->accountAt(40000);
        QVERIFY(last);
        QCOMPARE(last->fields.account, QStringLiteral("account 39999"));
        QCOMPARE(vault->accountAt(32768)->fields.account, QStringLiteral("account 32767"));
        QVERIFY(vault->deleteAccountAt(40000, last->rowid));
        QCOMPARE(vault->accountList().size(), size_t(39999));
    }

    void textRoundTripsUnchanged()
    {
        CoreSandbox sandbox;
        const AccountFields fields{QStringLiteral("  spaced name  "),
                                   Encrypt(QString()),
                                   Encrypt(QString(50, 'p')),
                                   QStringLiteral("http://x.example"),
                                   QStringLiteral("line 1\nline 2\r\nline 3"),
                                   QStringLiteral("emoji 🔐, RTL שלום, CJK 漢字, e\u0301")};
        auto vault = sandbox.openVault();
        vault->appendAccount(fields);
        QCOMPARE(sandbox.openVault()->accountAt(1)->fields, fields);
    }

    void nullFieldsReadAsEmptyText()
    {
        CoreSandbox sandbox;
        sandbox.addAccount(QStringLiteral("a"), QStringLiteral("u"), QStringLiteral("p"), QStringLiteral("http://a"),
                           QStringLiteral("hint"), QStringLiteral("notes"));
        execOnVault(sandbox.vaultPath(),
                    "update accounts set url = null, hint = null, notes = null;"
                    "update master set initialized = null");
        auto vault = sandbox.openVault();
        const auto row = vault->accountAt(1);
        QCOMPARE(row->fields.url, QString());
        QCOMPARE(row->fields.notes, QString());
        QVERIFY(!vault->isInitialized());
    }

    void changesOnlyReachTheRowTheyName()
    {
        CoreSandbox sandbox;
        sandbox.addAccount(QStringLiteral("b"));
        auto vault = sandbox.openVault();
        const qint64 listed = vault->accountAt(1)->rowid;
        // Another copy adds an account that now stands at position 1.
        sandbox.addAccount(QStringLiteral("a"));
        const AccountFields replacement{QStringLiteral("x"), Encrypt({}), Encrypt({}), {}, {}, {}};
        QVERIFY(!vault->updateAccountAt(1, listed, replacement));
        QVERIFY(!vault->deleteAccountAt(1, listed));
        QCOMPARE(accountNames(*vault), QStringList({QStringLiteral("a"), QStringLiteral("b")}));
        QVERIFY(vault->updateAccountAt(2, listed, replacement));
        QVERIFY(vault->deleteAccountAt(1, vault->accountAt(1)->rowid));
        QCOMPARE(accountNames(*vault), QStringList({QStringLiteral("x")}));
    }

    void masterPasswordStorage()
    {
        CoreSandbox sandbox;
        auto vault = sandbox.openVault();
        vault->storeMasterPassword(Encrypt(QStringLiteral("first one")), false);
        QVERIFY(!vault->isInitialized());
        vault->storeMasterPassword(Encrypt(QStringLiteral("second one")), true);
        QVERIFY(vault->isInitialized());
        QCOMPARE(Decrypt(vault->storedMasterPassword()), QStringLiteral("second one"));
        execOnVault(sandbox.vaultPath(), "delete from master");
        QCOMPARE(errorCodeOf([&] { vault->isInitialized(); }), ErrorCode::NoCurrentRecord);
        QCOMPARE(errorCodeOf([&] { vault->storedMasterPassword(); }), ErrorCode::NoCurrentRecord);
    }

    void compactionKeepsEveryRowAndTheKey()
    {
        CoreSandbox sandbox;
        sandbox.initializeMaster(MasterPassword);
        sandbox.addAccount(QStringLiteral("one"), QStringLiteral("u1"), QStringLiteral("p1"));
        sandbox.addAccount(QStringLiteral("two"), QStringLiteral("u2"), QStringLiteral("p2"),
                           QStringLiteral("http://2"), QStringLiteral("h\nh"), QStringLiteral("n"));
        const QString target = sandbox.appFolder() + QStringLiteral("/data1.mdb");
        VaultStore::compact(sandbox.vaultPath(), target);
        auto copy = VaultStore::open(target);
        auto original = sandbox.openVault();
        QCOMPARE(accountNames(*copy), accountNames(*original));
        QCOMPARE(copy->accountAt(2)->fields, original->accountAt(2)->fields);
        QCOMPARE(Decrypt(copy->storedMasterPassword()), MasterPassword);
        QVERIFY(copy->isInitialized());
        QVERIFY(!readFile(target).contains("accounts"));  // enciphered on disk

        // An existing target is never overwritten.
        const QByteArray before = readFile(target);
        QCOMPARE(errorCodeOf([&] { VaultStore::compact(sandbox.vaultPath(), target); }), ErrorCode::DatabaseFailure);
        QCOMPARE(readFile(target), before);
    }

    // One derivation serves the compaction and the open: the copy keeps the
    // vault's salt, so the same key opens it, and it still opens with the
    // database password as the README gives it.
    void compactionWithTheDerivedKeyKeepsTheSalt()
    {
        const QString shell = QStandardPaths::findExecutable(QStringLiteral("sqlcipher"));
        if (shell.isEmpty())
            QSKIP("the sqlcipher shell is not installed");
        CoreSandbox sandbox;
        sandbox.addAccount(QStringLiteral("kept"));
        const VaultKey key = VaultKey::derive(sandbox.vaultPath());
        QVERIFY(!key.isEmpty());
        const QString target = sandbox.appFolder() + QStringLiteral("/data1.mdb");
        VaultStore::compact(sandbox.vaultPath(), target, key);
        QCOMPARE(readFile(target).left(16), readFile(sandbox.vaultPath()).left(16));
        QProcess process;
        process.start(shell, {target});
        process.write("PRAGMA key='tuvesk'; PRAGMA cipher_compatibility = 3;\nselect account from accounts;\n");
        process.closeWriteChannel();
        QVERIFY(process.waitForFinished(LoadedMachineMs));
        const QByteArray out = process.readAllStandardOutput();
        QVERIFY2(out.split('\n').contains("kept"), out.constData());

        // A key that no longer fits the file (another salt) gives way to the password.
        QFile::remove(sandbox.vaultPath());
        VaultStore::createFresh(sandbox.vaultPath());
        QVERIFY(VaultStore::open(sandbox.vaultPath(), VaultSchema::Values::Measure, key)->accountList().empty());
    }

    // tests/data/vault-sqlcipher3.mdb was written by SQLCipher 3.4.1 (three
    // accounts, master password "benchmark1"), as every vault before 4.6 was.
    void vaultOfSqlCipher3OpensAndKeepsItsFormat()
    {
        CoreSandbox sandbox;
        QFile::remove(sandbox.vaultPath());
        QVERIFY(
            QFile::copy(QStringLiteral(QUILLOCK_SOURCE_DIR "/tests/data/vault-sqlcipher3.mdb"), sandbox.vaultPath()));
        const QString target = sandbox.appFolder() + QStringLiteral("/data1.mdb");
        VaultStore::compact(sandbox.vaultPath(), target);
        for (const QString& path : {sandbox.vaultPath(), target}) {
            auto vault = VaultStore::open(path);
            QCOMPARE(plainAccounts(*vault).size(), 3);
            QCOMPARE(Decrypt(vault->storedMasterPassword()), QStringLiteral("benchmark1"));
        }
        // The copy is in SQLCipher 3's format: the engine's own does not read it.
        sqlite3* raw = nullptr;
        QCOMPARE(sqlite3_open_v2(target.toUtf8().constData(), &raw, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
        sqlite3_key(raw, VaultStore::DatabasePassword.constData(), int(VaultStore::DatabasePassword.size()));
        sqlite3_exec(raw, "pragma cipher_compatibility = 4", nullptr, nullptr, nullptr);
        const int rc = sqlite3_exec(raw, "select count(*) from sqlite_master", nullptr, nullptr, nullptr);
        sqlite3_close(raw);
        QCOMPARE(rc, SQLITE_NOTADB);
    }

    void foreignAndMissingFilesAreRefused()
    {
        CoreSandbox sandbox;
        const QString missing = sandbox.appFolder() + QStringLiteral("/none.mdb");
        QCOMPARE(errorCodeOf([&] { VaultStore::open(missing); }), ErrorCode::VaultNotFound);
        QVERIFY(!QFile::exists(missing));

        const QString garbage = sandbox.appFolder() + QStringLiteral("/garbage.mdb");
        writeFile(garbage, QByteArray(4096, '\x5a'));
        QCOMPARE(errorCodeOf([&] { VaultStore::open(garbage); }), ErrorCode::UnrecognizedFormat);

        const QString otherKey = sandbox.appFolder() + QStringLiteral("/other.mdb");
        {
            Database db;
            db.open(otherKey, QByteArrayLiteral("not-the-key"), true);
            db.exec("create table accounts (account text)");
        }
        QCOMPARE(errorCodeOf([&] { VaultStore::open(otherKey); }), ErrorCode::UnrecognizedFormat);
        QCOMPARE(errorCodeOf([&] { VaultStore::compact(otherKey, sandbox.appFolder() + "/c.mdb"); }),
                 ErrorCode::UnrecognizedFormat);
        QVERIFY(!QFile::exists(sandbox.appFolder() + "/c.mdb"));
    }

    // One table for the file operations and the store: start-up skips a
    // step on 3356 and 75 and on nothing else.
    void errnoMeansOneCode_data()
    {
        QTest::addColumn<int>("errnum");
        QTest::addColumn<int>("code");
        QTest::newRow("EACCES") << EACCES << 75;
        QTest::newRow("EPERM") << EPERM << 75;
        QTest::newRow("EROFS") << EROFS << 75;
        QTest::newRow("EBUSY") << EBUSY << 3356;
        QTest::newRow("ETXTBSY") << ETXTBSY << 3356;
        QTest::newRow("ENOSPC") << ENOSPC << 3035;
        QTest::newRow("EDQUOT") << EDQUOT << 3035;
        QTest::newRow("ENOENT") << ENOENT << 53;
        QTest::newRow("EIO: the caller's own") << EIO << 0;
    }

    void errnoMeansOneCode()
    {
        QFETCH(int, errnum);
        QFETCH(int, code);
        QCOMPARE(errorCodeOf([&] { raiseFileError(errnum, QStringLiteral("x"), QStringLiteral("open")); }),
                 code ? code : 57);
        QCOMPARE(errorCodeForErrno(errnum, 3146), code ? code : 3146);
    }

    void cipherRoundTripsAndRefusesDamage()
    {
        for (const QString& text :
             {QString(), QStringLiteral(" Mixed Case "), QString(50, QChar(0x6F22)), QStringLiteral("🔐 e\u0301 שלום")})
            QCOMPARE(Decrypt(Encrypt(text)), text);
        const QString once = Encrypt(QStringLiteral("secret"));
        QVERIFY(once != Encrypt(QStringLiteral("secret")));

        QString tampered = once;
        const qsizetype middle = tampered.size() / 2;
        tampered[middle] = tampered[middle] == QLatin1Char('A') ? QLatin1Char('B') : QLatin1Char('A');
        const QString otherKey = StringCipher::instance().Encrypt(QStringLiteral("secret"), QStringLiteral("123"));
        for (const QString& bad : {tampered, once.left(20), QString(), QStringLiteral("not base64 at all!"),
                                   once + QStringLiteral("AA"), QStringLiteral("AAAA"), otherKey})
            QCOMPARE(errorCodeOf([&] { Decrypt(bad); }), ErrorCode::CipherFailure);
    }
};

QUILLOCK_CORE_TEST_MAIN(TestVaultStore)
#include "tst_vaultstore.moc"
