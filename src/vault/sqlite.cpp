#include "vault/sqlite.h"

#include "vault/apperror.h"

#include <QFileInfo>
#include <QScopeGuard>
#include <QUrl>
#include <cerrno>
#include <fcntl.h>
#include <initializer_list>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

// SQLite's own errno is unreliable once it has retried a failed journal
// open, so an unwritable folder is asked about directly.
bool folderRefusesWrites(sqlite3* db)
{
    const char* file = db ? sqlite3_db_filename(db, "main") : nullptr;
    if (!file || !*file)
        return false;
    const QByteArray folder = QFileInfo(QString::fromUtf8(file)).absolutePath().toUtf8();
    return ::faccessat(AT_FDCWD, folder.constData(), W_OK, AT_EACCESS) != 0
        && errorCodeForErrno(errno, 0) == ErrorCode::PathAccess;
}

// sqlcipher_export reports the failure of its inner statements only as
// SQLite's text for their result, and SQLite a function the guard refused
// as a plain error: the result they stand for, else SQLITE_ERROR.
int innerResult(const QString& message)
{
    for (const int inner : {SQLITE_TOOBIG, SQLITE_FULL})
        if (message.contains(QLatin1String(sqlite3_errstr(inner))))
            return inner;
    if (message.contains(QLatin1String("not authorized")))
        return SQLITE_AUTH;
    return SQLITE_ERROR;
}

bool named(const char* text, std::initializer_list<const char*> names)
{
    if (!text)
        return false;
    for (const char* name : names)
        if (sqlite3_stricmp(text, name) == 0)
            return true;
    return false;
}

bool isVaultTable(const char* table)
{
    return named(table, {"accounts", "master", "seal"});
}

// Caps on what a hostile file can make the engine hold or parse. None is
// near what the program's own statements or a real vault need.
void limitConnection(sqlite3* db)
{
    sqlite3_limit(db, SQLITE_LIMIT_LENGTH, MaxValueBytes);
    sqlite3_limit(db, SQLITE_LIMIT_SQL_LENGTH, 100000);
    sqlite3_limit(db, SQLITE_LIMIT_COLUMN, 100);
    sqlite3_limit(db, SQLITE_LIMIT_EXPR_DEPTH, 100);
    sqlite3_limit(db, SQLITE_LIMIT_COMPOUND_SELECT, 10);
    sqlite3_limit(db, SQLITE_LIMIT_FUNCTION_ARG, 8);
    sqlite3_limit(db, SQLITE_LIMIT_ATTACHED, 1);
}

}  // namespace

void raiseStoreError(sqlite3* db, int rc, const QString& context)
{
    int primary = rc & 0xff;
    const int sysErrno = db ? sqlite3_system_errno(db) : 0;
    QString message = db ? QString::fromUtf8(sqlite3_errmsg(db)) : QString::fromUtf8(sqlite3_errstr(rc));
    if (message.isEmpty())
        message = QString::fromUtf8(sqlite3_errstr(rc));
    int code = ErrorCode::DatabaseFailure;
    if (primary == SQLITE_ERROR)
        primary = innerResult(message);
    switch (primary) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        code = ErrorCode::Busy;
        message = QStringLiteral("The vault is in use by another program (%1).").arg(message);
        break;
    case SQLITE_READONLY:
    case SQLITE_PERM:
        code = ErrorCode::PathAccess;
        break;
    case SQLITE_CANTOPEN:
    case SQLITE_IOERR:
        // A file the store cannot find to open is its vault.
        code = primary == SQLITE_CANTOPEN && sysErrno == ENOENT
            ? ErrorCode::VaultNotFound
            : errorCodeForErrno(sysErrno, ErrorCode::DatabaseFailure);
        if (code != ErrorCode::PathAccess && folderRefusesWrites(db))
            code = ErrorCode::PathAccess;
        break;
    case SQLITE_FULL:
        code = ErrorCode::DiskFull;
        break;
    case SQLITE_NOTADB:
        code = ErrorCode::UnrecognizedFormat;
        message = QStringLiteral("Unrecognized database format, or not a valid password (%1).").arg(message);
        break;
    case SQLITE_CORRUPT:
        code = ErrorCode::VaultDamaged;
        break;
    case SQLITE_TOOBIG:
        code = ErrorCode::UntrustedVault;
        message = QStringLiteral("The vault holds a row larger than %1 MB, which Quillock does not read (%2).")
                      .arg(MaxValueBytes / (1024 * 1024))
                      .arg(message);
        break;
    case SQLITE_AUTH:
        code = ErrorCode::UntrustedVault;
        message = QStringLiteral("Quillock does not do this on its vault (%1).").arg(message);
        break;
    default:
        break;
    }
    throw AppError(code, QStringLiteral("%1: %2").arg(context, message), ErrorSource::Store);
}

