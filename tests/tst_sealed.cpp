// Sealed vaults: the seal itself, what the file keeps and refuses, the
// commands on a sealed vault, the import and export, and quillock-seal.
#include "testsupport.h"

#include "accounts/frmMain.h"
#include "shared/module1.h"
#include "vault/apperror.h"
#include "vault/fileops.h"
#include "vault/sqlite.h"
#include "vault/stringcipher.h"
#include "vault/vaultseal.h"

#include <QLineEdit>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <algorithm>

namespace {

// Accounts whose passwords the tests look for, in several scripts.
const QList<AccountFields> Sample = {
    {QStringLiteral("Bank"), QStringLiteral("ann"), QStringLiteral("vault-Pass-31!"), QStringLiteral("http://bank"),
     QStringLiteral("hint"), QStringLiteral("notes")},
    {QStringLiteral("Mail"),
     QStringLiteral("ann@mail"),
     QStringLiteral("pässwörd-Ωμέγα-") + Emoji,
     QStringLiteral("https://mail"),
     {},
     {}},
    {QStringLiteral("Empty"), QStringLiteral("nobody"), QString(), QStringLiteral("http://"), {}, {}},
};

// Changes a vault the way another program could: no guard, no limits.
void alterUnguarded(const QString& path, const QString& sql)
{
    Database raw;
    raw.open(path, VaultStore::DatabasePassword);
    sqlite3_set_authorizer(raw.handle(), nullptr, nullptr);
    sqlite3_db_config(raw.handle(), SQLITE_DBCONFIG_DEFENSIVE, 0, nullptr);
    raw.exec(sql.toUtf8().constData());
}

// The sample accounts in a vault with MasterPassword, then sealed.
void prepareSealed(Sandbox& sandbox, const QList<AccountFields>& accounts = Sample)
{
    sandbox.initializeMaster(MasterPassword);
    auto vault = sandbox.openVault();
    AddAccounts(*vault, int(accounts.size()), [&](int i) { return accounts[i]; });
    VaultSeal::sealVault(*vault, MasterPassword);
}

// Every account with its password opened.
QList<AccountFields> OpenedAccounts(VaultStore& vault)
{
    QList<AccountFields> accounts;
    vault.forEachAccount([&](const AccountRow& row) {
        AccountFields plain = row.fields;
        plain.username = DecryptField(row.fields.username);
        plain.password = OpenPassword(vault, row.fields.password);
        accounts.append(plain);
    });
    return accounts;
}

QStringList StoredPasswords(VaultStore& vault)
{
    QStringList stored;
    vault.forEachAccount([&](const AccountRow& row) { stored << row.fields.password; });
    return stored;
}

QList<AccountFields> Sorted(QList<AccountFields> accounts)
{
    std::sort(accounts.begin(), accounts.end(), [](const AccountFields& a, const AccountFields& b) {
        return a.account.compare(b.account, Qt::CaseInsensitive) < 0;
    });
    return accounts;
}

// Every page of the vault as the database password opens it, free space
// and freed pages included (the sqlcipher shell reads them); empty
// without the shell.
QByteArray DecipheredPages(const QString& path)
{
    const QString shell = QStandardPaths::findExecutable(QStringLiteral("sqlcipher"));
    if (shell.isEmpty())
        return {};
    QProcess process;
    process.start(shell, {QStringLiteral("-readonly"), path});
    process.write("PRAGMA key='tuvesk'; PRAGMA cipher_compatibility = 3; select hex(data) from sqlite_dbpage;\n");
    process.closeWriteChannel();
    process.waitForFinished(60000);
    QByteArray pages;
    for (const QByteArray& line : process.readAllStandardOutput().split('\n'))
        pages += QByteArray::fromHex(line.trimmed());
    return pages;
}

// Everything a user sees and the program writes while every guarded command
// runs once, with a wrong and a right master password, then the add and
// the Options dialog's new master password.
QStringList Journey(bool sealed)
{
    MainWindowFixture f;
    if (sealed)
        prepareSealed(f.sandbox);
    else {
        f.sandbox.initializeMaster(MasterPassword);
        AddAccounts(*f.sandbox.openVault(), int(Sample.size()), [](int i) { return Sample[i]; });
    }
    if (!f.open())
        return {QStringLiteral("did not start")};
    QStringList seen;
    const auto look = [&](const QString& step) {
        seen << step + QLatin1Char(':') + f.label("lblUsername") + QLatin1Char('|') + f.label("lblPassword");
        // Open only inside a guarded command.
        if (f.window->VaultDb()->seal() && f.window->VaultDb()->seal()->isUnlocked())
            seen << QStringLiteral("still unlocked after ") + step;
    };
    const auto reveal = [&](const QString& entry) {
        AnswerMasterPrompt(entry);
        f.click("cmdReveal");
        look(QStringLiteral("reveal with ") + entry);
    };
    f.pick(0);
    look(QStringLiteral("pick"));
    if (sealed && !Module1::SelectedPassword.isEmpty())
        seen << QStringLiteral("the pick opened the password");
    reveal(MasterPassword + QLatin1Char(' '));
    reveal(MasterPassword);

    AnswerMasterPrompt(MasterPassword, [&](QWidget* dialog) {
        const AccountFields shown = BoxContents(dialog);
        seen << shown.username + QLatin1Char('|') + shown.password;
        TypeInto(dialog, "txtPassword", QStringLiteral("changed-Pw"));
        Click(dialog, "cmdOk");
    });
    f.click("cmdEdit");
    f.pick(0);
    reveal(MasterPassword);

    AnswerMasterPrompt(MasterPassword);
    f.click("FlatBttn2");
    seen << QString::fromLatin1(ReadFile(f.report()).toBase64());

    AnswerMasterPrompt(MasterPassword, [&](QWidget* dialog) {
        seen << Child<QLineEdit>(dialog, "txtPassword1")->text() + Child<QLineEdit>(dialog, "txtPassword2")->text();
        TypeInto(dialog, "txtPassword1", QStringLiteral("  newmaster1 "));
        TypeInto(dialog, "txtPassword2", QStringLiteral("  newmaster1 "));
        Click(dialog, "cmdOk");
    });
    f.click("FlatBttn1");
    f.addThroughDialog({QStringLiteral("Added"),
                        QStringLiteral("who"),
                        QStringLiteral("added-Pw"),
                        QStringLiteral("http://a"),
                        {},
                        {}});
    f.pick(0);
    reveal(MasterPassword);
    reveal(QStringLiteral("newmaster1"));
    seen << f.listed();
    if (sealed) {
        // Edited, added and kept alike: sealed.
        QStringList stored = StoredPasswords(*f.window->VaultDb());
        stored.removeAll(QString());
        if (!f.window->VaultDb()->seal() || !stored.filter(QRegularExpression(QStringLiteral("^(?!seal:)"))).isEmpty())
            seen << QStringLiteral("a password is not sealed");
    }
    for (const MessageBox::Request& message : f.sandbox.messages)
        seen << message.title + QLatin1Char('|') + message.text;
    seen << QString::number(f.sandbox.ends);
    return seen;
}

}  // namespace

