#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

class VaultStore;

namespace Health {

class BreachList;

struct AccountHealth {
    QString name;
    QString username;
    QString url;
    bool hasPassword = false;  // the rest is left as it is without one
    int score = 0;
    double guessesLog10 = 0;
    int reused = 0;  // other accounts with the same password
    qsizetype sharedGroup = -1;  // into HealthReport::sharedGroups
    std::optional<qint64> breached;  // none when no list was given

    bool isBreached() const { return breached.value_or(0) > 0; }
    bool isWeak() const;
};

struct HealthReport {
    std::vector<AccountHealth> accounts;  // in list order
    // The accounts (indexes) of each password that more than one has.
    std::vector<std::vector<qsizetype>> sharedGroups;
    bool listGiven = false;
    bool listIsFolder = false;
    qint64 lookups = 0;
    qint64 missingRanges = 0;
};

// Rates every account of the vault, whose seal (if sealed) the master
// password has unlocked. Same passwords are found through a keyed hash
// whose random key lives for this call only; `list` (may be null) is asked
// once for each different password. No password, nor a hash of one,
// outlives the call.
HealthReport checkVault(VaultStore& vault, BreachList* list);

// The accounts with a problem, worst first (breached, reused, weak), each
// with what is wrong in words, then one summary line: one entry a line.
QStringList textReport(const HealthReport& report);
// Every account once, then the summary: one JSON object.
QByteArray jsonReport(const HealthReport& report);

}  // namespace Health
