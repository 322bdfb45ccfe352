#pragma once

#include "vault/sealrow.h"

#include <QString>
#include <map>
#include <memory>
#include <vector>

class Database;
class SecureBytes;

// The two halves of a sealed vault's key pair, as age splits recipient and
// identity. Each password is sealed by a writer (the add and edit dialogs,
// the import, sealing, re-keying): one ephemeral key pair per writer and
// one key it shares with the vault's public key; each password is then one
// symmetric box, stored as VaultSchema::SealedPrefix + base64(writer's
// public key | nonce | box of the padded text). A reader opens one shared
// key per writer it meets and one box per password, so a report costs no
// public-key operation per row.

// The public half: sealing passwords to the vault's public key. Needs no
// master password. The writer's secret key is gone once the key it shares
// with the vault is made; that shared key stays as long as the recipient
// and opens exactly the passwords this recipient sealed.
class SealRecipient {
public:
    explicit SealRecipient(const SealRow::PublicKey& publicKey);
    ~SealRecipient();
    SealRecipient(const SealRecipient&) = delete;
    SealRecipient& operator=(const SealRecipient&) = delete;

    const SealRow::PublicKey& publicKey() const { return publicKey_; }
    QString seal(const QString& plain);

private:
    SealRow::PublicKey publicKey_;
    SealRow::PublicKey writerPublic_{};
    std::unique_ptr<SecureBytes> writerKey_;
    std::vector<unsigned char> scratch_;  // a padded text while it is boxed; zeroed after each
};

// The secret half: the vault's secret key, opened with the master password
// (the entry it was opened with is kept beside it), and the passwords it
// opens. Everything it holds is wiped when it goes.
class SealIdentity {
public:
    // A new key pair, to be enclosed under `master`.
    static std::unique_ptr<SealIdentity> generate(const QString& master);
    // The secret key of `row` opened with `entry`: null exactly when the
    // entry is not the master password. A secret key that gives another
    // public key than the row's is damage (3049).
    static std::unique_ptr<SealIdentity> unlock(const Database& db, const SealRow& row, const QString& entry);
    ~SealIdentity();
    SealIdentity(const SealIdentity&) = delete;
    SealIdentity& operator=(const SealIdentity&) = delete;

    const SealRow::PublicKey& publicKey() const { return publicKey_; }
    // The master password it was opened with, or made for.
    QString master() const;
    // A seal row holding this secret key enclosed under the master password,
    // with a fresh salt.
    SealRow enclose(SealRow::Limits limits) const;
    // The password a stored value holds; nothing for nothing. Raises the
    // cipher's error for a value that does not open.
    QString open(const QString& stored);

private:
    SealIdentity(std::unique_ptr<SecureBytes> secretKey, const QString& master);
    const unsigned char* sharedKeyFor(const SealRow::PublicKey& writer);

    std::unique_ptr<SecureBytes> secretKey_;
    std::unique_ptr<SecureBytes> master_;  // as UTF-8
    SealRow::PublicKey publicKey_{};
    std::map<SealRow::PublicKey, unsigned char*> sharedKeys_;  // into sharedKeyBlocks_
    std::vector<std::unique_ptr<SecureBytes>> sharedKeyBlocks_;
    std::size_t sharedKeysInLastBlock_ = 0;
    std::vector<unsigned char> scratch_;  // a padded text while it is opened; zeroed after each
};
