#pragma once

#include <QString>
#include <QStringView>
#include <QtGlobal>
#include <array>
#include <cstddef>

// The one row of a sealed vault's seal table (VaultSchema::Seal): the
// vault's public key, and its secret key enciphered under a key that
// Argon2id derives from the master password with this salt and these
// limits. Binary values are stored in base64. The schema check reads it
// (VaultSchema::require); the store writes it.
struct SealRow {
    static constexpr std::size_t KeyBytes = 32;  // X25519, both halves
    static constexpr std::size_t SaltBytes = 16;
    static constexpr std::size_t NonceBytes = 24;
    static constexpr std::size_t MacBytes = 16;
    static constexpr std::size_t BoxedSecretKeyBytes = NonceBytes + MacBytes + KeyBytes;
    using PublicKey = std::array<unsigned char, KeyBytes>;

    struct Limits {
        quint64 ops = 0;
        quint64 mem = 0;
    };
    // 64 MiB, the least libsodium calls interactive, and enough passes for
    // about a quarter of a second on a 2-core machine.
    static constexpr Limits DefaultLimits{8, 64ull << 20};
    // What a stored row may ask for; beyond it the vault counts as damaged
    // and nothing is derived (or allocated).
    static constexpr Limits LeastLimits{2, 64ull << 20};
    static constexpr Limits MostLimits{64, 1ull << 30};
    static constexpr quint64 MostWork = 4ull << 30;  // passes times bytes

    PublicKey publicKey{};
    std::array<unsigned char, SaltBytes> salt{};
    Limits limits;
    std::array<unsigned char, BoxedSecretKeyBytes> boxedSecretKey{};

    static bool saneLimits(qint64 ops, qint64 mem);
    QString publicKeyText() const;
};

// Binary values as the seal keeps them: base64, and exactly `size` bytes
// out of it with nothing after them.
std::size_t sealBase64Length(std::size_t bytes);
QString sealBase64(const unsigned char* bytes, std::size_t size);
bool sealFromBase64(QStringView text, unsigned char* out, std::size_t size);
