#include "vault/stringcipher.h"

#include "vault/apperror.h"
#include "vault/wipe.h"

#include <sodium.h>
#include <vector>

namespace {

[[noreturn]] void fail(const QString& why)
{
    throw AppError(ErrorCode::CipherFailure, why, ErrorSource::Cipher);
}

}  // namespace

StringCipher& StringCipher::instance()
{
    static StringCipher cipher;
    return cipher;
}

void requireSodium()
{
    if (sodium_init() < 0)
        fail(QStringLiteral("The cipher library could not be initialised."));
}

StringCipher::StringCipher()
{
    requireSodium();
}

StringCipher::Key StringCipher::deriveKey(const QString& key)
{
    static_assert(std::tuple_size_v<Key> == crypto_secretbox_KEYBYTES);
    const auto hash = [](const QString& keyText) {
        const QByteArray text = keyText.toUtf8();
        Key derived{};
        crypto_generichash(derived.data(), derived.size(), reinterpret_cast<const unsigned char*>(text.constData()),
                           static_cast<unsigned long long>(text.size()), nullptr, 0);
        return derived;
    };
    // Every call site passes the fixed key: hash it once, not per field.
    static const Key fixed = hash(FixedKey);
    return key == FixedKey ? fixed : hash(key);
}

QString StringCipher::Encrypt(const QString& text, const QString& key) const
{
    const Key k = deriveKey(key);
    QByteArray plain = text.toUtf8();
    std::vector<unsigned char> sealed(crypto_secretbox_NONCEBYTES + crypto_secretbox_MACBYTES
                                      + static_cast<size_t>(plain.size()));
    unsigned char* nonce = sealed.data();
    randombytes_buf(nonce, crypto_secretbox_NONCEBYTES);
    crypto_secretbox_easy(nonce + crypto_secretbox_NONCEBYTES,
                          reinterpret_cast<const unsigned char*>(plain.constData()),
                          static_cast<unsigned long long>(plain.size()), nonce, k.data());
    Secrets::wipe(plain);

    std::vector<char> encoded(sodium_base64_encoded_len(sealed.size(), sodium_base64_VARIANT_ORIGINAL));
    sodium_bin2base64(encoded.data(), encoded.size(), sealed.data(), sealed.size(), sodium_base64_VARIANT_ORIGINAL);
    return QString::fromLatin1(encoded.data());
}

QString StringCipher::Decrypt(const QString& text, const QString& key) const
{
    const QByteArray encoded = text.toLatin1();
    if (text.size() != encoded.size() || encoded.isEmpty())
        fail(QStringLiteral("The enciphered text is not valid."));

    std::vector<unsigned char> sealed(static_cast<size_t>(encoded.size()));
    size_t sealedLength = 0;
    const char* end = nullptr;
    if (sodium_base642bin(sealed.data(), sealed.size(), encoded.constData(), static_cast<size_t>(encoded.size()),
                          nullptr, &sealedLength, &end, sodium_base64_VARIANT_ORIGINAL)
            != 0
        || end != encoded.constData() + encoded.size()
        || sealedLength < crypto_secretbox_NONCEBYTES + crypto_secretbox_MACBYTES)
        fail(QStringLiteral("The enciphered text is not valid."));

    const Key k = deriveKey(key);
    const unsigned char* nonce = sealed.data();
    const size_t boxLength = sealedLength - crypto_secretbox_NONCEBYTES;
    std::vector<unsigned char> plain(boxLength - crypto_secretbox_MACBYTES + 1);
    if (crypto_secretbox_open_easy(plain.data(), nonce + crypto_secretbox_NONCEBYTES, boxLength, nonce, k.data()) != 0)
        fail(QStringLiteral("The enciphered text has been altered or was written under another key."));

    const auto plainLength = static_cast<qsizetype>(boxLength - crypto_secretbox_MACBYTES);
    const QByteArrayView bytes(reinterpret_cast<const char*>(plain.data()), plainLength);
    QString result = QString::fromUtf8(bytes);
    QByteArray again = result.toUtf8();
    const bool valid = QByteArrayView(again) == bytes;
    Secrets::wipe(again);
    sodium_memzero(plain.data(), plain.size());
    if (!valid) {
        Secrets::wipe(result);
        fail(QStringLiteral("The deciphered text is not valid text."));
    }
    return result;
}
