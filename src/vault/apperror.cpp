#include "vault/apperror.h"

#include <cerrno>
#include <cstring>

AppError::AppError(int code, QString description, QString source)
    : code_(code), description_(std::move(description)), source_(std::move(source))
{
    what_ = QStringLiteral("%1 (%2, %3)").arg(description_).arg(code_).arg(source_).toUtf8();
}

void RaiseFileError(int errnum, const QString& path, const QString& action)
{
    const QString detail = QStringLiteral("Cannot %1 '%2': %3")
                               .arg(action, path, QString::fromLocal8Bit(std::strerror(errnum)));
    switch (errnum) {
    case EACCES:
    case EPERM:
    case EROFS:
        throw AppError(ErrorCode::PathAccess, detail, ErrorSource::Files);
    case ENOENT:
        throw AppError(ErrorCode::FileNotFound, detail, ErrorSource::Files);
    case ENOSPC:
    case EDQUOT:
        throw AppError(ErrorCode::DiskFull, detail, ErrorSource::Files);
    case EBUSY:
    case ETXTBSY:
        throw AppError(ErrorCode::Busy, detail, ErrorSource::Files);
    default:
        throw AppError(ErrorCode::FileFailure, detail, ErrorSource::Files);
    }
}
