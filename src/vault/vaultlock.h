#pragma once

#include "vault/fileops.h"

#include <QString>
#include <chrono>

// Holds a lock on the folder of the vault for the program's whole life, so
// that no copy compacts and replaces the vault while another has it open.
// When the vault is reached through a symbolic link (of any name), the
// folder that really holds it is locked as well: copies and tools in
// different folders may share one vault.
class VaultLock {
public:
    // Longer than any compaction takes.
    static constexpr std::chrono::milliseconds WaitLimit{30000};

    explicit VaultLock(const QString& vaultPath);
    VaultLock(const VaultLock&) = delete;
    VaultLock& operator=(const VaultLock&) = delete;

    // Raises the busy error (3356) when another copy holds the folder.
    void takeExclusive();
    // Waits for a copy that is compacting, then shares the folder. Raises
    // LockTimeout when it is not had within the wait limit: whoever holds
    // it longer is not compacting.
    void share();

    static void setWaitLimit(std::chrono::milliseconds limit);  // tests

    // Sealing, unsealing and re-keying change every password at once: while
    // one lives, no other copy of Quillock or of its tools has the vault
    // open, under any name. It raises the busy error (3356) when another
    // copy holds the folder, or when the vault has more than one name (a
    // hard link in another folder escapes the folder's lock). When it goes,
    // the lock is as it was before.
    class Alone {
    public:
        explicit Alone(VaultLock& lock);
        ~Alone();
        Alone(const Alone&) = delete;
        Alone& operator=(const Alone&) = delete;

    private:
        VaultLock& lock_;
        int before_;
    };

private:
    bool tryLock(int operation);

    FileOps::FileHandle fd_;
    FileOps::FileHandle linkedFd_;  // the folder of the file the vault links to
    QString folder_;
    QString vault_;
    int held_ = 0;  // LOCK_SH, LOCK_EX or nothing
};
