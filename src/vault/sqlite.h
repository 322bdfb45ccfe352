#pragma once

#include <QString>
#include <sqlite3.h>

// A thin RAII layer over the SQLCipher C API. Every failure becomes an
// AppError whose code start-up and the commands can act on.

[[noreturn]] void RaiseStoreError(sqlite3* db, int rc, const QString& context);

class Database {
public:
    Database() = default;
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    // Opens an existing file (never creates one unless `create` is set),
    // applies the key and reads from it at once so a wrong key or a foreign
    // file fails here and not at the first query.
    void open(const QString& path, const QByteArray& key, bool create = false);
    void close();
    bool isOpen() const { return db_ != nullptr; }
    sqlite3* handle() const { return db_; }
    const QString& path() const { return path_; }

    void exec(const char* sql);

private:
    sqlite3* db_ = nullptr;
    QString path_;
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
    void reset();

    // A Null reads as empty text; numbers read as their text form.
    QString text(int column) const;
    qint64 integer(int column) const;
    bool isNull(int column) const;
    bool isInteger(int column) const;

private:
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
    QString sql_;
};

// Begins an immediate transaction; rolls back unless committed.
class Transaction {
public:
    explicit Transaction(Database& db);
    ~Transaction();
    void commit();

private:
    Database& db_;
    bool open_ = true;
};
