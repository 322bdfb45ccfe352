// A sealed vault's seal row and sealed passwords, as another program could
// leave them. The seal row, its real values damaged in up to four places,
// is taken exactly when it is well-formed with sane Argon2id limits and is
// refused as a damaged vault otherwise, with nothing derived. Opening a
// stored password raises the cipher's error or gives exactly the text that
// was sealed.
#include "vault/apperror.h"
#include "vault/sealkeys.h"
#include "vault/sqlite.h"
#include "vault/stringcipher.h"
#include "vault/vaultschema.h"
#include "vault/vaultstore.h"

#include <QDir>
#include <QTemporaryDir>
#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fuzzer/FuzzedDataProvider.h>
#include <sodium.h>

namespace {

[[noreturn]] void fail(const char* what, const QByteArray& detail)
{
    std::fprintf(stderr, "%s: %s\n", what, detail.constData());
    std::abort();
}

struct Value {
    int type = SQLITE_NULL;
    qint64 number = 0;
    QByteArray bytes;
};
using Row = std::array<Value, 6>;  // version, publickey, salt, opslimit, memlimit, secretkey

// One sealed vault for the run, its seal unlocked once; a second connection
// rewrites its seal row for every input.
struct Vault {
    QTemporaryDir folder{(QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm") : QDir::tempPath())
                         + QStringLiteral("/quillock-fuzz-XXXXXX")};
    std::unique_ptr<VaultStore> store;
    Database raw;
    Row real;
    std::unique_ptr<SealIdentity> identity;
    std::unique_ptr<SealRecipient> recipient;
};

Vault& vault()
{
    static Vault v;
    if (!v.store) {
        const QString path = v.folder.filePath(QStringLiteral("data.mdb"));
        const QString master = QStringLiteral("fuzzing-master");
        // Sealing records the vault in the user's configuration: this one's.
        qputenv("XDG_CONFIG_HOME", v.folder.path().toUtf8());
        VaultStore::createFresh(path);
        v.store = VaultStore::open(path);
        v.store->storeMasterPassword(Encrypt(QStringLiteral("plain-master")), true);
        v.store->seal(QStringLiteral("plain-master"), master);
        v.raw.open(path, VaultStore::DatabasePassword);
        const SealRow sealRow = VaultSchema::readSealRow(v.raw);
        v.identity = SealIdentity::unlock(v.raw, sealRow, master);
        if (!v.identity)
            fail("the fresh seal does not open", {});
        v.recipient = std::make_unique<SealRecipient>(sealRow.publicKey);
        Statement row(v.raw, "select publickey, salt, secretkey from seal");
        row.step();
        const auto text = [&](int column) { return Value{SQLITE_TEXT, 0, row.text(column).toLatin1()}; };
        const auto number = [](quint64 n) { return Value{SQLITE_INTEGER, qint64(n), {}}; };
        v.real = {number(quint64(VaultSchema::SealVersion)), text(0), text(1), number(SealRow::DefaultLimits.ops),
                  number(SealRow::DefaultLimits.mem),        text(2)};
    }
    return v;
}

// Base64 of exactly `size` bytes, in the alphabet's own characters (the
// decoder alone takes some bytes above 0x7F for digits).
bool exactBase64(const Value& value, size_t size)
{
    std::vector<unsigned char> out(size);
    size_t decoded = 0;
    const char* end = nullptr;
    return value.type == SQLITE_TEXT && value.bytes.size() == qsizetype(sodium_base64_encoded_len(size, 1) - 1)
        && std::all_of(
               value.bytes.begin(), value.bytes.end(),
               [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '/' || c == '='; })
        && sodium_base642bin(out.data(), size, value.bytes.constData(), size_t(value.bytes.size()), nullptr, &decoded,
                             &end, sodium_base64_VARIANT_ORIGINAL)
        == 0
        && decoded == size && end == value.bytes.constData() + value.bytes.size();
}

// A well-formed seal row, said once more in other words.
bool wellFormed(const Row& row)
{
    const qint64 ops = row[3].number, mem = row[4].number;
    return row[0].type == SQLITE_INTEGER && row[0].number == VaultSchema::SealVersion && exactBase64(row[1], 32)
        && exactBase64(row[2], 16) && exactBase64(row[5], 72) && row[3].type == SQLITE_INTEGER
        && row[4].type == SQLITE_INTEGER && ops >= 2 && ops <= 64 && mem >= (64ll << 20) && mem <= (1ll << 30)
        && ops * mem <= (4ll << 30);
}

void checkRow(Vault& v, const Row& row)
{
    v.raw.exec("delete from seal");
    // Straight on the C API, to bind blobs and Nulls; then read back as
    // stored, for the columns' affinities turn "8" into 8 and 8 into "8".
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(v.raw.handle(), "insert into seal values (?, ?, ?, ?, ?, ?)", -1, &statement, nullptr);
    for (int i = 0; i < 6; ++i) {
        const Value& value = row[size_t(i)];
        if (value.type == SQLITE_INTEGER)
            sqlite3_bind_int64(statement, i + 1, value.number);
        else if (value.type == SQLITE_TEXT)
            sqlite3_bind_text(statement, i + 1, value.bytes.constData(), int(value.bytes.size()), SQLITE_TRANSIENT);
        else if (value.type == SQLITE_BLOB)
            sqlite3_bind_blob(statement, i + 1, value.bytes.constData(), int(value.bytes.size()), SQLITE_TRANSIENT);
    }
    sqlite3_step(statement);
    sqlite3_finalize(statement);
    Row stored;
    sqlite3_prepare_v2(v.raw.handle(), "select * from seal", -1, &statement, nullptr);
    sqlite3_step(statement);
    for (int i = 0; i < 6; ++i)
        stored[size_t(i)] = {sqlite3_column_type(statement, i), sqlite3_column_int64(statement, i),
                             QByteArray(static_cast<const char*>(sqlite3_column_blob(statement, i)),
                                        sqlite3_column_bytes(statement, i))};
    sqlite3_finalize(statement);

    bool taken = true;
    try {
        VaultSchema::readSealRow(v.raw);
    } catch (const AppError& error) {
        if (error.code() != ErrorCode::VaultDamaged)
            fail("a seal row was refused with a foreign error", error.what());
        taken = false;
    }
    if (taken != wellFormed(stored))
        fail(taken ? "a malformed seal row was taken" : "a well-formed seal row was refused",
             stored[1].bytes + ' ' + stored[2].bytes + ' ' + stored[5].bytes);
}

void checkOpen(Vault& v, const QString& stored, const QString* expected)
{
    QString plain;
    try {
        plain = v.identity->open(stored);
    } catch (const AppError& error) {
        if (error.code() != ErrorCode::CipherFailure || error.source() != ErrorSource::Cipher)
            fail("opening raised a foreign error", error.what());
        return;
    }
    if ((expected && plain != *expected) || QString::fromUtf8(plain.toUtf8()) != plain
        || v.identity->open(v.recipient->seal(plain)) != plain)
        fail("opening gave other text than was sealed", stored.toUtf8());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    Vault& v = vault();
    const int changes = input.ConsumeIntegralInRange<int>(0, 4);
    if (input.ConsumeBool()) {
        Row row = v.real;
        for (int i = 0; i < changes; ++i) {
            Value& value = row[input.ConsumeIntegralInRange<size_t>(0, 5)];
            switch (input.ConsumeIntegralInRange<int>(0, 2)) {
            case 0:
                value.type = std::array{SQLITE_NULL, SQLITE_INTEGER, SQLITE_TEXT,
                                        SQLITE_BLOB}[input.ConsumeIntegralInRange<int>(0, 3)];
                value.number = input.ConsumeIntegral<qint64>();
                value.bytes = QByteArray::fromStdString(input.ConsumeRandomLengthString(120));
                break;
            case 1:  // wrapping, as the stored integer would
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
        return 0;
    }
    // A real sealed password of arbitrary text, damaged in places; and the
    // arbitrary text itself as a stored value.
    const std::string typed = input.ConsumeRandomLengthString(256);
    const QString plain = QString::fromUtf8(typed.data(), qsizetype(typed.size()));
    checkOpen(v, VaultSchema::SealedPrefix + QString::fromLatin1(typed.data(), qsizetype(typed.size())), nullptr);
    QString sealed = v.recipient->seal(plain);
    for (int i = 0; i < changes; ++i) {
        const auto at = input.ConsumeIntegralInRange<qsizetype>(0, sealed.size() - 1);
        if (input.ConsumeBool())
            sealed[at] = QChar(input.ConsumeIntegral<char16_t>());
        else
            sealed.remove(at, input.ConsumeIntegralInRange<qsizetype>(1, 8));
        if (sealed.isEmpty())
            break;
    }
    checkOpen(v, sealed, &plain);
    return 0;
}
