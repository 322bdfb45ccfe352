// Seals a vault, so that its passwords open only with the master password,
// or turns a sealed vault back into the format every Quillock reads.
#include "masterentry.h"
#include "tool.h"

#include "vault/masterrule.h"
#include "vault/sealrecord.h"

#include <QScopeGuard>
#include <optional>
#include <unistd.h>

namespace {

const char About[] = "Seals the vault beside this tool (or the one named): its passwords then open only with\n"
                     "a new master password. Asks for the current master password, then for the new one twice;\n"
                     "when standard input is not a terminal, its first three lines are those. Sealing asks for\n"
                     "a typed \"yes\" on a terminal; --yes gives it from a script. --unseal turns a sealed\n"
                     "vault back, with its master password. --forget forgets that the vault was sealed, so\n"
                     "that Quillock accepts it as it is now (an older copy put back on purpose).\n";

const char Warning[] = "Sealing the vault %1:\n"
                       "  - Every password in it is then locked with your master password. If you forget the master\n"
                       "    password, nobody can ever get those passwords back: not you, not anyone else.\n"
                       "  - Older copies of Quillock cannot open a sealed vault.\n"
                       "  - Account names, usernames, addresses, hints and notes stay readable without the master\n"
                       "    password, as the main window shows them.\n"
                       "  - Every copy of the vault made before now holds every password and gives the current master\n"
                       "    password away. So the vault is sealed under a new master password, asked for next: those\n"
                       "    copies then open nothing in it. Delete them all the same.\n"
                       "  - quillock-seal --unseal turns it back, with the master password.";

// "yes" typed on the terminal; anything else, or no terminal, is a no.
bool confirmed()
{
    if (::isatty(STDIN_FILENO) != 1)
        return false;
    QString answer;
    return Tool::readFromTerminal("Type yes to seal the vault: ", true, answer) && answer == QLatin1String("yes");
}

int refuse(const QString& why)
{
    Tool::print(stderr, QStringLiteral("quillock-seal: %1 Nothing was changed.").arg(why));
    return 1;
}

// The new master password, typed twice by the rule of the Options dialog
// and unlike the current one; nothing (and a message) otherwise.
std::optional<QString> newMasterPassword(const QString& current)
{
    QString first, second;
    const auto forget = qScopeGuard([&] {
        Secrets::wipe(first);
        Secrets::wipe(second);
    });
    if (!Tool::readMasterPassword(first, "New master password: ")
        || !Tool::readMasterPassword(second, "New master password again: "))
        return std::nullopt;
    std::optional<QString> master = MasterRule::accept(first, second);
    if (!master || master->size() > MasterRule::MaxLength) {
        refuse(QStringLiteral("The new master password must be between eight and sixteen characters, typed the "
                              "same twice."));
        return std::nullopt;
    }
    if (*master == current) {
        Secrets::wipe(*master);
        refuse(QStringLiteral("The new master password must differ from the current one, which every copy of "
                              "the vault made before sealing gives away."));
        return std::nullopt;
    }
    return master;
}

int forgetRecord(const QString& vaultPath)
{
    const QString shownPath = Tool::printable(vaultPath);
    Tool::print(
        stdout,
        SealRecord::forget(vaultPath)
            ? QStringLiteral("Forgot that the vault %1 was sealed: Quillock and its tools take it as it is "
                             "now, and record it again when it is sealed.")
                  .arg(shownPath)
            : QStringLiteral("There was no record of the vault %1 being sealed; nothing was changed.").arg(shownPath));
    return 0;
}

// Asks what it must and converts; the exit status.
int sealOrUnseal(const QString& vaultPath, bool unseal, bool yes)
{
    const QString shownPath = Tool::printable(vaultPath);
    // Nobody else may have the vault open while all of it changes form:
    // a running copy would go on writing passwords in the old one.
    VaultLock lock(vaultPath);
    try {
        lock.takeExclusive();
    } catch (const AppError& error) {
        if (error.code() != ErrorCode::Busy)
            throw;
        return refuse(QStringLiteral("Close Quillock first: a copy of Quillock or of its tools has the vault %1 open.")
                          .arg(shownPath));
    }
    // A hard link in another folder escapes the folder's lock.
    try {
        const VaultLock::Alone alone(lock);
    } catch (const AppError& error) {
        if (error.code() != ErrorCode::Busy)
            throw;
        return refuse(error.description());
    }
    const std::unique_ptr<VaultStore> vault = VaultStore::open(vaultPath);
    vault->attachLock(&lock);
    if (!unseal && vault->isSealed()) {
        Tool::print(stdout, QStringLiteral("The vault %1 is sealed already; it was left as it is.").arg(shownPath));
        return 0;
    }
    if (unseal && !vault->isSealed()) {
        Tool::print(stdout, QStringLiteral("The vault %1 is not sealed; it was left as it is.").arg(shownPath));
        return 0;
    }
    if (!vault->isInitialized())
        return refuse(QStringLiteral("The vault %1 has no master password yet; start Quillock once to choose one.")
                          .arg(shownPath));
    if (!unseal) {
        Tool::print(stderr, QString::fromLatin1(Warning).arg(shownPath));
        if (!yes && ::isatty(STDIN_FILENO) != 1)
            return refuse(QStringLiteral("Without a terminal to type \"yes\" on, give --yes to seal."));
        if (!yes && !confirmed())
            return refuse(QStringLiteral("You did not type \"yes\"."));
    }

    QString entry;
    const auto forgetEntry = qScopeGuard([&] { Secrets::wipe(entry); });
    if (!Tool::readMasterPassword(entry) || !vault->masterPasswordOpens(entry))
        return refuse(QStringLiteral("Wrong master password."));
    std::optional<QString> master;
    const auto forgetMaster = qScopeGuard([&] {
        if (master)
            Secrets::wipe(*master);
    });
    if (!unseal && !(master = newMasterPassword(entry)))
        return 1;
    Tool::Progress progressLine;
    const QString doing = unseal ? QStringLiteral("Unsealing") : QStringLiteral("Sealing");
    const auto progress = [&](qint64 done, qint64 total) {
        if (done < total)
            progressLine.show(QStringLiteral("%1: %2 of %3 passwords").arg(doing).arg(done).arg(total));
        else
            progressLine.clear();
    };
    const qint64 count = unseal ? vault->unseal(entry, progress) : vault->seal(entry, *master, progress);
    Tool::print(stdout,
                unseal ? QStringLiteral("Unsealed the vault %1: %2 passwords are enciphered as before, and the vault "
                                        "opens in every copy of Quillock.")
                             .arg(shownPath)
                             .arg(count)
                       : QStringLiteral("Sealed the vault %1: %2 passwords now open only with the new master "
                                        "password.")
                             .arg(shownPath)
                             .arg(count));
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    return Tool::run(argc, argv, "quillock-seal", "Nothing was changed.", QString(), [] {
        Tool::CommandLine line({QStringLiteral("[--vault PATH/data.mdb] [--yes]"),
                                QStringLiteral("--unseal [--vault PATH/data.mdb]"),
                                QStringLiteral("--forget [--vault PATH/data.mdb]")},
                               QString::fromUtf8(About));
        line.addFlag(QStringLiteral("unseal"), QStringLiteral("Turns a sealed vault back into a plain one."));
        line.addFlag(QStringLiteral("forget"),
                     QStringLiteral("Forgets that the vault was sealed, and accepts it as it is now."));
        line.addFlag(QStringLiteral("yes"), QStringLiteral("Seals without asking for a typed \"yes\"."));
        line.addVault();
        if (const auto stop = line.read())
            return *stop;
        const bool unseal = line.isSet(QStringLiteral("unseal"));
        const bool forget = line.isSet(QStringLiteral("forget"));
        if (unseal && forget)
            return line.wrong(QStringLiteral("--unseal and --forget do not go together."));
        return forget ? forgetRecord(line.vault())
                      : sealOrUnseal(line.vault(), unseal, line.isSet(QStringLiteral("yes")));
    });
}
