// Sealed vaults: the check, what the file keeps and refuses, every command
// alike on a sealed and a plain vault, the import and export, quillock-seal.
#include "testsupport.h"

#include "accounts/frmMain.h"
#include "shared/module1.h"
#include "vault/apperror.h"
#include "vault/sealrecord.h"
#include "vault/sqlite.h"
#include "vault/stringcipher.h"
#include "vault/vaultlock.h"

#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <unistd.h>

namespace {

const QString Bank = QStringLiteral("vault-Pass-31!");
const QList<AccountFields> Sample = {
    {QStringLiteral("Bank"), QStringLiteral("ann"), Bank, QStringLiteral("http://bank"), QStringLiteral("h"), {}},
    {QStringLiteral("Mail"), QStringLiteral("ann@mail"), QStringLiteral("pässwörd-Ωμέγα-") + Emoji, {}, {}, {}},
    {QStringLiteral("Empty"), QStringLiteral("nobody"), QString(), QStringLiteral("http://"), {}, {}},
};

const QString PlainMaster = QStringLiteral("before-Sealing");

void prepare(CoreSandbox& sandbox, bool sealed, const QList<AccountFields>& accounts = Sample)
{
    // Sealing takes a new master password.
    sandbox.initializeMaster(sealed ? PlainMaster : MasterPassword);
    auto vault = sandbox.openVault();
    addAccounts(*vault, int(accounts.size()), [&](int i) { return accounts[i]; });
    if (sealed)
        vault->seal(PlainMaster, MasterPassword);
}

// Runs SQL on the file as someone who writes it by other means would.
void tamper(const QString& path, const QString& sql)
{
    Database raw;
    raw.open(path, VaultStore::DatabasePassword);
    sqlite3_set_authorizer(raw.handle(), nullptr, nullptr);
    sqlite3_db_config(raw.handle(), SQLITE_DBCONFIG_DEFENSIVE, 0, nullptr);
    raw.exec(sql.toUtf8().constData());
}

// The seal row as the values of an insert, and its public key alone.
QString sealRow(const QString& path, const char* columns = "version, publickey, salt, opslimit, memlimit, secretkey")
{
    Database raw;
    raw.open(path, VaultStore::DatabasePassword);
    Statement row(raw, QStringLiteral("select %1 from seal").arg(QLatin1String(columns)).toUtf8().constData());
    row.step();
    QStringList values;
    for (int i = 0; i < int(QString::fromLatin1(columns).count(QLatin1Char(',')) + 1); ++i)
        values << (row.isInteger(i) ? row.text(i) : QLatin1Char('\'') + row.text(i) + QLatin1Char('\''));
    return values.join(QLatin1Char(','));
}

// The passwords as stored, in list order, or opened with the master password
// and sorted.
QStringList storedPasswords(VaultStore& vault, bool opened, const QString& master = MasterPassword)
{
    if (opened && !vault.masterPasswordOpens(master))
        return {QStringLiteral("the master password does not open the vault")};
    QStringList passwords;
    vault.forEachAccount([&](const AccountRow& row) {
        passwords << (opened ? vault.openPassword(row.fields.password) : row.fields.password);
    });
    if (opened)
        passwords.sort(Qt::CaseInsensitive);
    return passwords;
}

QStringList samplePasswords(QStringList more = {})
{
    for (const AccountFields& account : Sample)
        more << account.password;
    more.sort(Qt::CaseInsensitive);
    return more;
}

// Every page of the vault as the database password opens it, free space and
// freed pages too (the sqlcipher shell reads them); empty without the shell.
QByteArray decipheredPages(const QString& path)
{
    QProcess shell;
    shell.start(QStandardPaths::findExecutable(QStringLiteral("sqlcipher")), {QStringLiteral("-readonly"), path});
    shell.write("PRAGMA key='tuvesk'; PRAGMA cipher_compatibility = 3; select hex(data) from sqlite_dbpage;\n");
    shell.closeWriteChannel();
    shell.waitForFinished(60000);
    QByteArray pages;
    for (const QByteArray& line : shell.readAllStandardOutput().split('\n'))
        pages += QByteArray::fromHex(line.trimmed());
    return pages;
}

// Everything a user sees and the program writes while every guarded command
// runs with a wrong and a right master password, then an add and Options.
QStringList journey(bool sealed)
{
    MainWindowFixture f;
    prepare(f.sandbox, sealed);
    if (!f.open())
        return {QStringLiteral("did not start")};
    VaultStore& vault = *f.window->VaultDb();
    QStringList seen;
    const auto reveal = [&](const QString& entry) {
        answerMasterPrompt(entry);
        f.click("cmdReveal");
        seen << f.label("lblUsername") + QLatin1Char('|') + f.label("lblPassword");
        // Open only inside a guarded command.
        if (vault.isSealOpen())
            seen << QStringLiteral("still unlocked");
    };
    f.pick(0);
    if (sealed && !Module1::SelectedPassword.isEmpty())
        seen << QStringLiteral("the pick opened the password");
    reveal(MasterPassword + QLatin1Char(' '));
    reveal(MasterPassword);
    answerMasterPrompt(MasterPassword, [&](QWidget* dialog) {
        seen << boxContents(dialog).password;
        typeInto(dialog, "txtPassword", QStringLiteral("changed-Pw"));
        clickOn(dialog, "cmdOk");
    });
    f.click("cmdEdit");
    answerMasterPrompt(MasterPassword);
    f.click("FlatBttn2");
    seen << QString::fromLatin1(readFile(f.report()).toBase64());
    const QStringList stored = storedPasswords(vault, false);
    answerMasterPrompt(MasterPassword, [&](QWidget* dialog) {
        seen << childNamed<QLineEdit>(dialog, "txtPassword1")->text()
                + childNamed<QLineEdit>(dialog, "txtPassword2")->text();
        typeInto(dialog, "txtPassword1", QStringLiteral(" newmaster1 "));
        typeInto(dialog, "txtPassword2", QStringLiteral(" newmaster1 "));
        clickOn(dialog, "cmdOk");
    });
    f.click("FlatBttn1");
    // A new master password seals every password anew to a new key pair,
    // and in a plain vault leaves them as they are.
    const QStringList after = storedPasswords(vault, false);
    for (qsizetype i = 0; i < stored.size(); ++i)
        if (!stored[i].isEmpty() && (after[i] == stored[i]) == sealed)
            seen << QStringLiteral("Options left or rewrote a password");
    f.addThroughDialog({QStringLiteral("Added"), {}, QStringLiteral("added-Pw"), QStringLiteral("http://a"), {}, {}});
    f.pick(0);
    reveal(MasterPassword);
    reveal(QStringLiteral("newmaster1"));
    if (sealed && storedPasswords(vault, false).filter(QRegularExpression(QStringLiteral("^(?!seal:)"))).size() > 0)
        seen << QStringLiteral("a password is not sealed");
    for (const MessageBox::Request& message : f.sandbox.messages)
        seen << message.title + QLatin1Char('|') + message.text;
    return seen << f.listed() << QString::number(f.sandbox.ends);
}

}  // namespace

