#include "vault/vaultlock.h"

#include "vault/apperror.h"

#include <QFileInfo>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

FileOps::FileHandle openFolder(const QString& folder)
{
    return FileOps::FileHandle(::open(folder.toUtf8().constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

bool sameFile(int a, int b)
{
    struct stat first {
    }, second{};
    return ::fstat(a, &first) == 0 && ::fstat(b, &second) == 0 && first.st_dev == second.st_dev
        && first.st_ino == second.st_ino;
}

bool flockOnce(int fd, int operation)
{
    while (::flock(fd, operation) != 0)
        if (errno != EINTR)
            return false;
    return true;
}

std::chrono::milliseconds& waitLimit()
{
    static std::chrono::milliseconds limit = VaultLock::WaitLimit;
    return limit;
}

}  // namespace

VaultLock::VaultLock(const QString& vaultPath) : folder_(QFileInfo(vaultPath).absolutePath()), vault_(vaultPath)
{
    fd_ = openFolder(folder_);
    if (!fd_.isOpen())
        raiseFileError(errno, folder_, QStringLiteral("open"));
    // A link that leads nowhere is found out when the vault is opened.
    const QByteArray vault = vaultPath.toUtf8();
    struct stat entry { };
    char target[PATH_MAX];
    if (::lstat(vault.constData(), &entry) != 0 || !S_ISLNK(entry.st_mode) || !::realpath(vault.constData(), target))
        return;
    linkedFd_ = openFolder(QFileInfo(QString::fromUtf8(target)).absolutePath());
    // Two locks on one folder from one process would shut each other out.
    if (linkedFd_.isOpen() && sameFile(fd_.get(), linkedFd_.get()))
        linkedFd_.closeQuietly();
}

void VaultLock::setWaitLimit(std::chrono::milliseconds limit)
{
    waitLimit() = limit;
}

// Both folders or neither; errno tells why not.
bool VaultLock::tryLock(int operation)
{
    if (!flockOnce(fd_.get(), operation))
        return false;
    if (!linkedFd_.isOpen() || flockOnce(linkedFd_.get(), operation))
        return true;
    const int err = errno;
    ::flock(fd_.get(), LOCK_UN);
    errno = err;
    return false;
}

void VaultLock::takeExclusive()
{
    if (!tryLock(LOCK_EX | LOCK_NB)) {
        if (errno == EWOULDBLOCK)
            throw AppError(ErrorCode::Busy, QStringLiteral("The vault is open in another copy of the program."),
                           ErrorSource::Store);
        raiseFileError(errno, folder_, QStringLiteral("lock"));
    }
    held_ = LOCK_EX;
}

void VaultLock::share()
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + waitLimit();
    while (!tryLock(LOCK_SH | LOCK_NB)) {
        if (errno != EWOULDBLOCK)
            raiseFileError(errno, folder_, QStringLiteral("lock"));
        if (Clock::now() >= deadline)
            throw AppError(ErrorCode::LockTimeout,
                           QStringLiteral("The folder '%1' has been locked by another program for %2 seconds; "
                                          "no copy of Quillock holds it that long. Close the program that holds "
                                          "it (or ask the folder's owner to), then start again. Nothing was changed.")
                               .arg(folder_)
                               .arg(std::chrono::duration_cast<std::chrono::seconds>(waitLimit()).count()),
                           ErrorSource::Files);
        ::usleep(20000);
    }
    held_ = LOCK_SH;
}

VaultLock::Alone::Alone(VaultLock& lock) : lock_(lock), before_(lock.held_)
{
    if (FileOps::linkCount(lock.vault_) > 1)
        throw AppError(ErrorCode::Busy,
                       QStringLiteral("The vault '%1' has more than one name (hard links), and a copy of Quillock or "
                                      "of its tools may have it open under another: it is sealed, unsealed or given "
                                      "a new master password only under one name.")
                           .arg(lock.vault_),
                       ErrorSource::Files);
    if (before_ == LOCK_EX)
        return;
    // Turning a shared lock into an exclusive one lets go of it first.
    if (!lock.tryLock(LOCK_EX | LOCK_NB)) {
        const int err = errno;
        if (before_ == LOCK_SH)
            lock.share();
        if (err != EWOULDBLOCK)
            raiseFileError(err, lock.folder_, QStringLiteral("lock"));
        throw AppError(ErrorCode::Busy,
                       QStringLiteral("Another copy of Quillock or of its tools has the vault '%1' open; close it "
                                      "first.")
                           .arg(lock.vault_),
                       ErrorSource::Store);
    }
    lock.held_ = LOCK_EX;
}

VaultLock::Alone::~Alone()
{
    if (before_ == LOCK_EX)
        return;
    try {
        if (before_ == LOCK_SH) {
            lock_.share();
            return;
        }
    } catch (const AppError&) {
        // Not had back in time: the program goes on without it, as when the
        // folder could not be locked at start.
    }
    ::flock(lock_.fd_.get(), LOCK_UN);
    if (lock_.linkedFd_.isOpen())
        ::flock(lock_.linkedFd_.get(), LOCK_UN);
    lock_.held_ = 0;
}