class TestSealed : public QObject {
    Q_OBJECT
private slots:
    void sealingKeepsEveryAccountAndUnsealingGivesThemBack()
    {
        Sandbox sandbox;
        prepareSealed(sandbox);
        auto vault = sandbox.openVault();
        QVERIFY(vault->seal());
        for (const QString& stored : StoredPasswords(*vault))
            QVERIFY2(stored.startsWith(VaultSeal::Prefix), qPrintable(stored));
        QCOMPARE(vault->storedMasterPassword(), QString());
        QVERIFY(vault->isInitialized());
        // Nothing opens before the check.
        QCOMPARE(ErrorCodeOf([&] { OpenedAccounts(*vault); }), ErrorCode::CipherFailure);
        QVERIFY(MasterPasswordOpens(*vault, MasterPassword));
        QCOMPARE(OpenedAccounts(*vault), Sorted(Sample));
        LockSeal(*vault);
        QCOMPARE(ErrorCodeOf([&] { OpenedAccounts(*vault); }), ErrorCode::CipherFailure);

        // A second copy adds with the public key alone; the first opens it.
        const AccountFields added{QStringLiteral("Added"), {}, QStringLiteral("new-secret"), {}, {}, {}};
        {
            auto other = sandbox.openVault();
            other->appendAccount({added.account, Encrypt({}), PasswordToStore(*other, added.password), {}, {}, {}});
        }
        QVERIFY(MasterPasswordOpens(*vault, MasterPassword));
        QCOMPARE(OpenedAccounts(*vault), Sorted(Sample + QList<AccountFields>{added}));

        QCOMPARE(ErrorCodeOf([&] { VaultSeal::unsealVault(*vault, QStringLiteral("wrong pass")); }),
                 ErrorCode::CipherFailure);
        QCOMPARE(VaultSeal::unsealVault(*vault, MasterPassword), qint64(Sample.size() + 1));
        QVERIFY(!vault->seal());
        auto reopened = sandbox.openVault();
        QVERIFY(!reopened->seal());
        QCOMPARE(PlainAccounts(*reopened), Sorted(Sample + QList<AccountFields>{added}));
        QCOMPARE(Decrypt(reopened->storedMasterPassword()), MasterPassword);
    }

