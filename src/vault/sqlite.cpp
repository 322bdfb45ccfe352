#include "vault/sqlite.h"

#include "vault/apperror.h"

#include <QFileInfo>
#include <QUrl>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int codeForSystemError(int errnum, int fallback)
{
    switch (errnum) {
    case EACCES:
    case EPERM:
    case EROFS:
        return ErrorCode::PathAccess;
    case ENOSPC:
    case EDQUOT:
        return ErrorCode::DiskFull;
    default:
        return fallback;
    }
}

// SQLite's own errno is unreliable once it has retried a failed journal
// open, so an unwritable folder is asked about directly.
bool folderRefusesWrites(sqlite3* db)
{
    const char* file = db ? sqlite3_db_filename(db, "main") : nullptr;
    if (!file || !*file)
        return false;
    const QByteArray folder = QFileInfo(QString::fromUtf8(file)).absolutePath().toUtf8();
    return ::faccessat(AT_FDCWD, folder.constData(), W_OK, AT_EACCESS) != 0
           && (errno == EACCES || errno == EPERM || errno == EROFS);
}

}  // namespace

void RaiseStoreError(sqlite3* db, int rc, const QString& context)
{
    const int primary = rc & 0xff;
    const int sysErrno = db ? sqlite3_system_errno(db) : 0;
    QString message = db ? QString::fromUtf8(sqlite3_errmsg(db)) : QString::fromUtf8(sqlite3_errstr(rc));
    if (message.isEmpty())
        message = QString::fromUtf8(sqlite3_errstr(rc));
    int code = ErrorCode::DatabaseFailure;
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
        code = codeForSystemError(sysErrno, sysErrno == ENOENT ? ErrorCode::VaultNotFound
                                                               : ErrorCode::DatabaseFailure);
        if (code != ErrorCode::PathAccess && folderRefusesWrites(db))
            code = ErrorCode::PathAccess;
        break;
    case SQLITE_IOERR:
        code = codeForSystemError(sysErrno, ErrorCode::DatabaseFailure);
        if (code != ErrorCode::PathAccess && folderRefusesWrites(db))
            code = ErrorCode::PathAccess;
        break;
    case SQLITE_FULL:
        code = ErrorCode::DiskFull;
        break;
    case SQLITE_NOTADB:
        code = ErrorCode::UnrecognizedFormat;
        message = QStringLiteral("Unrecognized database format, or not a valid password (%1).")
                      .arg(message);
        break;
    case SQLITE_CORRUPT:
        code = ErrorCode::VaultDamaged;
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
        struct stat info {};
        if (::stat(nativePath.constData(), &info) != 0) {
            if (errno == ENOENT)
                throw AppError(ErrorCode::VaultNotFound,
                               QStringLiteral("Could not find file '%1'.").arg(path), ErrorSource::Store);
            RaiseFileError(errno, path, QStringLiteral("open"));
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
        try {
            RaiseStoreError(db, rc, QStringLiteral("Cannot open '%1'").arg(path));
        } catch (...) {
            sqlite3_close_v2(db);
            throw;
        }
    }
    db_ = db;
    path_ = path;
    try {
        sqlite3_extended_result_codes(db_, 1);
        sqlite3_busy_timeout(db_, 5000);
        rc = sqlite3_key(db_, key.constData(), static_cast<int>(key.size()));
        if (rc != SQLITE_OK)
            RaiseStoreError(db_, rc, QStringLiteral("Cannot key '%1'").arg(path));
        Statement probe(*this, "select count(*) from sqlite_master");
        probe.step();
    } catch (...) {
        close();
        throw;
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
        RaiseStoreError(db_, rc, QString::fromUtf8(sql));
}

Statement::Statement(const Database& db, const char* sql) : db_(db.handle()), sql_(QString::fromUtf8(sql))
{
    if (!db_)
        throw AppError(ErrorCode::ObjectNotSet, QStringLiteral("Object variable not set: the vault is not open."),
                       ErrorSource::Store);
    const int rc = sqlite3_prepare_v2(db_, sql, -1, &stmt_, nullptr);
    if (rc != SQLITE_OK)
        RaiseStoreError(db_, rc, sql_);
}

Statement::~Statement()
{
    sqlite3_finalize(stmt_);
}

Statement& Statement::bind(int index, const QString& value)
{
    const QByteArray utf8 = value.toUtf8();
    const int rc = sqlite3_bind_text(stmt_, index, utf8.constData(), static_cast<int>(utf8.size()),
                                     SQLITE_TRANSIENT);
    if (rc != SQLITE_OK)
        RaiseStoreError(db_, rc, sql_);
    return *this;
}

Statement& Statement::bind(int index, qint64 value)
{
    const int rc = sqlite3_bind_int64(stmt_, index, value);
    if (rc != SQLITE_OK)
        RaiseStoreError(db_, rc, sql_);
    return *this;
}

bool Statement::step()
{
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW)
        return true;
    if (rc == SQLITE_DONE)
        return false;
    RaiseStoreError(db_, rc, sql_);
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

qint64 Statement::integer(int column) const
{
    return sqlite3_column_int64(stmt_, column);
}

bool Statement::isNull(int column) const
{
    return sqlite3_column_type(stmt_, column) == SQLITE_NULL;
}

Transaction::Transaction(Database& db) : db_(db)
{
    db_.exec("begin immediate");
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
