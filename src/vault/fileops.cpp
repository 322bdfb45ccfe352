#include "vault/fileops.h"

#include "vault/apperror.h"

#include <QFileInfo>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace FileOps {

namespace {
QByteArray native(const QString& path)
{
    return path.toUtf8();
}
}  // namespace

bool exists(const QString& path)
{
    struct stat info {};
    if (::stat(native(path).constData(), &info) == 0)
        return true;
    if (errno == ENOENT || errno == ENOTDIR)
        return false;
    RaiseFileError(errno, path, QStringLiteral("test for"));
}

void createEmpty(const QString& path)
{
    const int fd = ::open(native(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (errno == EEXIST)
            throw AppError(ErrorCode::DatabaseFailure, QStringLiteral("Database '%1' already exists.").arg(path),
                           ErrorSource::Files);
        RaiseFileError(errno, path, QStringLiteral("create"));
    }
    ::close(fd);
}

void remove(const QString& path)
{
    if (::unlink(native(path).constData()) != 0)
        RaiseFileError(errno, path, QStringLiteral("delete"));
}

void removeIfExists(const QString& path)
{
    if (::unlink(native(path).constData()) != 0 && errno != ENOENT)
        RaiseFileError(errno, path, QStringLiteral("delete"));
}

void rename(const QString& from, const QString& to)
{
    if (::rename(native(from).constData(), native(to).constData()) != 0)
        RaiseFileError(errno, to, QStringLiteral("replace"));
}

void linkNoReplace(const QString& from, const QString& to)
{
    if (::link(native(from).constData(), native(to).constData()) != 0) {
        if (errno == EEXIST)
            throw AppError(ErrorCode::DatabaseFailure,
                           QStringLiteral("'%1' exists already; a vault is never overwritten.").arg(to),
                           ErrorSource::Files);
        RaiseFileError(errno, to, QStringLiteral("create"));
    }
}

void syncFile(const QString& path)
{
    const int fd = ::open(native(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        RaiseFileError(errno, path, QStringLiteral("open"));
    const int rc = ::fsync(fd);
    const int err = errno;
    ::close(fd);
    if (rc != 0)
        RaiseFileError(err, path, QStringLiteral("flush"));
}

void syncFolderOf(const QString& path)
{
    const QString folder = QFileInfo(path).absolutePath();
    const int fd = ::open(native(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;  // the rename itself is done; flushing the folder is best effort
    ::fsync(fd);
    ::close(fd);
}

}  // namespace FileOps

VaultLock::VaultLock(const QString& folder) : folder_(folder)
{
    fd_ = ::open(folder.toUtf8().constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0)
        RaiseFileError(errno, folder, QStringLiteral("open"));
}

VaultLock::~VaultLock()
{
    if (fd_ >= 0)
        ::close(fd_);
}

void VaultLock::takeExclusive()
{
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK)
            throw AppError(ErrorCode::Busy,
                           QStringLiteral("The vault is open in another copy of the program."),
                           ErrorSource::Store);
        RaiseFileError(errno, folder_, QStringLiteral("lock"));
    }
}

void VaultLock::share()
{
    while (::flock(fd_, LOCK_SH) != 0) {
        if (errno != EINTR)
            RaiseFileError(errno, folder_, QStringLiteral("lock"));
    }
}
