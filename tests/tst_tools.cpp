// The tools' command line, and their prompts on a terminal that the user
// stops, continues and interrupts.
#include "coresupport.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

// A tool on a pseudo-terminal as an interactive shell runs it: in a
// foreground process group of its own, with a parent in its session that
// stands in for the shell (a job of an orphaned group ignores SIGTSTP).
class TerminalTool {
public:
    TerminalTool(const char* tool, const QStringList& args)
    {
        std::vector<QByteArray> words{QByteArray(tool)};
        for (const QString& arg : args)
            words.push_back(QFile::encodeName(arg));
        std::vector<char*> argv;
        for (QByteArray& word : words)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        int slave = -1;
        int pidPipe[2];
        if (::openpty(&master_, &slave, nullptr, nullptr, nullptr) != 0 || ::pipe(pidPipe) != 0)
            qFatal("no pseudo-terminal");
        shell_ = ::fork();
        if (shell_ == 0) {
            ::setsid();
            ::ioctl(slave, TIOCSCTTY, 0);
            const pid_t job = ::fork();
            if (job == 0) {
                ::setpgid(0, 0);
                ::signal(SIGTTOU, SIG_IGN);
                ::tcsetpgrp(slave, ::getpid());
                for (int s : {SIGTTOU, SIGINT, SIGTSTP, SIGCONT})
                    ::signal(s, SIG_DFL);
                sigset_t none;
                sigemptyset(&none);
                ::sigprocmask(SIG_SETMASK, &none, nullptr);
                for (int fd : {0, 1, 2})
                    ::dup2(slave, fd);
                ::execv(tool, argv.data());
                ::_exit(127);
            }
            [[maybe_unused]] const ssize_t told = ::write(pidPipe[1], &job, sizeof job);
            int status = 0;
            while (::waitpid(job, &status, 0) < 0 && errno == EINTR) { }
            ::_exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
        }
        ::close(slave);
        ::close(pidPipe[1]);
        if (::read(pidPipe[0], &job_, sizeof job_) != sizeof job_)
            qFatal("the tool did not start");
        ::close(pidPipe[0]);
    }
    ~TerminalTool()
    {
        if (shell_ > 0) {
            ::kill(job_, SIGKILL);
            ::waitpid(shell_, nullptr, 0);
        }
        ::close(master_);
    }

    pid_t job() const { return job_; }
    const QByteArray& output() const { return output_; }
    bool echoIsOn() const
    {
        termios mode{};
        return ::tcgetattr(master_, &mode) == 0 && (mode.c_lflag & ECHO) != 0;
    }
    void type(const QByteArray& line)
    {
        QCOMPARE(qsizetype(::write(master_, line.constData(), size_t(line.size()))), line.size());
    }
    // Until the tool has shown `text` `times` times.
    bool waitForOutput(const QByteArray& text, qsizetype times = 1)
    {
        return QTest::qWaitFor(
            [&] {
                drain();
                return output_.count(text) >= times;
            },
            LoadedMachineMs);
    }
    bool waitUntilStopped(bool stopped)
    {
        return QTest::qWaitFor(
            [&] {
                const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(job_));
                return (stat.mid(stat.lastIndexOf(')') + 2, 1) == "T") == stopped;
            },
            LoadedMachineMs);
    }
    // Its exit status, 128 + the signal that ended it; -1 while it runs on.
    int finish()
    {
        int status = -1;
        const bool ended = QTest::qWaitFor(
            [&] {
                drain();
                return ::waitpid(shell_, &status, WNOHANG) == shell_;
            },
            LoadedMachineMs);
        if (!ended || !WIFEXITED(status))
            return -1;
        shell_ = 0;
        drain();
        return WEXITSTATUS(status);
    }

private:
    void drain()
    {
        pollfd ready{master_, POLLIN, 0};
        char buffer[4096];
        while (::poll(&ready, 1, 0) == 1 && (ready.revents & POLLIN) != 0) {
            const ssize_t got = ::read(master_, buffer, sizeof buffer);
            if (got <= 0)
                break;
            output_.append(buffer, got);
        }
    }

    int master_ = -1;
    pid_t shell_ = 0;
    pid_t job_ = 0;
    QByteArray output_;
};

const char* const Tools[] = {QUILLOCK_TEST_IMPORT, QUILLOCK_TEST_EXPORT, QUILLOCK_TEST_SEAL};

}  // namespace

class TestTools : public QObject {
    Q_OBJECT
private slots:

