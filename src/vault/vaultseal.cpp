#include "vault/vaultseal.h"

#include "vault/apperror.h"
#include "vault/sqlite.h"
#include "vault/stringcipher.h"
#include "vault/vaultstore.h"
#include "vault/wipe.h"

#include <QFileInfo>
#include <QScopeGuard>
#include <QStringList>
#include <QStringView>
#include <algorithm>
#include <cstring>
#include <utility>

namespace {

// The text `create table` leaves in the schema, compared whole by the check.
constexpr const char* SealTableSql = "CREATE TABLE seal (version integer, publickey text, salt text, "
                                     "opslimit integer, memlimit integer, secretkey text)";

constexpr std::size_t KeyBytes = crypto_box_PUBLICKEYBYTES;
constexpr std::size_t NonceBytes = crypto_box_NONCEBYTES;
constexpr std::size_t MacBytes = crypto_box_MACBYTES;
constexpr std::size_t SaltBytes = crypto_pwhash_SALTBYTES;
constexpr std::size_t BoxedSecretKeyBytes =
    crypto_secretbox_NONCEBYTES + crypto_secretbox_MACBYTES + crypto_box_SECRETKEYBYTES;
// Texts are padded to whole blocks, so a stored password tells its length
// only in steps of this many bytes.
constexpr std::size_t PadBlock = 64;
constexpr std::size_t SealedHead = KeyBytes + NonceBytes + MacBytes;
constexpr std::size_t SharedKeysPerBlock = 128;
// A vault of countless writers (only a hostile one has them) must not grow
// the cache without end: beyond this many it starts afresh.
constexpr std::size_t SharedKeysKept = 32 * SharedKeysPerBlock;
// The most page cache a pass over a sealed vault's passwords sizes, as the
// store sizes it for an open vault.
constexpr qint64 CacheRoom = 48 * 1024 * 1024;
// How many passwords a conversion handles between two progress reports.
constexpr qint64 ProgressEvery = 500;

static_assert(crypto_box_NONCEBYTES == crypto_secretbox_NONCEBYTES);

std::size_t base64Length(std::size_t bytes)
{
    return sodium_base64_encoded_len(bytes, sodium_base64_VARIANT_ORIGINAL) - 1;
}

[[noreturn]] void damaged(const Database& db, const QString& what)
{
    throw AppError(ErrorCode::VaultDamaged,
                   QStringLiteral("The sealed vault '%1' is damaged: %2. It was left as it is.").arg(db.path(), what),
                   ErrorSource::Store);
}

[[noreturn]] void cipherFailure(const QString& why)
{
    throw AppError(ErrorCode::CipherFailure, why, ErrorSource::Cipher);
}

QString toBase64(const unsigned char* bytes, std::size_t size)
{
    QByteArray encoded(qsizetype(base64Length(size)), Qt::Uninitialized);
    sodium_bin2base64(encoded.data(), std::size_t(encoded.size()) + 1, bytes, size, sodium_base64_VARIANT_ORIGINAL);
    return QString::fromLatin1(encoded);
}

// Exactly `size` bytes out of base64 text, and nothing after them.
bool fromBase64(QStringView text, unsigned char* out, std::size_t size)
{
    const QByteArray encoded = text.toLatin1();
    std::size_t decoded = 0;
    const char* end = nullptr;
    return sodium_base642bin(out, size, encoded.constData(), std::size_t(encoded.size()), nullptr, &decoded, &end,
                             sodium_base64_VARIANT_ORIGINAL)
        == 0
        && decoded == size && end == encoded.constData() + encoded.size();
}

bool hasSealTable(const Database& db)
{
    Statement table(db, "select count(*) from sqlite_master where type = 'table' and name = 'seal'");
    return table.step() && table.integer(0) > 0;
}

bool saneLimits(qint64 ops, qint64 mem)
{
    const auto least = VaultSeal::LeastLimits;
    const auto most = VaultSeal::MostLimits;
    return ops >= qint64(least.ops) && ops <= qint64(most.ops) && mem >= qint64(least.mem) && mem <= qint64(most.mem)
        && quint64(ops) * quint64(mem) <= VaultSeal::MostWork;
}

// Fails the conversion when a write did not reach exactly one row.
void requireOneRow(Database& db, const char* what)
{
    if (sqlite3_changes(db.handle()) != 1)
        throw AppError(ErrorCode::DatabaseFailure,
                       QStringLiteral("Sealing changed no row of %1; nothing was converted.").arg(QLatin1String(what)),
                       ErrorSource::Store);
}

// A conversion's pass: every non-empty password opened by `open` and stored
// again as `close` gives it, the plain text wiped in between. Returns how
// many were rewritten.
using Conversion = std::function<QString(const QString&)>;
qint64 rewritePasswords(Database& db, const Conversion& open, const Conversion& close,
                        const VaultSeal::Progress& progress)
{
    std::vector<std::pair<qint64, QString>> rows;
    {
        Statement query(db, "select rowid, password from accounts where password <> ''");
        while (query.step())
            rows.emplace_back(query.integer(0), query.text(1));
    }
    const qint64 total = qint64(rows.size());
    Statement update(db, "update accounts set password = ? where rowid = ?");
    qint64 done = 0;
    for (const auto& [rowid, stored] : rows) {
        QString plain = open(stored);
        const QString converted = close(plain);
        Secrets::wipe(plain);
        update.bind(1, converted).bind(2, rowid);
        update.step();
        requireOneRow(db, "the accounts");
        update.reset();
        if (progress && ++done % ProgressEvery == 0)
            progress(done, total);
    }
    return total;
}

// Runs a conversion under the guard that lets it create or drop the seal
// table, with freed space zeroed so no old value stays behind in the file.
template <class Work> auto underSealingGuard(Database& db, Work&& work)
{
    const Database::Guard before = db.guard();
    db.setGuard(Database::Guard::Sealing);
    const auto restore = qScopeGuard([&] { db.setGuard(before); });
    db.exec("pragma secure_delete = on");
    return work();
}

}  // namespace

