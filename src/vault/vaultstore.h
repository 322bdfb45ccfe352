#pragma once

#include "vault/sqlite.h"

#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

// One account as stored: `username` and `password` hold cipher text.
struct AccountFields {
    QString account;
    QString username;
    QString password;
    QString url;
    QString hint;
    QString notes;
    bool operator==(const AccountFields&) const = default;
};

struct AccountRow {
    qint64 rowid = 0;
    AccountFields fields;
};

// One list entry: the name shown and the row it stands for.
struct AccountEntry {
    qint64 rowid = 0;
    QString account;
};

// The vault file `data.mdb`: tables `accounts` and `master`, encrypted with
// the fixed database password. Positions are 1-based places in the account
// order (name without regard to case, ties by row id).
class VaultStore {
public:
    static inline const QByteArray DatabasePassword = QByteArrayLiteral("tuvesk");

    // Writes a fresh vault, readable by its owner only; refuses to replace
    // an existing file.
    static void createFresh(const QString& path);
    // Writes a compacted copy of the vault to `targetPath`, flushed to disk.
    // Fails when the target exists already; leaves no partial target behind.
    // A vault that is a symbolic link is compacted beside the file it points
    // to and replaced there at once (nothing is left at `targetPath`); one
    // with more than one hard link is not compacted (the busy error, 3356).
    // A vault whose schema is refused is left as it is, with no copy.
    static void compact(const QString& vaultPath, const QString& targetPath);
    // Puts the compacted copy in the vault's place in one step.
    static void replaceVault(const QString& compactedPath, const QString& vaultPath);
    // Opens a vault whose schema passes the check, and takes read and
    // write rights on the file away from everyone but its owner.
    static std::unique_ptr<VaultStore> open(const QString& path);
    // Teaches a connection the account order (UNICODE_NOCASE).
    static void registerAccountOrder(Database& db);

    const QString& path() const { return db_.path(); }

    // Master row.
    bool isInitialized();               // `initialized` of the first row
    QString storedMasterPassword();     // `password` of the row keyed "master"
    // Rewrites `password` of the first row; creation also marks it initialised.
    void storeMasterPassword(const QString& cipherText, bool markInitialized);

    // Accounts, in list order. Building the list also remembers the row at
    // each position, so later lookups go straight to their row for as long
    // as nobody (this connection or another) has changed the vault.
    std::vector<AccountEntry> accountList();
    std::optional<AccountRow> accountAt(qint64 position);
    void forEachAccount(const std::function<void(const AccountRow&)>& visit);
    qint64 appendAccount(const AccountFields& fields);
    // Appends many rows in one immediate transaction: all of them or none.
    // `visitStored` first sees every row already stored, inside that
    // transaction, so nothing it learns can go stale before the writes;
    // `next` then fills in one row at a time until it returns false.
    // Returns the number of rows appended.
    qint64 appendAccounts(const std::function<void(const AccountRow&)>& visitStored,
                          const std::function<bool(AccountFields&)>& next);
    // Rewrite or delete the row at `position` only while it is still the row
    // `expectedRowid`; false (and nothing changed) when another copy of the
    // program has moved the rows since.
    bool updateAccountAt(qint64 position, qint64 expectedRowid, const AccountFields& fields);
    bool deleteAccountAt(qint64 position, qint64 expectedRowid);

private:
    VaultStore() = default;
    std::optional<AccountRow> rowAt(qint64 position);
    void sizePageCache();
    qint64 dataVersion();
    bool positionsCurrent();
    void rememberPositions();
    void forgetPositions() { positionsValid_ = false; }

    Database db_;
    // Row ids in list order, as of `positionsVersion_` of PRAGMA data_version.
    // That value moves only for other connections' commits, so every write
    // of our own forgets the positions itself.
    std::vector<qint64> positions_;
    qint64 positionsVersion_ = 0;
    bool positionsValid_ = false;
};
