// Sealed vaults: the check, what the file keeps and refuses, every command
// alike on a sealed and a plain vault, the import and export, quillock-seal.
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

namespace {

const QString Bank = QStringLiteral("vault-Pass-31!");
const QList<AccountFields> Sample = {
    {QStringLiteral("Bank"), QStringLiteral("ann"), Bank, QStringLiteral("http://bank"), QStringLiteral("h"), {}},
    {QStringLiteral("Mail"), QStringLiteral("ann@mail"), QStringLiteral("pässwörd-Ωμέγα-") + Emoji, {}, {}, {}},
    {QStringLiteral("Empty"), QStringLiteral("nobody"), QString(), QStringLiteral("http://"), {}, {}},
};

void prepare(Sandbox& sandbox, bool sealed, const QList<AccountFields>& accounts = Sample)
{
    sandbox.initializeMaster(MasterPassword);
    auto vault = sandbox.openVault();
    addAccounts(*vault, int(accounts.size()), [&](int i) { return accounts[i]; });
    if (sealed)
        VaultSeal::sealVault(*vault, MasterPassword);
}

// The passwords as stored, in list order, or opened with the master password
// and sorted.
QStringList storedPasswords(VaultStore& vault, bool opened)
{
    if (opened && !masterPasswordOpens(vault, MasterPassword))
        return {QStringLiteral("the master password does not open the vault")};
    QStringList passwords;
    vault.forEachAccount([&](const AccountRow& row) {
        passwords << (opened ? openPassword(vault, row.fields.password) : row.fields.password);
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
        if (vault.seal() && vault.seal()->isUnlocked())
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
    // A new master password encloses the secret key anew, and nothing else.
    if (storedPasswords(vault, false) != stored)
        seen << QStringLiteral("Options rewrote the passwords");
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
        QCOMPARE(masterPasswordOpens(*vault, entry), passes);
        VaultSeal::sealVault(*vault, master);
        QCOMPARE(masterPasswordOpens(*vault, entry), passes);
        QCOMPARE(vault->seal()->isUnlocked(), passes);
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
                              passwordToStore(*vault, QStringLiteral("added-after-Sealing")),
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
        QTest::addColumn<bool>("copyRunning");
        QTest::addColumn<QString>("says");
        QTest::addColumn<bool>("sealedAfter");
        const QByteArray right = "opensesame\n";
        QTest::newRow("seal") << false << "--yes" << right << false << "Sealed the vault" << true;
        QTest::newRow("the warning keeps its lines")
            << false << "--yes" << right << false
            << "not anyone else.\n  - Older copies of Quillock cannot open a sealed vault.\n"
            << true;
        QTest::newRow("trailing space") << false << "--yes" << QByteArray("opensesame \n") << false
                                        << "Wrong master password. Nothing was changed." << false;
        QTest::newRow("no --yes from a script")
            << false << "" << right << false << "give --yes to seal. Nothing was changed." << false;
        QTest::newRow("sealed already") << true << "--yes" << right << false << "sealed already" << true;
        QTest::newRow("Quillock running") << false << "--yes" << right << true << "Close Quillock first" << false;
        QTest::newRow("unseal") << true << "--unseal" << right << false << "Unsealed the vault" << false;
        QTest::newRow("unseal, capitals") << true << "--unseal" << QByteArray("OPENSESAME\n") << false
                                          << "Wrong master password. Nothing was changed." << true;
        QTest::newRow("unseal a plain vault") << false << "--unseal" << right << false << "is not sealed" << false;
        QTest::newRow("unseal, Quillock running")
            << true << "--unseal" << right << true << "Close Quillock first" << true;
    }

    void sealingToolConvertsOnlyWhenItMay()
    {
        QFETCH(bool, sealedBefore);
        QFETCH(QString, args);
        QFETCH(QByteArray, input);
        QFETCH(bool, copyRunning);
        QFETCH(QString, says);
        QFETCH(bool, sealedAfter);
        Sandbox sandbox;
        prepare(sandbox, sealedBefore);
        const QByteArray before = readFile(sandbox.vaultPath());
        VaultLock running(sandbox.vaultPath());
        if (copyRunning)
            running.share();
        QString out, err;
        const int status = runTool(QUILLOCK_TEST_SEAL,
                                   QStringList{QStringLiteral("--vault"), sandbox.vaultPath()}
                                       + args.split(QLatin1Char(' '), Qt::SkipEmptyParts),
                                   input, &out, &err);
        QVERIFY2((out + err).contains(says), qPrintable(out + err));
        QCOMPARE(status, err.contains(QStringLiteral("Nothing was changed.")) ? 1 : 0);
        auto vault = sandbox.openVault();
        QCOMPARE(vault->seal() != nullptr, sealedAfter);
        if (sealedAfter == sealedBefore)
            QCOMPARE(readFile(sandbox.vaultPath()), before);
        QCOMPARE(storedPasswords(*vault, true), samplePasswords());
    }
};

QUILLOCK_TEST_MAIN(TestSealed)
#include "tst_sealed.moc"
