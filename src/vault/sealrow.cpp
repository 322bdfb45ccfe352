#include "vault/sealrow.h"

#include <sodium.h>

static_assert(SealRow::KeyBytes == crypto_box_PUBLICKEYBYTES && SealRow::KeyBytes == crypto_box_SECRETKEYBYTES);
static_assert(SealRow::SaltBytes == crypto_pwhash_SALTBYTES);
static_assert(SealRow::NonceBytes == crypto_secretbox_NONCEBYTES && SealRow::NonceBytes == crypto_box_NONCEBYTES);
static_assert(SealRow::MacBytes == crypto_secretbox_MACBYTES);
static_assert(SealRow::LeastLimits.ops == crypto_pwhash_OPSLIMIT_INTERACTIVE
              && SealRow::LeastLimits.mem == crypto_pwhash_MEMLIMIT_INTERACTIVE);

std::size_t sealBase64Length(std::size_t bytes)
{
    return sodium_base64_encoded_len(bytes, sodium_base64_VARIANT_ORIGINAL) - 1;
}

bool SealRow::saneLimits(qint64 ops, qint64 mem)
{
    return ops >= qint64(LeastLimits.ops) && ops <= qint64(MostLimits.ops) && mem >= qint64(LeastLimits.mem)
        && mem <= qint64(MostLimits.mem) && quint64(ops) * quint64(mem) <= MostWork;
}

QString sealBase64(const unsigned char* bytes, std::size_t size)
{
    QByteArray encoded(qsizetype(sealBase64Length(size)), Qt::Uninitialized);
    sodium_bin2base64(encoded.data(), std::size_t(encoded.size()) + 1, bytes, size, sodium_base64_VARIANT_ORIGINAL);
    return QString::fromLatin1(encoded);
}

bool sealFromBase64(QStringView text, unsigned char* out, std::size_t size)
{
    const QByteArray encoded = text.toLatin1();
    std::size_t decoded = 0;
    const char* end = nullptr;
    return sodium_base642bin(out, size, encoded.constData(), std::size_t(encoded.size()), nullptr, &decoded, &end,
                             sodium_base64_VARIANT_ORIGINAL)
        == 0
        && decoded == size && end == encoded.constData() + encoded.size();
}

QString SealRow::publicKeyText() const
{
    return sealBase64(publicKey.data(), publicKey.size());
}