class TestSealed : public QObject {
    Q_OBJECT
private slots:
    void sealedVaultShowsExactlyWhatAPlainOneShows()
    {
        const QStringList plain = journey(false);
        QCOMPARE(plain.size(), 14);
        QCOMPARE(journey(true), plain);
    }

    void checkPassesForExactlyTheEntriesThatPassOnAPlainVault_data()
    {
        QTest::addColumn<QString>("entry");
        QTest::addColumn<bool>("passes");
        QTest::newRow("exact") << MasterPassword << true;
        QTest::newRow("trailing space") << MasterPassword + QLatin1Char(' ') << false;
        // Its UTF-8 form is that of a master password with '?' in its place.
        QTest::newRow("half a character") << QStringLiteral("opensesam") + QChar(0xD83D) << false;
    }

    void checkPassesForExactlyTheEntriesThatPassOnAPlainVault()
    {
        QFETCH(QString, entry);
        QFETCH(bool, passes);
        Sandbox sandbox;
        const QString master = entry.endsWith(QChar(0xD83D)) ? QStringLiteral("opensesam?") : MasterPassword;
        sandbox.initializeMaster(master);
        auto vault = sandbox.openVault();
        QCOMPARE(vault->masterPasswordOpens(entry), passes);
        vault->storeMasterPassword(Encrypt(PlainMaster), false);
        vault->seal(PlainMaster, master);
        QCOMPARE(vault->masterPasswordOpens(entry), passes);
        QCOMPARE(vault->isSealOpen(), passes);
    }