    // IN is a CSV file to import, OUT a file to export to, VAULT the vault:
    // a tool that took a wrong command line anyway would change one of them.
    void commandLineIsReadOrRefused_data()
    {
        QTest::addColumn<QString>("tool");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("reason");  // "help", "version" or the line before the usage
        for (const char* tool : Tools) {
            const QString name = QFileInfo(QString::fromUtf8(tool)).fileName();
            const bool seal = name == QLatin1String("quillock-seal");
            const QStringList file = seal ? QStringList() : QStringList{name.endsWith("import") ? "IN" : "OUT"};
            const QStringList go = seal ? QStringList{"--yes"} : file;
            const auto row = [&](const char* what, const QStringList& args, int status, const QString& reason) {
                QTest::addRow("%s %s", qPrintable(name), what) << QString::fromUtf8(tool) << args << status << reason;
            };
            row("--help", {"--help"}, 0, "help");
            row("-h", file + QStringList{"-h", "--vault", "VAULT"}, 0, "help");
            row("--version", {"--version"}, 0, "version");
            row("unknown option", go + QStringList{"--vault", "VAULT", "--bogus"}, 2, "Unknown option 'bogus'.");
            row("missing value", go + QStringList{"--vault"}, 2, "Missing value after '--vault'.");
            row("empty value", go + QStringList{"--vault="}, 2, "Missing value after '--vault'.");
            row("--vault twice", go + QStringList{"--vault", "VAULT", "--vault=VAULT"}, 2,
                "'--vault' is given more than once.");
            row("stray argument", go + QStringList{"--vault", "VAULT", "stray"}, 2, "Unexpected argument 'stray'.");
            if (!seal)
                row("missing argument", {"--vault", "VAULT"}, 2, "Missing argument FILE.");
        }
        QTest::newRow("quillock-makevault --version")
            << QStringLiteral(QUILLOCK_TEST_MAKEVAULT) << QStringList{"--version"} << 0 << "version";
        QTest::newRow("quillock-makevault missing argument")
            << QStringLiteral(QUILLOCK_TEST_MAKEVAULT) << QStringList{"--if-absent"} << 2
            << "Missing argument PATH/data.mdb.";
        QTest::newRow("unknown layout") << QStringLiteral(QUILLOCK_TEST_IMPORT)
                                        << QStringList{"IN", "--vault", "VAULT", "--format", "nosuch"} << 2
                                        << "Unknown layout 'nosuch'.";
        QTest::newRow("unknown export format")
            << QStringLiteral(QUILLOCK_TEST_EXPORT) << QStringList{"OUT", "--vault", "VAULT", "--format", "csv"} << 2
            << "Unknown format 'csv'.";
    }

    void commandLineIsReadOrRefused()
    {
        QFETCH(QString, tool);
        QFETCH(QStringList, args);
        QFETCH(int, status);
        QFETCH(QString, reason);
        CoreSandbox sandbox;
        sandbox.initializeMaster(MasterPassword);
        sandbox.addAccount(QStringLiteral("Mail"), QStringLiteral("me"), QStringLiteral("pw"));
        const QString in = sandbox.workFolder() + QStringLiteral("/in.csv");
        const QString out = sandbox.workFolder() + QStringLiteral("/out.csv");
        writeFile(in, "name,url,username,password\nNew,https://new.example,u,p\n");
        args.replaceInStrings(QStringLiteral("VAULT"), sandbox.vaultPath());
        args.replaceInStrings(QRegularExpression(QStringLiteral("^IN$")), in);
        args.replaceInStrings(QRegularExpression(QStringLiteral("^OUT$")), out);
        const QByteArray vaultBefore = readFile(sandbox.vaultPath());
        const QByteArray tool8 = tool.toUtf8();
        const QString name = QFileInfo(tool).fileName();

        QString help;
        QCOMPARE(runTool(tool8.constData(), {QStringLiteral("--help")}, {}, &help), 0);
        QVERIFY2(help.startsWith(QStringLiteral("usage: %1 ").arg(name)) && help.contains("\n  --version  "),
                 qPrintable(help));
        QString printed;
        QString errors;
        QCOMPARE(runTool(tool8.constData(), args, MasterPassword.toUtf8() + "\n", &printed, &errors), status);
        if (reason == QLatin1String("help")) {
            QCOMPARE(printed, help);
            QCOMPARE(errors, QString());
        } else if (reason == QLatin1String("version")) {
            QCOMPARE(printed,
                     QStringLiteral("%1 %2.%3.%4\n")
                         .arg(name)
                         .arg(QUILLOCK_VERSION_MAJOR)
                         .arg(QUILLOCK_VERSION_MINOR)
                         .arg(QUILLOCK_VERSION_PATCH));
            QCOMPARE(errors, QString());
        } else {
            QCOMPARE(printed, QString());
            QCOMPARE(errors, QStringLiteral("%1: %2\n").arg(name, reason) + help);
        }
        QCOMPARE(readFile(sandbox.vaultPath()), vaultBefore);
        QVERIFY(!QFile::exists(out));
    }

