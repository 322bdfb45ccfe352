// quillock-health on the 100,000-account vault against a generated
// Have I Been Pwned list ordered by hash (20,000,000 lines, about 900 MB),
// its lookups alone beside a plain linear scan of the same file, the check
// without a list, and the generator making 10,000 passwords. The list is
// written to a temporary folder and removed at the end unless --list names
// one to keep. Prints the table of medians at the end.
#include "benchtable.h"
#include "vaultgen.h"

#include "health/breachlist.h"
#include "health/generator.h"
#include "health/healthcheck.h"
#include "vault/apperror.h"
#include "vault/vaultstore.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <random>
#include <string_view>
#include <unistd.h>
#include <unordered_set>

namespace {

using BenchTable::Clock;
using BenchTable::secondsSince;
using Hash = std::array<unsigned char, 20>;

[[noreturn]] void die(const QString& why)
{
    std::fprintf(stderr, "quillock-bench-health: %s\n", qPrintable(why));
    std::exit(1);
}

QString vaultPath;
QString listPath;
std::vector<QByteArray> digests;  // of the vault's passwords, as the list spells them

void readDigests()
{
    auto vault = VaultStore::open(vaultPath);
    vault->forEachAccount([&](const AccountRow& row) {
        digests.push_back(Health::sha1Hex(vault->openPassword(row.fields.password).toUtf8()));
    });
}

// Random hashes and one in ten of the vault's, sorted, each with a count.
void writeList(const QString& path, qint64 lines)
{
    std::fprintf(stderr, "writing a list of %lld lines to %s...\n", static_cast<long long>(lines), qPrintable(path));
    std::vector<Hash> hashes(static_cast<size_t>(lines));
    std::mt19937_64 random(20261208);
    for (Hash& hash : hashes)
        for (size_t i = 0; i < hash.size(); i += 8) {
            const quint64 bits = random();
            std::memcpy(hash.data() + i, &bits, std::min<size_t>(8, hash.size() - i));
        }
    for (size_t i = 0; i * 10 < digests.size() && i < hashes.size(); ++i)
        std::memcpy(hashes[i].data(), QByteArray::fromHex(digests[i * 10]).constData(), 20);
    std::sort(hashes.begin(), hashes.end());
    hashes.erase(std::unique(hashes.begin(), hashes.end()), hashes.end());
    FILE* out = std::fopen(QFile::encodeName(path).constData(), "wbx");
    if (!out)
        die(QStringLiteral("cannot write %1").arg(path));
    static char buffer[4 << 20];
    std::setvbuf(out, buffer, _IOFBF, sizeof buffer);
    static const char Hex[] = "0123456789ABCDEF";
    char line[64];
    for (const Hash& hash : hashes) {
        for (size_t i = 0; i < hash.size(); ++i) {
            line[2 * i] = Hex[hash[i] >> 4];
            line[2 * i + 1] = Hex[hash[i] & 15];
        }
        const int length = 40 + std::snprintf(line + 40, sizeof line - 40, ":%u\r\n", unsigned(random() % 20000 + 1));
        std::fwrite(line, 1, size_t(length), out);
    }
    if (std::fclose(out) != 0)
        die(QStringLiteral("cannot write %1").arg(path));
}

// ---- the work ----

// The tool as a user runs it: a process, the master password on standard
// input, the report on standard output.
void healthTool(benchmark::State& state)
{
    for (auto _ : state) {
        QProcess tool;
        const auto start = Clock::now();
        tool.start(QStringLiteral(QUILLOCK_HEALTH_TOOL),
                   {QStringLiteral("--vault"), vaultPath, QStringLiteral("--hibp"), listPath});
        tool.write(VaultGen::MasterPassword.toUtf8() + '\n');
        tool.closeWriteChannel();
        if (!tool.waitForFinished(600000) || tool.exitStatus() != QProcess::NormalExit || tool.exitCode() != 0)
            die(QStringLiteral("quillock-health failed: %1").arg(QString::fromUtf8(tool.readAllStandardError())));
        state.SetIterationTime(secondsSince(start));
        const QByteArray summary = tool.readAllStandardOutput().trimmed().split('\n').last();
        state.SetLabel(summary.left(120).toStdString());
    }
}

void checkWithoutList(benchmark::State& state)
{
    for (auto _ : state) {
        const auto start = Clock::now();
        auto vault = VaultStore::open(vaultPath);
        if (!vault->masterPasswordOpens(VaultGen::MasterPassword))
            die(QStringLiteral("the master password does not open the vault"));
        benchmark::DoNotOptimize(Health::checkVault(*vault, nullptr).accounts.size());
        state.SetIterationTime(secondsSince(start));
    }
}

void lookups(benchmark::State& state)
{
    for (auto _ : state) {
        const auto start = Clock::now();
        Health::BreachList list(listPath);
        qint64 found = 0;
        for (const QByteArray& digest : digests)
            found += list.timesSeen(digest) > 0;
        state.SetIterationTime(secondsSince(start));
        state.counters["found"] = double(found);
    }
}

// What a checker that reads the whole list does: every line's hash looked
// up among the vault's.
void linearScan(benchmark::State& state)
{
    std::unordered_set<std::string_view> wanted;
    for (const QByteArray& digest : digests)
        wanted.insert(std::string_view(digest.constData(), size_t(digest.size())));
    std::vector<char> chunk(4 << 20);
    for (auto _ : state) {
        const auto start = Clock::now();
        const int fd = ::open(QFile::encodeName(listPath).constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            die(QStringLiteral("cannot read %1").arg(listPath));
        qint64 found = 0;
        size_t kept = 0;
        while (true) {
            const ssize_t got = ::read(fd, chunk.data() + kept, chunk.size() - kept);
            if (got <= 0)
                break;
            const char* at = chunk.data();
            const char* end = chunk.data() + kept + size_t(got);
            while (const char* lineEnd = static_cast<const char*>(std::memchr(at, '\n', size_t(end - at)))) {
                found += wanted.count(std::string_view(at, 40));
                at = lineEnd + 1;
            }
            kept = size_t(end - at);
            std::memmove(chunk.data(), at, kept);
        }
        ::close(fd);
        state.SetIterationTime(secondsSince(start));
        state.counters["found"] = double(found);
    }
}

void generate(benchmark::State& state, int length, int words)
{
    for (auto _ : state) {
        const auto start = Clock::now();
        for (int i = 0; i < 10000; ++i)
            benchmark::DoNotOptimize(words ? Health::Generator::passphrase(words)
                                           : Health::Generator::password(length));
        state.SetIterationTime(secondsSince(start));
    }
}

// ---- the table ----

struct Line {
    const char* work;
    const char* ours;
    const char* floor;  // "" when none
    const char* target;
};

const std::vector<Line> Lines = {
    {"quillock-health, whole run (process, check, lookups, report)", "health_tool", "", "< 30 s"},
    {"  the check without a list (open, decipher, rate, reuse)", "check_without_list", "", ""},
    {"  the lookups alone, one per account", "lookups", "linear_scan", "< 2 s"},
    {"  plain linear scan of the same list", "linear_scan", "", ""},
    {"quillock-generate's work: 10,000 passwords of 20 characters", "generate_default", "", "< 1 s"},
    {"  10,000 passphrases of 6 words", "generate_words", "", ""},
    {"  10,000 passwords of 8 characters (each rated by zxcvbn)", "generate_shortest", "", ""},
};

QByteArray table(const std::map<std::string, double>& medians, int accounts, qint64 lines, qint64 bytes)
{
    QByteArray out = QStringLiteral("%1 accounts; list of %2 lines, %3 MB\n\n")
                         .arg(accounts)
                         .arg(lines)
                         .arg(bytes / 1000000)
                         .toUtf8();
    out += "| Work | Ours (ms) | Beside (ms) | Beside is | Ratio | Target |\n|---|---:|---:|---|---:|---|\n";
    for (const Line& line : Lines) {
        const auto ours = medians.find(line.ours);
        if (ours == medians.end())
            continue;
        const auto floor = medians.find(line.floor);
        if (floor == medians.end())
            out += QStringLiteral("| %1 | %2 | - | - | - | %3 |\n")
                       .arg(QLatin1String(line.work))
                       .arg(ours->second, 0, 'f', 1)
                       .arg(QLatin1String(line.target))
                       .toUtf8();
        else
            out += QStringLiteral("| %1 | %2 | %3 | linear scan | %4 | %5 |\n")
                       .arg(QLatin1String(line.work))
                       .arg(ours->second, 0, 'f', 1)
                       .arg(floor->second, 0, 'f', 1)
                       .arg(ours->second / floor->second, 0, 'f', 4)
                       .arg(QLatin1String(line.target))
                       .toUtf8();
    }
    return out;
}

void add(const char* name, int repetitions, void (*fn)(benchmark::State&))
{
    benchmark::RegisterBenchmark(name, fn)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond)
        ->Iterations(1)
        ->Repetitions(repetitions)
        ->ReportAggregatesOnly(true);
}

}  // namespace