    void checkPassesForExactlyTheEntriesThatPassOnAPlainVault_data()
    {
        QTest::addColumn<QString>("entry");
        QTest::addColumn<bool>("passes");
        QTest::newRow("exact") << MasterPassword << true;
        QTest::newRow("trailing space") << MasterPassword + QLatin1Char(' ') << false;
        QTest::newRow("leading space") << QLatin1Char(' ') + MasterPassword << false;
        QTest::newRow("other case") << MasterPassword.toUpper() << false;
        QTest::newRow("empty") << QString() << false;
        // Its UTF-8 form is that of the password with U+FFFD in its place.
        QTest::newRow("half a character") << QStringLiteral("opensesam") + QChar(0xD83D) << false;
    }

    void checkPassesForExactlyTheEntriesThatPassOnAPlainVault()
    {
        QFETCH(QString, entry);
        QFETCH(bool, passes);
        Sandbox sandbox;
        // A master password holding U+FFFD, which half a character would otherwise match.
        const QString master = QStringLiteral("opensesam") + QChar(0xFFFD);
        const bool halfCharacter = QTest::currentDataTag() == QLatin1String("half a character");
        sandbox.initializeMaster(halfCharacter ? master : MasterPassword);
        auto vault = sandbox.openVault();
        QCOMPARE(MasterPasswordOpens(*vault, entry), passes);
        VaultSeal::sealVault(*vault, halfCharacter ? master : MasterPassword);
        QCOMPARE(MasterPasswordOpens(*vault, entry), passes);
        QCOMPARE(vault->seal()->isUnlocked(), passes);
    }

    void damagedSealIsRefusedAndLeftAsItIs_data()
    {
        QTest::addColumn<QString>("sql");
        QTest::addColumn<int>("code");
        const int damaged = ErrorCode::VaultDamaged;
        QTest::newRow("public key cut short") << "update seal set publickey = substr(publickey, 1, 40)" << damaged;
        QTest::newRow("secret key box grown") << "update seal set secretkey = secretkey || 'AAAA'" << damaged;
        QTest::newRow("salt not base64") << "update seal set salt = '########################'" << damaged;
        QTest::newRow("salt as a blob") << "update seal set salt = cast(salt as blob)" << damaged;
        QTest::newRow("one pass") << "update seal set opslimit = 1" << damaged;
        QTest::newRow("a terabyte") << "update seal set memlimit = 1099511627776" << damaged;
        QTest::newRow("a minute's work") << "update seal set opslimit = 64, memlimit = 1073741824" << damaged;
        QTest::newRow("format 2") << "update seal set version = 2" << damaged;
        QTest::newRow("two seal rows") << "insert into seal select * from seal" << damaged;
        QTest::newRow("no seal row") << "delete from seal" << damaged;
        QTest::newRow("a plain password") << "update accounts set password = '%1' where account = 'Bank'" << damaged;
        QTest::newRow("master row holds the password") << "update master set password = '%2'" << damaged;
        QTest::newRow("master row not initialised") << "update master set initialized = 0" << damaged;
        QTest::newRow("seal table of another shape")
            << "alter table seal add column extra text" << ErrorCode::UntrustedVault;
        QTest::newRow("index on the seal table")
            << "create index sealed on seal (version)" << ErrorCode::UntrustedVault;
    }

