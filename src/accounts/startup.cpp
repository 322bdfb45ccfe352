#include "accounts/startup.h"

#include "report/reportwriter.h"
#include "shared/module1.h"
#include "vault/apperror.h"
#include "vault/fileops.h"
#include "vault/vaultkey.h"
#include "vault/vaultlock.h"
#include "vault/vaultschema.h"
#include "vault/vaultstore.h"

namespace {

std::function<void(StartUp::Step)>& probe()
{
    static std::function<void(StartUp::Step)> probe;
    return probe;
}

}  // namespace

void StartUp::setProbe(std::function<void(Step)> probe)
{
    ::probe() = std::move(probe);
}

bool StartUp::attempt(Step which, const std::function<void()>& step)
{
    try {
        if (probe())
            probe()(which);
        step();
        return true;
    } catch (const AppError& error) {
        if (error.code() != ErrorCode::Busy && error.code() != ErrorCode::PathAccess)
            throw;
        return false;
    }
}

VaultStore& StartUp::opened(VaultStore* vault)
{
    if (!vault)
        throw AppError(ErrorCode::ObjectNotSet, QStringLiteral("Object variable not set: the vault is not open."),
                       ErrorSource::Store);
    return *vault;
}

StartUp::StartUp(const QString& folder)
    : folder_(folder), vaultPath_(folder + QLatin1Char('/') + VaultStore::FileName),
      compactPath_(folder + QLatin1Char('/') + VaultStore::CompactedFileName)
{
}

StartUp::~StartUp() = default;

std::unique_ptr<VaultLock> StartUp::takeLock()
{
    return std::move(lock_);
}

std::unique_ptr<VaultStore> StartUp::takeVault()
{
    return std::move(vault_);
}

void StartUp::run()
{
    // Held for the program's life: no other copy may replace the vault
    // under an open connection.
    attempt(Step::LockFolder, [&] { lock_ = std::make_unique<VaultLock>(vaultPath_); });

    // Passwords that an interrupted report left behind.
    removeReportScratch(folder_);

    // A failing existence test still lets its action be tried.
    bool leftover = true;
    attempt(Step::LeftoverTest, [&] { leftover = FileOps::exists(compactPath_); });
    if (leftover)
        attempt(Step::RemoveLeftover, [&] { FileOps::remove(compactPath_); });

    bool compacted = false;
    const VaultKey key = VaultKey::derive(vaultPath_);  // the compaction's and the open's
    attempt(Step::Compact, [&] {
        if (!lock_)
            throw AppError(ErrorCode::Busy, QStringLiteral("The application folder cannot be locked."),
                           ErrorSource::Files);
        lock_->takeExclusive();
        VaultStore::compact(vaultPath_, compactPath_, key);
        compacted = true;
    });

    // Only a copy this start made, complete and flushed, may replace the
    // vault, and it does so in one rename: there is never a moment without one.
    bool copyExists = false;
    if (attempt(Step::CopyTest, [&] { copyExists = compacted && FileOps::exists(compactPath_); }) && copyExists)
        attempt(Step::ReplaceVault, [&] { VaultStore::replaceVault(compactPath_, vaultPath_); });

    attempt(Step::ShareLock, [&] {
        if (lock_)
            lock_->share();
    });
    // The compaction measured every value on its way in.
    attempt(Step::OpenVault, [&] {
        vault_ = VaultStore::open(vaultPath_,
                                  compacted ? VaultSchema::Values::MeasuredBefore : VaultSchema::Values::Measure, key);
        vault_->attachLock(lock_.get());
    });

    attempt(Step::FirstRunTest, [&] { initialized_ = Module1::IsVaultInitialized(opened(vault_.get())); });
}