    void damagedSealIsRefusedAndLeftAsItIs_data()
    {
        QTest::addColumn<QString>("sql");
        QTest::addColumn<int>("code");
        const int damaged = ErrorCode::VaultDamaged;
        QTest::newRow("public key cut short") << "update seal set publickey = substr(publickey, 1, 40)" << damaged;
        QTest::newRow("salt not base64") << "update seal set salt = '########################'" << damaged;
        QTest::newRow("salt as a blob") << "update seal set salt = cast(salt as blob)" << damaged;
        QTest::newRow("one pass") << "update seal set opslimit = 1" << damaged;
        QTest::newRow("a minute's work") << "update seal set opslimit = 64, memlimit = 1073741824" << damaged;
        QTest::newRow("two seal rows") << "insert into seal select * from seal" << damaged;
        QTest::newRow("a plain password") << "update accounts set password = '%1' where account = 'Bank'" << damaged;
        QTest::newRow("master row holds the password") << "update master set password = '%2'" << damaged;
        QTest::newRow("master row not initialised") << "update master set initialized = 0" << damaged;
        QTest::newRow("another shape") << "alter table seal add column extra text" << ErrorCode::UntrustedVault;
        QTest::newRow("an index") << "create index sealed on seal (version)" << ErrorCode::UntrustedVault;
    }

    void damagedSealIsRefusedAndLeftAsItIs()
    {
        QFETCH(QString, sql);
        QFETCH(int, code);
        MainWindowFixture f;
        prepare(f.sandbox, true);
        Database raw;
        raw.open(f.sandbox.vaultPath(), VaultStore::DatabasePassword);
        sqlite3_set_authorizer(raw.handle(), nullptr, nullptr);
        sqlite3_db_config(raw.handle(), SQLITE_DBCONFIG_DEFENSIVE, 0, nullptr);
        sql.replace(QStringLiteral("%1"), Encrypt(QStringLiteral("plain")))
            .replace(QStringLiteral("%2"), Encrypt(MasterPassword));
        raw.exec(sql.toUtf8().constData());
        raw.close();
        const QByteArray before = readFile(f.sandbox.vaultPath());
        QVERIFY(!f.open());
        verifyStartUpEnded(f.sandbox);
        QVERIFY2(f.sandbox.messages[0].text.endsWith(QString::number(code) + QStringLiteral("SQLCipher")),
                 qPrintable(f.sandbox.messages[0].text));
        QCOMPARE(readFile(f.sandbox.vaultPath()), before);
        QCOMPARE(folderEntries(f.sandbox.appFolder()), QStringList{QStringLiteral("data.mdb")});
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
                                      {},
                                      {},
                                      {}};
        prepare(sandbox, true, accounts);
        auto vault = sandbox.openVault();
        vault->appendAccount({QStringLiteral("Later"),
                              Encrypt(QStringLiteral("later-user")),
                              vault->passwordToStore(QStringLiteral("added-after-Sealing")),
                              {},
                              {},
                              {}});
        QStringList secrets = {MasterPassword, QStringLiteral("added-after-Sealing")};
        for (const AccountFields& account : accounts)
            secrets << account.password;
        secrets.removeAll(QString());

