#include "vault/apperror.h"

#include <cerrno>
#include <cstring>

AppError::AppError(int code, QString description, QString source)
    : code_(code), description_(std::move(description)), source_(std::move(source))
{
    what_ = QStringLiteral("%1 (%2, %3)").arg(description_).arg(code_).arg(source_).toUtf8();
}

int errorCodeForErrno(int errnum, int otherwise)
{
    switch (errnum) {
    case EACCES:
    case EPERM:
    case EROFS:
        return ErrorCode::PathAccess;
    case ENOSPC:
    case EDQUOT:
        return ErrorCode::DiskFull;
    // The file is held by someone else (a mount, a running program): like a
    // vault another copy holds, it is used as it is.
    case EBUSY:
    case ETXTBSY:
        return ErrorCode::Busy;
    case ENOENT:
        return ErrorCode::FileNotFound;
    default:
        return otherwise;
    }
}

void raiseFileError(int errnum, const QString& path, const QString& action)
{
    const QString detail =
        QStringLiteral("Cannot %1 '%2': %3").arg(action, path, QString::fromLocal8Bit(std::strerror(errnum)));
    // A folder where a file operation wants a file is a path access error,
    // which start-up skips; the store still reports a vault that is a folder
    // as one it cannot open.
    const int code = errnum == EISDIR ? ErrorCode::PathAccess : errorCodeForErrno(errnum, ErrorCode::FileFailure);
    throw AppError(code, detail, ErrorSource::Files);
}
