#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <functional>
#include <utility>

// File operations that raise the one error value instead of failing
// quietly: start-up needs to tell an access error (75) from the rest.
namespace FileOps {
// False only when nothing is there; other failures of the test raise.
bool exists(const QString& path);
// The error for a file that is never replaced and is there already.
[[noreturn]] void raiseExists(const QString& path);
// Creates an empty file only its owner may read; fails when anything, a
// link included, has the name already.
void createEmpty(const QString& path);
void remove(const QString& path);
void removeIfExists(const QString& path);
void rename(const QString& from, const QString& to);
void syncFile(const QString& path);
void syncFolderOf(const QString& path);

// True when `path` itself is a symbolic link; false when nothing is there.
bool isSymlink(const QString& path);
// The path with every link resolved.
QString resolved(const QString& path);
// How many names the file (a link's target) has.
qint64 linkCount(const QString& path);
// Takes read and write rights away from everyone but the owner. Best
// effort: a file of another owner or on a read-only medium stays as it is.
void restrictToOwner(const QString& path);

// A new folder in `folder` that only this user can enter (mode 0700).
QString createPrivateFolder(const QString& folder, const QString& prefix);
// Removes such a folder with the files in it; never raises, never follows
// a link, leaves alone what is not a folder of this user.
void removePrivateFolder(const QString& path);
void removePrivateFolders(const QString& folder, const QString& prefix);

// One open descriptor, closed when it goes.
class FileHandle {
public:
    FileHandle() = default;
    explicit FileHandle(int fd) : fd_(fd) { }
    ~FileHandle() { closeQuietly(); }
    FileHandle(FileHandle&& other) noexcept : fd_(std::exchange(other.fd_, -1)) { }
    FileHandle& operator=(FileHandle&& other) noexcept;
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;

    int get() const { return fd_; }
    bool isOpen() const { return fd_ >= 0; }
    // Closes now and raises when closing fails: on some file systems that is
    // the first word of a write that never reached the disk.
    void close(const QString& path);
    void closeQuietly();

private:
    int fd_ = -1;
};

// How a written file takes its name.
enum class Placement {
    New,  // created at its own name and never over anything; removed again when writing fails
    NewWhole,  // built under a scratch name and linked into place: whole or not at all, never over anything
    Replace,  // built under a scratch name and renamed over whatever has the name; a link is replaced and its
              // target never written
};

// Where a file's content goes while it is written.
class FileOutput {
public:
    FileOutput(int fd, QString writingPath, QString path);
    // Raises the file error for `path` when the bytes do not all go in.
    void write(QByteArrayView bytes);
    // The name the content has until it is in place: content that another
    // writer (SQLite) puts in goes here.
    const QString& writingPath() const { return writingPath_; }

private:
    int fd_;
    QString writingPath_;
    QString path_;
};

// The one way a file is written: mode 0600 whatever the umask, `fill`'s
// content flushed to disk before the file takes its name by `placement`,
// the folder flushed after. On any failure nothing is left behind: the
// scratch file goes, and `path` is as it was.
void writeFile(const QString& path, Placement placement, const std::function<void(FileOutput&)>& fill);
void writeFile(const QString& path, Placement placement, QByteArrayView bytes);

// Scratch files for `name` in `folder` that a program left behind when it
// ended in the middle of writing; never raises.
void removeLeftoverScratch(const QString& folder, const QString& name);

// Writes all of `bytes` to `fd`, past interruptions. 0 when done, else the
// errno of the failure (ENOSPC when the file takes nothing more).
int writeAll(int fd, QByteArrayView bytes);
}  // namespace FileOps
