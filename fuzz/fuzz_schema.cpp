// A vault whose schema another program wrote: rows of sqlite_master with
// any type, name, root page and text. Opening it and reading its accounts
// either raises the one error value or meets exactly a fresh vault's two
// tables. Never a crash, and nothing in the file ever runs.
#include "vault/apperror.h"
#include "vault/sqlite.h"
#include "vault/vaultschema.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fuzzer/FuzzedDataProvider.h>
#include <string>
#include <unistd.h>

namespace {

[[noreturn]] void fail(const char* what, const QString& detail)
{
    std::fprintf(stderr, "%s: %s\n", what, detail.toUtf8().constData());
    std::abort();
}

// Texts the engine has to parse: the vault's own, near misses, and the
// statements that other programs put in a schema.
const char* const Seeds[] = {
    "CREATE TABLE accounts (account text, username text, password text, url text, hint text, notes text)",
    "CREATE TABLE master (key text, password text, initialized boolean)",
    "CREATE TABLE x AS SELECT 1",
    "CREATE TABLE accounts (account text unique on conflict replace, username, password, url, hint, notes)",
    "CREATE INDEX i ON accounts (account collate nocase desc)",
    "CREATE INDEX i ON accounts (username collate unicode_nocase)",
    "CREATE VIEW v AS SELECT * FROM accounts",
    "CREATE TRIGGER t AFTER INSERT ON accounts BEGIN DELETE FROM master; END",
    "CREATE VIRTUAL TABLE f USING fts4(x)",
    "CREATE TABLE \"accounts\" ([account] text, `username` text, 'password' text, url text, hint text, notes text)",
};

std::string schemaText(FuzzedDataProvider& input)
{
    std::string text = input.ConsumeBool() ? Seeds[input.ConsumeIntegralInRange<size_t>(0, std::size(Seeds) - 1)]
                                           : input.ConsumeRandomLengthString(300);
    // A few bytes changed, cut or put in.
    const int changes = input.ConsumeIntegralInRange<int>(0, 3);
    for (int i = 0; i < changes && !text.empty(); ++i) {
        const auto at = input.ConsumeIntegralInRange<size_t>(0, text.size() - 1);
        switch (input.ConsumeIntegralInRange<int>(0, 2)) {
        case 0:
            text[at] = char(input.ConsumeIntegral<uint8_t>());
            break;
        case 1:
            text.erase(at, input.ConsumeIntegralInRange<size_t>(1, 12));
            break;
        default:
            text.insert(at, input.ConsumeRandomLengthString(16));
            break;
        }
    }
    return text;
}

// A raw key, which SQLCipher uses as it is: deriving one would slow every
// run down. The engine refuses an empty key, and with it every input.
const QByteArray RawKey = "x'" + QByteArray(64, '5') + "'";

// A fresh vault's tables with the fuzzer's rows written into its schema,
// as a program that ignores every guard would.
void writeVault(const QString& path, FuzzedDataProvider& input)
{
    ::unlink(path.toUtf8().constData());
    sqlite3* db = nullptr;
    sqlite3_open(path.toUtf8().constData(), &db);
    sqlite3_key(db, RawKey.constData(), int(RawKey.size()));
    sqlite3_exec(db, VaultFormat, nullptr, nullptr, nullptr);
    sqlite3_exec(db, "pragma synchronous = off; pragma journal_mode = off; begin", nullptr, nullptr, nullptr);
    for (const VaultSchema::Table* table : {&VaultSchema::Accounts, &VaultSchema::Master})
        sqlite3_exec(db, VaultSchema::createStatement(*table).toUtf8().constData(), nullptr, nullptr, nullptr);
    // An index of its own, whose page the fuzzer's index rows can name: the
    // file has no other page an index could stand on.
    sqlite3_exec(db, "create index i on accounts (account)", nullptr, nullptr, nullptr);
    sqlite3_exec(db,
                 "insert into master values ('master', '', 0);"
                 "insert into accounts values ('a', '', '', 'http://', '', '');"
                 "pragma writable_schema = 1;",
                 nullptr, nullptr, nullptr);
    const int rows = input.ConsumeIntegralInRange<int>(0, 3);
    for (int i = 0; i < rows; ++i) {
        static const char* const Types[] = {"table", "index", "view", "trigger"};
        sqlite3_stmt* insert = nullptr;
        const bool replace = input.ConsumeBool();  // the text of one of the vault's own tables or its index
        sqlite3_prepare_v2(db,
                           replace ? "update sqlite_master set sql = ?5, rootpage = ?4 where name = ?2"
                                   : "insert into sqlite_master values (?1, ?2, ?3, ?4, ?5)",
                           -1, &insert, nullptr);
        const std::string type =
            input.ConsumeBool() ? Types[input.ConsumeIntegralInRange<int>(0, 3)] : input.ConsumeRandomLengthString(8);
        static const char* const Names[] = {"accounts", "master", "i"};
        const std::string name =
            input.ConsumeBool() ? Names[input.ConsumeIntegralInRange<int>(0, 2)] : input.ConsumeRandomLengthString(12);
        const std::string sql = schemaText(input);
        sqlite3_bind_text(insert, 1, type.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(insert, 2, name.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(insert, 3, name.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(insert, 4, input.ConsumeIntegralInRange<int>(0, 6));
        sqlite3_bind_text(insert, 5, sql.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_step(insert);
        sqlite3_finalize(insert);
    }
    sqlite3_exec(db, "commit", nullptr, nullptr, nullptr);
    sqlite3_close(db);
}

// The statements the store runs on an open vault.
void readAccounts(const Database& db)
{
    Statement order(db, "select rowid, account from accounts");
    while (order.step()) {
        Statement row(db, "select rowid, account, username, password, url, hint, notes from accounts where rowid = ?");
        row.bind(1, order.integer(0));
        row.step();
    }
    Statement master(db, "select password from master where key = 'master'");
    master.step();
}

bool builtInCollation(const QString& name)
{
    return QStringList{QStringLiteral("BINARY"), QStringLiteral("NOCASE"), QStringLiteral("RTRIM")}.contains(
        name, Qt::CaseInsensitive);
}

// In memory where there is a file system for it: every run writes a file.
QString scratchVault()
{
    static QByteArray name;
    const char* folder = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    name = QByteArray(folder) + "/quillock-fuzz-schema-" + QByteArray::number(::getpid()) + ".mdb";
    std::atexit([] { ::unlink(name.constData()); });
    return QString::fromUtf8(name);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const QString path = scratchVault();
    FuzzedDataProvider input(data, size);
    writeVault(path, input);
    Database db;
    try {
        db.open(path, RawKey);
        VaultSchema::require(db);
        readAccounts(db);
    } catch (const AppError&) {
        return 0;
    }
    // Passed: the two tables, nothing else of theirs, and every guard holds.
    Statement tables(db, "select count(*) from sqlite_master where type <> 'index'");
    if (tables.step() && tables.integer(0) != 2)
        fail("the check let a schema pass that is not a vault's", path);
    // Indexes only on columns, in an order the engine itself defines.
    Statement indexes(db, "select name from sqlite_master where type = 'index'");
    while (indexes.step()) {
        const std::string name = indexes.text(0).replace(QLatin1Char('"'), QLatin1String("\"\"")).toStdString();
        Statement columns(db, ("pragma index_xinfo(\"" + name + "\")").c_str());
        while (columns.step())
            if (columns.integer(5) != 0 && (columns.integer(1) == -2 || !builtInCollation(columns.text(4))))
                fail("the check let an index pass that the engine cannot sort by itself", path);
    }
    return 0;
}