        const QByteArray pages = decipheredPages(sandbox.vaultPath());
        if (pages.isEmpty())
            QSKIP("the sqlcipher shell is needed to read every page of the vault");
        for (const QString& secret : secrets) {
            const QByteArray utf16(reinterpret_cast<const char*>(secret.utf16()), secret.size() * 2);
            for (const QByteArray& form : {secret.toUtf8(), utf16, secret.toUtf8().toBase64(), secret.toLatin1()})
                QVERIFY2(!pages.contains(form), qPrintable(secret));
        }
        // What the field key opens is a username, never a password. A cipher
        // text runs on into the letters of the next field: every stretch is tried.
        static const QRegularExpression base64(QStringLiteral("[A-Za-z0-9+/]{56,}={0,2}"));
        QStringList opened;
        for (const auto& match : base64.globalMatch(QString::fromLatin1(pages))) {
            const QString run = match.captured();
            for (qsizetype from = 0; from + 56 <= run.size(); ++from)
                for (qsizetype to = from + 56; to <= run.size(); to += 4)
                    try {
                        opened << Decrypt(run.mid(from, to - from));
                    } catch (const AppError&) {
                    }
        }
        QVERIFY2(opened.contains(QStringLiteral("later-user")), "the search found no enciphered username");
        for (const QString& secret : secrets)
            QVERIFY2(!opened.contains(secret), qPrintable(secret));
    }

    void importNeedsNoMasterPasswordAndExportOpensWithIt_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<int>("status");
        QTest::addColumn<QStringList>("added");
        // The first row differs from Bank only by its password.
        QTest::newRow("without the master password") << QStringList() << QByteArray() << 0 << QStringList{"new-Pw"};
        QTest::newRow("with the master password") << QStringList{"--compare-passwords"} << QByteArray("opensesame\n")
                                                  << 0 << QStringList{"new-Pw", "other-Pw"};
        QTest::newRow("with a wrong one")
            << QStringList{"--compare-passwords"} << QByteArray("opensesame \n") << 1 << QStringList();
    }

    void importNeedsNoMasterPasswordAndExportOpensWithIt()
    {
        QFETCH(QStringList, options);
        QFETCH(QByteArray, input);
        QFETCH(int, status);
        QFETCH(QStringList, added);
        Sandbox sandbox;
        prepare(sandbox, true);
        const QString csv = sandbox.workFolder() + QStringLiteral("/in.csv");
        writeFile(csv,
                  "name,url,username,password\nBank,http://bank,ann,other-Pw\n"
                  "Bank,http://bank,ann,vault-Pass-31!\nNew,http://new,neo,new-Pw\n");
        const QStringList vaultOption{QStringLiteral("--vault"), sandbox.vaultPath()};
        QCOMPARE(runTool(QUILLOCK_TEST_IMPORT, QStringList{csv} + vaultOption + options, input), status);
        auto vault = sandbox.openVault();
        QCOMPARE(storedPasswords(*vault, false).filter(QStringLiteral("seal:")).size(), Sample.size() + added.size());
        const QStringList opened = storedPasswords(*vault, true);
        QCOMPARE(opened, samplePasswords(added));

        const QString exported = sandbox.workFolder() + QStringLiteral("/out.csv");
        QCOMPARE(runTool(QUILLOCK_TEST_EXPORT, QStringList{exported} + vaultOption, "opensesame\n"), 0);
        for (const QString& password : opened)
            QVERIFY2(readFile(exported).contains(password.toUtf8()), qPrintable(password));
    }

    void sealingToolConvertsOnlyWhenItMay_data()
    {
        QTest::addColumn<bool>("sealedBefore");
        QTest::addColumn<QString>("args");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<int>("running");  // 0: nobody, 1: a copy in the folder, 2: one through a hard link
        QTest::addColumn<QString>("says");
        QTest::addColumn<QString>("opensWith");
        QTest::addColumn<int>("exit");
        const QByteArray right = "opensesame\nnew-Master1\nnew-Master1\n";
        const QString unchanged = QStringLiteral("Nothing was changed.");
        const QString sealed = QStringLiteral("new-Master1");
        QTest::newRow("seal") << false << "--yes" << right << 0 << "Sealed the vault" << sealed << 0;
        QTest::newRow("the warning keeps its lines")
            << false << "--yes" << right << 0
            << "not anyone else.\n  - Older copies of Quillock cannot open a sealed vault.\n"
            << sealed << 0;
        QTest::newRow("trailing space") << false << "--yes" << QByteArray("opensesame \nnew-Master1\nnew-Master1\n")
                                        << 0 << "Wrong master password. " + unchanged << QString() << 1;
        QTest::newRow("the current one again") << false << "--yes" << QByteArray("opensesame\nopensesame\nopensesame\n")
                                               << 0 << "must differ from the current one" << QString() << 1;
        QTest::newRow("typed differently") << false << "--yes" << QByteArray("opensesame\nnew-Master1\nnew-Master2\n")
                                           << 0 << "eight and sixteen" << QString() << 1;
        QTest::newRow("too short") << false << "--yes" << QByteArray("opensesame\nshort\nshort\n") << 0
                                   << "eight and sixteen" << QString() << 1;
        QTest::newRow("no --yes from a script")
            << false << "" << right << 0 << "give --yes to seal. " + unchanged << QString() << 1;
        QTest::newRow("sealed already") << true << "--yes" << right << 0 << "sealed already" << MasterPassword << 0;
        QTest::newRow("Quillock running") << false << "--yes" << right << 1 << "Close Quillock first" << QString() << 1;
        QTest::newRow("Quillock running on a hard link")
            << false << "--yes" << right << 2 << "more than one name" << QString() << 1;
        QTest::newRow("unseal") << true << "--unseal" << QByteArray("opensesame\n") << 0 << "Unsealed the vault"
                                << QString() << 0;
        QTest::newRow("unseal, capitals") << true << "--unseal" << QByteArray("OPENSESAME\n") << 0
                                          << "Wrong master password. " + unchanged << MasterPassword << 1;
        QTest::newRow("unseal a plain vault") << false << "--unseal" << right << 0 << "is not sealed" << QString() << 0;
        QTest::newRow("unseal, Quillock running")
            << true << "--unseal" << QByteArray("opensesame\n") << 1 << "Close Quillock first" << MasterPassword << 1;
        QTest::newRow("unseal, Quillock running on a hard link")
            << true << "--unseal" << QByteArray("opensesame\n") << 2 << "more than one name" << MasterPassword << 1;
    }

    void sealingToolConvertsOnlyWhenItMay()
    {
        QFETCH(bool, sealedBefore);
        QFETCH(QString, args);
        QFETCH(QByteArray, input);
        QFETCH(int, running);
        QFETCH(QString, says);
        QFETCH(QString, opensWith);
        QFETCH(int, exit);
        Sandbox sandbox;
        prepare(sandbox, sealedBefore);
        const QByteArray before = readFile(sandbox.vaultPath());
        // Another name of the same file, in a folder of its own.
        const QString linked = sandbox.workFolder() + QStringLiteral("/data.mdb");
        if (running == 2)
            QCOMPARE(::link(sandbox.vaultPath().toUtf8().constData(), linked.toUtf8().constData()), 0);
        VaultLock copy(running == 2 ? linked : sandbox.vaultPath());
        if (running > 0)
            copy.share();
        QString out, err;
        const int status = runTool(QUILLOCK_TEST_SEAL,
                                   QStringList{QStringLiteral("--vault"), sandbox.vaultPath()}
                                       + args.split(QLatin1Char(' '), Qt::SkipEmptyParts),
                                   input, &out, &err);
        QVERIFY2((out + err).contains(says), qPrintable(out + err));
        QCOMPARE(status, exit);
        auto vault = sandbox.openVault();
        QCOMPARE(vault->isSealed(), !opensWith.isEmpty());
        if (!opensWith.isEmpty() == sealedBefore)
            QCOMPARE(readFile(sandbox.vaultPath()), before);
        // Every plain copy gives the master password it had away.
        if (!sealedBefore && vault->isSealed())
            QVERIFY(!vault->masterPasswordOpens(MasterPassword));
        QCOMPARE(storedPasswords(*vault, true, opensWith.isEmpty() ? MasterPassword : opensWith), samplePasswords());
    }

    // Someone who writes the file puts a plain or another sealed vault in
    // the place of one that was sealed: the program and the import refuse
    // it, with a way to accept it on purpose, and leave it as it is.
    void replacedSealIsRefusedBeforeAnythingIsStored_data()
    {
        QTest::addColumn<QString>("attack");
        QTest::addColumn<bool>("forgetFirst");
        QTest::addColumn<QString>("says");
        QTest::addColumn<bool>("startsAfterForget");
        const QString forget = QStringLiteral("quillock-seal --forget");
        QTest::newRow("a plain copy in its place") << "plain copy" << false << forget << true;
        QTest::newRow("a fresh vault in its place") << "fresh" << false << forget << false;
        // Its sealed passwords give it away before the record does.
        QTest::newRow("seal dropped, first run again")
            << "drop table seal; update master set initialized = 0" << false << "has no seal" << false;
        QTest::newRow("another vault's seal row")
            << "delete from seal; insert into seal values (%other)" << false << forget << true;
        QTest::newRow("public key altered") << "update seal set publickey = %otherkey" << false << forget << false;
        // Without the record, what is left is damage.
        QTest::newRow("seal table dropped") << "drop table seal" << true << "3049SQLCipher" << false;
        QTest::newRow("plain vault with a sealed value")
            << "plain copy; update accounts set password = 'seal:' || password" << true << "3049SQLCipher" << false;
    }

    void replacedSealIsRefusedBeforeAnythingIsStored()
    {
        QFETCH(QString, attack);
        QFETCH(bool, forgetFirst);
        QFETCH(QString, says);
        QFETCH(bool, startsAfterForget);
        MainWindowFixture f;
        const QString path = f.sandbox.vaultPath();
        prepare(f.sandbox, false);
        const QByteArray plain = readFile(path);
        {
            auto vault = f.sandbox.openVault();
            vault->seal(MasterPassword, QStringLiteral("sealed-Master1"));
        }
        QVERIFY(f.open());
        f.window.reset();
        CoreSandbox other;
        const QByteArray fresh = readFile(other.vaultPath());
        prepare(other, true);
        QString sql = attack;
        if (sql.startsWith(QLatin1String("plain copy"))) {
            writeFile(path, plain, 0600);
            sql = sql.section(QLatin1Char(';'), 1);
        } else if (sql == QLatin1String("fresh")) {
            writeFile(path, readFile(other.vaultPath()), 0600);
            tamper(path,
                   QStringLiteral("drop table seal; delete from accounts; update master set password = '', "
                                  "initialized = 0"));
            sql.clear();
        }
        sql.replace(QStringLiteral("%otherkey"), sealRow(other.vaultPath(), "publickey"))
            .replace(QStringLiteral("%other"), sealRow(other.vaultPath()));
        if (!sql.trimmed().isEmpty())
            tamper(path, sql);
        const QStringList forgetIt{QStringLiteral("--forget"), QStringLiteral("--vault"), path};
        if (forgetFirst)
            QCOMPARE(runTool(QUILLOCK_TEST_SEAL, forgetIt), 0);
        const QByteArray before = readFile(path);

        driveNextDialog([](QDialog*) {});  // a first-run window, should one show
        QVERIFY(!f.openAgain());
        callOffModalActions();
        verifyStartUpEnded(f.sandbox);
        QVERIFY2(f.sandbox.messages[0].text.contains(says), qPrintable(f.sandbox.messages[0].text));
        f.window.reset();
        const QString csv = f.sandbox.workFolder() + QStringLiteral("/in.csv");
        writeFile(csv, "name,url,username,password\nNew,http://new,neo,new-Pw\n");
        QString err;
        QCOMPARE(runTool(QUILLOCK_TEST_IMPORT, {csv, QStringLiteral("--vault"), path}, {}, nullptr, &err), 1);
        QVERIFY2(err.contains(says.startsWith(QLatin1String("3049")) ? QStringLiteral("damaged") : says),
                 qPrintable(err));
        QCOMPARE(readFile(path), before);
        if (startsAfterForget) {
            QCOMPARE(runTool(QUILLOCK_TEST_SEAL, forgetIt), 0);
            QVERIFY(f.openAgain());
        }
    }

    // A copy of the sealed file, its seal row and master password from
    // before a new master password: none of it opens what came later.
    void earlierSealRowOpensNothingAddedAfterANewMasterPassword()
    {
        Sandbox sandbox;
        prepare(sandbox, true);
        const QString earlierRow = sealRow(sandbox.vaultPath());
        {
            auto vault = sandbox.openVault();
            QVERIFY(vault->masterPasswordOpens(MasterPassword));
            vault->changeMasterPassword(QStringLiteral("newmaster1"), false);
            vault->lockSeal();
            vault->appendAccount({QStringLiteral("Later"),
                                  Encrypt(QStringLiteral("u")),
                                  vault->passwordToStore(QStringLiteral("added-Later-1")),
                                  {},
                                  {},
                                  {}});
        }
        const QString copy = sandbox.workFolder() + QStringLiteral("/copy.mdb");
        writeFile(copy, readFile(sandbox.vaultPath()), 0600);
        tamper(copy, QStringLiteral("delete from seal; insert into seal values (%1)").arg(earlierRow));
        auto vault = VaultStore::open(copy);
        QVERIFY(vault->masterPasswordOpens(MasterPassword));
        QStringList opened;
        vault->forEachAccount([&](const AccountRow& row) {
            if (!row.fields.password.isEmpty() && errorCodeOf([&] { vault->openPassword(row.fields.password); }) == 0)
                opened << row.fields.account;
        });
        QCOMPARE(opened, QStringList());
    }

    // A public key swapped while the program runs: the next check reports
    // the damage, not a wrong entry.
    void revealFindsAnotherPublicKeyAsDamage()
    {
        MainWindowFixture f;
        prepare(f.sandbox, true);
        QVERIFY(f.open());
        CoreSandbox other;
        prepare(other, true);
        tamper(f.sandbox.vaultPath(),
               QStringLiteral("update seal set publickey = %1").arg(sealRow(other.vaultPath(), "publickey")));
        f.pick(0);
        answerMasterPrompt(MasterPassword);
        f.click("cmdReveal");
        QCOMPARE(f.sandbox.messages.size(), 1);
        QVERIFY2(f.sandbox.messages[0].text.contains(QStringLiteral("damaged")),
                 qPrintable(f.sandbox.messages[0].text));
        QVERIFY(f.label("lblPassword") != Bank);
    }

    void newMasterPasswordOnlyWhileNobodyElseHasTheVault_data()
    {
        QTest::addColumn<int>("others");  // 0: nobody, 1: a copy in the folder, 2: a hard link elsewhere
        QTest::addColumn<int>("code");
        QTest::newRow("alone") << 0 << 0;
        QTest::newRow("another copy running") << 1 << int(ErrorCode::Busy);
        QTest::newRow("a hard link") << 2 << int(ErrorCode::Busy);
    }

    void newMasterPasswordOnlyWhileNobodyElseHasTheVault()
    {
        QFETCH(int, others);
        QFETCH(int, code);
        Sandbox sandbox;
        prepare(sandbox, true);
        const QString linked = sandbox.workFolder() + QStringLiteral("/data.mdb");
        if (others == 2)
            QCOMPARE(::link(sandbox.vaultPath().toUtf8().constData(), linked.toUtf8().constData()), 0);
        VaultLock copy(sandbox.vaultPath());
        if (others == 1)
            copy.share();
        const QByteArray before = readFile(sandbox.vaultPath());
        auto vault = sandbox.openVault();
        QVERIFY(vault->masterPasswordOpens(MasterPassword));
        QCOMPARE(errorCodeOf([&] { vault->changeMasterPassword(QStringLiteral("newmaster1"), false); }), code);
        vault.reset();
        if (code)
            QCOMPARE(readFile(sandbox.vaultPath()), before);
        auto again = sandbox.openVault();
        const QString master = code ? MasterPassword : QStringLiteral("newmaster1");
        QCOMPARE(storedPasswords(*again, true, master), samplePasswords());
        QCOMPARE(again->masterPasswordOpens(code ? QStringLiteral("newmaster1") : MasterPassword), false);
    }

    // The record outside the file: nothing for a user who never sealed,
    // vaults that are gone let go, an unreadable one named.
    void recordOfSealedVaults_data()
    {
        QTest::addColumn<QByteArray>("record");
        QTest::addColumn<bool>("sealed");
        QTest::addColumn<int>("code");
        QTest::addColumn<QByteArray>("after");
        QTest::newRow("never sealed") << QByteArray() << false << 0 << QByteArray();
        QTest::newRow("a vault that is gone")
            << QByteArray("AAAA\t/gone/data.mdb\n") << false << 0 << QByteArray("AAAA");
        QTest::newRow("not ours") << QByteArray("garbage") << false << int(ErrorCode::SettingsFailure)
                                  << QByteArray("garbage");
        QTest::newRow("sealed, recorded") << QByteArray() << true << 0 << QByteArray("\t");
    }

    void recordOfSealedVaults()
    {
        QFETCH(QByteArray, record);
        QFETCH(bool, sealed);
        QFETCH(int, code);
        QFETCH(QByteArray, after);
        Sandbox sandbox;
        prepare(sandbox, sealed);
        QFile::remove(SealRecord::file());
        QDir().mkpath(QFileInfo(SealRecord::file()).absolutePath());
        if (!record.isEmpty())
            writeFile(SealRecord::file(), record, 0600);
        const QByteArray before = readFile(sandbox.vaultPath());
        QCOMPARE(errorCodeOf([&] { sandbox.openVault(); }), code);
        QCOMPARE(readFile(sandbox.vaultPath()), before);
        QVERIFY2(after.isEmpty() ? !QFile::exists(SealRecord::file()) : readFile(SealRecord::file()).contains(after),
                 readFile(SealRecord::file()).constData());
        QFile::remove(SealRecord::file());
    }
};

QUILLOCK_TEST_MAIN(TestSealed)
#include "tst_sealed.moc"
