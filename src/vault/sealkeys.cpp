#include "vault/sealkeys.h"

#include "vault/apperror.h"
#include "vault/securebytes.h"
#include "vault/stringcipher.h"
#include "vault/vaultschema.h"
#include "vault/wipe.h"

#include <QScopeGuard>
#include <QStringView>
#include <cstring>
#include <sodium.h>

namespace {

constexpr std::size_t KeyBytes = SealRow::KeyBytes;
constexpr std::size_t NonceBytes = SealRow::NonceBytes;
constexpr std::size_t MacBytes = SealRow::MacBytes;
// Texts are padded to whole blocks, so a stored password tells its length
// only in steps of this many bytes.
constexpr std::size_t PadBlock = 64;
constexpr std::size_t SealedHead = KeyBytes + NonceBytes + MacBytes;
constexpr std::size_t SharedKeysPerBlock = 128;
// A vault of countless writers (only a hostile one has them) must not grow
// the cache without end: beyond this many it starts afresh.
constexpr std::size_t SharedKeysKept = 32 * SharedKeysPerBlock;

[[noreturn]] void cipherFailure(const QString& why)
{
    throw AppError(ErrorCode::CipherFailure, why, ErrorSource::Cipher);
}

std::unique_ptr<SecureBytes> deriveKey(const QByteArray& master, const unsigned char* salt, SealRow::Limits limits)
{
    auto key = std::make_unique<SecureBytes>(crypto_secretbox_KEYBYTES);
    if (crypto_pwhash(key->data(), key->size(), master.constData(), quint64(master.size()), salt, limits.ops,
                      std::size_t(limits.mem), crypto_pwhash_ALG_ARGON2ID13)
        != 0)
        throw AppError(ErrorCode::CipherFailure,
                       QStringLiteral("The key of the sealed vault could not be derived: %1 MiB of memory are "
                                      "not to be had.")
                           .arg(limits.mem >> 20),
                       ErrorSource::Cipher);
    return key;
}

}  // namespace

SealRecipient::SealRecipient(const SealRow::PublicKey& publicKey) : publicKey_(publicKey)
{
    requireSodium();
}

SealRecipient::~SealRecipient()
{
    sodium_memzero(scratch_.data(), scratch_.size());
}

QString SealRecipient::seal(const QString& plain)
{
    if (!writerKey_) {
        SecureBytes writerSecret(crypto_box_SECRETKEYBYTES);
        crypto_box_keypair(writerPublic_.data(), writerSecret.data());
        auto shared = std::make_unique<SecureBytes>(crypto_box_BEFORENMBYTES);
        if (crypto_box_beforenm(shared->data(), publicKey_.data(), writerSecret.data()) != 0)
            cipherFailure(QStringLiteral("The vault's public key seals nothing."));
        writerKey_ = std::move(shared);
    }
    QByteArray utf8 = plain.toUtf8();
    const std::size_t length = std::size_t(utf8.size());
    const std::size_t room = (length / PadBlock + 1) * PadBlock;
    if (scratch_.size() < room)
        scratch_.resize(room);
    std::memcpy(scratch_.data(), utf8.constData(), length);
    Secrets::wipe(utf8);
    std::size_t padded = 0;
    sodium_pad(&padded, scratch_.data(), length, PadBlock, scratch_.size());

    std::vector<unsigned char> sealed(SealedHead + padded);
    std::memcpy(sealed.data(), writerPublic_.data(), KeyBytes);
    unsigned char* nonce = sealed.data() + KeyBytes;
    randombytes_buf(nonce, NonceBytes);
    crypto_box_easy_afternm(nonce + NonceBytes, scratch_.data(), padded, nonce, writerKey_->data());
    sodium_memzero(scratch_.data(), scratch_.size());
    return VaultSchema::SealedPrefix + sealBase64(sealed.data(), sealed.size());
}

SealIdentity::SealIdentity(std::unique_ptr<SecureBytes> secretKey, const QString& master)
    : secretKey_(std::move(secretKey))
{
    QByteArray utf8 = master.toUtf8();
    master_ = std::make_unique<SecureBytes>(std::size_t(utf8.size()));
    std::memcpy(master_->data(), utf8.constData(), std::size_t(utf8.size()));
    Secrets::wipe(utf8);
    crypto_scalarmult_base(publicKey_.data(), secretKey_->data());
}

SealIdentity::~SealIdentity()
{
    sodium_memzero(scratch_.data(), scratch_.size());
}

std::unique_ptr<SealIdentity> SealIdentity::generate(const QString& master)
{
    auto secret = std::make_unique<SecureBytes>(crypto_box_SECRETKEYBYTES);
    SealRow::PublicKey unused{};
    crypto_box_keypair(unused.data(), secret->data());
    return std::unique_ptr<SealIdentity>(new SealIdentity(std::move(secret), master));
}

