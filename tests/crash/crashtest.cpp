// Crash test: runs the program's own start-up and commands in a child
// process, kills it with SIGKILL at a random moment, and checks that the
// vault it leaves opens with its key and holds exactly the state before or
// after the command that was running, and that the next start works.
//
//   quillock-crashtest run [--points [--point-step N]] [--trials N] [--budget SECONDS] [--min-trials N]
//                          [--accounts N] [--kinds startup,add,edit,delete,options,seal,rekey]
//                          [--seed N] [--folder DIR] [--summary FILE]
//   quillock-crashtest race [--rounds N] [--sealed] [--folder DIR] [--summary FILE]
//   quillock-crashtest drive APPFOLDER WORKFOLDER KIND FIRSTSERIAL COMMANDS MASTER   (a child)
//   quillock-crashtest race-copy APPFOLDER WORKFOLDER FIRSTSERIAL ROUNDS   (a child)
//
// The kind "seal" closes the program, seals the vault under a new master
// password (or unseals a sealed one) as quillock-seal does, and starts the
// program again; "rekey" gives a sealed vault a new master password in
// Options (a new key pair, every password sealed again, the record in the
// user's configuration moved on), sealing a plain one first; the other
// kinds work on whichever form the vault is in. Every check of the next
// start goes through the record too.
#include "testsupport.h"

#include "accounts/frmMain.h"
#include "shared/messagebox.h"
#include "shared/module1.h"
#include "shared/programend.h"
#include "vault/apperror.h"
#include "vault/sqlite.h"
#include "vault/stringcipher.h"
#include "vault/vaultlock.h"
#include "vault/vaultstore.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>
#include <cstdio>
#include <map>
#include <random>
#include <signal.h>
#include <string_view>
#include <unistd.h>

namespace {

// ---------------------------------------------------------------- the model

struct Plain {
    QString username, password, url, hint, notes;
    bool operator==(const Plain&) const = default;
};

// The whole content of a vault, deciphered. Names are unique lowercase
// ASCII, so the map's order is the program's list order.
struct Model {
    std::map<QString, Plain> accounts;
    QString master;
    bool sealed = false;
    bool operator==(const Model&) const = default;
};

enum class Kind { Startup, Add, Edit, Delete, Options, Seal, Rekey };
const QStringList KindNames = {"startup", "add", "edit", "delete", "options", "seal", "rekey"};

Kind kindNamed(const QString& name)
{
    const qsizetype at = KindNames.indexOf(name);
    if (at < 0)
        qFatal("unknown kind %s", qPrintable(name));
    return static_cast<Kind>(at);
}

Plain fieldsFor(qint64 serial)
{
    const QString s = QString::number(serial);
    QString notes;
    for (int line = 0; line < 6; ++line)
        notes += QStringLiteral("note %1 line %2: the quick brown fox jumps over the lazy dog\n").arg(s).arg(line);
    return {QStringLiteral("user-%1").arg(s), QStringLiteral("pw-%1-%2").arg(s).arg(serial * 7919 % 100003),
            QStringLiteral("http://site%1.example/login").arg(s), QStringLiteral("hint for %1").arg(s),
            notes.trimmed()};
}

QString masterFor(qint64 serial)
{
    return QStringLiteral("master-%1").arg(serial, 6, 10, QLatin1Char('0'));
}

// What one command does to the vault, decided from the model alone, so the
// child and the checker agree on it.
struct Change {
    Kind kind = Kind::Startup;
    QString target;  // the account edited or deleted
    QString name;  // the account's name afterwards
    Plain fields;
    QString master;
};

Change plan(const Model& model, Kind kind, qint64 serial)
{
    Change change;
    change.kind = kind;
    if ((kind == Kind::Edit || kind == Kind::Delete) && model.accounts.empty())
        change.kind = Kind::Add;
    // Re-keying is a new master password in a sealed vault: a plain one is sealed first.
    if (kind == Kind::Rekey && !model.sealed)
        change.kind = Kind::Seal;
    switch (change.kind) {
    case Kind::Startup:
        break;
    case Kind::Seal:
        // Sealing takes a new master password; unsealing keeps it.
        change.master = model.sealed ? model.master : masterFor(serial);
        break;
    case Kind::Add:
        change.name = QStringLiteral("n%1").arg(serial, 7, 10, QLatin1Char('0'));
        change.fields = fieldsFor(serial);
        break;
    case Kind::Edit:
    case Kind::Delete: {
        auto it = model.accounts.begin();
        std::advance(it, static_cast<long>((quint64(serial) * 2654435761u) % model.accounts.size()));
        change.target = it->first;
        change.name = QStringLiteral("e%1").arg(serial, 7, 10, QLatin1Char('0'));
        change.fields = fieldsFor(serial);
        break;
    }
    case Kind::Options:
    case Kind::Rekey:
        change.master = masterFor(serial);
        break;
    }
    return change;
}

void apply(Model& model, const Change& change)
{
    switch (change.kind) {
    case Kind::Startup:
        break;
    case Kind::Add:
        model.accounts[change.name] = change.fields;
        break;
    case Kind::Edit:
        model.accounts.erase(change.target);
        model.accounts[change.name] = change.fields;
        break;
    case Kind::Delete:
        model.accounts.erase(change.target);
        break;
    case Kind::Options:
    case Kind::Rekey:
        model.master = change.master;
        break;
    case Kind::Seal:
        model.sealed = !model.sealed;
        model.master = change.master;
        break;
    }
}

// Reads the vault back; a duplicate name is a mixed state and fails. A
// sealed vault is opened with whichever of `masters` opens it.
Model readModel(VaultStore& vault, const QStringList& masters)
{
    Model model;
    model.sealed = vault.isSealed();
    if (!model.sealed)
        model.master = Decrypt(vault.storedMasterPassword());
    for (const QString& master : masters) {
        if (model.sealed && model.master.isEmpty() && vault.masterPasswordOpens(master))
            model.master = master;
    }
    if (model.sealed && model.master.isEmpty())
        throw AppError(0, QStringLiteral("no master password known opens the seal"), QStringLiteral("check"));
    vault.forEachAccount([&](const AccountRow& row) {
        const AccountFields& f = row.fields;
        if (model.accounts.count(f.account))
            throw AppError(0, QStringLiteral("account '%1' is stored twice").arg(f.account), QStringLiteral("check"));
        model.accounts[f.account] = {decryptField(f.username), vault.openPassword(f.password), f.url, f.hint, f.notes};
    });
    vault.lockSeal();
    return model;
}

QString describe(const Model& model)
{
    return QStringLiteral("%1 accounts, master '%2'%3")
        .arg(model.accounts.size())
        .arg(model.master, model.sealed ? QStringLiteral(", sealed") : QString());
}

// ---------------------------------------------------------------- the child

QElapsedTimer sinceStart;

// Straight to the file, unbuffered: whatever was said before the kill stays.
void say(const QString& line)
{
    const QByteArray bytes = QStringLiteral("%1 %2\n").arg(sinceStart.elapsed()).arg(line).toUtf8();
    if (::write(STDOUT_FILENO, bytes.constData(), static_cast<size_t>(bytes.size())) < 0)
        ::_exit(5);
}

void click(QWidget* parent, const char* name)
{
    QTest::mouseClick(childNamed<QAbstractButton>(parent, name), Qt::LeftButton);
}

void fill(QWidget* dialog, const QString& name, const Plain& p)
{
    childNamed<QLineEdit>(dialog, "txtName")->setText(name);
    childNamed<QLineEdit>(dialog, "txtUsername")->setText(p.username);
    childNamed<QLineEdit>(dialog, "txtPassword")->setText(p.password);
    childNamed<QLineEdit>(dialog, "txtURL")->setText(p.url);
    childNamed<QPlainTextEdit>(dialog, "txtHint")->setPlainText(p.hint);
    childNamed<QPlainTextEdit>(dialog, "txtNotes")->setPlainText(p.notes);
}

// Runs `action` on the next modal dialog to show, unless the command that
// was to open it has finished first (`over`): a dialog that never came must
// not take the next command's dialog for its own.
using Over = std::shared_ptr<bool>;
void whenModal(const Over& over, std::function<void(QWidget*)> action)
{
    auto* timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, [timer, over, action] {
        QWidget* modal = QApplication::activeModalWidget();
        if (*over || (modal && modal->isVisible())) {
            timer->stop();
            timer->deleteLater();
            if (!*over)
                action(modal);
        }
    });
    timer->start(5);
}

