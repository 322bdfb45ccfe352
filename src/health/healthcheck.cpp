#include "health/healthcheck.h"

#include "health/breachlist.h"
#include "health/strength.h"
#include "vault/stringcipher.h"
#include "vault/vaultstore.h"
#include "vault/wipe.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QScopeGuard>
#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <exception>
#include <sodium.h>
#include <thread>

namespace Health {

namespace {

// zxcvbn takes most of the time and keeps no state: one rater a core.
void rateAll(HealthReport& report, const std::vector<QByteArray>& passwords)
{
    std::atomic<size_t> next{0};
    std::exception_ptr failure;
    std::atomic_flag failed;
    const auto rate = [&] {
        try {
            for (size_t i = next++; i < passwords.size(); i = next++) {
                AccountHealth& account = report.accounts[i];
                if (!account.hasPassword)
                    continue;
                const Strength strength =
                    estimateStrength(passwords[i], userWordsOf(account.name, account.username, account.url));
                account.score = strength.score;
                account.guessesLog10 = strength.guessesLog10;
            }
        } catch (...) {
            if (!failed.test_and_set())
                failure = std::current_exception();
            next = passwords.size();
        }
    };
    const unsigned helpers = std::clamp(std::thread::hardware_concurrency(), 1u, 8u) - 1;
    std::vector<std::thread> threads;
    for (unsigned i = 0; i < helpers && passwords.size() > 64; ++i)
        threads.emplace_back(rate);
    rate();
    for (std::thread& thread : threads)
        thread.join();
    if (failure)
        std::rethrow_exception(failure);
}

// Same passwords by a keyed hash: its key is random, lives for this call
// only, and goes with the hashes.
void findShared(HealthReport& report, const std::vector<QByteArray>& passwords)
{
    using Digest = std::array<unsigned char, 16>;
    std::array<unsigned char, crypto_generichash_KEYBYTES> key{};
    std::vector<std::pair<Digest, qsizetype>> digests;
    const auto forget = qScopeGuard([&] {
        sodium_memzero(key.data(), key.size());
        sodium_memzero(digests.data(), digests.size() * sizeof(digests[0]));
    });
    randombytes_buf(key.data(), key.size());
    digests.reserve(passwords.size());
    for (size_t i = 0; i < passwords.size(); ++i) {
        if (!report.accounts[i].hasPassword)
            continue;
        Digest digest{};
        crypto_generichash(digest.data(), digest.size(),
                           reinterpret_cast<const unsigned char*>(passwords[i].constData()),
                           size_t(passwords[i].size()), key.data(), key.size());
        digests.emplace_back(digest, qsizetype(i));
        sodium_memzero(digest.data(), digest.size());
    }
    std::sort(digests.begin(), digests.end());
    for (size_t from = 0; from < digests.size();) {
        size_t to = from + 1;
        while (to < digests.size() && digests[to].first == digests[from].first)
            ++to;
        if (to - from > 1) {
            std::vector<qsizetype> group;
            for (size_t k = from; k < to; ++k) {
                group.push_back(digests[k].second);
                report.accounts[size_t(digests[k].second)].reused = int(to - from - 1);
                report.accounts[size_t(digests[k].second)].sharedGroup = qsizetype(report.sharedGroups.size());
            }
            report.sharedGroups.push_back(std::move(group));
        }
        from = to;
    }
}

// One lookup for each different password; the others of a group take its
// count.
void lookUp(HealthReport& report, const std::vector<QByteArray>& passwords, BreachList& list)
{
    for (size_t i = 0; i < passwords.size(); ++i) {
        AccountHealth& account = report.accounts[i];
        if (!account.hasPassword)
            continue;
        if (account.sharedGroup >= 0) {
            const qsizetype first = report.sharedGroups[size_t(account.sharedGroup)].front();
            if (size_t(first) != i) {
                account.breached = report.accounts[size_t(first)].breached;
                continue;
            }
        }
        QByteArray hex = sha1Hex(passwords[i]);
        const auto forget = qScopeGuard([&] { Secrets::wipe(hex); });
        account.breached = list.timesSeen(hex);
        ++report.lookups;
    }
    report.missingRanges = list.missingRanges();
}

QString number(qint64 n)
{
    static const QLocale english(QLocale::English, QLocale::UnitedStates);
    return english.toString(n);
}

QString plural(qint64 n, const char* one, const char* many)
{
    return number(n) + QLatin1Char(' ') + QLatin1String(n == 1 ? one : many);
}

int powerOfTen(double guessesLog10)
{
    return int(std::lround(guessesLog10));
}

// What is wrong with one account, in words.
QStringList findings(const HealthReport& report, const AccountHealth& account)
{
    QStringList found;
    if (account.isBreached())
        found << QStringLiteral("seen %1 in breaches").arg(plural(*account.breached, "time", "times"));
    if (account.reused > 0) {
        static constexpr qsizetype NamesShown = 5;
        QStringList others;
        qsizetype more = 0;
        for (qsizetype other : report.sharedGroups[size_t(account.sharedGroup)]) {
            const AccountHealth& same = report.accounts[size_t(other)];
            if (&same == &account)
                continue;
            if (others.size() < NamesShown)
                others << same.name;
            else
                ++more;
        }
        QString names = others.join(QStringLiteral(", "));
        if (more > 0)
            names += QStringLiteral(" and %1 more").arg(number(more));
        found << QStringLiteral("same password as %1: %2")
                     .arg(plural(account.reused, "other account", "other accounts"), names);
    }
    if (account.isWeak())
        found << QStringLiteral("weak: guessed in about 10^%1 tries").arg(powerOfTen(account.guessesLog10));
    return found;
}

// Worst first: breached (the most seen first), reused (the largest group
// first), weak (the weakest first); list order among equals.
int rank(const AccountHealth& account)
{
    return account.isBreached() ? 0 : account.reused > 0 ? 1 : 2;
}

bool worse(const AccountHealth& a, const AccountHealth& b)
{
    if (rank(a) != rank(b))
        return rank(a) < rank(b);
    switch (rank(a)) {
    case 0:
        return *a.breached > *b.breached;
    case 1:
        return a.reused > b.reused;
    default:
        return a.guessesLog10 < b.guessesLog10;
    }
}

struct Counts {
    qint64 breached = 0;
    qint64 reused = 0;
    qint64 weak = 0;
    qint64 fine = 0;
    qint64 withoutPassword = 0;
};

Counts countsOf(const HealthReport& report)
{
    Counts counts;
    for (const AccountHealth& account : report.accounts) {
        counts.breached += account.isBreached();
        counts.reused += account.reused > 0;
        counts.weak += account.isWeak();
        counts.withoutPassword += !account.hasPassword;
        counts.fine += account.hasPassword && !account.isBreached() && account.reused == 0 && !account.isWeak();
    }
    return counts;
}

}  // namespace

bool AccountHealth::isWeak() const
{
    return hasPassword && score < WeakBelowScore;
}

HealthReport checkVault(VaultStore& vault, BreachList* list)
{
    requireSodium();
    HealthReport report;
    report.listGiven = list != nullptr;
    report.listIsFolder = list && list->isFolder();
    std::vector<QByteArray> passwords;
    const auto forget = qScopeGuard([&] {
        for (QByteArray& password : passwords)
            Secrets::wipe(password);
    });
    vault.forEachAccount([&](const AccountRow& row) {
        AccountHealth account;
        account.name = row.fields.account;
        account.username = decryptField(row.fields.username);
        account.url = row.fields.url;
        QString password = vault.openPassword(row.fields.password);
        passwords.push_back(password.toUtf8());
        Secrets::wipe(password);
        account.hasPassword = !passwords.back().isEmpty();
        report.accounts.push_back(std::move(account));
    });
    rateAll(report, passwords);
    findShared(report, passwords);
    if (list)
        lookUp(report, passwords, *list);
    return report;
}

QStringList textReport(const HealthReport& report)
{
    std::vector<const AccountHealth*> problems;
    for (const AccountHealth& account : report.accounts)
        if (account.isBreached() || account.reused > 0 || account.isWeak())
            problems.push_back(&account);
    std::stable_sort(problems.begin(), problems.end(), [](auto* a, auto* b) { return worse(*a, *b); });
    QStringList lines;
    for (const AccountHealth* account : problems) {
        const QString who = account->username.isEmpty()
            ? account->name
            : QStringLiteral("%1 (%2)").arg(account->name, account->username);
        lines << QStringLiteral("%1: %2").arg(who, findings(report, *account).join(QStringLiteral("; ")));
    }
    const Counts counts = countsOf(report);
    QString summary = QStringLiteral("%1 checked: ").arg(plural(qint64(report.accounts.size()), "account", "accounts"));
    summary += report.listGiven ? QStringLiteral("%1 breached, ").arg(number(counts.breached))
                                : QStringLiteral("breaches not looked up (no --hibp list), ");
    summary += QStringLiteral("%1 reused, %2 weak, %3 fine")
                   .arg(number(counts.reused), number(counts.weak), number(counts.fine));
    if (counts.withoutPassword > 0)
        summary += QStringLiteral(", %1 without a password").arg(number(counts.withoutPassword));
    if (report.listIsFolder && report.missingRanges > 0)
        summary += QStringLiteral("; %1 of %2 lookups found no range file in the breach list's folder")
                       .arg(number(report.missingRanges), number(report.lookups));
    lines << summary + QLatin1Char('.');
    return lines;
}

QByteArray jsonReport(const HealthReport& report)
{
    const auto orNull = [](bool given, const QJsonValue& value) { return given ? value : QJsonValue(); };
    QJsonArray accounts;
    for (const AccountHealth& account : report.accounts) {
        accounts.append(QJsonObject{
            {QStringLiteral("name"), account.name},
            {QStringLiteral("username"), account.username},
            {QStringLiteral("url"), account.url},
            {QStringLiteral("score"), orNull(account.hasPassword, account.score)},
            {QStringLiteral("guesses_log10"),
             orNull(account.hasPassword, std::round(account.guessesLog10 * 100) / 100)},
            {QStringLiteral("reused"), account.reused},
            {QStringLiteral("breached"), orNull(account.breached.has_value(), qint64(account.breached.value_or(0)))},
        });
    }
    const Counts counts = countsOf(report);
    QJsonObject summary{
        {QStringLiteral("accounts"), qint64(report.accounts.size())},
        {QStringLiteral("breached"), orNull(report.listGiven, counts.breached)},
        {QStringLiteral("reused"), counts.reused},
        {QStringLiteral("weak"), counts.weak},
        {QStringLiteral("fine"), counts.fine},
        {QStringLiteral("without_password"), counts.withoutPassword},
        {QStringLiteral("breach_list"),
         orNull(report.listGiven, report.listIsFolder ? QStringLiteral("folder") : QStringLiteral("file"))},
        {QStringLiteral("lookups"), report.lookups},
        {QStringLiteral("missing_ranges"), orNull(report.listIsFolder, report.missingRanges)},
    };
    return QJsonDocument(QJsonObject{{QStringLiteral("accounts"), accounts}, {QStringLiteral("summary"), summary}})
        .toJson(QJsonDocument::Indented);
}

}  // namespace Health