SecureBytes::SecureBytes(std::size_t size) : size_(size)
{
    requireSodium();
    // sodium_malloc(0) is no allocation; an empty value still needs a home.
    data_ = static_cast<unsigned char*>(sodium_malloc(std::max<std::size_t>(size, 1)));
    if (!data_)
        throw AppError(ErrorCode::CipherFailure, QStringLiteral("Out of memory for a key."), ErrorSource::Cipher);
}

SecureBytes::~SecureBytes()
{
    sodium_free(data_);
}

struct VaultSeal::Row {
    PublicKey publicKey{};
    std::array<unsigned char, SaltBytes> salt{};
    Limits limits;
    std::array<unsigned char, BoxedSecretKeyBytes> boxedSecretKey{};
};

bool VaultSeal::isSealTable(const QString& name, const QString& sql)
{
    return name == QLatin1String("seal") && sql == QLatin1String(SealTableSql);
}

VaultSeal::Row VaultSeal::readRow(const Database& db)
{
    {
        Statement count(db, "select count(*) from seal");
        if (!count.step() || count.integer(0) != 1)
            damaged(db, QStringLiteral("its seal table holds %1 rows, not one").arg(count.integer(0)));
    }
    // Types and sizes first: nothing but a row of the right shape is loaded.
    {
        Statement shape(db,
                        "select typeof(version), typeof(publickey), typeof(salt), typeof(opslimit), "
                        "typeof(memlimit), typeof(secretkey), octet_length(publickey), octet_length(salt), "
                        "octet_length(secretkey) from seal");
        shape.step();
        const QStringList types = {shape.text(0), shape.text(1), shape.text(2),
                                   shape.text(3), shape.text(4), shape.text(5)};
        const QStringList expected = {QStringLiteral("integer"), QStringLiteral("text"),    QStringLiteral("text"),
                                      QStringLiteral("integer"), QStringLiteral("integer"), QStringLiteral("text")};
        if (types != expected || shape.integer(6) != qint64(base64Length(KeyBytes))
            || shape.integer(7) != qint64(base64Length(SaltBytes))
            || shape.integer(8) != qint64(base64Length(BoxedSecretKeyBytes)))
            damaged(db, QStringLiteral("its seal row is not of the right shape"));
    }
    Statement values(db, "select version, publickey, salt, opslimit, memlimit, secretkey from seal");
    values.step();
    if (values.integer(0) != FormatVersion)
        damaged(
            db,
            QStringLiteral("its seal row is of format %1, which this Quillock does not know").arg(values.integer(0)));
    const qint64 ops = values.integer(3);
    const qint64 mem = values.integer(4);
    // Before anything is derived: a hostile row must not make us allocate.
    if (!saneLimits(ops, mem))
        damaged(db, QStringLiteral("its seal row asks for %1 passes over %2 bytes").arg(ops).arg(mem));
    Row row;
    row.limits = {quint64(ops), quint64(mem)};
    if (!fromBase64(values.text(1), row.publicKey.data(), row.publicKey.size())
        || !fromBase64(values.text(2), row.salt.data(), row.salt.size())
        || !fromBase64(values.text(5), row.boxedSecretKey.data(), row.boxedSecretKey.size()))
        damaged(db, QStringLiteral("its seal row holds a value that is not base64 of the right size"));
    return row;
}

