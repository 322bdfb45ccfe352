// The tools' command line, and their prompts on a terminal that the user
// stops, continues and interrupts.
#include "coresupport.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <csignal>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// A tool on a pseudo-terminal as an interactive shell runs a job: in a
// foreground process group of its own, with a parent in its session that
// stands in for the shell (a job of an orphaned group ignores SIGTSTP).
struct TerminalJob {
    int master = -1;
    pid_t shell = 0;
    pid_t job = 0;
    int status = -1;  // once ended: the job's exit status, or 128 + its signal
    QByteArray shown;

    explicit TerminalJob(const QStringList& command)
    {
        std::vector<QByteArray> words(size_t(command.size()));
        std::vector<char*> argv(words.size() + 1, nullptr);
        for (size_t i = 0; i < words.size(); ++i)
            argv[i] = (words[i] = QFile::encodeName(command[qsizetype(i)])).data();
        if ((shell = ::forkpty(&master, nullptr, nullptr, nullptr)) == 0) {
            if (const pid_t child = ::fork(); child != 0) {
                int end = 0;
                while (::waitpid(child, &end, 0) < 0 && errno == EINTR) { }
                ::_exit(WIFEXITED(end) ? WEXITSTATUS(end) : 128 + WTERMSIG(end));
            }
            ::setpgid(0, 0);
            ::signal(SIGTTOU, SIG_IGN);
            ::tcsetpgrp(STDIN_FILENO, ::getpid());
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        // The job is the terminal's foreground group, its leader the tool.
        if (shell < 0 || !waitFor([&] { return (job = ::tcgetpgrp(master)) > 0 && job != shell; }))
            qFatal("the tool did not start on a pseudo-terminal");
    }
    ~TerminalJob()
    {
        if (status < 0) {
            ::kill(job, SIGKILL);
            ::waitpid(shell, nullptr, 0);
        }
        ::close(master);
    }

    bool echoes() const
    {
        termios mode{};
        return ::tcgetattr(master, &mode) == 0 && (mode.c_lflag & ECHO) != 0;
    }
    // The job's exit status, or 128 + its signal; -1 while it runs on.
    int finish()
    {
        int end = 0;
        if (waitFor([&] { return ::waitpid(shell, &end, WNOHANG) == shell; }))
            status = WEXITSTATUS(end);
        return status;
    }
    // Waits until `done`, keeping what the tool shows meanwhile.
    bool waitFor(const std::function<bool()>& done)
    {
        return QTest::qWaitFor(
            [&] {
                pollfd ready{master, POLLIN, 0};
                char buffer[4096];
                ssize_t got = 0;
                while (::poll(&ready, 1, 0) == 1 && (got = ::read(master, buffer, sizeof buffer)) > 0)
                    shown.append(buffer, got);
                return done();
            },
            LoadedMachineMs);
    }
    bool shows(const QByteArray& text, qsizetype times = 1)
    {
        return waitFor([&] { return shown.count(text) >= times; });
    }
};

}  // namespace

class TestTools : public QObject {
    Q_OBJECT
private slots:

    // IN is a CSV file to import, OUT a file to export to, VAULT the vault:
    // a tool that went on after a wrong command line would change one.
    void commandLineIsReadOrRefused_data()
    {
        QTest::addColumn<QStringList>("command");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("reason");  // "help", "version" or the line before the usage
        for (const char* tool : {QUILLOCK_TEST_IMPORT, QUILLOCK_TEST_EXPORT, QUILLOCK_TEST_SEAL}) {
            const QString name = QFileInfo(QString::fromUtf8(tool)).fileName();
            const bool seal = name.endsWith(QLatin1String("seal"));
            const QStringList file{tool, seal ? "--yes" : name.endsWith("import") ? "IN" : "OUT"};
            const auto row = [&](const char* what, const QStringList& args, int status, const QString& reason) {
                QTest::addRow("%s %s", qPrintable(name), what) << args << status << reason;
            };
            row("--help", {tool, "--help"}, 0, "help");
            row("--version", {tool, "--version"}, 0, "version");
            row("unknown option", file + QStringList{"--vault", "VAULT", "--bogus"}, 2, "Unknown option 'bogus'.");
            row("missing value", file + QStringList{"--vault"}, 2, "Missing value after '--vault'.");
            row("--vault twice", file + QStringList{"--vault", "VAULT", "--vault=VAULT"}, 2,
                "'--vault' is given more than once.");
            row("stray argument", file + QStringList{"--vault", "VAULT", "stray"}, 2, "Unexpected argument 'stray'.");
            if (!seal)
                row("missing argument", {tool, "--vault", "VAULT"}, 2, "Missing argument FILE.");
        }
        QTest::newRow("unknown export format")
            << QStringList{QUILLOCK_TEST_EXPORT, "OUT", "--vault", "VAULT", "--format", "csv"} << 2
            << "Unknown format 'csv'.";
    }