    // Ctrl+Z at a prompt gives the shell its terminal as it was; `fg` turns
    // the echo off again and shows the prompt again, and the tool goes on.
    void promptSurvivesStopAndContinue_data()
    {
        QTest::addColumn<QString>("tool");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("prompt");
        QTest::addColumn<bool>("echo");
        QTest::addColumn<QByteArray>("answers");  // one a prompt, the next prompt always "Master password: "
        QTest::addColumn<QByteArray>("done");
        QTest::newRow("quillock-export's master password")
            << QStringLiteral(QUILLOCK_TEST_EXPORT) << QStringList{"OUT", "--vault", "VAULT"}
            << QByteArray("Master password: ") << false << MasterPassword.toUtf8() << QByteArray("Wrote 1 accounts");
        QTest::newRow("quillock-seal's typed yes")
            << QStringLiteral(QUILLOCK_TEST_SEAL) << QStringList{"--vault", "VAULT"}
            << QByteArray("Type yes to seal the vault: ") << true << "yes\n" + MasterPassword.toUtf8()
            << QByteArray("Sealed the vault");
    }

    void promptSurvivesStopAndContinue()
    {
        QFETCH(QString, tool);
        QFETCH(QStringList, args);
        QFETCH(QByteArray, prompt);
        QFETCH(bool, echo);
        QFETCH(QByteArray, answers);
        QFETCH(QByteArray, done);
        CoreSandbox sandbox;
        sandbox.initializeMaster(MasterPassword);
        sandbox.addAccount(QStringLiteral("Mail"), QStringLiteral("me"), QStringLiteral("pw"));
        args.replaceInStrings(QStringLiteral("VAULT"), sandbox.vaultPath());
        args.replaceInStrings(QStringLiteral("OUT"), sandbox.workFolder() + QStringLiteral("/out.csv"));
        TerminalTool terminal(qPrintable(tool), args);
        QVERIFY2(terminal.waitForOutput(prompt), terminal.output().constData());
        QCOMPARE(terminal.echoIsOn(), echo);

        QCOMPARE(::kill(terminal.job(), SIGTSTP), 0);
        QVERIFY(terminal.waitUntilStopped(true));
        QVERIFY(terminal.echoIsOn());
        QCOMPARE(::kill(terminal.job(), SIGCONT), 0);
        QVERIFY2(terminal.waitForOutput(prompt, 2), terminal.output().constData());
        QCOMPARE(terminal.echoIsOn(), echo);

        const QList<QByteArray> lines = answers.split('\n');
        for (qsizetype i = 0; i < lines.size(); ++i) {
            if (i > 0) {
                QVERIFY2(terminal.waitForOutput("Master password: "), terminal.output().constData());
                QVERIFY(!terminal.echoIsOn());
            }
            terminal.type(lines[i] + '\n');
        }
        QCOMPARE(terminal.finish(), 0);
        QVERIFY2(terminal.output().contains(done) && !terminal.output().contains(MasterPassword.toUtf8()),
                 terminal.output().constData());
        QVERIFY(terminal.echoIsOn());
    }

    // Ctrl+C at the prompt ends the tool as it would without the prompt,
    // and leaves the terminal with its echo.
    void interruptAtThePromptRestoresTheTerminal()
    {
        CoreSandbox sandbox;
        sandbox.initializeMaster(MasterPassword);
        const QString out = sandbox.workFolder() + QStringLiteral("/out.csv");
        TerminalTool terminal(QUILLOCK_TEST_EXPORT, {out, QStringLiteral("--vault"), sandbox.vaultPath()});
        QVERIFY2(terminal.waitForOutput("Master password: "), terminal.output().constData());
        QVERIFY(!terminal.echoIsOn());
        QCOMPARE(::kill(terminal.job(), SIGINT), 0);
        QCOMPARE(terminal.finish(), 128 + SIGINT);
        QVERIFY(terminal.echoIsOn());
        QVERIFY(!QFile::exists(out));
    }
};

QUILLOCK_CORE_TEST_MAIN(TestTools)
#include "tst_tools.moc"