void VaultSeal::requireIntact(const Database& db)
{
    if (!hasSealTable(db))
        return;
    readRow(db);
    // The master row is set, yet holds nothing the master password could be had from.
    Statement master(db, "select initialized, octet_length(password) from master");
    if (!master.step() || !master.isInteger(0) || master.integer(0) == 0)
        damaged(db, QStringLiteral("its master row is not initialised"));
    do {
        if (!master.isNull(1) && master.integer(1) != 0)
            damaged(db, QStringLiteral("its master row holds a password"));
    } while (master.step());
}

void VaultSeal::requireSealedPasswords(Database& db)
{
    if (!hasSealTable(db))
        return;
    // The pass leaves the pages in a cache of the vault's size (at most what
    // the store keeps for an open vault), where the compaction's export or
    // the first list finds them instead of deciphering them again.
    const qint64 size = QFileInfo(db.path()).size();
    if (size > 0 && size <= CacheRoom)
        db.exec(QStringLiteral("pragma cache_size = -%1").arg((size + size / 4) / 1024 + 1024).toUtf8().constData());
    // Every password sealed (or absent); compared without calling anything.
    Statement unsealed(db,
                       "select count(*) from accounts where password <> '' "
                       "and not (password >= 'seal:' and password < 'seal;')");
    unsealed.step();
    if (unsealed.integer(0) > 0)
        damaged(db, QStringLiteral("%1 of its passwords are not sealed").arg(unsealed.integer(0)));
}

std::unique_ptr<VaultSeal> VaultSeal::load(Database& db)
{
    if (!hasSealTable(db))
        return nullptr;
    const Row row = readRow(db);
    // After the schema check's passes, with the page cache sized: this pass
    // leaves the pages the first list reads in it.
    requireSealedPasswords(db);
    // A password rewritten or deleted leaves nothing of its old form behind.
    db.exec("pragma secure_delete = on");
    return std::unique_ptr<VaultSeal>(new VaultSeal(db, row.publicKey));
}

VaultSeal::VaultSeal(Database& db, const PublicKey& publicKey) : db_(db), publicKey_(publicKey)
{
    requireSodium();
}

VaultSeal::~VaultSeal()
{
    lock();
}

std::unique_ptr<SecureBytes> VaultSeal::deriveKey(const QByteArray& master, const unsigned char* salt, Limits limits)
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

bool VaultSeal::unlock(const QString& entry)
{
    lock();
    QByteArray utf8 = entry.toUtf8();
    const auto forget = qScopeGuard([&] { Secrets::wipe(utf8); });
    // Half a character has no UTF-8 form of its own: such an entry is never
    // the master password, as the plain comparison would find too.
    QString back = QString::fromUtf8(utf8);
    const bool whole = back == entry;
    Secrets::wipe(back);
    if (!whole)
        return false;

    const Row row = readRow(db_);
    if (row.publicKey != publicKey_)
        damaged(db_, QStringLiteral("its public key has changed"));
    const auto key = deriveKey(utf8, row.salt.data(), row.limits);
    auto secret = std::make_unique<SecureBytes>(crypto_box_SECRETKEYBYTES);
    const unsigned char* nonce = row.boxedSecretKey.data();
    if (crypto_secretbox_open_easy(secret->data(), nonce + NonceBytes, BoxedSecretKeyBytes - NonceBytes, nonce,
                                   key->data())
        != 0)
        return false;
    // A public key put in by someone else would take every later add.
    PublicKey belonging{};
    crypto_scalarmult_base(belonging.data(), secret->data());
    if (sodium_memcmp(belonging.data(), publicKey_.data(), belonging.size()) != 0)
        damaged(db_, QStringLiteral("its public key does not belong to its secret key"));
    secretKey_ = std::move(secret);
    entry_ = std::make_unique<SecureBytes>(std::size_t(utf8.size()));
    std::memcpy(entry_->data(), utf8.constData(), std::size_t(utf8.size()));
    limits_ = row.limits;
    return true;
}

void VaultSeal::lock()
{
    secretKey_.reset();
    entry_.reset();
    sharedKeys_.clear();
    sharedKeyBlocks_.clear();
    sharedKeysInLastBlock_ = 0;
    sodium_memzero(scratch_.data(), scratch_.size());
}