Database::~Database()
{
    if (db_)
        sqlite3_close_v2(db_);
}

void Database::open(const QString& path, const QByteArray& key, bool create)
{
    close();
    const QByteArray nativePath = path.toUtf8();
    if (!create) {
        struct stat info { };
        if (::stat(nativePath.constData(), &info) != 0) {
            if (errno == ENOENT)
                throw AppError(ErrorCode::VaultNotFound, QStringLiteral("Could not find file '%1'.").arg(path),
                               ErrorSource::Store);
            raiseFileError(errno, path, QStringLiteral("open"));
        }
    }
    // The connection may create files it attaches (the compaction target),
    // but the vault itself is opened with mode=rw and is never created.
    QUrl uri = QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath());
    uri.setQuery(create ? QStringLiteral("mode=rwc") : QStringLiteral("mode=rw"));
    const QByteArray name = uri.toEncoded();
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_URI;
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(name.constData(), &db, flags, nullptr);
    if (rc != SQLITE_OK) {
        const auto closeFailed = qScopeGuard([db] { sqlite3_close_v2(db); });
        raiseStoreError(db, rc, QStringLiteral("Cannot open '%1'").arg(path));
    }
    db_ = db;
    path_ = path;
    guard_ = create ? Guard::Building : Guard::Vault;
    auto closeOnFailure = qScopeGuard([this] { close(); });
    applyGuards();
    rc = sqlite3_key(db_, key.constData(), static_cast<int>(key.size()));
    if (rc != SQLITE_OK)
        raiseStoreError(db_, rc, QStringLiteral("Cannot key '%1'").arg(path));
    // Every vault keeps the format it has always had.
    exec(VaultFormat);
    // A sort or temporary table that spilled into a file would hold field
    // text in the clear; this build of the engine spills by default.
    exec("pragma temp_store = memory");
    Statement probe(*this, "select count(*) from sqlite_master");
    probe.step();
    closeOnFailure.dismiss();
}

// A vault file is untrusted input: limits, no code of the file's own, and
// the authorizer on every statement.
void Database::applyGuards()
{
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_timeout(db_, 5000);
    limitConnection(db_);
    // The file's schema and rows are parsed only as data: nothing in them
    // runs, and nothing a statement does may write the file beneath SQL.
    const std::pair<int, int> settings[] = {{SQLITE_DBCONFIG_ENABLE_TRIGGER, 0},
                                            {SQLITE_DBCONFIG_DEFENSIVE, 1},
                                            {SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0},
                                            {SQLITE_DBCONFIG_ENABLE_VIEW, 0},
                                            {SQLITE_DBCONFIG_ENABLE_LOAD_EXTENSION, 0}};
    for (const auto& [option, wanted] : settings) {
        int now = -1;
        const int rc = sqlite3_db_config(db_, option, wanted, &now);
        if (rc != SQLITE_OK || now != wanted)
            raiseStoreError(db_, rc == SQLITE_OK ? SQLITE_ERROR : rc,
                            QStringLiteral("Cannot guard the connection to '%1'").arg(path_));
    }
    const int rc = sqlite3_set_authorizer(db_, &Database::authorize, this);
    if (rc != SQLITE_OK)
        raiseStoreError(db_, rc, QStringLiteral("Cannot guard '%1'").arg(path_));
}

int Database::authorize(void* self, int action, const char* first, const char* second, const char* database,
                        const char* trigger)
{
    // Triggers are off; anything asked on behalf of one is refused all the same.
    if (trigger)
        return SQLITE_DENY;
    return static_cast<const Database*>(self)->allows(action, first, second, database) ? SQLITE_OK : SQLITE_DENY;
}