    void damagedSealIsRefusedAndLeftAsItIs()
    {
        QFETCH(QString, sql);
        QFETCH(int, code);
        MainWindowFixture f;
        prepareSealed(f.sandbox);
        alterUnguarded(f.sandbox.vaultPath(),
                       QString(sql)
                           .replace(QStringLiteral("%1"), Encrypt(QStringLiteral("plain")))
                           .replace(QStringLiteral("%2"), Encrypt(MasterPassword)));
        const QByteArray before = ReadFile(f.sandbox.vaultPath());

        QVERIFY(!f.open());
        VerifyStartUpEnded(f.sandbox);
        const QString text = f.sandbox.messages.value(0).text;
        QVERIFY2(text.endsWith(QString::number(code) + QStringLiteral("SQLCipher")), qPrintable(text));
        QCOMPARE(ReadFile(f.sandbox.vaultPath()), before);
        QCOMPARE(FolderEntries(f.sandbox.appFolder()), QStringList{QStringLiteral("data.mdb")});
    }

    void newMasterPasswordEnciphersTheSecretKeyAnew()
    {
        Sandbox sandbox;
        prepareSealed(sandbox);
        auto vault = sandbox.openVault();
        const QStringList passwordsBefore = StoredPasswords(*vault);
        QCOMPARE(ErrorCodeOf([&] { StoreMasterPassword(*vault, QStringLiteral("newmaster1"), false); }),
                 ErrorCode::CipherFailure);
        QVERIFY(MasterPasswordOpens(*vault, MasterPassword));
        StoreMasterPassword(*vault, QStringLiteral("newmaster1"), false);
        // Only the seal row changed; the compaction at the next start keeps it.
        QCOMPARE(StoredPasswords(*vault), passwordsBefore);
        const QString compacted = sandbox.appFolder() + QStringLiteral("/data1.mdb");
        VaultStore::compact(sandbox.vaultPath(), compacted);
        VaultStore::replaceVault(compacted, sandbox.vaultPath());
        auto again = sandbox.openVault();
        QVERIFY(again->seal());
        QVERIFY(!MasterPasswordOpens(*again, MasterPassword));
        QVERIFY(MasterPasswordOpens(*again, QStringLiteral("newmaster1")));
        QCOMPARE(OpenedAccounts(*again), Sorted(Sample));
    }