int main(int argc, char** argv)
{
    int accounts = 100000;
    qint64 lines = 20000000;
    QString cache;
    QString tableFile;
    std::vector<char*> rest = {argv[0]};
    for (int i = 1; i < argc; ++i) {
        const QString arg = QString::fromLocal8Bit(argv[i]);
        if (arg == QLatin1String("--accounts") && i + 1 < argc)
            accounts = QString::fromLocal8Bit(argv[++i]).toInt();
        else if (arg == QLatin1String("--lines") && i + 1 < argc)
            lines = QString::fromLocal8Bit(argv[++i]).toLongLong();
        else if (arg == QLatin1String("--vaults") && i + 1 < argc)
            cache = QString::fromLocal8Bit(argv[++i]);
        else if (arg == QLatin1String("--list") && i + 1 < argc)
            listPath = QString::fromLocal8Bit(argv[++i]);
        else if (arg == QLatin1String("--table") && i + 1 < argc)
            tableFile = QString::fromLocal8Bit(argv[++i]);
        else
            rest.push_back(argv[i]);
    }
    int qtArgc = 1;
    QCoreApplication app(qtArgc, argv);
    if (cache.isEmpty())
        cache = QDir::tempPath() + QStringLiteral("/quillock-bench-vaults");
    QTemporaryDir scratch;
    const bool keepList = !listPath.isEmpty();
    if (!keepList)
        listPath = scratch.filePath(QStringLiteral("pwned-passwords-sha1-ordered-by-hash.txt"));
    try {
        vaultPath = VaultGen::cached(cache, accounts);
        readDigests();
        if (!QFile::exists(listPath))
            writeList(listPath, lines);
    } catch (const AppError& error) {
        die(QString::fromUtf8(error.what()));
    }

    int benchArgc = int(rest.size());
    benchmark::Initialize(&benchArgc, rest.data());
    if (benchmark::ReportUnrecognizedArguments(benchArgc, rest.data()))
        return 2;
    add("health_tool", 3, healthTool);
    add("check_without_list", 3, checkWithoutList);
    add("lookups", 5, lookups);
    add("linear_scan", 3, linearScan);
    add("generate_default", 5, [](benchmark::State& s) { generate(s, Health::Generator::DefaultLength, 0); });
    add("generate_words", 5, [](benchmark::State& s) { generate(s, 0, 6); });
    add("generate_shortest", 3, [](benchmark::State& s) { generate(s, Health::Generator::LeastLength, 0); });
    BenchTable::Reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const QByteArray text = table(reporter.medians, accounts, lines, QFile(listPath).size());
    std::printf("\n%s", text.constData());
    if (!keepList)
        QFile::remove(listPath);
    if (!tableFile.isEmpty()) {
        QFile out(tableFile);
        if (!out.open(QIODevice::WriteOnly) || out.write(text) != text.size())
            die(QStringLiteral("cannot write %1").arg(tableFile));
    }
    return 0;
}
