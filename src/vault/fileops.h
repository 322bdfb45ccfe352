#pragma once

#include <QString>

// File operations that raise the one error value instead of failing
// quietly: start-up needs to tell an access error (75) from the rest.
namespace FileOps {
// False only when nothing is there; other failures of the test raise.
bool exists(const QString& path);
// Creates an empty file; fails when one exists already.
void createEmpty(const QString& path);
void remove(const QString& path);
void removeIfExists(const QString& path);
void rename(const QString& from, const QString& to);
// Creates `to` as a second name of `from`; fails when `to` exists.
void linkNoReplace(const QString& from, const QString& to);
void syncFile(const QString& path);
void syncFolderOf(const QString& path);
}  // namespace FileOps

// Holds a lock on the application folder for the program's whole life, so
// that no copy compacts and replaces the vault while another has it open.
class VaultLock {
public:
    explicit VaultLock(const QString& folder);
    ~VaultLock();
    VaultLock(const VaultLock&) = delete;
    VaultLock& operator=(const VaultLock&) = delete;

    // Raises the busy error (3356) when another copy holds the folder.
    void takeExclusive();
    // Waits for a copy that is compacting, then shares the folder.
    void share();

private:
    int fd_ = -1;
    QString folder_;
};
