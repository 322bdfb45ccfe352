// A sealed vault's seal row and sealed passwords, as another program could
// leave them. A seal row is taken exactly when it is well-formed with sane
// Argon2id limits, and refused as a damaged vault otherwise; opening a
// stored password raises the cipher's error or gives exactly the text that
// was sealed. Never a crash, never some other text, never a derivation.
#include "vault/apperror.h"
#include "vault/sqlite.h"
#include "vault/stringcipher.h"
#include "vault/vaultseal.h"
#include "vault/vaultstore.h"

#include <QByteArray>
#include <QDir>
#include <QString>
#include <QTemporaryDir>
#include <array>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fuzzer/FuzzedDataProvider.h>
#include <memory>

namespace {

[[noreturn]] void fail(const char* what, const QString& detail)
{
    std::fprintf(stderr, "%s: %s\n", what, detail.toUtf8().constData());
    std::abort();
}

const QString Master = QStringLiteral("fuzzing-master");

// One sealed vault for the whole run, its seal unlocked once: every input
// rewrites its seal row through a second connection.
struct Vault {
    std::unique_ptr<QTemporaryDir> folder;
    std::unique_ptr<VaultStore> store;
    Database raw;
    QString publicKey, salt, secretKey;
};

Vault& vault()
{
    static Vault v;
    if (!v.store) {
        const QString base = QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm") : QDir::tempPath();
        v.folder = std::make_unique<QTemporaryDir>(base + QStringLiteral("/quillock-fuzz-XXXXXX"));
        const QString path = v.folder->filePath(QStringLiteral("data.mdb"));
        VaultStore::createFresh(path);
        v.store = VaultStore::open(path);
        v.store->storeMasterPassword(Encrypt(Master), true);
        VaultSeal::sealVault(*v.store, Master);
        if (!MasterPasswordOpens(*v.store, Master))
            fail("the fresh seal does not open", Master);
        v.raw.open(path, VaultStore::DatabasePassword);
        Statement row(v.raw, "select publickey, salt, secretkey from seal");
        row.step();
        v.publicKey = row.text(0);
        v.salt = row.text(1);
        v.secretKey = row.text(2);
    }
    return v;
}

// One column's value: Null, an integer, text or a blob.
struct Value {
    int type = SQLITE_NULL;
    qint64 number = 0;
    QByteArray bytes;
};

// Base64 of exactly `size` bytes, in the alphabet's own characters (the
// decoder alone would take some bytes beyond it for digits).
bool exactBase64(const Value& value, size_t size)
{
    if (value.type != SQLITE_TEXT || value.bytes.size() != qsizetype(sodium_base64_encoded_len(size, 1) - 1))
        return false;
    for (const char c : value.bytes)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '/' && c != '=')
            return false;
    std::vector<unsigned char> out(size);
    size_t decoded = 0;
    const char* end = nullptr;
    return sodium_base642bin(out.data(), size, value.bytes.constData(), size_t(value.bytes.size()), nullptr, &decoded,
                             &end, sodium_base64_VARIANT_ORIGINAL)
        == 0
        && decoded == size && end == value.bytes.constData() + value.bytes.size();
}

// What a well-formed seal row is, said once more in other words.
bool wellFormed(const std::array<Value, 6>& row)
{
    const Value& ops = row[3];
    const Value& mem = row[4];
    const auto least = VaultSeal::LeastLimits;
    const auto most = VaultSeal::MostLimits;
    return row[0].type == SQLITE_INTEGER && row[0].number == VaultSeal::FormatVersion
        && exactBase64(row[1], crypto_box_PUBLICKEYBYTES) && exactBase64(row[2], crypto_pwhash_SALTBYTES)
        && exactBase64(row[5], 72) && ops.type == SQLITE_INTEGER && mem.type == SQLITE_INTEGER
        && ops.number >= qint64(least.ops) && ops.number <= qint64(most.ops) && mem.number >= qint64(least.mem)
        && mem.number <= qint64(most.mem) && quint64(ops.number) * quint64(mem.number) <= VaultSeal::MostWork;
}

void checkRow(Vault& v, const std::array<Value, 6>& row)
{
    v.raw.exec("delete from seal");
    // Straight on the C API: Statement binds neither blobs nor Nulls.
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(v.raw.handle(),
                       "insert into seal (version, publickey, salt, opslimit, memlimit, secretkey) "
                       "values (?, ?, ?, ?, ?, ?)",
                       -1, &statement, nullptr);
    for (int i = 0; i < 6; ++i) {
        const Value& value = row[size_t(i)];
        switch (value.type) {
        case SQLITE_INTEGER:
            sqlite3_bind_int64(statement, i + 1, value.number);
            break;
        case SQLITE_TEXT:
            sqlite3_bind_text(statement, i + 1, value.bytes.constData(), int(value.bytes.size()), SQLITE_TRANSIENT);
            break;
        case SQLITE_BLOB:
            sqlite3_bind_blob(statement, i + 1, value.bytes.constData(), int(value.bytes.size()), SQLITE_TRANSIENT);
            break;
        default:
            sqlite3_bind_null(statement, i + 1);
        }
    }
    if (sqlite3_step(statement) != SQLITE_DONE)
        fail("the seal row could not be written", QString::fromUtf8(sqlite3_errmsg(v.raw.handle())));
    sqlite3_finalize(statement);
    // Judged as stored: the columns' affinities turn "8" into 8 and 8 into "8".
    std::array<Value, 6> stored;
    sqlite3_prepare_v2(v.raw.handle(), "select version, publickey, salt, opslimit, memlimit, secretkey from seal", -1,
                       &statement, nullptr);
    sqlite3_step(statement);
    for (int i = 0; i < 6; ++i) {
        Value& value = stored[size_t(i)];
        value.type = sqlite3_column_type(statement, i);
        value.number = sqlite3_column_int64(statement, i);
        value.bytes =
            QByteArray(static_cast<const char*>(sqlite3_column_blob(statement, i)), sqlite3_column_bytes(statement, i));
    }
    sqlite3_finalize(statement);
    bool taken = true;
    try {
        VaultSeal::requireIntact(v.raw);
        if (!VaultSeal::load(v.raw))
            fail("a vault with a seal row loaded no seal", QString());
    } catch (const AppError& error) {
        if (error.code() != ErrorCode::VaultDamaged)
            fail("a seal row was refused with a foreign error", error.description());
        taken = false;
    }
    if (taken != wellFormed(stored))
        fail(taken ? "a malformed seal row was taken" : "a well-formed seal row was refused",
             QString::fromLatin1(stored[1].bytes + ' ' + stored[2].bytes + ' ' + stored[5].bytes));
}