    void sealedFileGivesAwayNoPasswordWithTheFixedKeys()
    {
        Sandbox sandbox;
        // Enough rows that sealing splits pages and frees some.
        QList<AccountFields> accounts = Sample;
        for (int i = 0; i < 200; ++i)
            accounts << AccountFields{QStringLiteral("Site %1").arg(i),
                                      QStringLiteral("user%1").arg(i),
                                      QStringLiteral("generated-%1-Pw").arg(i),
                                      QStringLiteral("http://site"),
                                      {},
                                      {}};
        prepareSealed(sandbox, accounts);
        {
            auto vault = sandbox.openVault();
            vault->appendAccount({QStringLiteral("Later"),
                                  Encrypt(QStringLiteral("later-user")),
                                  PasswordToStore(*vault, QStringLiteral("added-after-Sealing")),
                                  {},
                                  {},
                                  {}});
        }
        QStringList secrets = {MasterPassword, QStringLiteral("added-after-Sealing")};
        for (const AccountFields& account : accounts)
            if (!account.password.isEmpty())
                secrets << account.password;

        const QByteArray pages = DecipheredPages(sandbox.vaultPath());
        if (pages.isEmpty())
            QSKIP("the sqlcipher shell is needed to read every page of the vault");
        QVERIFY(pages.size() > 2048);
        for (const QString& secret : secrets) {
            const QByteArray utf16(reinterpret_cast<const char*>(secret.utf16()), secret.size() * 2);
            for (const QByteArray& form : {secret.toUtf8(), utf16, secret.toUtf8().toBase64(), secret.toLatin1()})
                QVERIFY2(!pages.contains(form), qPrintable(secret));
        }
        // Whatever the field key opens is a username, never a password. A
        // cipher text runs on into the letters of the field stored beside
        // it, so every stretch of a run is tried.
        static const QRegularExpression base64(QStringLiteral("[A-Za-z0-9+/]{56,}={0,2}"));
        QStringList opened;
        for (const auto& match : base64.globalMatch(QString::fromLatin1(pages))) {
            const QString run = match.captured();
            for (qsizetype from = 0; from + 56 <= run.size(); ++from) {
                for (qsizetype to = run.size(); to >= from + 56; --to) {
                    if ((to - from) % 4 != 0)
                        continue;
                    try {
                        opened << Decrypt(run.mid(from, to - from));
                    } catch (const AppError&) {
                    }
                }
            }
        }
        QVERIFY2(opened.contains(QStringLiteral("ann@mail")), "the search found no enciphered username");
        for (const QString& secret : secrets)
            QVERIFY2(!opened.contains(secret), qPrintable(secret));
    }

    void sealedVaultShowsExactlyWhatAPlainOneShows()
    {
        const QStringList plain = Journey(false);
        QCOMPARE(plain.size(), 16);
        QCOMPARE(Journey(true), plain);
    }