// Clicks a button of the main window whose command opens dialogs that
// `script` answers; whatever the script still waits for is called off after.
void command(QWidget* window, const char* button, const std::function<void(const Over&)>& script)
{
    Over over = std::make_shared<bool>(false);
    script(over);
    click(window, button);
    *over = true;
}

// Answers the master password prompt, then hands the dialog behind it on.
void answerPrompt(const Over& over, const QString& master, std::function<void(QWidget*)> then)
{
    whenModal(over, [over, master, then](QWidget* prompt) {
        childNamed<QLineEdit>(prompt, "txtPassword")->setText(master);
        click(prompt, "cmdOk");
        whenModal(over, then);
    });
}

bool pickAccount(frmMain& window, const QString& name)
{
    auto* list = childNamed<QComboBox>(&window, "cboAccount");
    const int index = list->findText(name, Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (index < 0)
        return false;
    list->setCurrentIndex(index);
    emit list->activated(index);
    return true;
}

std::unique_ptr<frmMain> startWindow()
{
    auto window = std::make_unique<frmMain>();
    if (!window->load()) {
        say(QStringLiteral("ended start-up"));
        ::_exit(3);
    }
    window->show();
    return window;
}

// A child's folders and seams: every box is logged (delete's question is
// answered OK; any other box is something going wrong), and an end of the
// program is logged before the process goes.
void prepareChild(const QString& app, const QString& work)
{
    Module1::setApplicationFolder(app);
    QDir::setCurrent(work);
    MessageBox::setResponder([](const MessageBox::Request& request) {
        if (request.text != QLatin1String("Delete this account from the Quillock database?"))
            say(QStringLiteral("message ") + QString(request.text).replace(QLatin1Char('\n'), QLatin1Char(' ')));
        return QMessageBox::Ok;
    });
    ProgramEnd::setInterceptor([] {
        say(QStringLiteral("ended"));
        ::_exit(3);
    });
}

// What quillock-seal does, with the program closed: the vault sealed under
// the new master password `master`, or a sealed one turned back.
void convert(const QString& app, const QString& current, const QString& master)
{
    const QString vaultPath = app + QStringLiteral("/data.mdb");
    VaultLock lock(vaultPath);
    lock.takeExclusive();
    const auto vault = VaultStore::open(vaultPath);
    vault->attachLock(&lock);
    if (vault->isSealed())
        vault->unseal(current);
    else
        vault->seal(current, master);
}

int drive(const QString& app, const QString& work, Kind kind, qint64 first, qint64 commands, const QString& master)
{
    prepareChild(app, work);

    say(QStringLiteral("loading"));
    std::unique_ptr<frmMain> window = startWindow();
    say(QStringLiteral("ready"));
    Model model = readModel(*window->VaultDb(), {master});

    for (qint64 serial = first; serial < first + commands; ++serial) {
        const Change change = plan(model, kind, serial);
        say(QStringLiteral("begin %1").arg(serial));
        switch (change.kind) {
        case Kind::Startup:
            window->close();
            window.reset();
            window = startWindow();
            break;
        case Kind::Seal:
            window->close();
            window.reset();
            convert(app, model.master, change.master);
            window = startWindow();
            break;
        case Kind::Add:
            command(window.get(), "cmdNewAccount", [&](const Over& over) {
                whenModal(over, [change](QWidget* dialog) {
                    fill(dialog, change.name, change.fields);
                    click(dialog, "cmdOk");
                });
            });
            break;
        case Kind::Edit:
            if (!pickAccount(*window, change.target)) {
                say(QStringLiteral("missing ") + change.target);
                return 4;
            }
            command(window.get(), "cmdEdit", [&](const Over& over) {
                answerPrompt(over, model.master, [change](QWidget* dialog) {
                    fill(dialog, change.name, change.fields);
                    click(dialog, "cmdOk");
                });
            });
            break;
        case Kind::Delete:
            if (!pickAccount(*window, change.target)) {
                say(QStringLiteral("missing ") + change.target);
                return 4;
            }
            click(window.get(), "cmdDelete");  // the confirmation is answered Ok
            break;
        case Kind::Options:
        case Kind::Rekey:
            command(window.get(), "FlatBttn1", [&](const Over& over) {
                answerPrompt(over, model.master, [change](QWidget* dialog) {
                    childNamed<QLineEdit>(dialog, "txtPassword1")->setText(change.master);
                    childNamed<QLineEdit>(dialog, "txtPassword2")->setText(change.master);
                    click(dialog, "cmdOk");
                });
            });
            break;
        }
        apply(model, change);
        say(QStringLiteral("done %1").arg(serial));
    }
    window->close();  // the unload, the last step that writes
    return 0;
}

// One of two copies of the program working on one vault at the same time:
// it adds accounts and edits and deletes its own, each time from a list
// that the other copy may have made stale. It logs what each command did,
// as its own list shows it afterwards.
int raceCopy(const QString& app, const QString& work, qint64 first, int rounds)
{
    prepareChild(app, work);
    std::unique_ptr<frmMain> window = startWindow();
    say(QStringLiteral("ready"));
    const QString master = masterFor(0);
    auto listed = [&](const QString& name) {
        return childNamed<QComboBox>(window.get(), "cboAccount")
                   ->findText(name, Qt::MatchExactly | Qt::MatchCaseSensitive)
            >= 0;
    };
    std::vector<QString> own;
    qint64 serial = first;
    for (int round = 0; round < rounds; ++round) {
        const QString added = QStringLiteral("n%1").arg(serial, 7, 10, QLatin1Char('0'));
        const Plain fields = fieldsFor(serial);
        command(window.get(), "cmdNewAccount", [&](const Over& over) {
            whenModal(over, [added, fields](QWidget* dialog) {
                fill(dialog, added, fields);
                click(dialog, "cmdOk");
            });
        });
        if (!listed(added)) {
            say(QStringLiteral("weird add %1 is not listed").arg(added));
            return 4;
        }
        say(QStringLiteral("add %1 %2").arg(added).arg(serial));
        own.push_back(added);
        ++serial;

        if (round % 3 == 2) {
            const size_t at = size_t(round * 7) % own.size();
            const QString target = own[at];
            const QString renamed = QStringLiteral("e%1").arg(serial, 7, 10, QLatin1Char('0'));
            const Plain changed = fieldsFor(serial);
            if (!pickAccount(*window, target)) {
                say(QStringLiteral("weird edit target %1 is not listed").arg(target));
                return 4;
            }
            QString loaded;
            command(window.get(), "cmdEdit", [&](const Over& over) {
                answerPrompt(over, master, [&loaded, renamed, changed](QWidget* dialog) {
                    loaded = childNamed<QLineEdit>(dialog, "txtName")->text();
                    fill(dialog, renamed, changed);
                    click(dialog, "cmdOk");
                });
            });
            // The dialog may stay away (the rows moved), but never show another account.
            if (!loaded.isEmpty() && loaded != target) {
                say(QStringLiteral("weird edit dialog for %1 loaded %2").arg(target, loaded));
                return 4;
            }
            const bool isNew = listed(renamed), isOld = listed(target);
            if (isNew == isOld) {
                say(QStringLiteral("weird edit %1 %2").arg(target, renamed));
                return 4;
            }
            say(QStringLiteral("edit %1 %2 %3 %4").arg(target, renamed).arg(serial).arg(isNew ? "done" : "skipped"));
            if (isNew)
                own[at] = renamed;
            ++serial;
        }
        if (round % 5 == 4) {
            const size_t at = size_t(round * 3) % own.size();
            const QString target = own[at];
            if (!pickAccount(*window, target)) {
                say(QStringLiteral("weird delete target %1 is not listed").arg(target));
                return 4;
            }
            QTest::qWait(20);  // a user's pause, in which the other copy may move the rows
            click(window.get(), "cmdDelete");
            const bool gone = !listed(target);
            say(QStringLiteral("delete %1 %2").arg(target, gone ? "done" : "skipped"));
            if (gone)
                own.erase(own.begin() + long(at));
        }
    }
    say(QStringLiteral("finished"));
    window->close();
    return 0;
}

// ---------------------------------------------------------------- the runner

struct Options {
    int trials = 200;
    int minTrials = -1;
    int budgetSeconds = 600;
    int accounts = 1500;
    QList<Kind> kinds = {Kind::Startup, Kind::Add, Kind::Edit, Kind::Delete, Kind::Options, Kind::Seal, Kind::Rekey};
    quint32 seed = 0;
    QString folder;
    QString summary;
    bool points = false;  // kill at every file-changing step in turn, not at random moments
    int pointStep = 1;  // or at every n-th
};

struct Figures {
    int trials = 0;
    int killed = 0;
    int endedByItself = 0;
    int duringFirstStart = 0;
    std::map<Kind, int> trialsOf, inFlight, foundBefore, foundAfter, betweenCommands;
    int compactionCopyLeft = 0;
    int hotJournal = 0;
    std::map<Kind, int> pointsOf;
    int commandsCompleted = 0;
    int nextStarts = 0;
    QStringList findings;
};

struct Log {
    bool ready = false;
    bool ended = false;
    qint64 loadingAt = -1;
    qint64 readyAt = -1;
    qint64 lastBegin = -1, lastDone = -1;
    qint64 beginAt = -1, doneAt = -1;
    QStringList messages;
    QStringList odd;
};

Log parseLog(const QByteArray& text)
{
    Log log;
    for (const QByteArray& raw : text.split('\n')) {
        const QString line = QString::fromUtf8(raw);
        const QStringList words = line.split(QLatin1Char(' '));
        if (words.size() < 2)
            continue;
        const qint64 at = words[0].toLongLong();
        const QString& what = words[1];
        if (what == QLatin1String("loading")) {
            log.loadingAt = at;
        } else if (what == QLatin1String("ready")) {
            log.ready = true;
            log.readyAt = at;
        } else if (what == QLatin1String("begin")) {
            log.lastBegin = words.value(2).toLongLong();
            log.beginAt = at;
        } else if (what == QLatin1String("done")) {
            log.lastDone = words.value(2).toLongLong();
            log.doneAt = at;
        } else if (what == QLatin1String("message")) {
            log.messages << line.section(QLatin1Char(' '), 2);
        } else if (what.startsWith(QLatin1String("ended"))) {
            log.ended = true;
        } else {
            log.odd << line;
        }
    }
    return log;
}

void prepareVault(const QString& app, int accounts, Model& model)
{
    const QString path = app + QStringLiteral("/data.mdb");
    VaultStore::createFresh(path);
    model.master = masterFor(0);
    VaultStore::open(path)->storeMasterPassword(Encrypt(model.master), true);
    // One transaction: a commit per row would take minutes on a real disk.
    Database raw;
    raw.open(path, VaultStore::DatabasePassword);
    raw.exec("begin");
    Statement insert(raw,
                     "insert into accounts (account, username, password, url, hint, notes) "
                     "values (?, ?, ?, ?, ?, ?)");
    for (int i = 0; i < accounts; ++i) {
        const QString name = QStringLiteral("b%1").arg(i, 7, 10, QLatin1Char('0'));
        const Plain p = fieldsFor(-1 - i);
        insert.reset();
        insert.bind(1, name).bind(2, Encrypt(p.username)).bind(3, Encrypt(p.password));
        insert.bind(4, p.url).bind(5, p.hint).bind(6, p.notes);
        insert.step();
        model.accounts[name] = p;
    }
    raw.exec("commit");
}

// The next start, in this process, through the main window's own start-up.
QString checkNextStart(const QString& app, const Model& expected)
{
    int ends = 0;
    QStringList messages;
    MessageBox::setResponder([&](const MessageBox::Request& request) {
        messages << request.text;
        return QMessageBox::Ok;
    });
    ProgramEnd::setInterceptor([&] { ++ends; });
    QString problem;
    {
        frmMain window;
        const bool loaded = window.load();
        if (!loaded || ends || !messages.isEmpty())
            problem = QStringLiteral("the next start failed: %1").arg(messages.join(QLatin1String(" | ")));
        else if (childNamed<QComboBox>(&window, "cboAccount")->count() != int(expected.accounts.size()))
            problem = QStringLiteral("the next start lists %1 accounts, not %2")
                          .arg(childNamed<QComboBox>(&window, "cboAccount")->count())
                          .arg(expected.accounts.size());
        window.close();
    }
    MessageBox::setResponder({});
    ProgramEnd::setInterceptor({});
    if (problem.isEmpty() && QFile::exists(app + QStringLiteral("/data1.mdb")))
        problem = QStringLiteral("the compaction copy is still there after the next start");
    if (problem.isEmpty()) {
        try {
            auto vault = VaultStore::open(app + QStringLiteral("/data.mdb"));
            if (!(readModel(*vault, {expected.master}) == expected))
                problem = QStringLiteral("the next start changed the vault");
        } catch (const AppError& error) {
            problem = QStringLiteral("after the next start: %1 (%2)").arg(error.description()).arg(error.code());
        }
    }
    return problem;
}

QStringList parseKinds(const QString& list)
{
    return list.split(QLatin1Char(','), Qt::SkipEmptyParts);
}

int run(const Options& options)
{
    QTemporaryDir scratch;
    const QString root = options.folder.isEmpty() ? scratch.path() : options.folder;
    const QString app = root + QStringLiteral("/app");
    const QString work = root + QStringLiteral("/work");
    const QString findingsFolder = root + QStringLiteral("/findings");
    QDir().mkpath(app);
    QDir().mkpath(work);
    Module1::setApplicationFolder(app);
    QDir::setCurrent(work);

    Model model;
    prepareVault(app, options.accounts, model);
    std::mt19937 random(options.seed ? options.seed : std::random_device{}());
    const quint32 seedUsed = options.seed;

    // How long a start and one command of each kind take, learnt as we go:
    // the kill falls anywhere from the first start-up to a few commands on.
    qint64 loadingMs = 100;
    qint64 startMs = 800;
    std::map<Kind, qint64> commandMs;
    for (Kind k : options.kinds)
        commandMs[k] = 300;

    Figures figures;
    QElapsedTimer clock;
    clock.start();
    qint64 serial = 1;
    const QString self = QCoreApplication::applicationFilePath();
    const QString logPath = root + QStringLiteral("/child.log");

    // In the points mode each kind runs one command per child, killed at
    // step 1, 2, ... until a child gets through it all.
    qsizetype kindAt = 0;
    long point = 1;

    for (int trial = 0; trial < options.trials; ++trial) {
        if (clock.elapsed() > qint64(options.budgetSeconds) * 1000) {
            std::printf("time budget of %d s reached after %d trials\n", options.budgetSeconds, trial);
            break;
        }
        if (options.points && kindAt >= options.kinds.size())
            break;
        const Kind kind = options.points ? options.kinds[kindAt] : options.kinds[trial % options.kinds.size()];
        const qint64 first = serial;
        QFile::remove(logPath);

        QProcess child;
        child.setProgram(self);
        child.setArguments({QStringLiteral("drive"), app, work, KindNames[int(kind)], QString::number(first),
                            QString::number(options.points ? 1 : 100000), model.master});
        child.setStandardOutputFile(logPath);
        child.setStandardErrorFile(root + QStringLiteral("/child.err"));
        if (options.points) {
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(QUILLOCK_CRASHPOINT_LIBRARY));
            environment.insert(QStringLiteral("QUILLOCK_CRASH_AT"), QString::number(point));
            child.setProcessEnvironment(environment);
        }
        const qint64 delay = options.points ? point
                                            : std::uniform_int_distribution<qint64>(
                                                loadingMs, std::max(loadingMs, startMs) + 4 * commandMs[kind])(random);
        child.start();
        if (!child.waitForStarted(10000))
            qFatal("cannot start the child: %s", qPrintable(child.errorString()));
        bool finishedByItself = false;
        if (options.points) {
            if (!child.waitForFinished(60000)) {
                ::kill(pid_t(child.processId()), SIGKILL);
                child.waitForFinished(10000);
            }
            finishedByItself = child.exitStatus() == QProcess::NormalExit;
            if (finishedByItself) {
                // Past the last step: every one of this kind has been cut.
                figures.pointsOf[kind] = int(point - 1);
                ++kindAt;
                point = 1;
            } else {
                point += options.pointStep;
            }
        } else {
            QElapsedTimer waited;
            waited.start();
            while (waited.elapsed() < delay) {
                if (child.waitForFinished(int(std::min<qint64>(5, delay - waited.elapsed()) + 1))) {
                    finishedByItself = true;
                    break;
                }
            }
            if (!finishedByItself) {
                ::kill(pid_t(child.processId()), SIGKILL);
                child.waitForFinished(10000);
            }
        }
        if (finishedByItself)
            ++figures.endedByItself;
        else
            ++figures.killed;
        ++figures.trials;
        ++figures.trialsOf[kind];

        const Log log = parseLog(readFile(logPath));
        QStringList problems;
        if (log.ended || !log.messages.isEmpty() || !log.odd.isEmpty())
            problems << QStringLiteral("the child reported: %1 %2 %3")
                            .arg(log.ended ? QStringLiteral("ended") : QString(),
                                 log.messages.join(QLatin1String(" | ")), log.odd.join(QLatin1String(" | ")));
        if (finishedByItself && child.exitCode() != 0)
            problems << QStringLiteral("the child exited with %1 before the kill").arg(child.exitCode());

        // Learn the timings for the next trials.
        if (log.loadingAt >= 0)
            loadingMs = (loadingMs * 3 + log.loadingAt) / 4;
        if (log.ready)
            startMs = (startMs * 3 + log.readyAt) / 4;
        if (log.lastDone >= first && log.readyAt >= 0) {
            const qint64 per = (log.doneAt - log.readyAt) / (log.lastDone - first + 1);
            commandMs[kind] = std::max<qint64>(20, (commandMs[kind] * 3 + per) / 4);
        }

        // The states the vault may be in: after every command said done, or
        // also after the one that was running.
        Model before = model;
        for (qint64 s = first; s <= log.lastDone; ++s)
            apply(before, plan(before, kind, s));
        const bool running = log.lastBegin > log.lastDone;
        Model after = before;
        if (running)
            apply(after, plan(after, kind, log.lastBegin));
        figures.commandsCompleted += int(std::max<qint64>(0, log.lastDone - first + 1));
        if (!log.ready)
            ++figures.duringFirstStart;
        else if (running)
            ++figures.inFlight[kind];
        else
            ++figures.betweenCommands[kind];

        if (QFile::exists(app + QStringLiteral("/data1.mdb")))
            ++figures.compactionCopyLeft;
        if (QFile::exists(app + QStringLiteral("/data.mdb-journal")))
            ++figures.hotJournal;

        Model found;
        bool opened = false;
        if (problems.isEmpty()) {
            try {
                auto vault = VaultStore::open(app + QStringLiteral("/data.mdb"));
                if (!vault->isInitialized())
                    throw AppError(0, QStringLiteral("the master row lost its initialised mark"),
                                   QStringLiteral("check"));
                found = readModel(*vault, {before.master, after.master});
                opened = true;
            } catch (const AppError& error) {
                problems << QStringLiteral("the vault left by the kill does not open: %1 (%2)")
                                .arg(error.description())
                                .arg(error.code());
            }
        }
        if (opened) {
            if (found == before) {
                model = before;
                if (running)
                    ++figures.foundBefore[kind];
            } else if (running && found == after) {
                model = after;
                ++figures.foundAfter[kind];
            } else {
                problems << QStringLiteral("the vault holds neither the state before nor after: found %1; "
                                           "expected %2%3")
                                .arg(describe(found), describe(before),
                                     running ? QStringLiteral(" or ") + describe(after) : QString());
            }
        }
        if (problems.isEmpty()) {
            const QString next = checkNextStart(app, model);
            if (!next.isEmpty())
                problems << next;
            else
                ++figures.nextStarts;
        }
        serial = std::max(log.lastBegin, first - 1) + 1;

        if (!problems.isEmpty()) {
            const QString kept = findingsFolder + QStringLiteral("/trial-%1").arg(trial);
            QDir().mkpath(kept);
            for (const QString& name : QDir(app).entryList(QDir::Files))
                QFile::copy(app + QLatin1Char('/') + name, kept + QLatin1Char('/') + name);
            QFile::copy(logPath, kept + QStringLiteral("/child.log"));
            const QString text = QStringLiteral("trial %1 (%2, kill %3): %4 [kept in %5]")
                                     .arg(trial)
                                     .arg(KindNames[int(kind)])
                                     .arg(options.points ? QStringLiteral("before file step %1").arg(delay)
                                                         : QStringLiteral("after %1 ms").arg(delay))
                                     .arg(problems.join(QLatin1String("; ")), kept);
            figures.findings << text;
            std::printf("FINDING %s\n", qPrintable(text));
            std::fflush(stdout);
            // Go on from whatever the vault now holds, if it opens at all.
            try {
                model = readModel(*VaultStore::open(app + QStringLiteral("/data.mdb")), {model.master});
            } catch (const AppError&) {
                break;
            }
        }
    }

    QString report;
    QTextStream out(&report);
    out << (options.points ? "Crash test at every file step: " : "Crash test at random moments: ") << figures.trials
        << " trials in " << clock.elapsed() / 1000 << " s, " << options.accounts
        << " accounts in the vault at the start" << (seedUsed ? QStringLiteral(", seed %1").arg(seedUsed) : QString())
        << "\n";
    out << "  killed: " << figures.killed << "; ended by itself first: " << figures.endedByItself << "\n";
    out << "  killed during the first start-up (compaction, replacement, opening): " << figures.duringFirstStart
        << "\n";
    for (Kind k : options.kinds) {
        if (k == Kind::Startup) {
            out << "  startup: " << figures.trialsOf[k] << " trials, killed inside a repeated start-up "
                << figures.inFlight[k] << " times, between start-ups " << figures.betweenCommands[k] << "\n";
            continue;
        }
        out << "  " << KindNames[int(k)] << ": " << figures.trialsOf[k] << " trials, killed inside a command "
            << figures.inFlight[k] << " times (vault found as before " << figures.foundBefore[k] << ", as after "
            << figures.foundAfter[k] << "), between commands " << figures.betweenCommands[k] << "\n";
    }
    if (options.points) {
        out << "  file-changing steps (start-up, one command, unload), "
            << (options.pointStep == 1 ? QStringLiteral("each") : QStringLiteral("every %1th").arg(options.pointStep))
            << " cut once; steps per kind at most:";
        for (Kind k : options.kinds)
            out << " " << KindNames[int(k)] << " "
                << (figures.pointsOf.count(k) ? QString::number(figures.pointsOf[k]) : QStringLiteral("not finished"));
        out << "\n";
    }
    out << "  kills that left a compaction copy data1.mdb: " << figures.compactionCopyLeft << "\n";
    out << "  kills that left a hot journal (a write cut short): " << figures.hotJournal << "\n";
    out << "  commands completed in the children: " << figures.commandsCompleted << "\n";
    out << "  next starts checked and working: " << figures.nextStarts << "\n";
    out << "  findings: " << figures.findings.size() << "\n";
    for (const QString& finding : figures.findings)
        out << "    " << finding << "\n";
    out.flush();
    std::fputs(qPrintable(report), stdout);
    if (!options.summary.isEmpty()) {
        QFile file(options.summary);
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            file.write(report.toUtf8());
    }
    if (options.points && kindAt < options.kinds.size()) {
        std::printf("the steps of every kind were not all cut within the limits\n");
        return 1;
    }
    const int minTrials = options.points ? 0 : options.minTrials < 0 ? options.trials : options.minTrials;
    if (figures.trials < minTrials) {
        std::printf("only %d trials ran; at least %d were asked for\n", figures.trials, minTrials);
        return 1;
    }
    return figures.findings.isEmpty() ? 0 : 1;
}