QString VaultSeal::unlockedEntry() const
{
    if (!entry_)
        return {};
    return QString::fromUtf8(reinterpret_cast<const char*>(entry_->data()), qsizetype(entry_->size()));
}

const unsigned char* VaultSeal::sharedKeyFor(const PublicKey& writer)
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

void VaultSeal::startWriter()
{
    SecureBytes writerSecret(crypto_box_SECRETKEYBYTES);
    crypto_box_keypair(writerPublic_.data(), writerSecret.data());
    auto shared = std::make_unique<SecureBytes>(crypto_box_BEFORENMBYTES);
    if (crypto_box_beforenm(shared->data(), publicKey_.data(), writerSecret.data()) != 0)
        damaged(db_, QStringLiteral("its public key seals nothing"));
    writerKey_ = std::move(shared);
}

QString VaultSeal::seal(const QString& plain)
{
    if (!writerKey_)
        startWriter();
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
    return Prefix + toBase64(sealed.data(), sealed.size());
}

QString VaultSeal::open(const QString& stored)
{
    if (stored.isEmpty())
        return {};
    if (!secretKey_)
        cipherFailure(QStringLiteral("The sealed vault is locked: no security check has opened it."));
    if (!stored.startsWith(Prefix))
        cipherFailure(QStringLiteral("The stored password is not sealed."));
    const QByteArray encoded = QStringView(stored).mid(Prefix.size()).toLatin1();
    if (std::size_t(encoded.size()) < base64Length(SealedHead + PadBlock))
        cipherFailure(QStringLiteral("The sealed password is not valid."));
    std::vector<unsigned char> sealed(std::size_t(encoded.size()));
    std::size_t length = 0;
    const char* end = nullptr;
    if (sodium_base642bin(sealed.data(), sealed.size(), encoded.constData(), std::size_t(encoded.size()), nullptr,
                          &length, &end, sodium_base64_VARIANT_ORIGINAL)
            != 0
        || end != encoded.constData() + encoded.size() || length < SealedHead + PadBlock
        || (length - SealedHead) % PadBlock != 0)
        cipherFailure(QStringLiteral("The sealed password is not valid."));

    PublicKey writer;
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

void VaultSeal::changeMasterPassword(const QString& master)
{
    if (!secretKey_)
        cipherFailure(QStringLiteral("The sealed vault is locked: no security check has opened it."));
    QByteArray utf8 = master.toUtf8();
    const auto forget = qScopeGuard([&] { Secrets::wipe(utf8); });
    // Limits raised since the vault was sealed apply from the next change on.
    const Limits limits{std::max(limits_.ops, DefaultLimits.ops), std::max(limits_.mem, DefaultLimits.mem)};
    std::array<unsigned char, SaltBytes> salt{};
    randombytes_buf(salt.data(), salt.size());
    const auto key = deriveKey(utf8, salt.data(), limits);
    std::array<unsigned char, BoxedSecretKeyBytes> boxed{};
    randombytes_buf(boxed.data(), NonceBytes);
    crypto_secretbox_easy(boxed.data() + NonceBytes, secretKey_->data(), crypto_box_SECRETKEYBYTES, boxed.data(),
                          key->data());

    Transaction transaction(db_);
    Statement update(db_, "update seal set salt = ?, opslimit = ?, memlimit = ?, secretkey = ?");
    update.bind(1, toBase64(salt.data(), salt.size())).bind(2, qint64(limits.ops)).bind(3, qint64(limits.mem));
    update.bind(4, toBase64(boxed.data(), boxed.size()));
    update.step();
    requireOneRow(db_, "the seal table");
    transaction.commit();
    limits_ = limits;
}

qint64 VaultSeal::sealVault(VaultStore& vault, const QString& master, const Progress& progress)
{
    if (vault.seal_)
        throw AppError(ErrorCode::DatabaseFailure, QStringLiteral("The vault is sealed already."), ErrorSource::Store);
    if (!vault.isInitialized())
        throw AppError(ErrorCode::NoCurrentRecord,
                       QStringLiteral("The vault has no master password yet; start Quillock once to choose one."),
                       ErrorSource::Store);
    if (!masterPasswordOpens(vault, master))
        throw AppError(ErrorCode::CipherFailure, QStringLiteral("That is not the vault's master password."),
                       ErrorSource::Cipher);
    Database& db = vault.db_;
    const qint64 sealedCount = underSealingGuard(db, [&] {
        Transaction transaction(db);
        PublicKey publicKey{};
        SecureBytes secretKey(crypto_box_SECRETKEYBYTES);
        crypto_box_keypair(publicKey.data(), secretKey.data());
        std::array<unsigned char, SaltBytes> salt{};
        randombytes_buf(salt.data(), salt.size());
        QByteArray utf8 = master.toUtf8();
        const auto forget = qScopeGuard([&] { Secrets::wipe(utf8); });
        std::array<unsigned char, BoxedSecretKeyBytes> boxed{};
        {
            const auto key = deriveKey(utf8, salt.data(), DefaultLimits);
            randombytes_buf(boxed.data(), NonceBytes);
            crypto_secretbox_easy(boxed.data() + NonceBytes, secretKey.data(), crypto_box_SECRETKEYBYTES, boxed.data(),
                                  key->data());
        }
        db.exec(SealTableSql);
        {
            Statement insert(db,
                             "insert into seal (version, publickey, salt, opslimit, memlimit, secretkey) "
                             "values (?, ?, ?, ?, ?, ?)");
            insert.bind(1, FormatVersion).bind(2, toBase64(publicKey.data(), publicKey.size()));
            insert.bind(3, toBase64(salt.data(), salt.size())).bind(4, qint64(DefaultLimits.ops));
            insert.bind(5, qint64(DefaultLimits.mem)).bind(6, toBase64(boxed.data(), boxed.size()));
            insert.step();
        }

        VaultSeal writer(db, publicKey);
        const qint64 total = rewritePasswords(
            db, [](const QString& stored) { return Decrypt(stored); },
            [&](const QString& plain) { return writer.seal(plain); }, progress);
        db.exec("update master set password = ''");
        transaction.commit();
        return total;
    });
    vault.seal_ = load(db);
    if (progress)
        progress(sealedCount, sealedCount);
    return sealedCount;
}

qint64 VaultSeal::unsealVault(VaultStore& vault, const QString& master, const Progress& progress)
{
    if (!vault.seal_)
        throw AppError(ErrorCode::DatabaseFailure, QStringLiteral("The vault is not sealed."), ErrorSource::Store);
    VaultSeal& seal = *vault.seal_;
    // A caller that has just checked the entry has unlocked the seal with it.
    if (!seal.isUnlocked() || seal.unlockedEntry() != master) {
        if (!seal.unlock(master))
            throw AppError(ErrorCode::CipherFailure, QStringLiteral("That is not the vault's master password."),
                           ErrorSource::Cipher);
    }
    Database& db = vault.db_;
    const qint64 openedCount = underSealingGuard(db, [&] {
        Transaction transaction(db);
        const qint64 total = rewritePasswords(
            db, [&](const QString& stored) { return seal.open(stored); },
            [](const QString& plain) { return Encrypt(plain); }, progress);
        // The master row as creation writes it.
        {
            Statement first(db, "select rowid from master limit 1");
            if (!first.step())
                damaged(db, QStringLiteral("its master row is missing"));
            Statement update(db, "update master set password = ? where rowid = ?");
            update.bind(1, Encrypt(master)).bind(2, first.integer(0));
            update.step();
            requireOneRow(db, "the master table");
        }
        db.exec("drop table seal");
        transaction.commit();
        return total;
    });
    vault.seal_.reset();
    if (progress)
        progress(openedCount, openedCount);
    return openedCount;
}

bool masterPasswordOpens(VaultStore& vault, const QString& entry)
{
    if (VaultSeal* seal = vault.seal())
        return seal->unlock(entry);
    QString stored = Decrypt(vault.storedMasterPassword());
    const bool match = entry == stored;
    Secrets::wipe(stored);
    return match;
}

void storeMasterPassword(VaultStore& vault, const QString& master, bool markInitialized)
{
    if (VaultSeal* seal = vault.seal())
        seal->changeMasterPassword(master);
    else
        vault.storeMasterPassword(Encrypt(master), markInitialized);
}

QString currentMasterPassword(VaultStore& vault)
{
    VaultSeal* seal = vault.seal();
    if (!seal)
        return Decrypt(vault.storedMasterPassword());
    if (!seal->isUnlocked())
        cipherFailure(QStringLiteral("The sealed vault is locked: no security check has opened it."));
    return seal->unlockedEntry();
}

QString openPassword(VaultStore& vault, const QString& stored)
{
    return vault.seal() ? vault.seal()->open(stored) : decryptField(stored);
}

QString passwordToStore(VaultStore& vault, const QString& plain)
{
    return vault.seal() ? vault.seal()->seal(plain) : Encrypt(plain);
}

void lockSeal(VaultStore& vault)
{
    if (VaultSeal* seal = vault.seal())
        seal->lock();
}
