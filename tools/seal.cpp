// Seals a vault, so that its passwords open only with the master password,
// or turns a sealed vault back into the format every Quillock reads.
#include "masterentry.h"
#include "tool.h"

#include "vault/vaultseal.h"

#include <QScopeGuard>
#include <unistd.h>

namespace {

const char About[] = "Seals the vault beside this tool (or the one named): its passwords then open only with\n"
                     "the master password. --unseal turns a sealed vault back. Asks for the master password;\n"
                     "when standard input is not a terminal, its first line is the master password. Sealing\n"
                     "asks for a typed \"yes\" on a terminal; --yes gives it from a script.\n";

const char Warning[] = "Sealing the vault %1:\n"
                       "  - Every password in it is then locked with your master password. If you forget the master\n"
                       "    password, nobody can ever get those passwords back: not you, not anyone else.\n"
                       "  - Older copies of Quillock cannot open a sealed vault.\n"
                       "  - Account names, usernames, addresses, hints and notes stay readable without the master\n"
                       "    password, as the main window shows them.\n"
                       "  - Copies of the vault made before now still hold every password; delete them, or change\n"
                       "    the master password (Options) once the vault is sealed.\n"
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
    const std::unique_ptr<VaultStore> vault = VaultStore::open(vaultPath);
    if (!unseal && vault->seal()) {
        Tool::print(stdout, QStringLiteral("The vault %1 is sealed already; it was left as it is.").arg(shownPath));
        return 0;
    }
    if (unseal && !vault->seal()) {
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
    if (!Tool::readMasterPassword(entry) || !masterPasswordOpens(*vault, entry))
        return refuse(QStringLiteral("Wrong master password."));
    Tool::Progress progressLine;
    const QString doing = unseal ? QStringLiteral("Unsealing") : QStringLiteral("Sealing");
    const auto progress = [&](qint64 done, qint64 total) {
        if (done < total)
            progressLine.show(QStringLiteral("%1: %2 of %3 passwords").arg(doing).arg(done).arg(total));
        else
            progressLine.clear();
    };
    const qint64 count =
        unseal ? VaultSeal::unsealVault(*vault, entry, progress) : VaultSeal::sealVault(*vault, entry, progress);
    Tool::print(stdout,
                unseal ? QStringLiteral("Unsealed the vault %1: %2 passwords are enciphered as before, and the vault "
                                        "opens in every copy of Quillock.")
                             .arg(shownPath)
                             .arg(count)
                       : QStringLiteral("Sealed the vault %1: %2 passwords now open only with the master password.")
                             .arg(shownPath)
                             .arg(count));
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    return Tool::run(argc, argv, "quillock-seal", "Nothing was changed.", QString(), [] {
        Tool::CommandLine line(
            {QStringLiteral("[--vault PATH/data.mdb] [--yes]"), QStringLiteral("--unseal [--vault PATH/data.mdb]")},
            QString::fromUtf8(About));
        line.addFlag(QStringLiteral("unseal"), QStringLiteral("Turns a sealed vault back into a plain one."));
        line.addFlag(QStringLiteral("yes"), QStringLiteral("Seals without asking for a typed \"yes\"."));
        line.addVault();
        if (const auto stop = line.read())
            return *stop;
        return sealOrUnseal(line.vault(), line.isSet(QStringLiteral("unseal")), line.isSet(QStringLiteral("yes")));
    });
}