    void importNeedsNoMasterPasswordAndComparesWithoutPasswords_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("says");
        QTest::addColumn<QStringList>("added");
        QTest::newRow("without the master password")
            << QStringList() << QByteArray() << 0 << "by name, username and URL" << QStringList{"new-Pw"};
        QTest::newRow("with the master password")
            << QStringList{"--compare-passwords"} << MasterPassword.toUtf8() + '\n'
            << 0 << "1 of them already there" << QStringList{"new-Pw", "other-Pw"};
        QTest::newRow("with a wrong master password")
            << QStringList{"--compare-passwords"} << MasterPassword.toUtf8() + " \n"
            << 1 << "wrong master password" << QStringList();
    }

    void importNeedsNoMasterPasswordAndComparesWithoutPasswords()
    {
        QFETCH(QStringList, options);
        QFETCH(QByteArray, input);
        QFETCH(int, status);
        QFETCH(QString, says);
        QFETCH(QStringList, added);
        Sandbox sandbox;
        prepareSealed(sandbox);
        const QString csv = sandbox.workFolder() + QStringLiteral("/in.csv");
        WriteFile(csv,
                  "name,url,username,password\nBank,http://bank,ann,other-Pw\n"
                  "Bank,http://bank,ann,vault-Pass-31!\nNew,http://new,neo,new-Pw\n");
        QString out, err;
        QCOMPARE(RunTool(QUILLOCK_TEST_IMPORT,
                         QStringList{csv, QStringLiteral("--vault"), sandbox.vaultPath()} + options, input, &out, &err),
                 status);
        QVERIFY2((out + err).contains(says), qPrintable(out + err));

        QStringList expected;
        for (const AccountFields& account : Sample)
            expected << account.password;
        expected << added;
        expected.sort();
        auto vault = sandbox.openVault();
        for (const QString& stored : StoredPasswords(*vault))
            QVERIFY(stored.startsWith(VaultSeal::Prefix));
        QVERIFY(MasterPasswordOpens(*vault, MasterPassword));
        QStringList opened;
        for (const AccountFields& account : OpenedAccounts(*vault))
            opened << account.password;
        opened.sort();
        QCOMPARE(opened, expected);

        // The export opens every password with the master password it asks for.
        const QString exported = sandbox.workFolder() + QStringLiteral("/out.csv");
        QCOMPARE(RunTool(QUILLOCK_TEST_EXPORT, {exported, QStringLiteral("--vault"), sandbox.vaultPath()},
                         MasterPassword.toUtf8() + '\n'),
                 0);
        const QString written = QString::fromUtf8(ReadFile(exported));
        for (const QString& password : expected)
            QVERIFY2(written.contains(password), qPrintable(password));
    }

    void sealingToolConvertsOnlyWhenItMay_data()
    {
        QTest::addColumn<bool>("sealedBefore");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<bool>("copyRunning");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("says");
        QTest::addColumn<bool>("sealedAfter");
        const QByteArray right = MasterPassword.toUtf8() + '\n';
        const QStringList seal{QStringLiteral("--yes")};
        const QStringList unseal{QStringLiteral("--unseal")};
        QTest::newRow("seal") << false << seal << right << false << 0 << "Sealed the vault" << true;
        QTest::newRow("seal, master password with a trailing space") << false << seal << MasterPassword.toUtf8() + " \n"
                                                                     << false << 1 << "Wrong master password." << false;
        QTest::newRow("seal from a script without --yes")
            << false << QStringList() << right << false << 1 << "give --yes to seal" << false;
        QTest::newRow("seal a sealed vault") << true << seal << right << false << 0 << "sealed already" << true;
        QTest::newRow("seal while Quillock runs")
            << false << seal << right << true << 1 << "Close Quillock first" << false;
        QTest::newRow("unseal") << true << unseal << right << false << 0 << "Unsealed the vault" << false;
        QTest::newRow("unseal, master password in capitals")
            << true << unseal << MasterPassword.toUpper().toUtf8() + '\n'
            << false << 1 << "Wrong master password." << true;
        QTest::newRow("unseal a plain vault") << false << unseal << right << false << 0 << "is not sealed" << false;
        QTest::newRow("unseal while Quillock runs")
            << true << unseal << right << true << 1 << "Close Quillock first" << true;
    }

    void sealingToolConvertsOnlyWhenItMay()
    {
        QFETCH(bool, sealedBefore);
        QFETCH(QStringList, args);
        QFETCH(QByteArray, input);
        QFETCH(bool, copyRunning);
        QFETCH(int, status);
        QFETCH(QString, says);
        QFETCH(bool, sealedAfter);
        Sandbox sandbox;
        if (sealedBefore) {
            prepareSealed(sandbox);
        } else {
            sandbox.initializeMaster(MasterPassword);
            AddAccounts(*sandbox.openVault(), int(Sample.size()), [](int i) { return Sample[i]; });
        }
        const QByteArray before = ReadFile(sandbox.vaultPath());
        std::unique_ptr<VaultLock> running;
        if (copyRunning) {
            running = std::make_unique<VaultLock>(sandbox.appFolder());
            running->share();
        }
        QString out, err;
        QCOMPARE(RunTool(QUILLOCK_TEST_SEAL, args + QStringList{QStringLiteral("--vault"), sandbox.vaultPath()}, input,
                         &out, &err),
                 status);
        QVERIFY2((out + err).contains(says), qPrintable(out + err));
        if (status != 0)
            QVERIFY2(err.contains(QStringLiteral("Nothing was changed.")), qPrintable(err));
        auto vault = sandbox.openVault();
        QCOMPARE(vault->seal() != nullptr, sealedAfter);
        if (sealedAfter == sealedBefore)
            QCOMPARE(ReadFile(sandbox.vaultPath()), before);
        QVERIFY(MasterPasswordOpens(*vault, MasterPassword));
        QCOMPARE(OpenedAccounts(*vault), Sorted(Sample));
    }
};

QUILLOCK_TEST_MAIN(TestSealed)
#include "tst_sealed.moc"
