#pragma once

#include <QString>
#include <functional>
#include <memory>

class VaultLock;
class VaultStore;

// Start-up's work on the vault: the folder lock, the compaction that
// replaces the vault, opening it and the first-run test. Every step of
// start-up, the window's own included, follows one rule: a step that fails
// with code 3356 or 75 is skipped; any other failure is raised on, and the
// program ends.
class StartUp {
public:
    // The steps of start-up, in their order.
    enum class Step {
        LockFolder,
        LeftoverTest,
        RemoveLeftover,
        Compact,
        CopyTest,
        ReplaceVault,
        ShareLock,
        OpenVault,
        FirstRunTest,
        FirstList,
        ScratchIcon,
        TrayIcon
    };
    // Tests: called as each step begins; what it raises is that step's failure.
    static void setProbe(std::function<void(Step)> probe);
    // Runs one step; false when it failed with 3356 or 75 and was skipped.
    static bool attempt(Step which, const std::function<void()>& step);

    // The vault that start-up opened; the error of one it did not.
    static VaultStore& opened(VaultStore* vault);

    // For the vault in `folder`.
    explicit StartUp(const QString& folder);
    ~StartUp();
    StartUp(const StartUp&) = delete;
    StartUp& operator=(const StartUp&) = delete;

    // The steps from LockFolder to FirstRunTest.
    void run();

    // What run got, null where its step was skipped. The store uses the
    // lock: whoever takes them keeps the lock until the store has gone.
    std::unique_ptr<VaultLock> takeLock();
    std::unique_ptr<VaultStore> takeVault();
    // The vault has no master password yet.
    bool firstRun() const { return !initialized_; }

private:
    QString folder_;
    QString vaultPath_;
    QString compactPath_;
    std::unique_ptr<VaultLock> lock_;
    std::unique_ptr<VaultStore> vault_;  // closed before the lock goes
    bool initialized_ = true;
};
