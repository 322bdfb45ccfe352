// What the program does when its surroundings fail: damaged or foreign
// vault files, folders it may not write, a full file system, a vault locked
// by another process, and values another program left Null. Each case has
// one clear outcome, and the vault always keeps what it held.
#include "testsupport.h"

#include "accounts/frmMain.h"
#include "report/reportwriter.h"
#include "shared/module1.h"
#include "shared/programend.h"
#include "shared/settings.h"
#include "vault/apperror.h"
#include "vault/sqlite.h"
#include "vault/stringcipher.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QToolButton>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/mount.h>
#include <unistd.h>

namespace {

const QString Master = QStringLiteral("opensesame");

// Everything a vault holds, deciphered, in list order.
QStringList contentOf(const QString& vaultPath)
{
    auto vault = VaultStore::open(vaultPath);
    QStringList content{QStringLiteral("master=") + DecryptField(vault->storedMasterPassword())};
    vault->forEachAccount([&](const AccountRow& row) {
        const AccountFields& f = row.fields;
        content << QStringList{f.account, DecryptField(f.username), DecryptField(f.password), f.url, f.hint, f.notes}
                       .join(QLatin1Char('|'));
    });
    return content;
}

struct Window {
    std::unique_ptr<frmMain> main;

    bool start()
    {
        main = std::make_unique<frmMain>();
        if (!main->load())
            return false;
        main->show();
        return true;
    }
    QComboBox* list() { return Child<QComboBox>(main.get(), "cboAccount"); }
    void pick(int index)
    {
        list()->setCurrentIndex(index);
        emit list()->activated(index);
    }
    void click(const char* name)
    {
        QTest::mouseClick(Child<QAbstractButton>(main.get(), name), Qt::LeftButton);
        CallOffModalActions();
    }
    QStringList listed()
    {
        QStringList names;
        for (int i = 0; i < list()->count(); ++i)
            names << list()->itemText(i);
        return names;
    }
};

void clickIn(QWidget* dialog, const char* name)
{
    QTest::mouseClick(Child<QPushButton>(dialog, name), Qt::LeftButton);
}

void fillAccount(QWidget* dialog, const QString& name)
{
    Child<QLineEdit>(dialog, "txtName")->setText(name);
    Child<QLineEdit>(dialog, "txtUsername")->setText(name + QStringLiteral(" user"));
    Child<QLineEdit>(dialog, "txtPassword")->setText(name + QStringLiteral(" pass"));
    Child<QLineEdit>(dialog, "txtURL")->setText(QStringLiteral("http://"));
    Child<QPlainTextEdit>(dialog, "txtNotes")->setPlainText(QStringLiteral("notes of ") + name);
}

void answerPrompt(const QString& entry, std::function<void(QWidget*)> then)
{
    WhenModalOpens([entry, then](QWidget* prompt) {
        Child<QLineEdit>(prompt, "txtPassword")->setText(entry);
        clickIn(prompt, "cmdOk");
        WhenModalOpens(then);
    });
}

enum class Command { Add, Edit, Delete, Options };

// Runs one command through the main window; the account at list index 0 is
// the one edited or deleted.
void runCommand(Window& w, Command command)
{
    switch (command) {
    case Command::Add:
        WhenModalOpens([](QWidget* dialog) {
            fillAccount(dialog, QStringLiteral("added"));
            clickIn(dialog, "cmdOk");
        });
        w.click("cmdNewAccount");
        break;
    case Command::Edit:
        w.pick(0);
        answerPrompt(Master, [](QWidget* dialog) {
            fillAccount(dialog, QStringLiteral("edited"));
            clickIn(dialog, "cmdOk");
        });
        w.click("cmdEdit");
        break;
    case Command::Delete:
        w.pick(0);
        w.click("cmdDelete");
        break;
    case Command::Options:
        answerPrompt(Master, [](QWidget* dialog) {
            Child<QLineEdit>(dialog, "txtPassword1")->setText(QStringLiteral("a new master"));
            Child<QLineEdit>(dialog, "txtPassword2")->setText(QStringLiteral("a new master"));
            clickIn(dialog, "cmdOk");
        });
        w.click("FlatBttn1");
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
    sandbox.initializeMaster(Master);
    Database raw;
    raw.open(sandbox.vaultPath(), VaultStore::DatabasePassword);
    raw.exec("begin");
    Statement insert(raw, "insert into accounts (account, username, password, url, hint, notes) "
                          "values (?, ?, ?, 'http://x.example', 'a hint', ?)");
    for (int i = 0; i < accounts; ++i) {
        insert.reset();
        insert.bind(1, QStringLiteral("account %1").arg(i, 4, 10, QLatin1Char('0')));
        insert.bind(2, Encrypt(QStringLiteral("user %1").arg(i)));
        insert.bind(3, Encrypt(QStringLiteral("pass %1").arg(i)));
        insert.bind(4, QString(300, QLatin1Char('n')));
        insert.step();
    }
    raw.exec("commit");
}

QStringList filesIn(const QString& folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden, QDir::Name);
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
        while (::write(fd, block.constData(), static_cast<size_t>(block.size())) > 0) {
        }
        // The last partial block too.
        while (::write(fd, "f", 1) > 0) {
        }
        ::close(fd);
    }
    void makeRoom() { QFile::remove(where_ + QStringLiteral("/filler")); }

private:
    QString where_;
    bool mounted_ = false;
    QString why_;
};

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
        process_.write(".timeout 10000\nPRAGMA key = 'tuvesk';\nBEGIN EXCLUSIVE;\n"
                       "INSERT INTO accounts (account, username, password, url, hint, notes) "
                       "VALUES ('written by another program', '', '', '', '', '');\n");
        if (releaseAfter >= 0)
            process_.write(QStringLiteral(".shell sleep %1\nCOMMIT;\n.quit\n").arg(releaseAfter).toUtf8());
        // Held once a reader that does not wait is refused.
        for (int i = 0; i < 200; ++i) {
            if (refusesReader())
                return true;
            QTest::qWait(50);
        }
        return false;
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
        for (const char* damage : {"cut in half", "first page only", "empty file", "random bytes", "other password",
                                   "not enciphered"})
            QTest::newRow(damage) << QString::fromLatin1(damage);
    }

    void foreignOrDamagedVaultEndsStartUpAndStaysAsItWas()
    {
        QFETCH(QString, damage);
        Sandbox sandbox;
        fillVault(sandbox, 200);
        const QString path = sandbox.vaultPath();
        QByteArray bytes = ReadFile(path);
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
            bytes = ReadFile(path);
        } else {
            WriteFile(path, bytes, 0600);
        }

        Window w;
        QVERIFY(!w.start());
        QCOMPARE(sandbox.ends, 1);
        QCOMPARE(sandbox.messages.size(), 1);
        const QString text = sandbox.messages.first().text;
        QVERIFY2(text.startsWith(QStringLiteral("error at formload")), qPrintable(text));
        for (int skipped : {ErrorCode::Busy, ErrorCode::PathAccess})
            QVERIFY2(!text.endsWith(QString::number(skipped) + QStringLiteral("SQLCipher")), qPrintable(text));
        // Whatever the file was, it is still exactly that, and nothing was
        // left beside it.
        QCOMPARE(ReadFile(path), bytes);
        QCOMPARE(filesIn(sandbox.appFolder()), QStringList{QStringLiteral("data.mdb")});
    }

    void readOnlyApplicationFolderRefusesChangesAndKeepsTheVault_data() { addCommandRows(); }

    void readOnlyApplicationFolderRefusesChangesAndKeepsTheVault()
    {
        QFETCH(int, command);
        Sandbox sandbox;
        fillVault(sandbox, 3);
        const QStringList before = contentOf(sandbox.vaultPath());
        {
            Window w;
            QVERIFY(w.start());
            QFile::setPermissions(sandbox.appFolder(), QFile::ReadOwner | QFile::ExeOwner);
            {
                ObeyFilePermissions obey;
                runCommand(w, Command(command));
            }
            QFile::setPermissions(sandbox.appFolder(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
            // The write fails, is reported, and the program ends.
            QCOMPARE(sandbox.ends, 1);
            const QString text = sandbox.messages.last().text;
            QVERIFY2(text.startsWith(QStringLiteral("Run-time error '")), qPrintable(text));
            QVERIFY2(text.startsWith(QStringLiteral("Run-time error '75'")), qPrintable(text));
        }
        QCOMPARE(contentOf(sandbox.vaultPath()), before);
        QCOMPARE(filesIn(sandbox.appFolder()), QStringList{QStringLiteral("data.mdb")});

        // The next start, with the folder writable again, finds it all.
        sandbox.messages.clear();
        ProgramEnd::setInterceptor([&] { ++sandbox.ends; });
        Window next;
        QVERIFY(next.start());
        QCOMPARE(next.listed().size(), before.size() - 1);
        QVERIFY(sandbox.messages.isEmpty());
    }

    void readOnlyWorkingFolderStillAddsAndExits()
    {
        Sandbox sandbox;
        sandbox.initializeMaster(Master);
        Settings::saveSetting(Settings::ExitKey, QStringLiteral("E"));
        QFile::setPermissions(sandbox.workFolder(), QFile::ReadOwner | QFile::ExeOwner);
        {
            ObeyFilePermissions obey;
            Window w;
            QVERIFY(w.start());
            runCommand(w, Command::Add);
            QCOMPARE(w.listed(), QStringList{QStringLiteral("added")});
            w.click("cmdExit");
            QCOMPARE(sandbox.ends, 1);
            QVERIFY(sandbox.messages.isEmpty());
        }
        QFile::setPermissions(sandbox.workFolder(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QCOMPARE(contentOf(sandbox.vaultPath()).value(1), QStringLiteral("added|added user|added pass|http://||notes of added"));
    }

    void fullFileSystemLosesNothing()
    {
        Sandbox sandbox;
        fillVault(sandbox, 20);
        const QString mountPoint = sandbox.workFolder() + QStringLiteral("/small");
        SmallFileSystem small(mountPoint, 1024);
        if (!small.mounted())
            QSKIP(qPrintable(QStringLiteral("cannot mount a small tmpfs here (%1); needs root with the right to "
                                            "mount")
                                 .arg(small.why())));
        const QString app = mountPoint + QStringLiteral("/app");
        QDir().mkpath(app);
        const QString vaultPath = app + QStringLiteral("/data.mdb");
        QVERIFY(QFile::copy(sandbox.vaultPath(), vaultPath));
        Module1::setApplicationFolder(app);
        const QStringList before = contentOf(vaultPath);
        const QByteArray bytes = ReadFile(vaultPath);
        WriteFile(app + QStringLiteral("/report.htm"), "earlier report");
        small.fill();

        // Start-up cannot write a compacted copy: it skips the compaction,
        // as for a folder it may not write, and goes on with the vault.
        {
            Window w;
            const bool started = w.start();
            QVERIFY2(started, qPrintable(sandbox.messages.value(0).text));
            QVERIFY(sandbox.messages.isEmpty());
            QCOMPARE(ReadFile(vaultPath), bytes);
            QVERIFY(!QFile::exists(app + QStringLiteral("/data1.mdb")));
        }

        // With room for the start only, an add and the report fail whole.
        small.makeRoom();
        sandbox.messages.clear();
        ProgramEnd::setInterceptor([&] { ++sandbox.ends; });
        Window w;
        QVERIFY(w.start());
        small.fill();
        runCommand(w, Command::Add);
        QCOMPARE(sandbox.messages.size(), 1);
        QVERIFY2(sandbox.messages.first().text.startsWith(
                     QStringLiteral("Run-time error '%1'").arg(ErrorCode::DiskFull)),
                 qPrintable(sandbox.messages.first().text));
        QCOMPARE(contentOf(vaultPath), before);

        QCOMPARE(ErrorCodeOf([&] { WriteReport(*w.main->VaultDb(), app + QStringLiteral("/report.htm")); }),
                 ErrorCode::DiskFull);
        QCOMPARE(ReadFile(app + QStringLiteral("/report.htm")), QByteArray("earlier report"));
        w.main->close();
        w.main.reset();
        QCOMPARE(filesIn(app), (QStringList{QStringLiteral("data.mdb"), QStringLiteral("report.htm")}));

        // Once there is room the next start finds every account.
        small.makeRoom();
        sandbox.messages.clear();
        ProgramEnd::setInterceptor([&] { ++sandbox.ends; });
        Window next;
        QVERIFY(next.start());
        QCOMPARE(next.listed().size(), 20);
        QCOMPARE(contentOf(vaultPath), before);
    }

    void vaultLockedByAnotherProcess()
    {
        Sandbox sandbox;
        fillVault(sandbox, 2);
        Window w;
        QVERIFY(w.start());

        // A short hold: the add waits for it and then goes through.
        {
            ForeignHolder holder;
            if (!holder.start(sandbox.vaultPath(), 1))
                QSKIP("the sqlcipher shell is needed to hold the vault from another process");
            runCommand(w, Command::Add);
            QVERIFY2(sandbox.messages.isEmpty(), qPrintable(sandbox.messages.value(0).text));
            QCOMPARE(sandbox.ends, 0);
            holder.commitAndQuit();
        }
        QCOMPARE(w.listed(), (QStringList{"account 0000", "account 0001", "added", "written by another program"}));

        // A hold longer than the wait: the add fails as busy and stores
        // nothing; the other program's row is kept.
        const QStringList before = contentOf(sandbox.vaultPath());
        w.pick(0);
        {
            ForeignHolder holder;
            QVERIFY(holder.start(sandbox.vaultPath()));
            w.click("cmdDelete");
            QCOMPARE(sandbox.ends, 1);
            QCOMPARE(sandbox.messages.size(), 2);  // the confirmation, then the failure
            QVERIFY2(sandbox.messages.last().text.startsWith(QStringLiteral("Run-time error '%1'").arg(ErrorCode::Busy)),
                     qPrintable(sandbox.messages.last().text));
            holder.commitAndQuit();
        }
        w.main->close();
        w.main.reset();
        QStringList expected = before;
        expected << QStringLiteral("written by another program|||||");
        QCOMPARE(contentOf(sandbox.vaultPath()), expected);

        // Start-up while another program holds the vault ends with the
        // message and leaves the file alone.
        sandbox.messages.clear();
        ProgramEnd::setInterceptor([&] { ++sandbox.ends; });
        ForeignHolder holder;
        QVERIFY(holder.start(sandbox.vaultPath()));
        Window locked;
        QVERIFY(!locked.start());
        QCOMPARE(sandbox.messages.size(), 1);
        QVERIFY(sandbox.messages.first().text.startsWith(QStringLiteral("error at formload")));
        holder.commitAndQuit();
        QCOMPARE(filesIn(sandbox.appFolder()), QStringList{QStringLiteral("data.mdb")});
        QCOMPARE(contentOf(sandbox.vaultPath()).size(), expected.size() + 1);
    }

    void rowOfNullsFromAnotherProgram()
    {
        Sandbox sandbox;
        fillVault(sandbox, 1);
        {
            Database raw;
            raw.open(sandbox.vaultPath(), VaultStore::DatabasePassword);
            raw.exec("insert into accounts (account, username, password, url, hint, notes) "
                     "values (null, null, null, null, null, null)");
        }
        Window w;
        QVERIFY(w.start());
        QCOMPARE(w.listed(), (QStringList{QString(), QStringLiteral("account 0000")}));
        w.pick(0);
        QCOMPARE(Child<QLabel>(w.main.get(), "lblUsername")->text(), QString());
        QVERIFY(!Child<QPushButton>(w.main.get(), "cmdHttp")->isEnabled());

        // The report shows it as empty cells.
        WhenModalOpens([](QWidget* prompt) {
            Child<QLineEdit>(prompt, "txtPassword")->setText(Master);
            clickIn(prompt, "cmdOk");
        });
        w.click("FlatBttn2");
        QVERIFY(sandbox.messages.isEmpty());
        QVERIFY(ReadFile(sandbox.appFolder() + QStringLiteral("/report.htm")).contains("account 0000"));

        // Edit shows empty boxes and stores real values in its place.
        runCommand(w, Command::Edit);
        QVERIFY2(sandbox.messages.isEmpty(), qPrintable(sandbox.messages.value(0).text));
        QCOMPARE(w.listed(), (QStringList{QStringLiteral("account 0000"), QStringLiteral("edited")}));
        QCOMPARE(contentOf(sandbox.vaultPath()).last(), QStringLiteral("edited|edited user|edited pass|http://||notes of edited"));
        QCOMPARE(sandbox.ends, 0);
    }

    void nullMasterPasswordEndsTheGuardedCommandAndChangesNothing()
    {
        Sandbox sandbox;
        fillVault(sandbox, 1);
        {
            Database raw;
            raw.open(sandbox.vaultPath(), VaultStore::DatabasePassword);
            raw.exec("update master set password = null");
        }
        Window w;
        QVERIFY(w.start());  // initialised, so no first-run prompt
        const QByteArray compacted = ReadFile(sandbox.vaultPath());
        WhenModalOpens([](QWidget* prompt) {
            Child<QLineEdit>(prompt, "txtPassword")->setText(Master);
            clickIn(prompt, "cmdOk");
        });
        w.click("FlatBttn1");
        // No master password can match a value that does not decipher: a
        // clear end, never a way past the check, and nothing written.
        QCOMPARE(sandbox.ends, 1);
        QCOMPARE(sandbox.messages.size(), 1);
        QVERIFY(sandbox.messages.first().text.startsWith(
            QStringLiteral("Run-time error '%1'").arg(ErrorCode::CipherFailure)));
        QCOMPARE(ReadFile(sandbox.vaultPath()), compacted);
    }
};

QUILLOCK_TEST_MAIN(TestFaults)
#include "tst_faults.moc"
