#include "vault/fileops.h"

#include "vault/apperror.h"

#include <QDir>
#include <QFileInfo>
#include <QScopeGuard>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
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
    struct stat info { };
    if (::stat(native(path).constData(), &info) == 0)
        return true;
    if (errno == ENOENT || errno == ENOTDIR)
        return false;
    raiseFileError(errno, path, QStringLiteral("test for"));
}

void raiseExists(const QString& path)
{
    throw AppError(ErrorCode::DatabaseFailure, QStringLiteral("'%1' exists already; it is never replaced.").arg(path),
                   ErrorSource::Files);
}

namespace {
// Created with O_EXCL, so never through a link.
FileHandle createNew(const QString& path)
{
    FileHandle file(::open(native(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file.isOpen()) {
        if (errno == EEXIST)
            raiseExists(path);
        raiseFileError(errno, path, QStringLiteral("create"));
    }
    return file;
}

// ".NAME.PID." before the random part: whoever finds it later can tell
// whether the program writing it is still there.
QString scratchPrefix(const QString& name)
{
    return QStringLiteral(".%1.%2.").arg(name).arg(::getpid());
}
}  // namespace

void createEmpty(const QString& path)
{
    createNew(path).close(path);
}

void remove(const QString& path)
{
    if (::unlink(native(path).constData()) != 0)
        raiseFileError(errno, path, QStringLiteral("delete"));
}

void removeIfExists(const QString& path)
{
    if (::unlink(native(path).constData()) != 0 && errno != ENOENT)
        raiseFileError(errno, path, QStringLiteral("delete"));
}

void rename(const QString& from, const QString& to)
{
    if (::rename(native(from).constData(), native(to).constData()) != 0)
        raiseFileError(errno, to, QStringLiteral("replace"));
}

void syncFile(const QString& path)
{
    const FileHandle file(::open(native(path).constData(), O_RDONLY | O_CLOEXEC));
    if (!file.isOpen())
        raiseFileError(errno, path, QStringLiteral("open"));
    if (::fsync(file.get()) != 0)
        raiseFileError(errno, path, QStringLiteral("flush"));
}

void syncFolderOf(const QString& path)
{
    const QString folder = QFileInfo(path).absolutePath();
    const FileHandle handle(::open(native(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (handle.isOpen())
        ::fsync(handle.get());  // the rename itself is done; flushing the folder is best effort
}

bool isSymlink(const QString& path)
{
    struct stat info { };
    if (::lstat(native(path).constData(), &info) == 0)
        return S_ISLNK(info.st_mode);
    if (errno == ENOENT || errno == ENOTDIR)
        return false;
    raiseFileError(errno, path, QStringLiteral("test for"));
}

QString resolved(const QString& path)
{
    char buffer[PATH_MAX];
    if (!::realpath(native(path).constData(), buffer))
        raiseFileError(errno, path, QStringLiteral("resolve"));
    return QString::fromUtf8(buffer);
}

qint64 linkCount(const QString& path)
{
    struct stat info { };
    if (::stat(native(path).constData(), &info) != 0)
        raiseFileError(errno, path, QStringLiteral("test for"));
    return static_cast<qint64>(info.st_nlink);
}

void restrictToOwner(const QString& path)
{
    const QByteArray name = native(path);
    struct stat info { };
    if (::stat(name.constData(), &info) == 0 && (info.st_mode & 077) != 0)
        ::chmod(name.constData(), info.st_mode & 0700);
}

QString createPrivateFolder(const QString& folder, const QString& prefix)
{
    QByteArray name = native(folder + QLatin1Char('/') + prefix + QStringLiteral("XXXXXX"));
    if (!::mkdtemp(name.data()))
        raiseFileError(errno, folder, QStringLiteral("create a folder in"));
    return QString::fromUtf8(name);
}

void removePrivateFolder(const QString& path)
{
    const QByteArray name = native(path);
    struct stat info { };
    if (::lstat(name.constData(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid())
        return;
    const QDir folder(path);
    for (const QString& entry : folder.entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot))
        ::unlink(native(folder.filePath(entry)).constData());
    ::rmdir(name.constData());
}

void removePrivateFolders(const QString& folder, const QString& prefix)
{
    const QDir dir(folder);
    for (const QString& entry :
         dir.entryList({prefix + QLatin1Char('*')}, QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot))
        removePrivateFolder(dir.filePath(entry));
}

int writeAll(int fd, QByteArrayView bytes)
{
    while (!bytes.isEmpty()) {
        const ssize_t written = ::write(fd, bytes.data(), static_cast<size_t>(bytes.size()));
        if (written > 0)
            bytes = bytes.sliced(written);
        else if (written == 0)
            return ENOSPC;
        else if (errno != EINTR)
            return errno;
    }
    return 0;
}

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept
{
    if (this != &other) {
        closeQuietly();
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

void FileHandle::close(const QString& path)
{
    // The descriptor is gone after close, even when close fails.
    const int fd = std::exchange(fd_, -1);
    if (fd >= 0 && ::close(fd) != 0)
        raiseFileError(errno, path, QStringLiteral("write"));
}

void FileHandle::closeQuietly()
{
    if (fd_ >= 0)
        ::close(std::exchange(fd_, -1));
}

FileOutput::FileOutput(int fd, QString writingPath, QString path)
    : fd_(fd), writingPath_(std::move(writingPath)), path_(std::move(path))
{
}

void FileOutput::write(QByteArrayView bytes)
{
    if (const int error = writeAll(fd_, bytes))
        raiseFileError(error, path_, QStringLiteral("write"));
}

void writeFile(const QString& path, Placement placement, const std::function<void(FileOutput&)>& fill)
{
    const bool scratch = placement != Placement::New;
    QString writing = path;
    FileHandle file;
    if (scratch) {
        const QFileInfo info(path);
        QByteArray name = native(info.path() + QLatin1Char('/') + scratchPrefix(info.fileName()) + "XXXXXX");
        file = FileHandle(::mkostemp(name.data(), O_CLOEXEC));
        if (!file.isOpen())
            raiseFileError(errno, path, QStringLiteral("write"));
        writing = QString::fromUtf8(name);
    } else {
        file = createNew(path);
    }
    auto removeWriting = qScopeGuard([&] {
        file.closeQuietly();
        ::unlink(native(writing).constData());
    });
    // The umask may take bits away but never add any; make it exact.
    if (::fchmod(file.get(), 0600) != 0)
        raiseFileError(errno, path, QStringLiteral("protect"));
    FileOutput output(file.get(), writing, path);
    fill(output);
    // A full disk may only show when the data reaches it.
    if (::fsync(file.get()) != 0)
        raiseFileError(errno, path, QStringLiteral("write"));
    file.close(path);
    if (placement == Placement::Replace) {
        rename(writing, path);
    } else if (placement == Placement::NewWhole) {
        if (::link(native(writing).constData(), native(path).constData()) != 0) {
            if (errno == EEXIST)
                raiseExists(path);
            raiseFileError(errno, path, QStringLiteral("create"));
        }
        ::unlink(native(writing).constData());
    }
    removeWriting.dismiss();
    if (scratch)
        syncFolderOf(path);
}

void writeFile(const QString& path, Placement placement, QByteArrayView bytes)
{
    writeFile(path, placement, [bytes](FileOutput& output) { output.write(bytes); });
}

void removeLeftoverScratch(const QString& folder, const QString& name)
{
    const QDir dir(folder);
    const QString start = QStringLiteral(".%1.").arg(name);
    for (const QString& entry : dir.entryList({start + QLatin1Char('*')}, QDir::Files | QDir::Hidden | QDir::System)) {
        bool isPid = false;
        const pid_t writer = pid_t(entry.mid(start.size()).section(QLatin1Char('.'), 0, 0).toInt(&isPid));
        const QByteArray path = native(dir.filePath(entry));
        struct stat info { };
        if (!isPid || writer <= 0 || ::lstat(path.constData(), &info) != 0 || !S_ISREG(info.st_mode)
            || info.st_uid != ::geteuid())
            continue;
        // Another copy may be writing it right now.
        if (writer != ::getpid() && (::kill(writer, 0) == 0 || errno != ESRCH))
            continue;
        ::unlink(path.constData());
    }
}

}  // namespace FileOps
