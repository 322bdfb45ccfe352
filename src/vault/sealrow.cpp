#include "vault/sealrow.h"

#include "vault/apperror.h"
#include "vault/sqlite.h"
#include "vault/vaultschema.h"

#include <QStringList>
#include <cstring>
#include <sodium.h>

static_assert(SealRow::KeyBytes == crypto_box_PUBLICKEYBYTES && SealRow::KeyBytes == crypto_box_SECRETKEYBYTES);
static_assert(SealRow::SaltBytes == crypto_pwhash_SALTBYTES);
static_assert(SealRow::NonceBytes == crypto_secretbox_NONCEBYTES && SealRow::NonceBytes == crypto_box_NONCEBYTES);
static_assert(SealRow::MacBytes == crypto_secretbox_MACBYTES);
static_assert(SealRow::LeastLimits.ops == crypto_pwhash_OPSLIMIT_INTERACTIVE
              && SealRow::LeastLimits.mem == crypto_pwhash_MEMLIMIT_INTERACTIVE);

namespace {

std::size_t base64Length(std::size_t bytes)
{
    return sodium_base64_encoded_len(bytes, sodium_base64_VARIANT_ORIGINAL) - 1;
}

bool saneLimits(qint64 ops, qint64 mem)
{
    const auto least = SealRow::LeastLimits;
    const auto most = SealRow::MostLimits;
    return ops >= qint64(least.ops) && ops <= qint64(most.ops) && mem >= qint64(least.mem) && mem <= qint64(most.mem)
        && quint64(ops) * quint64(mem) <= SealRow::MostWork;
}

// The columns as the schema lists them, `each` shaping one.
QByteArray sealColumns(const char* each = "%1")
{
    QStringList columns;
    for (const auto& column : VaultSchema::Seal.columns)
        // "?" names no column: arg() would warn of it.
        columns << (std::strchr(each, '%') ? QString::fromLatin1(each).arg(QLatin1String(column.first))
                                           : QString::fromLatin1(each));
    return columns.join(QLatin1String(", ")).toUtf8();
}

// Binds the row's values as parameters 1 to 6, in the columns' order.
void bindRow(Statement& statement, const SealRow& row)
{
    statement.bind(1, VaultSchema::SealVersion).bind(2, row.publicKeyText());
    statement.bind(3, sealBase64(row.salt.data(), row.salt.size())).bind(4, qint64(row.limits.ops));
    statement.bind(5, qint64(row.limits.mem));
    statement.bind(6, sealBase64(row.boxedSecretKey.data(), row.boxedSecretKey.size()));
}

}  // namespace

void raiseVaultDamaged(const Database& db, const QString& what)
{
    throw AppError(ErrorCode::VaultDamaged,
                   QStringLiteral("The vault '%1' is damaged: %2. It was left as it is.").arg(db.path(), what),
                   ErrorSource::Store);
}

QString sealBase64(const unsigned char* bytes, std::size_t size)
{
    QByteArray encoded(qsizetype(base64Length(size)), Qt::Uninitialized);
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

SealRow SealRow::read(const Database& db)
{
    {
        Statement count(db, "select count(*) from seal");
        if (!count.step() || count.integer(0) != 1)
            raiseVaultDamaged(db, QStringLiteral("its seal table holds %1 rows, not one").arg(count.integer(0)));
    }
    // Types and sizes first: nothing but a row of the right shape is loaded.
    const QByteArray shapeSql = "select " + sealColumns("typeof(%1)")
        + ", octet_length(publickey), octet_length(salt), octet_length(secretkey) from seal";
    Statement shape(db, shapeSql.constData());
    shape.step();
    const auto& columns = VaultSchema::Seal.columns;
    for (int i = 0; i < int(columns.size()); ++i)
        if (shape.text(i) != QLatin1String(columns[std::size_t(i)].second))
            raiseVaultDamaged(db, QStringLiteral("its seal row is not of the right shape"));
    if (shape.integer(6) != qint64(base64Length(KeyBytes)) || shape.integer(7) != qint64(base64Length(SaltBytes))
        || shape.integer(8) != qint64(base64Length(BoxedSecretKeyBytes)))
        raiseVaultDamaged(db, QStringLiteral("its seal row is not of the right shape"));

    const QByteArray valuesSql = "select " + sealColumns() + " from seal";
    Statement values(db, valuesSql.constData());
    values.step();
    // The one place a later format would be told apart.
    if (values.integer(0) != VaultSchema::SealVersion)
        raiseVaultDamaged(
            db,
            QStringLiteral("its seal row is of format %1, which this Quillock does not know").arg(values.integer(0)));
    const qint64 ops = values.integer(3);
    const qint64 mem = values.integer(4);
    // Before anything is derived: a hostile row must not make us allocate.
    if (!saneLimits(ops, mem))
        raiseVaultDamaged(db, QStringLiteral("its seal row asks for %1 passes over %2 bytes").arg(ops).arg(mem));
    SealRow row;
    row.limits = {quint64(ops), quint64(mem)};
    if (!sealFromBase64(values.text(1), row.publicKey.data(), row.publicKey.size())
        || !sealFromBase64(values.text(2), row.salt.data(), row.salt.size())
        || !sealFromBase64(values.text(5), row.boxedSecretKey.data(), row.boxedSecretKey.size()))
        raiseVaultDamaged(db, QStringLiteral("its seal row holds a value that is not base64 of the right size"));
    return row;
}

void SealRow::insert(Database& db) const
{
    db.exec(VaultSchema::createStatement(VaultSchema::Seal).toUtf8().constData());
    const QByteArray sql = "insert into seal (" + sealColumns() + ") values (" + sealColumns("?") + ")";
    Statement insert(db, sql.constData());
    bindRow(insert, *this);
    insert.changeOneRow();
}

void SealRow::replace(Database& db) const
{
    const QByteArray sql = "update seal set " + sealColumns("%1 = ?");
    Statement update(db, sql.constData());
    bindRow(update, *this);
    update.changeOneRow();
}

QString SealRow::publicKeyText() const
{
    return sealBase64(publicKey.data(), publicKey.size());
}
