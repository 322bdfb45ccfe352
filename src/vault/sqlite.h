#pragma once

#include <QString>
#include <QUtf8StringView>
#include <sqlite3.h>

// A thin RAII layer over the SQLCipher C API. Every failure becomes an
// AppError whose code start-up and the commands can act on.

// The largest row a connection reads or writes: far above anything the
// dialogs let a user type, far below what would exhaust memory.
inline constexpr int MaxValueBytes = 4 * 1024 * 1024;

// SQLCipher 3's page format, key derivation and HMAC: the format every
// vault was written in, kept on every connection and on the compacted copy.
inline constexpr const char* VaultFormat = "pragma cipher_compatibility = 3";

[[noreturn]] void raiseStoreError(sqlite3* db, int rc, const QString& context);

// A vault file is untrusted input. Every connection runs with triggers off,
// with small limits, and with a guard (an authorizer) that refuses whatever
// Quillock itself never asks of its vault.
class Database {
public:
    enum class Guard {
        Vault,  // rows of `accounts` and `master`, the schema pragmas
        Building,  // also creating those two tables (a fresh file)
        Compaction,  // also sqlcipher_export into the attached "compacted"
        Sealing,  // also creating and dropping the seal table (sealing, unsealing, re-keying)
    };

    Database() = default;
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    // Opens an existing file (never creates one unless `create` is set),
    // applies the key and reads from it at once so a wrong key or a foreign
    // file fails here and not at the first query. `create` opens with the
    // building guard, anything else with the vault guard.
    void open(const QString& path, const QByteArray& key, bool create = false);
    void setGuard(Guard guard) { guard_ = guard; }
    Guard guard() const { return guard_; }
    void close();
    bool isOpen() const { return db_ != nullptr; }
    sqlite3* handle() const { return db_; }
    const QString& path() const { return path_; }

    void exec(const char* sql);

private:
    void applyGuards();
    static int authorize(void* self, int action, const char* first, const char* second, const char* database,
                         const char* trigger);
    bool allows(int action, const char* first, const char* second, const char* database) const;

    sqlite3* db_ = nullptr;
    QString path_;
    Guard guard_ = Guard::Vault;
};

class Statement {
public:
    Statement(const Database& db, const char* sql);
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& bind(int index, const QString& value);
    Statement& bind(int index, qint64 value);
    // Advances to the next row; false once past the last one.
    bool step();
    // Runs a write meant for exactly one row; raises when it changed any
    // other number, so that the caller's transaction stores nothing.
    void changeOneRow();
    void reset();

    // A Null reads as empty text; numbers read as their text form.
    QString text(int column) const;
    // The column's UTF-8 as SQLite holds it, valid until the next step.
    QUtf8StringView utf8(int column) const;
    qint64 integer(int column) const;
    bool isNull(int column) const;
    bool isInteger(int column) const;

private:
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
    QString sql_;
};

// Begins an immediate transaction (or, for reading, a deferred one that
// keeps every statement on one snapshot); rolls back unless committed.
class Transaction {
public:
    enum class Kind { Write, Read };
    explicit Transaction(Database& db, Kind kind = Kind::Write);
    ~Transaction();
    void commit();

private:
    Database& db_;
    bool open_ = true;
};