// Exactly what the program's statements and sqlcipher_export (measured on
// SQLCipher 4.6) ask for; the schema check has made sure that the export
// meets nothing but the two tables and plain indexes on them.
bool Database::allows(int action, const char* first, const char* second, const char* database) const
{
    const bool building = guard_ == Guard::Building;
    const bool compacting = guard_ == Guard::Compaction;
    const bool sealing = guard_ == Guard::Sealing && named(first, {"seal", "sqlite_master"});
    // SQLite names no database for a count that reads no column.
    const bool main = !database || named(database, {"main"});
    const bool copy = compacting && named(database, {"compacted"});
    const bool schemaTable = named(first, {"sqlite_master"});
    switch (action) {
    case SQLITE_SELECT:
    case SQLITE_TRANSACTION:
        return true;
    case SQLITE_READ:  // table, column
        return (main || copy) && (isVaultTable(first) || schemaTable);
    case SQLITE_INSERT:
    case SQLITE_UPDATE:
    case SQLITE_DELETE:  // table
        if ((main || copy) && isVaultTable(first))
            return true;
        // Creating a table or an index writes its row of the schema.
        return schemaTable && (action != SQLITE_DELETE || sealing) && (copy || (main && (building || sealing)));
    case SQLITE_CREATE_TABLE:  // table
        return isVaultTable(first) && (copy || (main && (building || sealing)));
    case SQLITE_DROP_TABLE:  // table
        return main && sealing;
    case SQLITE_CREATE_INDEX:  // index, table
        return isVaultTable(second) && (copy || (main && building));
    case SQLITE_REINDEX:
        return copy;
    case SQLITE_FUNCTION:  // -, function
        return named(second, {"count", "octet_length", "typeof"})
            || (compacting && named(second, {"sqlcipher_export", "substr", "like", "quote"}));
    case SQLITE_PRAGMA:  // pragma, argument
        if (named(first, {"cipher_compatibility"}))
            return (main || copy) && named(second, {"3"});
        if (named(first, {"cipher_default_compatibility"}))
            return compacting && named(second, {"3"});
        if (!main)
            return false;
        if (named(first, {"table_xinfo", "index_list"}))
            return isVaultTable(second);
        if (named(first, {"secure_delete"}))
            return named(second, {"on"});
        if (named(first, {"temp_store"}))
            return !second || named(second, {"memory"});
        return named(first, {"index_xinfo", "data_version", "cache_size"});
    case SQLITE_ATTACH:  // file name when written as a literal: ours is bound
        return compacting && !first;
    case SQLITE_DETACH:
        return compacting && named(first, {"compacted"});
    default:
        return false;
    }
}

void Database::close()
{
    if (db_) {
        sqlite3_close_v2(db_);
        db_ = nullptr;
    }
}

void Database::exec(const char* sql)
{
    char* error = nullptr;
    const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &error);
    sqlite3_free(error);
    if (rc != SQLITE_OK)
        raiseStoreError(db_, rc, QString::fromUtf8(sql));
}

Statement::Statement(const Database& db, const char* sql) : db_(db.handle()), sql_(QString::fromUtf8(sql))
{
    if (!db_)
        throw AppError(ErrorCode::ObjectNotSet, QStringLiteral("Object variable not set: the vault is not open."),
                       ErrorSource::Store);
    const int rc = sqlite3_prepare_v2(db_, sql, -1, &stmt_, nullptr);
    if (rc != SQLITE_OK)
        raiseStoreError(db_, rc, sql_);
}

Statement::~Statement()
{
    sqlite3_finalize(stmt_);
}

Statement& Statement::bind(int index, const QString& value)
{
    const QByteArray utf8 = value.toUtf8();
    const int rc = sqlite3_bind_text(stmt_, index, utf8.constData(), static_cast<int>(utf8.size()), SQLITE_TRANSIENT);
    if (rc != SQLITE_OK)
        raiseStoreError(db_, rc, sql_);
    return *this;
}

Statement& Statement::bind(int index, qint64 value)
{
    const int rc = sqlite3_bind_int64(stmt_, index, value);
    if (rc != SQLITE_OK)
        raiseStoreError(db_, rc, sql_);
    return *this;
}

bool Statement::step()
{
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW)
        return true;
    if (rc == SQLITE_DONE)
        return false;
    raiseStoreError(db_, rc, sql_);
}

void Statement::changeOneRow()
{
    step();
    const int changed = sqlite3_changes(db_);
    if (changed != 1)
        throw AppError(
            ErrorCode::DatabaseFailure,
            QStringLiteral("%1: changed %2 rows where one was meant; nothing was stored.").arg(sql_).arg(changed),
            ErrorSource::Store);
}

void Statement::reset()
{
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
}

QString Statement::text(int column) const
{
    const auto* data = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
    const int bytes = sqlite3_column_bytes(stmt_, column);
    return data ? QString::fromUtf8(data, bytes) : QString();
}

QUtf8StringView Statement::utf8(int column) const
{
    const auto* data = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
    return QUtf8StringView(data, sqlite3_column_bytes(stmt_, column));
}

qint64 Statement::integer(int column) const
{
    return sqlite3_column_int64(stmt_, column);
}

bool Statement::isNull(int column) const
{
    return sqlite3_column_type(stmt_, column) == SQLITE_NULL;
}

Transaction::Transaction(Database& db, Kind kind) : db_(db)
{
    db_.exec(kind == Kind::Write ? "begin immediate" : "begin");
}

Transaction::~Transaction()
{
    if (open_)
        sqlite3_exec(db_.handle(), "rollback", nullptr, nullptr, nullptr);
}

void Transaction::commit()
{
    db_.exec("commit");
    open_ = false;
}

bool Statement::isInteger(int column) const
{
    return sqlite3_column_type(stmt_, column) == SQLITE_INTEGER;
}
