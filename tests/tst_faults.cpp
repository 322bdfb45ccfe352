// What the program does when its surroundings fail: damaged or foreign
// vault files, folders it may not write, a full file system, a vault locked
// by another process, and values another program left Null. Each case has
// one clear outcome, and the vault always keeps what it held.
#include "testsupport.h"

#include "accounts/frmMain.h"
#include "report/reportwriter.h"
#include "shared/module1.h"
#include "shared/settings.h"
#include "vault/apperror.h"
#include "vault/sqlite.h"
#include "vault/stringcipher.h"
#include "vault/vaultlock.h"

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/file.h>
#include <sys/mount.h>
#include <unistd.h>

namespace {

// Everything a vault holds, deciphered, in list order.
QStringList contentOf(const QString& vaultPath)
{
    auto vault = VaultStore::open(vaultPath);
    QStringList content{QStringLiteral("master=") + decryptField(vault->storedMasterPassword())};
    vault->forEachAccount([&](const AccountRow& row) {
        const AccountFields& f = row.fields;
        content << QStringList{f.account, decryptField(f.username), decryptField(f.password), f.url, f.hint, f.notes}
                       .join(QLatin1Char('|'));
    });
    return content;
}

// An account of plain values named `name`.
AccountFields accountNamed(const QString& name)
{
    return {name, name + QStringLiteral(" user"),    name + QStringLiteral(" pass"), QStringLiteral("http://"),
            {},   QStringLiteral("notes of ") + name};
}

enum class Command { Add, Edit, Delete, Options };

// Runs one command through the main window; the account at list index 0 is
// the one edited or deleted.
void runCommand(MainWindowFixture& f, Command command)
{
    switch (command) {
    case Command::Add:
        f.addThroughDialog(accountNamed(QStringLiteral("added")));
        break;
    case Command::Edit:
        f.pick(0);
        answerMasterPrompt(MasterPassword, [](QWidget* dialog) {
            fillBoxes(dialog, accountNamed(QStringLiteral("edited")));
            clickOn(dialog, "cmdOk");
        });
        f.click("cmdEdit");
        break;
    case Command::Delete:
        f.pick(0);
        f.click("cmdDelete");
        break;
    case Command::Options:
        answerMasterPrompt(MasterPassword, [](QWidget* dialog) {
            childNamed<QLineEdit>(dialog, "txtPassword1")->setText(QStringLiteral("a new master"));
            childNamed<QLineEdit>(dialog, "txtPassword2")->setText(QStringLiteral("a new master"));
            clickOn(dialog, "cmdOk");
        });
        f.click("FlatBttn1");
        break;
    }
}

void addCommandRows()
{
    QTest::addColumn<int>("command");
    QTest::newRow("add") << int(Command::Add);
    QTest::newRow("edit") << int(Command::Edit);
    QTest::newRow("delete") << int(Command::Delete);
    QTest::newRow("options") << int(Command::Options);
}

void fillVault(Sandbox& sandbox, int accounts)
{
    sandbox.initializeMaster(MasterPassword);
    addAccounts(*sandbox.openVault(), accounts, [](int i) {
        return AccountFields{QStringLiteral("account %1").arg(i, 4, 10, QLatin1Char('0')),
                             QStringLiteral("user %1").arg(i),
                             QStringLiteral("pass %1").arg(i),
                             QStringLiteral("http://x.example"),
                             QStringLiteral("a hint"),
                             QString(300, QLatin1Char('n'))};
    });
}

// A small tmpfs mounted for one test; unusable without the right to mount.
class SmallFileSystem {
public:
    explicit SmallFileSystem(const QString& where, int kilobytes) : where_(where)
    {
        QDir().mkpath(where);
        const QByteArray options = "size=" + QByteArray::number(kilobytes) + "k,mode=0700";
        if (::mount("quillock-test", QFile::encodeName(where).constData(), "tmpfs", 0, options.constData()) == 0)
            mounted_ = true;
        else
            why_ = QString::fromLocal8Bit(std::strerror(errno));
    }
    ~SmallFileSystem()
    {
        if (mounted_)
            ::umount2(QFile::encodeName(where_).constData(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }
    QString why() const { return why_; }

    // Takes every free block; the filler is the only thing to remove to
    // make room again.
    void fill()
    {
        const QByteArray path = QFile::encodeName(where_ + QStringLiteral("/filler"));
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        const QByteArray block(4096, 'f');
        while (::write(fd, block.constData(), static_cast<size_t>(block.size())) > 0) { }
        // The last partial block too.
        while (::write(fd, "f", 1) > 0) { }
        ::close(fd);
    }
    void makeRoom() { QFile::remove(where_ + QStringLiteral("/filler")); }

private:
    QString where_;
    bool mounted_ = false;
    QString why_;
};

// Mounting needs root. Where the system gives a user a namespace of its
// own, the test function runs again in one, with the right to mount there:
// its exit status, or -1 when no such namespace can be had.
int runInOwnNamespace()
{
    const QString unshare = QStandardPaths::findExecutable(QStringLiteral("unshare"));
    if (unshare.isEmpty() || qEnvironmentVariableIsSet("QUILLOCK_OWN_NAMESPACE")
        || QProcess::execute(unshare, {QStringLiteral("-rm"), QStringLiteral("true")}) != 0)
        return -1;
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QUILLOCK_OWN_NAMESPACE"), QStringLiteral("1"));
    child.setProcessEnvironment(environment);
    child.start(unshare,
                {QStringLiteral("-rm"), QCoreApplication::applicationFilePath(),
                 QString::fromLatin1(QTest::currentTestFunction())});
    return child.waitForFinished(-1) && child.exitStatus() == QProcess::NormalExit ? child.exitCode() : 1;
}

// Another program holding the vault through the sqlcipher shell: it takes
// the vault exclusively and writes a row; with `releaseAfter` seconds it
// commits by itself then, as this process may be waiting inside the store.
class ForeignHolder {
public:
    bool start(const QString& vaultPath, int releaseAfter = -1)
    {
        const QString shell = QStandardPaths::findExecutable(QStringLiteral("sqlcipher"));
        if (shell.isEmpty())
            return false;
        vault_ = vaultPath;
        process_.start(shell, {vaultPath});
        if (!process_.waitForStarted(10000))
            return false;
        // It waits for readers, this test's probe among them.
        process_.write(".timeout 10000\nPRAGMA key = 'tuvesk';\nPRAGMA cipher_compatibility = 3;\nBEGIN EXCLUSIVE;\n"
                       "INSERT INTO accounts (account, username, password, url, hint, notes) "
                       "VALUES ('written by another program', '', '', '', '', '');\n");
        if (releaseAfter >= 0)
            process_.write(QStringLiteral(".shell sleep %1\nCOMMIT;\n.quit\n").arg(releaseAfter).toUtf8());
        // Held once a reader that does not wait is refused.
        return QTest::qWaitFor([this] { return refusesReader(); }, 10000);
    }
    void commitAndQuit()
    {
        process_.write("COMMIT;\n.quit\n");
        process_.closeWriteChannel();
        process_.waitForFinished(10000);
    }
    ~ForeignHolder()
    {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished(5000);
        }
    }

private:
    bool refusesReader() const
    {
        sqlite3* db = nullptr;
        sqlite3_open_v2(QFile::encodeName(vault_).constData(), &db, SQLITE_OPEN_READONLY, nullptr);
        sqlite3_key(db, "tuvesk", 6);
        const int rc = sqlite3_exec(db, "select count(*) from accounts", nullptr, nullptr, nullptr);
        sqlite3_close(db);
        return rc == SQLITE_BUSY;
    }

    QProcess process_;
    QString vault_;
};

}  // namespace

class TestFaults : public QObject {
    Q_OBJECT
private slots:
    void foreignOrDamagedVaultEndsStartUpAndStaysAsItWas_data()
    {
        QTest::addColumn<QString>("damage");
        for (const char* damage :
             {"cut in half", "first page only", "empty file", "random bytes", "other password", "not enciphered"})
            QTest::newRow(damage) << QString::fromLatin1(damage);
    }