    void commandLineIsReadOrRefused()
    {
        QFETCH(QStringList, command);
        QFETCH(int, status);
        QFETCH(QString, reason);
        CoreSandbox sandbox;
        sandbox.initializeMaster(MasterPassword);
        const QString out = sandbox.workFolder() + QStringLiteral("/out.csv");
        writeFile(sandbox.workFolder() + "/in.csv", "name,url,username,password\nNew,https://new.example,u,p\n");
        command.replaceInStrings(QRegularExpression("^IN$"), sandbox.workFolder() + "/in.csv");
        command.replaceInStrings(QRegularExpression("^OUT$"), out).replaceInStrings("VAULT", sandbox.vaultPath());
        const QByteArray vaultBefore = readFile(sandbox.vaultPath());
        const QByteArray tool = command.takeFirst().toUtf8();
        const QString name = QFileInfo(tool).fileName();

        QString help, printed, errors;
        QCOMPARE(runTool(tool, {QStringLiteral("--help")}, {}, &help), 0);
        QVERIFY2(help.startsWith("usage: " + name + ' ') && help.contains("\n  --version  "), qPrintable(help));
        QCOMPARE(runTool(tool, command, MasterPassword.toUtf8() + "\n", &printed, &errors), status);
        const QString version = QStringLiteral("%1.%2.%3\n")
                                    .arg(QUILLOCK_VERSION_MAJOR)
                                    .arg(QUILLOCK_VERSION_MINOR)
                                    .arg(QUILLOCK_VERSION_PATCH);
        if (status == 0)
            QCOMPARE(printed + errors, reason == QLatin1String("help") ? help : name + ' ' + version);
        else
            QCOMPARE(printed + "|" + errors, "|" + name + ": " + reason + '\n' + help);
        QCOMPARE(readFile(sandbox.vaultPath()), vaultBefore);
        QVERIFY(!QFile::exists(out));
    }

    // Ctrl+Z at a prompt gives the shell its terminal as it was; `fg` turns
    // the echo off again and shows the prompt again, and the tool goes on.
    // Ctrl+C ends the tool as it would without the prompt, echo restored.
    void promptSurvivesStopAndContinue_data()
    {
        QTest::addColumn<int>("signal");
        QTest::addColumn<QStringList>("command");
        QTest::addColumn<QByteArray>("prompt");
        QTest::addColumn<bool>("echo");
        QTest::addColumn<QByteArray>("answers");  // one a prompt, the next prompts "Master password: "
        const QStringList exporting{QUILLOCK_TEST_EXPORT, "OUT", "--vault", "VAULT"};
        const QByteArray master = MasterPassword.toUtf8();
        QTest::newRow("Ctrl+C at quillock-export's master password")
            << SIGINT << exporting << QByteArray("Master password: ") << false << QByteArray();
        QTest::newRow("quillock-export's master password")
            << SIGTSTP << exporting << QByteArray("Master password: ") << false << master;
        QTest::newRow("quillock-seal's typed yes")
            << SIGTSTP << QStringList{QUILLOCK_TEST_SEAL, "--vault", "VAULT"}
            << QByteArray("Type yes to seal the vault: ") << true << "yes\n" + master;
    }

    void promptSurvivesStopAndContinue()
    {
        QFETCH(int, signal);
        QFETCH(QStringList, command);
        QFETCH(QByteArray, prompt);
        QFETCH(bool, echo);
        QFETCH(QByteArray, answers);
        CoreSandbox sandbox;
        sandbox.initializeMaster(MasterPassword);
        const QString out = sandbox.workFolder() + QStringLiteral("/out.csv");
        command.replaceInStrings("VAULT", sandbox.vaultPath()).replaceInStrings("OUT", out);
        TerminalJob terminal(command);
        QVERIFY2(terminal.shows(prompt), terminal.shown.constData());
        QCOMPARE(terminal.echoes(), echo);

        QCOMPARE(::kill(terminal.job, signal), 0);
        if (signal == SIGINT) {
            QCOMPARE(terminal.finish(), 128 + SIGINT);
            QVERIFY(terminal.echoes() && !QFile::exists(out));
            return;
        }
        QVERIFY(terminal.waitFor([&] {
            const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(terminal.job));
            return stat.mid(stat.lastIndexOf(')') + 2, 1) == "T";
        }));
        QVERIFY(terminal.echoes());
        QCOMPARE(::kill(terminal.job, SIGCONT), 0);
        QVERIFY2(terminal.shows(prompt, 2), terminal.shown.constData());
        QCOMPARE(terminal.echoes(), echo);

        const QList<QByteArray> lines = answers.split('\n');
        for (qsizetype i = 0; i < lines.size(); ++i) {
            QVERIFY2(i == 0 || (terminal.shows("Master password: ") && !terminal.echoes()), terminal.shown.constData());
            QCOMPARE(::write(terminal.master, (lines[i] + '\n').constData(), size_t(lines[i].size() + 1)),
                     lines[i].size() + 1);
        }
        QCOMPARE(terminal.finish(), 0);
        QVERIFY2(!terminal.shown.contains(MasterPassword.toUtf8()), terminal.shown.constData());
        QVERIFY(terminal.echoes());
    }
};

QUILLOCK_CORE_TEST_MAIN(TestTools)
#include "tst_tools.moc"