std::unique_ptr<SealIdentity> SealIdentity::unlock(const Database& db, const SealRow& row, const QString& entry)
{
    QByteArray utf8 = entry.toUtf8();
    const auto forget = qScopeGuard([&] { Secrets::wipe(utf8); });
    // Half a character has no UTF-8 form of its own: such an entry is never
    // the master password, as the plain comparison would find too.
    QString back = QString::fromUtf8(utf8);
    const bool whole = back == entry;
    Secrets::wipe(back);
    if (!whole)
        return nullptr;
    const auto key = deriveKey(utf8, row.salt.data(), row.limits);
    auto secret = std::make_unique<SecureBytes>(crypto_box_SECRETKEYBYTES);
    const unsigned char* nonce = row.boxedSecretKey.data();
    if (crypto_secretbox_open_easy(secret->data(), nonce + NonceBytes, SealRow::BoxedSecretKeyBytes - NonceBytes, nonce,
                                   key->data())
        != 0)
        return nullptr;
    std::unique_ptr<SealIdentity> identity(new SealIdentity(std::move(secret), entry));
    // A public key put in by someone else would take every later add.
    if (sodium_memcmp(identity->publicKey_.data(), row.publicKey.data(), KeyBytes) != 0)
        raiseVaultDamaged(db, QStringLiteral("its public key does not belong to its secret key"));
    return identity;
}

QString SealIdentity::master() const
{
    return QString::fromUtf8(reinterpret_cast<const char*>(master_->data()), qsizetype(master_->size()));
}

SealRow SealIdentity::enclose(SealRow::Limits limits) const
{
    SealRow row;
    row.publicKey = publicKey_;
    row.limits = limits;
    randombytes_buf(row.salt.data(), row.salt.size());
    const QByteArray utf8 =
        QByteArray::fromRawData(reinterpret_cast<const char*>(master_->data()), qsizetype(master_->size()));
    const auto key = deriveKey(utf8, row.salt.data(), limits);
    unsigned char* nonce = row.boxedSecretKey.data();
    randombytes_buf(nonce, NonceBytes);
    crypto_secretbox_easy(nonce + NonceBytes, secretKey_->data(), crypto_box_SECRETKEYBYTES, nonce, key->data());
    return row;
}

const unsigned char* SealIdentity::sharedKeyFor(const SealRow::PublicKey& writer)
{
    if (const auto found = sharedKeys_.find(writer); found != sharedKeys_.end())
        return found->second;
    if (sharedKeys_.size() >= SharedKeysKept) {
        sharedKeys_.clear();
        sharedKeyBlocks_.clear();
    }
    if (sharedKeyBlocks_.empty() || sharedKeysInLastBlock_ == SharedKeysPerBlock) {
        sharedKeyBlocks_.push_back(std::make_unique<SecureBytes>(SharedKeysPerBlock * crypto_box_BEFORENMBYTES));
        sharedKeysInLastBlock_ = 0;
    }
    unsigned char* key = sharedKeyBlocks_.back()->data() + sharedKeysInLastBlock_ * crypto_box_BEFORENMBYTES;
    if (crypto_box_beforenm(key, writer.data(), secretKey_->data()) != 0)
        cipherFailure(QStringLiteral("A sealed password names a writer key that opens nothing."));
    ++sharedKeysInLastBlock_;
    sharedKeys_.emplace(writer, key);
    return key;
}

QString SealIdentity::open(const QString& stored)
{
    if (stored.isEmpty())
        return {};
    if (!stored.startsWith(VaultSchema::SealedPrefix))
        cipherFailure(QStringLiteral("The stored password is not sealed."));
    const QByteArray encoded = QStringView(stored).mid(VaultSchema::SealedPrefix.size()).toLatin1();
    // One byte more: "seal:" alone would hand the decoder no buffer at all.
    std::vector<unsigned char> sealed(std::size_t(encoded.size()) + 1);
    std::size_t length = 0;
    const char* end = nullptr;
    if (sodium_base642bin(sealed.data(), sealed.size(), encoded.constData(), std::size_t(encoded.size()), nullptr,
                          &length, &end, sodium_base64_VARIANT_ORIGINAL)
            != 0
        || end != encoded.constData() + encoded.size() || length < SealedHead + PadBlock
        || (length - SealedHead) % PadBlock != 0)
        cipherFailure(QStringLiteral("The sealed password is not valid."));

    SealRow::PublicKey writer;
    std::memcpy(writer.data(), sealed.data(), KeyBytes);
    const unsigned char* key = sharedKeyFor(writer);
    const unsigned char* nonce = sealed.data() + KeyBytes;
    const std::size_t boxLength = length - KeyBytes - NonceBytes;
    const std::size_t padded = boxLength - MacBytes;
    if (scratch_.size() < padded)
        scratch_.resize(padded);
    const auto forget = qScopeGuard([&] { sodium_memzero(scratch_.data(), scratch_.size()); });
    std::size_t unpadded = 0;
    if (crypto_box_open_easy_afternm(scratch_.data(), nonce + NonceBytes, boxLength, nonce, key) != 0
        || sodium_unpad(&unpadded, scratch_.data(), padded, PadBlock) != 0)
        cipherFailure(QStringLiteral("The sealed password has been altered or was sealed to another vault."));

    const QByteArrayView bytes(reinterpret_cast<const char*>(scratch_.data()), qsizetype(unpadded));
    QString text = QString::fromUtf8(bytes);
    QByteArray again = text.toUtf8();
    const bool valid = QByteArrayView(again) == bytes;
    Secrets::wipe(again);
    if (!valid) {
        Secrets::wipe(text);
        cipherFailure(QStringLiteral("The opened password is not valid text."));
    }
    return text;
}
