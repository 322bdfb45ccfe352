#pragma once

#include "vault/accountorder.h"
#include "vault/sqlite.h"
#include "vault/vaultkey.h"
#include "vault/vaultschema.h"

#include <QString>
#include <QtGlobal>
#include <array>
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

class SealIdentity;
class SealRecipient;
class VaultLock;

struct AccountRow {
    qint64 rowid = 0;
    AccountFields fields;
};

// What one of our own writes, or a read that found a few rows of another
// copy's changed, did to the list order: the entry that left or came in,
// and its index. A rename is a removal followed by an insertion.
struct ListChange {
    enum class Kind { Removed, Inserted };
    Kind kind;
    std::size_t index;
    AccountEntry entry;
};

// The vault file `data.mdb`: tables `accounts` and `master`, encrypted with
// the fixed database password. Positions are 1-based places in the account
// order (name without regard to case, ties by row id).
//
// A sealed vault (vault/sealkeys.h) also has the table `seal`: adding needs
// only its public key; reading a password needs the master password, which
// opens the secret key until lockSeal(). Every password is read and stored
// through the store, which knows whether the vault is sealed.
class VaultStore {
public:
    static inline const QByteArray DatabasePassword = QByteArrayLiteral("tuvesk");
    // The vault in the application folder, and its compacted copy at start-up.
    static inline const QString FileName = QStringLiteral("data.mdb");
    static inline const QString CompactedFileName = QStringLiteral("data1.mdb");

    // Writes a fresh vault, readable by its owner only; refuses to replace
    // an existing file.
    static void createFresh(const QString& path);
    // Writes a compacted copy of the vault to `targetPath`, flushed to disk.
    // Fails when the target exists already; leaves no partial target behind.
    // A vault that is a symbolic link is compacted beside the file it points
    // to and replaced there at once (nothing is left at `targetPath`); one
    // with more than one hard link is not compacted (the busy error, 3356).
    // A vault whose schema is refused is left as it is, with no copy.
    // The copy keeps the vault's salt, so a key derived from the vault
    // before (`key`) opens it as well.
    static void compact(const QString& vaultPath, const QString& targetPath, const VaultKey& key = {});
    // Puts the compacted copy in the vault's place in one step.
    static void replaceVault(const QString& compactedPath, const QString& vaultPath);
    // Opens a vault whose schema passes the check, and takes read and
    // write rights on the file away from everyone but its owner.
    static std::unique_ptr<VaultStore>
    open(const QString& path, VaultSchema::Values values = VaultSchema::Values::Measure, const VaultKey& key = {});

    ~VaultStore();
    const QString& path() const { return db_.path(); }
    // The lock the opener holds on the vault's folder, which sealing,
    // unsealing and re-keying make exclusive for a while; without one they
    // take a lock of their own.
    void attachLock(VaultLock* lock) { lock_ = lock; }

    bool isSealed() const { return recipient_ != nullptr; }
    // True while a security check has opened a sealed vault's secret key.
    bool isSealOpen() const { return identity_ != nullptr; }
    // Compares an entry with the master password exactly, as the security
    // check does; in a sealed vault a match also opens the secret key.
    bool masterPasswordOpens(const QString& entry);
    // Forgets the secret key and the entry that opened it.
    void lockSeal();
    // The master password as the Options dialog shows it: deciphered, or in
    // a sealed vault the entry that opened it.
    QString currentMasterPassword();
    // The plain password of a stored value (a sealed vault must be open).
    QString openPassword(const QString& stored);
    // A typed password as it is stored.
    QString passwordToStore(const QString& plain);
    // The master password `master` (already trimmed by the rule) into the
    // vault: enciphered into the master row; in a sealed vault, a new one
    // re-keys the vault (below).
    void changeMasterPassword(const QString& master, bool markInitialized);

    // Changing every password, in one transaction: all of it or nothing,
    // and only while nobody else has the vault open (VaultLock::Alone).
    // Each returns the number of passwords changed; `progress` sees
    // (done, total) now and then.
    using Progress = std::function<void(qint64 done, qint64 total)>;
    // Seals a plain vault whose master password is `current` under the new
    // master password `master`, to a new key pair. `current` is known to
    // whoever has a plain copy, so `master` must differ from it.
    qint64 seal(const QString& current, const QString& master, const Progress& progress = {});
    // Turns a sealed vault back into a plain one with `master` in its master row.
    qint64 unseal(const QString& master, const Progress& progress = {});
    // A new key pair for an open sealed vault, its secret key enclosed under
    // `master`, every password sealed to it: no earlier seal row opens what
    // the vault holds after.
    qint64 rekey(const QString& master, const Progress& progress = {});

    // Master row.
    bool isInitialized();  // `initialized` of the first row
    QString storedMasterPassword();  // `password` of the row keyed "master"
    // Rewrites `password` of the first row; creation also marks it initialised.
    void storeMasterPassword(const QString& cipherText, bool markInitialized);

    // Accounts, in list order. The order is read from the vault once and then
    // kept in step with this connection's own writes; it is read again only
    // after another connection has committed (PRAGMA data_version moves only
    // for those), so lookups by position go straight to their row.
    const AccountOrder& accountOrder();
    std::vector<AccountEntry> accountList();
    // Moves each time the order was read again and came out different: a
    // list copied from an older order must be copied afresh.
    quint64 orderGeneration() const { return orderGeneration_; }
    // What our own writes changed in the order since the last call, oldest
    // first, for a list copied from the current generation.
    std::vector<ListChange> takeListChanges();
    std::optional<AccountRow> accountAt(qint64 position);
    // Every account in list order, on one snapshot of the vault: one pass
    // over the table, every row held as stored (username and password
    // enciphered) until the last has been visited.
    void forEachAccount(const std::function<void(const AccountRow&)>& visit);
    // The same, each row's six values as the vault holds them (UTF-8, not
    // checked), valid during the call.
    using StoredValues = std::array<QByteArrayView, 6>;
    void forEachStoredAccount(const std::function<void(qint64 rowid, const StoredValues&)>& visit);
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
    VaultStore();
    void setMasterRow(const QString& cipherText, bool markInitialized);
    qint64 rewritePasswords(const std::function<QString(const QString&)>& convert, const Progress& progress);
    qint64 changeEveryPassword(const std::function<qint64()>& work);
    SealRow currentSealRow();
    void requireSealOpen() const;
    qint64 dataVersion();
    bool orderCurrent();
    void readOrder();
    void forgetOrder() { orderValid_ = false; }
    void noteRemoved(std::size_t index);
    void noteInserted(AccountEntry entry);

    Database db_;
    // As of `orderVersion_` of PRAGMA data_version.
    AccountOrder order_;
    qint64 orderVersion_ = 0;
    bool orderValid_ = false;
    quint64 orderGeneration_ = 0;
    std::vector<ListChange> changes_;
    // A sealed vault's halves; they go before db_.
    std::unique_ptr<SealRecipient> recipient_;
    std::unique_ptr<SealIdentity> identity_;  // while open
    VaultLock* lock_ = nullptr;
};
