// Writes every account of the vault as a CSV file that KeePassXC, Bitwarden
// or Chrome imports, after the master password is given.
#include "masterentry.h"
#include "tool.h"

#include "transfer/accountexport.h"
#include "transfer/transfer.h"
#include "vault/fileops.h"

#include <QScopeGuard>

namespace {

const char About[] = "Writes every account of the vault beside this tool (or the one named) to the new\n"
                     "file FILE (mode 0600), KeePassXC's CSV by default. Asks for the master password;\n"
                     "when standard input is not a terminal, its first line is the master password.\n";

QString formatTitle(Transfer::ExportFormat format)
{
    switch (format) {
    case Transfer::ExportFormat::KeePassXC:
        return QStringLiteral("KeePassXC");
    case Transfer::ExportFormat::Bitwarden:
        return QStringLiteral("Bitwarden");
    case Transfer::ExportFormat::Chrome:
        return QStringLiteral("Chrome");
    }
    return {};
}

// Writes the file once the master password is right.
int exportAccounts(const QString& file, const QString& vaultPath, Transfer::ExportFormat format)
{
    // Before the master password is asked for, not instead of the
    // exclusive creation that really guards the file.
    if (FileOps::exists(file))
        FileOps::raiseExists(file);
    Tool::OpenVault vault(vaultPath);
    if (!vault.unlock("quillock-export", "nothing was written."))
        return 1;
    qsizetype count = 0;
    QByteArray csv = Transfer::exportCsv(vault.store(), format, &count);
    const auto forgetCsv = qScopeGuard([&] { Secrets::wipe(csv); });
    Transfer::writeNewFile(file, csv);
    Tool::print(stdout,
                QStringLiteral("Wrote %1 accounts to %2 for %3. The file holds every password in "
                               "plain text: delete it once it is imported.")
                    .arg(count)
                    .arg(Tool::printable(file), formatTitle(format)));
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    return Tool::run(argc, argv, "quillock-export", "Nothing was written.", QString(), [] {
        Tool::CommandLine line({QStringLiteral("FILE [--format keepassxc|bitwarden|chrome] [--vault PATH/data.mdb]")},
                               QString::fromUtf8(About));
        line.addArgument(QStringLiteral("FILE"));
        line.addValue(QStringLiteral("format"), QStringLiteral("NAME"),
                      QStringLiteral("keepassxc (the default), bitwarden or chrome."));
        line.addVault();
        if (const auto stop = line.read())
            return *stop;
        const QString formatName = line.value(QStringLiteral("format"));
        const auto format =
            Transfer::exportFormatNamed(formatName.isEmpty() ? QStringLiteral("keepassxc") : formatName);
        if (!format)
            return line.wrong(QStringLiteral("Unknown format '%1'.").arg(formatName));
        return exportAccounts(line.argument(0), line.vault(), *format);
    });
}