    void foreignOrDamagedVaultEndsStartUpAndStaysAsItWas()
    {
        QFETCH(QString, damage);
        MainWindowFixture f;
        fillVault(f.sandbox, 200);
        const QString path = f.sandbox.vaultPath();
        QByteArray bytes = readFile(path);
        QVERIFY(bytes.size() > 64 * 1024);
        if (damage == QLatin1String("cut in half")) {
            bytes.truncate(bytes.size() / 2);
        } else if (damage == QLatin1String("first page only")) {
            bytes.truncate(4096);
        } else if (damage == QLatin1String("empty file")) {
            bytes.clear();
        } else if (damage == QLatin1String("random bytes")) {
            std::mt19937 random(20261207);
            for (char& c : bytes)
                c = char(random());
        }
        QFile::remove(path);
        if (damage == QLatin1String("other password") || damage == QLatin1String("not enciphered")) {
            // The right tables, but under another key or under none.
            sqlite3* other = nullptr;
            QCOMPARE(sqlite3_open(QFile::encodeName(path).constData(), &other), SQLITE_OK);
            if (damage == QLatin1String("other password"))
                QCOMPARE(sqlite3_key(other, "tuvesk2", 7), SQLITE_OK);
            QCOMPARE(sqlite3_exec(other,
                                  "create table accounts (account text, username text, password text, url text, "
                                  "hint text, notes text); create table master (key text, password text, "
                                  "initialized boolean); insert into master values ('master', '', 1);"
                                  "insert into accounts (account) values ('foreign');",
                                  nullptr, nullptr, nullptr),
                     SQLITE_OK);
            sqlite3_close(other);
            bytes = readFile(path);
        } else {
            writeFile(path, bytes, 0600);
        }

        QVERIFY(!f.open());
        verifyStartUpEnded(f.sandbox);
        const QString text = f.sandbox.messages.value(0).text;
        for (int skipped : {ErrorCode::Busy, ErrorCode::PathAccess})
            QVERIFY2(!text.endsWith(QString::number(skipped) + QStringLiteral("SQLCipher")), qPrintable(text));
        // Whatever the file was, it is still exactly that, and nothing was
        // left beside it.
        QCOMPARE(readFile(path), bytes);
        QCOMPARE(folderEntries(f.sandbox.appFolder()), QStringList{QStringLiteral("data.mdb")});
    }

