// Rates every password of the vault: breached (in the Have I Been Pwned
// list given), reused, weak. Prints neither a password nor a hash of one.
#include "masterentry.h"
#include "tool.h"

#include "health/breachlist.h"
#include "health/healthcheck.h"
#include "vault/vaultstore.h"

#include <QScopeGuard>

namespace {

const char About[] = "Checks every password of the vault beside this tool (or the one named): breached (seen in\n"
                     "the Have I Been Pwned list), the same as another account's, or weak (zxcvbn's score under 3\n"
                     "of 4). Prints the accounts with a problem, worst first, and a summary line. Asks for the\n"
                     "master password; when standard input is not a terminal, its first line is the master\n"
                     "password. Prints no password and no hash of one; writes nothing. Exit status 0 whenever the\n"
                     "check ran.\n";

int check(const QString& vaultPath, const QString& listPath, bool json)
{
    // A list that is not one is told before the master password is asked for.
    std::unique_ptr<Health::BreachList> list;
    if (!listPath.isEmpty())
        list = std::make_unique<Health::BreachList>(listPath);
    Tool::OpenVault vault(vaultPath);
    if (!vault.unlock("quillock-health", "nothing was checked."))
        return 1;
    const auto lock = qScopeGuard([&] { vault.store().lockSeal(); });
    const Health::HealthReport report = Health::checkVault(vault.store(), list.get());
    if (json) {
        const QByteArray text = Health::jsonReport(report);
        std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
    } else {
        for (const QString& line : Health::textReport(report))
            Tool::print(stdout, Tool::printable(line));
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    return Tool::run(argc, argv, "quillock-health", "Nothing was checked.", QString(), [] {
        Tool::CommandLine line({QStringLiteral("[--vault PATH/data.mdb] [--hibp FILE|FOLDER] [--json]")},
                               QString::fromUtf8(About));
        line.addValue(QStringLiteral("hibp"), QStringLiteral("FILE|FOLDER"),
                      QStringLiteral("The breach list: the file ordered by hash, or the folder of range files."));
        line.addFlag(QStringLiteral("json"),
                     QStringLiteral("Every account and the summary as one JSON object, for scripts."));
        line.addVault();
        if (const auto stop = line.read())
            return *stop;
        return check(line.vault(), line.value(QStringLiteral("hibp")), line.isSet(QStringLiteral("json")));
    });
}