// Whatever opening gives must be text that seals and opens unchanged.
void checkOpen(VaultSeal& seal, const QString& stored, const QString* expected)
{
    QString plain;
    try {
        plain = seal.open(stored);
    } catch (const AppError& error) {
        if (error.code() != ErrorCode::CipherFailure || error.source() != ErrorSource::Cipher)
            fail("opening raised a foreign error", error.description());
        return;
    }
    if (expected && plain != *expected)
        fail("opening gave other text than was sealed", stored);
    if (QString::fromUtf8(plain.toUtf8()) != plain)
        fail("opening gave text that is not well-formed", stored);
    if (seal.open(seal.seal(plain)) != plain)
        fail("opened text does not round-trip", stored);
}

Value consumeValue(FuzzedDataProvider& input)
{
    Value value;
    static constexpr int Types[] = {SQLITE_NULL, SQLITE_INTEGER, SQLITE_TEXT, SQLITE_BLOB};
    value.type = Types[input.ConsumeIntegralInRange<int>(0, 3)];
    if (value.type == SQLITE_INTEGER)
        value.number =
            input.ConsumeBool() ? input.ConsumeIntegralInRange<qint64>(-2, 1ll << 31) : input.ConsumeIntegral<qint64>();
    else if (value.type != SQLITE_NULL)
        value.bytes = QByteArray::fromStdString(input.ConsumeRandomLengthString(120));
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    Vault& v = vault();
    VaultSeal& seal = *v.store->seal();
    switch (input.ConsumeIntegralInRange<int>(0, 3)) {
    case 0: {
        // A seal row of arbitrary values.
        std::array<Value, 6> row;
        for (Value& value : row)
            value = consumeValue(input);
        checkRow(v, row);
        break;
    }
    case 1: {
        // The real seal row, changed in up to four places.
        std::array<Value, 6> row = {
            Value{SQLITE_INTEGER, VaultSeal::FormatVersion, {}},
            Value{SQLITE_TEXT, 0, v.publicKey.toLatin1()},
            Value{SQLITE_TEXT, 0, v.salt.toLatin1()},
            Value{SQLITE_INTEGER, qint64(VaultSeal::DefaultLimits.ops), {}},
            Value{SQLITE_INTEGER, qint64(VaultSeal::DefaultLimits.mem), {}},
            Value{SQLITE_TEXT, 0, v.secretKey.toLatin1()},
        };
        const int changes = input.ConsumeIntegralInRange<int>(0, 4);
        for (int i = 0; i < changes; ++i) {
            Value& value = row[input.ConsumeIntegralInRange<size_t>(0, 5)];
            switch (input.ConsumeIntegralInRange<int>(0, 2)) {
            case 0:
                value = consumeValue(input);
                break;
            case 1:
                // Wrapping, as the stored integer would.
                value.number = qint64(quint64(value.number)
                                      + quint64(input.ConsumeIntegralInRange<qint64>(-(1ll << 32), 1ll << 32)));
                break;
            default:
                if (!value.bytes.isEmpty())
                    value.bytes[input.ConsumeIntegralInRange<qsizetype>(0, value.bytes.size() - 1)] =
                        input.ConsumeIntegral<char>();
            }
        }
        checkRow(v, row);
        break;
    }
    case 2: {
        // Arbitrary stored text, as it is and as a sealed password.
        const std::string bytes = input.ConsumeRemainingBytesAsString();
        const QString text = QString::fromUtf8(bytes.data(), qsizetype(bytes.size()));
        checkOpen(seal, text, nullptr);
        checkOpen(seal, VaultSeal::Prefix + QString::fromLatin1(bytes.data(), qsizetype(bytes.size())), nullptr);
        break;
    }
    default: {
        // A real sealed password of arbitrary text, then damaged in places.
        const std::string typed = input.ConsumeRandomLengthString(256);
        const QString plain = QString::fromUtf8(typed.data(), qsizetype(typed.size()));
        QString sealed = seal.seal(plain);
        if (seal.open(sealed) != plain)
            fail("a fresh sealed password does not open to its text", plain);
        const int changes = input.ConsumeIntegralInRange<int>(0, 4);
        for (int i = 0; i < changes && !sealed.isEmpty(); ++i) {
            const auto at = input.ConsumeIntegralInRange<qsizetype>(0, sealed.size() - 1);
            switch (input.ConsumeIntegralInRange<int>(0, 2)) {
            case 0:
                sealed[at] = QChar(input.ConsumeIntegral<char16_t>());
                break;
            case 1:
                sealed.remove(at, input.ConsumeIntegralInRange<qsizetype>(1, 8));
                break;
            default:
                sealed.insert(at, QChar(input.ConsumeIntegral<uint8_t>()));
                break;
            }
        }
        checkOpen(seal, sealed, &plain);
        break;
    }
    }
    return 0;
}
