#pragma once

#include <QByteArray>
#include <QString>
#include <array>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <sodium.h>
#include <vector>

class Database;
class VaultStore;

// Bytes of their own from sodium_malloc: fenced by guard pages, kept out of
// swap where the system allows it, and zeroed when freed.
class SecureBytes {
public:
    explicit SecureBytes(std::size_t size);
    ~SecureBytes();
    SecureBytes(const SecureBytes&) = delete;
    SecureBytes& operator=(const SecureBytes&) = delete;

    unsigned char* data() { return data_; }
    const unsigned char* data() const { return data_; }
    std::size_t size() const { return size_; }

private:
    unsigned char* data_;
    std::size_t size_;
};

// A sealed vault: every account password is sealed to the vault's public
// key, and the secret half of that key is kept enciphered under a key that
// Argon2id derives from the master password. Adding needs the public key
// only; reading a password needs the master password. The `seal` table
// holds one row: format version, public key, salt, the two Argon2id limits
// and the enciphered secret key (binary values in base64).
//
// A writer (the add and edit dialogs, the import, the sealing itself) makes
// one ephemeral key pair per session and one key shared with the vault's
// public key; each password is then one symmetric box, stored as Prefix +
// base64(writer's public key | nonce | box of the padded text). A reader
// opens one shared key per writer it meets and one box per password, so a
// report costs no public-key operation per row.
class VaultSeal {
public:
    static inline const QString Prefix = QStringLiteral("seal:");
    static constexpr qint64 FormatVersion = 1;

    struct Limits {
        quint64 ops = 0;
        quint64 mem = 0;
    };
    // 64 MiB, the least libsodium calls interactive, and enough passes for
    // about a quarter of a second on a 2-core machine.
    static constexpr Limits DefaultLimits{8, 64ull << 20};
    // What a stored row may ask for; beyond it the vault counts as damaged
    // and nothing is derived (or allocated).
    static constexpr Limits LeastLimits{crypto_pwhash_OPSLIMIT_INTERACTIVE, crypto_pwhash_MEMLIMIT_INTERACTIVE};
    static constexpr Limits MostLimits{64, 1ull << 30};
    static constexpr quint64 MostWork = 4ull << 30;  // passes times bytes

    // The schema check's hooks: the seal table in exactly its own shape, and
    // a sealed vault's seal and master rows as they must be (3049 when they
    // are not). The passwords' form takes a pass over the table of its own,
    // made before a compaction copies anything and when the seal is loaded.
    static bool isSealTable(const QString& name, const QString& sql);
    static void requireIntact(const Database& db);
    static void requireSealedPasswords(Database& db);

    // The vault's seal, or null for a plain vault.
    static std::unique_ptr<VaultSeal> load(Database& db);
    ~VaultSeal();
    VaultSeal(const VaultSeal&) = delete;
    VaultSeal& operator=(const VaultSeal&) = delete;

    // Derives the key from the entry as typed and opens the secret key with
    // it: true exactly when the entry is the master password. Until lock(),
    // passwords can then be opened.
    bool unlock(const QString& entry);
    // Forgets the secret key, the entry and every shared key.
    void lock();
    bool isUnlocked() const { return secretKey_ != nullptr; }
    // The entry that unlocked the seal: the master password.
    QString unlockedEntry() const;

    // A password as it is stored. Needs no master password.
    QString seal(const QString& plain);
    // The password a stored value holds; nothing for nothing. Needs the seal
    // unlocked; raises the cipher's error for a value that does not open.
    QString open(const QString& stored);
    // Enciphers the secret key anew under `master`, with a fresh salt, in
    // one transaction. Needs the seal unlocked.
    void changeMasterPassword(const QString& master);

    // Converting a whole vault in one transaction: all of it or nothing.
    // `master` must be the vault's master password. Returns the number of
    // passwords converted; `progress` sees (done, total) now and then.
    using Progress = std::function<void(qint64 done, qint64 total)>;
    static qint64 sealVault(VaultStore& vault, const QString& master, const Progress& progress = {});
    static qint64 unsealVault(VaultStore& vault, const QString& master, const Progress& progress = {});

private:
    using PublicKey = std::array<unsigned char, crypto_box_PUBLICKEYBYTES>;
    struct Row;

    VaultSeal(Database& db, const PublicKey& publicKey);
    static Row readRow(const Database& db);
    static std::unique_ptr<SecureBytes> deriveKey(const QByteArray& master, const unsigned char* salt, Limits limits);
    const unsigned char* sharedKeyFor(const PublicKey& writer);
    void startWriter();

    Database& db_;
    PublicKey publicKey_{};
    // While unlocked.
    std::unique_ptr<SecureBytes> secretKey_;
    std::unique_ptr<SecureBytes> entry_;
    Limits limits_;
    std::map<PublicKey, unsigned char*> sharedKeys_;  // into sharedKeyBlocks_
    std::vector<std::unique_ptr<SecureBytes>> sharedKeyBlocks_;
    std::size_t sharedKeysInLastBlock_ = 0;
    // The writer of this session: its public key and the key it shares with
    // the vault. Its secret key is gone once the shared key is made.
    PublicKey writerPublic_{};
    std::unique_ptr<SecureBytes> writerKey_;
    // Room for a padded text while it is boxed or opened; zeroed after each.
    std::vector<unsigned char> scratch_;
};

// What the commands call, in a sealed vault or not.
// Compares an entry with the master password exactly, as the security check
// does; in a sealed vault a match also unlocks the seal.
bool masterPasswordOpens(VaultStore& vault, const QString& entry);
// The master password `master` (already trimmed by the rule) into the vault:
// enciphered into the master row, or, in a sealed vault, as the key that
// encloses the secret key.
void storeMasterPassword(VaultStore& vault, const QString& master, bool markInitialized);
// The master password as the Options dialog shows it: deciphered, or in a
// sealed vault the entry that unlocked the seal.
QString currentMasterPassword(VaultStore& vault);
// The plain password of a stored value (the seal must be unlocked).
QString openPassword(VaultStore& vault, const QString& stored);
// A typed password as it is stored.
QString passwordToStore(VaultStore& vault, const QString& plain);
// Locks a sealed vault's seal; nothing for a plain vault.
void lockSeal(VaultStore& vault);