    void readOnlyApplicationFolderRefusesChangesAndKeepsTheVault_data() { addCommandRows(); }

    void readOnlyApplicationFolderRefusesChangesAndKeepsTheVault()
    {
        QFETCH(int, command);
        MainWindowFixture f;
        fillVault(f.sandbox, 3);
        const QStringList before = contentOf(f.sandbox.vaultPath());
        {
            QVERIFY(f.open());
            QFile::setPermissions(f.sandbox.appFolder(), QFile::ReadOwner | QFile::ExeOwner);
            {
                ObeyFilePermissions obey;
                runCommand(f, Command(command));
            }
            QFile::setPermissions(f.sandbox.appFolder(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
            // The write fails, is reported, and the program ends.
            QCOMPARE(f.sandbox.ends, 1);
            const QString text = f.sandbox.messages.last().text;
            QVERIFY2(text.startsWith(QStringLiteral("Run-time error '")), qPrintable(text));
            QVERIFY2(text.startsWith(QStringLiteral("Run-time error '75'")), qPrintable(text));
            f.window.reset();
        }
        QCOMPARE(contentOf(f.sandbox.vaultPath()), before);
        QCOMPARE(folderEntries(f.sandbox.appFolder()), QStringList{QStringLiteral("data.mdb")});

        // The next start, with the folder writable again, finds it all.
        QVERIFY(f.openAgain());
        QCOMPARE(f.listed().size(), before.size() - 1);
        QVERIFY(f.sandbox.messages.isEmpty());
    }

    void readOnlyWorkingFolderStillAddsAndExits()
    {
        MainWindowFixture f;
        Settings::saveSetting(Settings::ExitKey, QStringLiteral("E"));
        QFile::setPermissions(f.sandbox.workFolder(), QFile::ReadOwner | QFile::ExeOwner);
        {
            ObeyFilePermissions obey;
            f.start();
            runCommand(f, Command::Add);
            QCOMPARE(f.listed(), QStringList{QStringLiteral("added")});
            f.click("cmdExit");
            QCOMPARE(f.sandbox.ends, 1);
            QVERIFY(f.sandbox.messages.isEmpty());
            f.window.reset();
        }
        QFile::setPermissions(f.sandbox.workFolder(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QCOMPARE(contentOf(f.sandbox.vaultPath()).value(1),
                 QStringLiteral("added|added user|added pass|http://||notes of added"));
    }

    void fullFileSystemLosesNothing()
    {
        MainWindowFixture f;
        fillVault(f.sandbox, 20);
        const QString mountPoint = f.sandbox.workFolder() + QStringLiteral("/small");
        SmallFileSystem small(mountPoint, 1024);
        if (!small.mounted()) {
            if (const int status = runInOwnNamespace(); status >= 0)
                QCOMPARE(status, 0);
            else
                QSKIP(qPrintable(QStringLiteral("cannot mount a small tmpfs here (%1); needs root with the right to "
                                                "mount, or a user namespace")
                                     .arg(small.why())));
            return;
        }
        const QString app = mountPoint + QStringLiteral("/app");
        QDir().mkpath(app);
        const QString vaultPath = app + QStringLiteral("/data.mdb");
        QVERIFY(QFile::copy(f.sandbox.vaultPath(), vaultPath));
        Module1::setApplicationFolder(app);
        const QStringList before = contentOf(vaultPath);
        const QByteArray bytes = readFile(vaultPath);
        writeFile(app + QStringLiteral("/report.htm"), "earlier report");
        small.fill();

        // Start-up cannot write a compacted copy: it skips the compaction,
        // as for a folder it may not write, and goes on with the vault.
        const bool started = f.open();
        QVERIFY2(started, qPrintable(f.sandbox.messages.value(0).text));
        QVERIFY(f.sandbox.messages.isEmpty());
        QCOMPARE(readFile(vaultPath), bytes);
        QVERIFY(!QFile::exists(app + QStringLiteral("/data1.mdb")));
        f.window.reset();

        // With room for the start only, an add and the report fail whole.
        small.makeRoom();
        QVERIFY(f.openAgain());
        small.fill();
        runCommand(f, Command::Add);
        QCOMPARE(f.sandbox.messages.size(), 1);
        QVERIFY2(
            f.sandbox.messages.first().text.startsWith(QStringLiteral("Run-time error '%1'").arg(ErrorCode::DiskFull)),
            qPrintable(f.sandbox.messages.first().text));
        QCOMPARE(contentOf(vaultPath), before);

        QCOMPARE(errorCodeOf([&] { writeReport(*f.window->VaultDb(), app + QStringLiteral("/report.htm")); }),
                 ErrorCode::DiskFull);
        QCOMPARE(readFile(app + QStringLiteral("/report.htm")), QByteArray("earlier report"));
        f.window->close();
        f.window.reset();
        QCOMPARE(folderEntries(app), (QStringList{QStringLiteral("data.mdb"), QStringLiteral("report.htm")}));

        // Once there is room the next start finds every account.
        small.makeRoom();
        QVERIFY(f.openAgain());
        QCOMPARE(f.listed().size(), 20);
        QCOMPARE(contentOf(vaultPath), before);
    }

    void fullFileSystemDuringSealingChangesNothing()
    {
        Sandbox sandbox;
        fillVault(sandbox, 200);
        const QString mountPoint = sandbox.workFolder() + QStringLiteral("/small");
        SmallFileSystem small(mountPoint, 1024);
        if (!small.mounted()) {
            if (const int status = runInOwnNamespace(); status >= 0)
                QCOMPARE(status, 0);
            else
                QSKIP(qPrintable(QStringLiteral("cannot mount a small tmpfs here (%1)").arg(small.why())));
            return;
        }
        const QString vaultPath = mountPoint + QStringLiteral("/data.mdb");
        QVERIFY(QFile::copy(sandbox.vaultPath(), vaultPath));
        const QByteArray bytes = readFile(vaultPath);
        small.fill();
        const QStringList sealing{QStringLiteral("--yes"), QStringLiteral("--vault"), vaultPath};
        // The master password, then the new one twice.
        const QByteArray input = MasterPassword.toUtf8() + "\nnew-Master1\nnew-Master1\n";
        QString err;
        QCOMPARE(runTool(QUILLOCK_TEST_SEAL, sealing, input, nullptr, &err), 1);
        QVERIFY2(err.contains(QStringLiteral("full")) && err.contains(QStringLiteral("Nothing was changed.")),
                 qPrintable(err));
        QCOMPARE(readFile(vaultPath), bytes);
        small.makeRoom();
        QCOMPARE(folderEntries(mountPoint), QStringList{QStringLiteral("data.mdb")});
        QCOMPARE(runTool(QUILLOCK_TEST_SEAL, sealing, input), 0);
        QVERIFY(VaultStore::open(vaultPath)->isSealed());
    }

    void vaultLockedByAnotherProcess()
    {
        MainWindowFixture f;
        fillVault(f.sandbox, 2);
        QVERIFY(f.open());

        // A short hold: the add waits for it and then goes through.
        {
            ForeignHolder holder;
            if (!holder.start(f.sandbox.vaultPath(), 1))
                QSKIP("the sqlcipher shell is needed to hold the vault from another process");
            runCommand(f, Command::Add);
            QVERIFY2(f.sandbox.messages.isEmpty(), qPrintable(f.sandbox.messages.value(0).text));
            QCOMPARE(f.sandbox.ends, 0);
            holder.commitAndQuit();
        }
        QCOMPARE(f.listed(), (QStringList{"account 0000", "account 0001", "added", "written by another program"}));

        // A hold longer than the wait: the add fails as busy and stores
        // nothing; the other program's row is kept.
        const QStringList before = contentOf(f.sandbox.vaultPath());
        f.pick(0);
        {
            ForeignHolder holder;
            QVERIFY(holder.start(f.sandbox.vaultPath()));
            f.click("cmdDelete");
            QCOMPARE(f.sandbox.ends, 1);
            QCOMPARE(f.sandbox.messages.size(), 2);  // the confirmation, then the failure
            QVERIFY2(
                f.sandbox.messages.last().text.startsWith(QStringLiteral("Run-time error '%1'").arg(ErrorCode::Busy)),
                qPrintable(f.sandbox.messages.last().text));
            holder.commitAndQuit();
        }
        f.window->close();
        f.window.reset();
        QStringList expected = before;
        expected << QStringLiteral("written by another program|||||");
        QCOMPARE(contentOf(f.sandbox.vaultPath()), expected);

        // Start-up while another program holds the vault ends with the
        // message and leaves the file alone.
        ForeignHolder holder;
        QVERIFY(holder.start(f.sandbox.vaultPath()));
        QVERIFY(!f.openAgain());
        verifyStartUpEnded(f.sandbox);
        holder.commitAndQuit();
        QCOMPARE(folderEntries(f.sandbox.appFolder()), QStringList{QStringLiteral("data.mdb")});
        QCOMPARE(contentOf(f.sandbox.vaultPath()).size(), expected.size() + 1);
    }

    // Anyone who can read the folder can lock it for good: the program and
    // the tools wait for a compaction, never for ever.
    void folderLockedForGoodEndsStartUp()
    {
        MainWindowFixture f;
        fillVault(f.sandbox, 2);
        const QStringList before = contentOf(f.sandbox.vaultPath());
        const int held = ::open(QFile::encodeName(f.sandbox.appFolder()).constData(), O_RDONLY | O_DIRECTORY);
        QVERIFY(held >= 0 && ::flock(held, LOCK_EX) == 0);
        VaultLock::setWaitLimit(std::chrono::milliseconds(300));
        const bool started = f.open();
        VaultLock::setWaitLimit(VaultLock::WaitLimit);
        ::close(held);
        QVERIFY(!started);
        verifyStartUpEnded(f.sandbox);
        const QString text = f.sandbox.messages.value(0).text;
        QVERIFY2(text.endsWith(QStringLiteral("%1FileSystem").arg(ErrorCode::LockTimeout)), qPrintable(text));
        QVERIFY2(text.contains(QStringLiteral("Close the program that holds it")), qPrintable(text));
        QCOMPARE(contentOf(f.sandbox.vaultPath()), before);
        QCOMPARE(folderEntries(f.sandbox.appFolder()), QStringList{QStringLiteral("data.mdb")});
    }

    // A tool given the vault through a link of another name shares the folder
    // that really holds it, so no copy compacts it underneath.
    void lockFollowsALinkOfAnyName()
    {
        Sandbox sandbox;
        QTemporaryDir elsewhere;
        const QString link = elsewhere.filePath(QStringLiteral("my vault.mdb"));
        QVERIFY(QFile::link(sandbox.vaultPath(), link));
        {
            VaultLock tool(link);
            tool.share();
            VaultLock program(sandbox.vaultPath());
            QCOMPARE(errorCodeOf([&] { program.takeExclusive(); }), ErrorCode::Busy);
        }
        // Refused in the folder the link leads to, it lets the link's own folder go again.
        VaultLock program(sandbox.vaultPath());
        program.share();
        VaultLock tool(link);
        QCOMPARE(errorCodeOf([&] { tool.takeExclusive(); }), ErrorCode::Busy);
        const int probe = ::open(QFile::encodeName(elsewhere.path()).constData(), O_RDONLY | O_DIRECTORY);
        const bool letGo = probe >= 0 && ::flock(probe, LOCK_EX | LOCK_NB) == 0;
        ::close(probe);
        QVERIFY(letGo);
    }

    void rowOfNullsFromAnotherProgram()
    {
        MainWindowFixture f;
        fillVault(f.sandbox, 1);
        execOnVault(f.sandbox.vaultPath(),
                    "insert into accounts (account, username, password, url, hint, notes) "
                    "values (null, null, null, null, null, null)");
        QVERIFY(f.open());
        QCOMPARE(f.listed(), (QStringList{QString(), QStringLiteral("account 0000")}));
        f.pick(0);
        QCOMPARE(f.label("lblUsername"), QString());
        QVERIFY(!f.enabled("cmdHttp"));

        // The report shows it as empty cells.
        answerMasterPrompt(MasterPassword);
        f.click("FlatBttn2");
        QVERIFY(f.sandbox.messages.isEmpty());
        QVERIFY(readFile(f.sandbox.appFolder() + QStringLiteral("/report.htm")).contains("account 0000"));

        // Edit shows empty boxes and stores real values in its place.
        runCommand(f, Command::Edit);
        QVERIFY2(f.sandbox.messages.isEmpty(), qPrintable(f.sandbox.messages.value(0).text));
        QCOMPARE(f.listed(), (QStringList{QStringLiteral("account 0000"), QStringLiteral("edited")}));
        QCOMPARE(contentOf(f.sandbox.vaultPath()).last(),
                 QStringLiteral("edited|edited user|edited pass|http://||notes of edited"));
        QCOMPARE(f.sandbox.ends, 0);
    }

    void nullMasterPasswordEndsTheGuardedCommandAndChangesNothing()
    {
        MainWindowFixture f;
        fillVault(f.sandbox, 1);
        execOnVault(f.sandbox.vaultPath(), "update master set password = null");
        QVERIFY(f.open());  // initialised, so no first-run prompt
        const QByteArray compacted = readFile(f.sandbox.vaultPath());
        answerMasterPrompt(MasterPassword);
        f.click("FlatBttn1");
        // No master password can match a value that does not decipher: a
        // clear end, never a way past the check, and nothing written.
        QCOMPARE(f.sandbox.ends, 1);
        QCOMPARE(f.sandbox.messages.size(), 1);
        QVERIFY(f.sandbox.messages.first().text.startsWith(
            QStringLiteral("Run-time error '%1'").arg(ErrorCode::CipherFailure)));
        QCOMPARE(readFile(f.sandbox.vaultPath()), compacted);
    }
};

QUILLOCK_TEST_MAIN(TestFaults)
#include "tst_faults.moc"
