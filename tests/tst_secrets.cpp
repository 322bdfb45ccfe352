// The tools keep the passwords in their memory out of core files and
// debuggers, and end on any failure with one line.
#include "coresupport.h"

#include "tool.h"
#include "vault/wipe.h"

#include <QProcess>
#include <cstdio>
#include <fcntl.h>
#include <grp.h>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A line of /proc/PID/FILE after its label, blanks made single.
QString procField(qint64 pid, const char* file, const char* label)
{
    for (const QByteArray& line : readFile(QStringLiteral("/proc/%1/%2").arg(pid).arg(file)).split('\n'))
        if (line.startsWith(label))
            return QString::fromLatin1(line.mid(qsizetype(qstrlen(label)))).simplified();
    return {};
}

// Owner of a file; -1 when it cannot be looked at.
qint64 ownerOf(const QString& path)
{
    struct stat info { };
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? qint64(info.st_uid) : -1;
}

// What Tool::guarded writes to standard error, and its exit status.
QString guardedOutput(const std::function<int()>& work, int& status)
{
    std::fflush(stderr);
    std::FILE* capture = std::tmpfile();
    const int saved = ::dup(STDERR_FILENO);
    ::dup2(::fileno(capture), STDERR_FILENO);
    const QString place = QStringLiteral("in.csv");
    status = Tool::guarded("quillock-tool", "Nothing was done.", place, work);
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    QByteArray text(4096, '\0');
    std::rewind(capture);
    text.truncate(qsizetype(std::fread(text.data(), 1, size_t(text.size()), capture)));
    std::fclose(capture);
    return QString::fromUtf8(text);
}

// Wipes the text and reads back its whole allocation through the kernel,
// nothing allocated in between; empty unless it had room before data().
template <typename Text> QByteArray wipedAllocation(Text& text)
{
    auto& d = text.data_ptr();
    const auto start = off_t(quintptr(d.data() - d.freeSpaceAtBegin()));
    QByteArray left(text.capacity() * qsizetype(sizeof(*d.data())), '?');
    const bool edited = d.freeSpaceAtBegin() > 0;
    const int memory = ::open("/proc/self/mem", O_RDONLY | O_CLOEXEC);
    Secrets::wipe(text);
    const bool read = ::pread(memory, left.data(), size_t(left.size()), start) == left.size();
    ::close(memory);
    return edited && read ? left : QByteArray();
}

}  // namespace

class TestSecrets : public QObject {
    Q_OBJECT
private slots:

    // Seen from outside while the export waits for the master password,
    // with the vault open: no core file, and /proc shows its files as
    // root's, as it does for a non-dumpable process of another user. The
    // import, given no room for its file, still says so in one line.
    void toolsAreHardenedAndFailInOneLine()
    {
        constexpr uid_t Nobody = 65534;
        CoreSandbox sandbox;
        sandbox.initializeMaster(MasterPassword);
        const bool asRoot = ::getuid() == 0;
        // Nobody may not reach the build (a clone in root's home, 0700): the
        // tool, linked statically to the core, runs from the vault's folder.
        const QString tool = sandbox.appFolder() + QStringLiteral("/quillock-export");
        QVERIFY(QFile::copy(QStringLiteral(QUILLOCK_TEST_EXPORT), tool));
        for (const QString& path : {sandbox.appFolder(), sandbox.vaultPath()})
            QVERIFY(!asRoot || ::chown(QFile::encodeName(path).constData(), Nobody, Nobody) == 0);
        QProcess exporter;
        exporter.setChildProcessModifier([asRoot] {
            const rlimit any{RLIM_INFINITY, RLIM_INFINITY};
            ::setrlimit(RLIMIT_CORE, &any);
            if (asRoot && (::setgroups(0, nullptr) != 0 || ::setgid(Nobody) != 0 || ::setuid(Nobody) != 0))
                ::_exit(99);
        });
        exporter.start(
            tool, {sandbox.appFolder() + QStringLiteral("/out.csv"), QStringLiteral("--vault"), sandbox.vaultPath()});
        QVERIFY(exporter.waitForStarted());
        const qint64 pid = exporter.processId();
        QVERIFY(QTest::qWaitFor([&] { return procField(pid, "limits", "Max core file size") == "0 0 bytes"; },
                                LoadedMachineMs));
        QCOMPARE(ownerOf(QStringLiteral("/proc/%1/status").arg(pid)), 0);
        [[maybe_unused]] const qint64 sizeKb =
            procField(pid, "status", "VmSize:").section(QLatin1Char(' '), 0, 0).toLongLong();
        QCOMPARE(exporter.state(), QProcess::Running);
        exporter.closeWriteChannel();
        QVERIFY(exporter.waitForFinished(LoadedMachineMs));
#if !defined(__SANITIZE_ADDRESS__) && !(defined(__has_feature) && __has_feature(address_sanitizer))
        // The sanitizer reserves more address space than any limit allows.
        QVERIFY(sizeKb > 0);
        const QString csv = sandbox.workFolder() + QStringLiteral("/big.csv");
        writeFile(csv, "title,password\n" + QByteArray("name,pw\n").repeated(8 * 1000 * 1000));
        QProcess importer;
        importer.setChildProcessModifier([sizeKb] {
            const rlim_t room = rlim_t(sizeKb + 24 * 1024) * 1024;
            const rlimit space{room, room};
            ::setrlimit(RLIMIT_AS, &space);
        });
        importer.start(QStringLiteral(QUILLOCK_TEST_IMPORT), {csv, QStringLiteral("--vault"), sandbox.vaultPath()});
        QVERIFY(importer.waitForFinished(LoadedMachineMs));
        QCOMPARE(importer.exitStatus(), QProcess::NormalExit);
        QCOMPARE(importer.exitCode(), 1);
        QCOMPARE(importer.readAllStandardError(), QByteArray("quillock-import: out of memory. Nothing was stored.\n"));
#endif
    }

    // The room Qt 6 keeps before a text edited at its start is zeroed with
    // the rest, and nothing past the allocation is (the sanitizers look).
    void wipeReachesTheWholeAllocation_data()
    {
        QTest::addColumn<int>("removed");  // letters taken off the start; none: one put there
        QTest::newRow("a letter put first") << 0;
        QTest::newRow("first letter removed") << 1;
        QTest::newRow("three removed") << 3;
    }

    void wipeReachesTheWholeAllocation()
    {
        QFETCH(int, removed);
        QString text;
        QByteArray bytes;
        for (const char c : std::string_view("a password typed letter by letter")) {
            text += QLatin1Char(c);
            bytes += c;
        }
        if (removed) {
            text.remove(0, removed);
            bytes.remove(0, removed);
        } else {
            text.prepend(QLatin1Char('x'));
            bytes.prepend('x');
        }
        for (const QByteArray& left : {wipedAllocation(text), wipedAllocation(bytes)}) {
            QVERIFY(!left.isEmpty());
            QCOMPARE(left, QByteArray(left.size(), '\0'));
        }
    }

    void anyExceptionEndsAToolWithOneLine_data()
    {
        QTest::addColumn<int>("thrown");
        QTest::addColumn<QString>("line");
        QTest::newRow("AppError") << 0 << "quillock-tool: in.csv: line 2: a NUL byte. Nothing was done.\n";
        QTest::newRow("std::exception") << 1
                                        << "quillock-tool: unexpected failure: two\uFFFDlines. Nothing was done.\n";
        QTest::newRow("anything else") << 2 << "quillock-tool: unexpected failure. Nothing was done.\n";
    }

    void anyExceptionEndsAToolWithOneLine()
    {
        QFETCH(int, thrown);
        QFETCH(QString, line);
        int status = 0;
        const QString written = guardedOutput(
            [thrown]() -> int {
                if (thrown == 0)
                    throw AppError(3274, QStringLiteral("line 2: a NUL byte"), QStringLiteral("Import"));
                if (thrown == 1)
                    throw std::runtime_error("two\nlines");
                throw 42;
            },
            status);
        QCOMPARE(written, line);
        QCOMPARE(status, 1);
    }
};

QUILLOCK_CORE_TEST_MAIN(TestSecrets)
#include "tst_secrets.moc"