// A new master password given in a store of its own, as Options does:
// empty when refused as busy with the seal unchanged,
// "taken" when it took and only the new master password opens the vault,
// else what went wrong.
QString rekeyAlone(const QString& app, const QString& current, const QString& next)
{
    try {
        const auto vault = VaultStore::open(app + QStringLiteral("/data.mdb"));
        if (!vault->masterPasswordOpens(current))
            return QStringLiteral("the current master password does not open the vault");
        try {
            vault->changeMasterPassword(next, false);
        } catch (const AppError& error) {
            if (error.code() != ErrorCode::Busy)
                throw;
            // The copies go on writing; the seal row is what must not change.
            return vault->masterPasswordOpens(current) ? QString() : QStringLiteral("refused, yet the seal changed");
        }
        if (vault->masterPasswordOpens(current) || !vault->masterPasswordOpens(next))
            return QStringLiteral("the master passwords open the wrong key");
        return QStringLiteral("taken");
    } catch (const AppError& error) {
        return QStringLiteral("%1 %2").arg(error.code()).arg(error.description());
    }
}

// Two copies at once on one vault: every add of both survives, and every
// edit and delete reached the row it named or nothing.
int race(int rounds, bool sealed, const QString& folder, const QString& summary)
{
    QTemporaryDir scratch;
    const QString root = folder.isEmpty() ? scratch.path() : folder;
    const QString app = root + QStringLiteral("/app");
    QDir().mkpath(app);
    Module1::setApplicationFolder(app);
    Model model;
    prepareVault(app, 50, model);
    // The copies know masterFor(0); sealing takes a new master password.
    if (sealed) {
        const QString before = QStringLiteral("before-sealing");
        VaultStore::open(app + QStringLiteral("/data.mdb"))->storeMasterPassword(Encrypt(before), false);
        convert(app, before, model.master);
        model.sealed = true;
    }

    QElapsedTimer clock;
    clock.start();
    const QString self = QCoreApplication::applicationFilePath();
    std::vector<std::unique_ptr<QProcess>> copies;
    for (int copy = 1; copy <= 2; ++copy) {
        const QString work = root + QStringLiteral("/work%1").arg(copy);
        QDir().mkpath(work);
        auto process = std::make_unique<QProcess>();
        process->setProgram(self);
        process->setArguments(
            {QStringLiteral("race-copy"), app, work, QString::number(copy * 1000000), QString::number(rounds)});
        process->setStandardOutputFile(root + QStringLiteral("/copy%1.log").arg(copy));
        process->setStandardErrorFile(root + QStringLiteral("/copy%1.err").arg(copy));
        process->start();
        copies.push_back(std::move(process));
    }
    QStringList findings;
    QString rekeyed;
    if (sealed) {
        // Halfway through copy 1's rounds, a new master password from a third
        // holder of the vault is refused and changes nothing; once both
        // copies are gone it is taken.
        const QString log1 = root + QStringLiteral("/copy1.log");
        while (copies[0]->state() != QProcess::NotRunning && copies[1]->state() != QProcess::NotRunning
               && readFile(log1).count(" add ") < rounds / 2)
            copies[0]->waitForFinished(50);
        if (copies[0]->state() != QProcess::NotRunning && copies[1]->state() != QProcess::NotRunning) {
            const QString failed = rekeyAlone(app, model.master, masterFor(1));
            rekeyed = failed.isEmpty() ? QStringLiteral("refused") : failed;
            if (!failed.isEmpty())
                findings << QStringLiteral("a new master password while both copies ran: %1").arg(failed);
        } else {
            rekeyed = QStringLiteral("not tried: a copy had ended");
        }
    }
    int adds = 0, editsDone = 0, editsSkipped = 0, deletesDone = 0, deletesSkipped = 0;
    for (int copy = 1; copy <= 2; ++copy) {
        QProcess& process = *copies[size_t(copy - 1)];
        if (!process.waitForFinished(600000)) {
            process.kill();
            process.waitForFinished(10000);
            findings << QStringLiteral("copy %1 did not finish").arg(copy);
        } else if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
            findings << QStringLiteral("copy %1 exited with %2").arg(copy).arg(process.exitCode());
        }
        const QByteArray log = readFile(root + QStringLiteral("/copy%1.log").arg(copy));
        bool finished = false;
        for (const QByteArray& raw : log.split('\n')) {
            const QStringList w = QString::fromUtf8(raw).split(QLatin1Char(' '));
            if (w.size() < 2)
                continue;
            if (w[1] == QLatin1String("add")) {
                model.accounts[w[2]] = fieldsFor(w[3].toLongLong());
                ++adds;
            } else if (w[1] == QLatin1String("edit")) {
                if (w[5] == QLatin1String("done")) {
                    model.accounts.erase(w[2]);
                    model.accounts[w[3]] = fieldsFor(w[4].toLongLong());
                    ++editsDone;
                } else {
                    ++editsSkipped;
                }
            } else if (w[1] == QLatin1String("delete")) {
                if (w[3] == QLatin1String("done")) {
                    model.accounts.erase(w[2]);
                    ++deletesDone;
                } else {
                    ++deletesSkipped;
                }
            } else if (w[1] == QLatin1String("finished")) {
                finished = true;
            } else if (w[1] != QLatin1String("ready")) {
                findings << QStringLiteral("copy %1: %2").arg(copy).arg(QString::fromUtf8(raw));
            }
        }
        if (!finished)
            findings << QStringLiteral("copy %1 did not finish its rounds").arg(copy);
    }
    if (findings.isEmpty() && sealed) {
        const QString failed = rekeyAlone(app, model.master, masterFor(1));
        if (failed != QLatin1String("taken"))
            findings << QStringLiteral("a new master password after the copies ended: %1").arg(failed);
        else
            model.master = masterFor(1);
    }
    if (findings.isEmpty()) {
        try {
            const Model found = readModel(*VaultStore::open(app + QStringLiteral("/data.mdb")), {model.master});
            if (!(found == model)) {
                QStringList differences;
                for (const auto& [name, fields] : model.accounts)
                    if (!found.accounts.count(name))
                        differences << QStringLiteral("missing %1").arg(name);
                    else if (!(found.accounts.at(name) == fields))
                        differences << QStringLiteral("changed %1").arg(name);
                for (const auto& [name, fields] : found.accounts)
                    if (!model.accounts.count(name))
                        differences << QStringLiteral("unexpected %1").arg(name);
                findings << QStringLiteral("the vault is not what the two copies did: ")
                        + differences.join(QLatin1String(", "));
            }
        } catch (const AppError& error) {
            findings << QStringLiteral("the vault does not open: %1").arg(error.description());
        }
        QDir::setCurrent(root + QStringLiteral("/work1"));
        const QString next = checkNextStart(app, model);
        if (!next.isEmpty())
            findings << next;
    }

    QString report;
    QTextStream out(&report);
    out << "Two copies at once" << (sealed ? " on a sealed vault: " : ": ") << rounds << " rounds each in "
        << clock.elapsed() / 1000 << " s\n";
    out << "  adds: " << adds
        << "; the vault afterwards holds exactly what both copies did: " << (findings.isEmpty() ? "yes" : "no") << "\n";
    out << "  edits: " << editsDone << " stored, " << editsSkipped
        << " refused because the other copy had moved the rows\n";
    out << "  deletes: " << deletesDone << " done, " << deletesSkipped
        << " refused because the other copy had moved the rows\n";
    if (sealed)
        out << "  a new master password while both copies ran: " << rekeyed << "\n";
    out << "  findings: " << findings.size() << "\n";
    for (const QString& finding : findings)
        out << "    " << finding << "\n";
    out.flush();
    std::fputs(qPrintable(report), stdout);
    if (!summary.isEmpty()) {
        QFile file(summary);
        if (file.open(QIODevice::WriteOnly | QIODevice::Append))
            file.write(report.toUtf8());
    }
    return findings.isEmpty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    sinceStart.start();
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // The offscreen platform has no tray; its warning about that is noise here.
    if (qEnvironmentVariableIsEmpty("QT_LOGGING_RULES"))
        qputenv("QT_LOGGING_RULES", "qt.core.qobject.connect=false");
    const bool isChild =
        argc >= 2 && (std::string_view(argv[1]) == "drive" || std::string_view(argv[1]) == "race-copy");
    // The children share the runner's settings folder; a killed child
    // could not remove one of its own.
    std::unique_ptr<QTemporaryDir> settings;
    if (!isChild) {
        settings = std::make_unique<QTemporaryDir>();
        qputenv("XDG_CONFIG_HOME", settings->path().toUtf8());
    }
    QApplication application(argc, argv);
    const QStringList args = application.arguments();

    if (isChild) {
        if (args.size() < 6)
            qFatal("usage: drive APPFOLDER WORKFOLDER KIND FIRSTSERIAL COMMANDS | race-copy APPFOLDER WORKFOLDER "
                   "FIRSTSERIAL ROUNDS");
        if (args[1] == QLatin1String("race-copy"))
            return raceCopy(args[2], args[3], args[4].toLongLong(), args[5].toInt());
        return drive(args[2], args[3], kindNamed(args[4]), args[5].toLongLong(),
                     args.value(6, QStringLiteral("100000")).toLongLong(), args.value(7));
    }
    if (args.size() >= 2 && args[1] == QLatin1String("race")) {
        int rounds = 30;
        bool sealed = false;
        QString folder, summary;
        for (qsizetype i = 2; i < args.size(); i += 2) {
            if (args[i] == QLatin1String("--sealed")) {
                sealed = true;
                --i;
            } else if (i + 1 >= args.size()) {
                break;
            } else if (args[i] == QLatin1String("--rounds"))
                rounds = args[i + 1].toInt();
            else if (args[i] == QLatin1String("--folder"))
                folder = args[i + 1];
            else if (args[i] == QLatin1String("--summary"))
                summary = args[i + 1];
        }
        return race(rounds, sealed, folder, summary);
    }
    if (args.size() < 2 || args[1] != QLatin1String("run")) {
        std::fprintf(
            stderr,
            "usage: %s run [--points [--point-step N]] [--trials N] [--min-trials N] [--budget SECONDS] [--accounts N] "
            "[--kinds a,b,...] [--seed N] [--folder DIR] [--summary FILE]\n",
            argv[0]);
        return 2;
    }
    Options options;
    for (qsizetype i = 2; i < args.size(); i += 2) {
        const QString& key = args[i];
        if (key == QLatin1String("--points")) {
#if defined(__SANITIZE_ADDRESS__)
            std::fprintf(stderr, "--points preloads a library of its own; use a build without sanitizers\n");
            return 2;
#endif
            options.points = true;
            --i;
            continue;
        }
        const QString value = args.value(i + 1);
        if (key == QLatin1String("--trials"))
            options.trials = value.toInt();
        else if (key == QLatin1String("--min-trials"))
            options.minTrials = value.toInt();
        else if (key == QLatin1String("--budget"))
            options.budgetSeconds = value.toInt();
        else if (key == QLatin1String("--point-step"))
            options.pointStep = std::max(1, value.toInt());
        else if (key == QLatin1String("--accounts"))
            options.accounts = value.toInt();
        else if (key == QLatin1String("--seed"))
            options.seed = value.toUInt();
        else if (key == QLatin1String("--folder"))
            options.folder = value;
        else if (key == QLatin1String("--summary"))
            options.summary = value;
        else if (key == QLatin1String("--kinds")) {
            options.kinds.clear();
            for (const QString& name : parseKinds(value))
                options.kinds << kindNamed(name);
        } else {
            std::fprintf(stderr, "unknown option %s\n", qPrintable(key));
            return 2;
        }
    }
    return run(options);
}
