// Appends the logins of a CSV export (the browsers', other password
// managers', or any file with a name or URL and a password column) to the
// vault.
#include "masterentry.h"
#include "tool.h"

#include "transfer/accountimport.h"
#include "transfer/transfer.h"

#include <functional>
#include <optional>
#include <utility>

namespace {

// The text after the usage line.
QString about()
{
    return QStringLiteral("Reads the CSV export FILE and appends its logins to the vault beside this tool\n"
                          "(or the one named). --dry-run shows what would be stored and writes nothing.\n"
                          "In a sealed vault a row repeats an account when name, username and URL are the\n"
                          "same; --compare-passwords asks for the master password (when standard input is\n"
                          "not a terminal, its first line) and compares the passwords too.\n"
                          "The export is known by its header row; --format takes one of these layouts instead:\n  ")
        + Transfer::formatOptions().join(QStringLiteral(", ")) + QLatin1Char('\n');
}

// Shown on a terminal for a large file only: a small one is done before
// anybody could read it.
class ImportProgress {
public:
    static constexpr qsizetype LargeFile = 10000;

    void show(Transfer::ImportStage stage, qsizetype done, qsizetype total)
    {
        switch (stage) {
        case Transfer::ImportStage::Reading:
            if (done >= LargeFile)
                line_.show(QStringLiteral("Reading: %1 rows").arg(done));
            break;
        case Transfer::ImportStage::Checking:
            if (done >= LargeFile)
                line_.show(QStringLiteral("Comparing with the vault: %1 accounts").arg(done));
            break;
        case Transfer::ImportStage::Storing:
            if (total >= LargeFile)
                line_.show(QStringLiteral("Storing: %1 of at most %2").arg(done).arg(total));
            break;
        }
    }
    void clear() { line_.clear(); }

private:
    Tool::Progress line_;
};

// A list of rows by their lines, under a heading that shows only when the
// list has any.
void printRows(const char* heading,
               const std::function<void(const std::function<void(const Transfer::ImportSkip&)>&)>& forEach)
{
    bool first = true;
    forEach([&](const Transfer::ImportSkip& entry) {
        if (std::exchange(first, false))
            Tool::print(stdout, QLatin1String(heading));
        const QString lines = entry.lastLine > entry.line
            ? QStringLiteral("lines %1-%2").arg(entry.line).arg(entry.lastLine)
            : QStringLiteral("line %1").arg(entry.line);
        Tool::print(stdout, QStringLiteral("  %1: %2").arg(lines, Tool::printable(entry.reason)));
    });
}

// What became of the rows: counts first, then the rows left out and those
// stored with a change.
void printSummary(const Transfer::AccountImport& import, bool dryRun)
{
    QString summary = QStringLiteral("Read %1 rows: %2 %3, %4 skipped")
                          .arg(import.rowsRead())
                          .arg(import.storedCount())
                          .arg(dryRun ? QStringLiteral("would be stored") : QStringLiteral("stored"))
                          .arg(import.skippedCount());
    if (import.duplicates() > 0)
        summary += QStringLiteral(" (%1 of them already there)").arg(import.duplicates());
    Tool::print(stdout, summary + QLatin1Char('.'));
    if (const QString kinds = import.notLoginsText(); !kinds.isEmpty())
        Tool::print(stdout, QStringLiteral("Not logins, so not taken: %1.").arg(Tool::printable(kinds)));
    if (const qsizetype totp = import.totpLeftBehind(); totp > 0)
        Tool::print(stdout,
                    QStringLiteral("%1 of the accounts had a TOTP secret, which was left behind: Quillock has "
                                   "no protected place for it.")
                        .arg(totp));
    printRows("Skipped:", [&](const auto& visit) { import.forEachSkipped(visit); });
    printRows("Shortened or stored as written, to check:", [&](const auto& visit) { import.forEachRemark(visit); });
}

// In a sealed vault, opens the seal with the master password when the
// passwords are to be compared too; false when the entry is wrong.
bool openSealFor(VaultStore& vault, bool comparePasswords)
{
    if (!vault.isSealed())
        return true;
    if (!comparePasswords) {
        Tool::print(stdout,
                    QStringLiteral("The vault is sealed: rows are compared with its accounts by name, "
                                   "username and URL (--compare-passwords compares the passwords too)."));
        return true;
    }
    QString entry;
    const bool opened = Tool::readMasterPassword(entry) && vault.masterPasswordOpens(entry);
    Secrets::wipe(entry);
    return opened;
}

struct ImportOptions {
    bool dryRun = false;
    bool comparePasswords = false;
    std::optional<Transfer::ImportFormat> format;
};

// Reads the file, shows the mapping, then stores (or in a dry run only
// lists) its rows; `place` follows the work from the file to the vault.
int importFile(const QString& file, const QString& vaultPath, const ImportOptions& options, QString& place)
{
    ImportProgress progressLine;
    const auto progress = [&](Transfer::ImportStage stage, qsizetype done, qsizetype total) {
        progressLine.show(stage, done, total);
    };
    // The import keeps the file's text and wipes it when it goes.
    Transfer::AccountImport import(Transfer::readInputFile(file), progress, options.format);
    progressLine.clear();
    Tool::print(stdout, QStringLiteral("Format: %1").arg(Transfer::formatName(import.columns().format)));
    Tool::print(stdout, QStringLiteral("Columns: %1").arg(Tool::printable(import.columnsText())));
    std::fflush(stdout);

    place = QStringLiteral("the vault %1 cannot be opened or written").arg(vaultPath);
    Tool::OpenVault vault(vaultPath);
    if (!openSealFor(vault.store(), options.comparePasswords)) {
        Tool::print(stderr, QStringLiteral("quillock-import: wrong master password; nothing was stored."));
        return 1;
    }
    import.run(vault.store(), options.dryRun, progress);
    progressLine.clear();

    if (options.dryRun) {
        Tool::print(stdout, QStringLiteral("Dry run: nothing was written. Would store:"));
        import.forEachStored([](const Transfer::ImportRow& row) {
            Tool::print(stdout, QStringLiteral("  line %1: %2 (username \"%3\", %4)")
                                    .arg(row.line)
                                    .arg(Tool::printable(row.plain.account), Tool::printable(row.plain.username),
                                         Tool::printable(row.plain.url)));
    });
}
printSummary(import, options.dryRun);
return 0;
}  // namespace

}  // namespace

int main(int argc, char** argv)
{
    QString place;  // what a failure is about: the file, then the vault
    return Tool::run(argc, argv, "quillock-import", "Nothing was stored.", place, [&] {
        Tool::CommandLine line(
            {QStringLiteral("FILE [--vault PATH/data.mdb] [--dry-run] [--format NAME] [--compare-passwords]")},
            about());
        line.addArgument(QStringLiteral("FILE"));
        line.addVault();
        line.addFlag(QStringLiteral("dry-run"), QStringLiteral("Shows what would be stored; writes nothing."));
        line.addValue(QStringLiteral("format"), QStringLiteral("NAME"),
                      QStringLiteral("Reads the file as this layout, whatever its header."));
        line.addFlag(QStringLiteral("compare-passwords"),
                     QStringLiteral("In a sealed vault, compares the passwords too."));
        if (const auto stop = line.read())
            return *stop;
        ImportOptions options;
        options.dryRun = line.isSet(QStringLiteral("dry-run"));
        options.comparePasswords = line.isSet(QStringLiteral("compare-passwords"));
        const QString formatName = line.value(QStringLiteral("format"));
        options.format = Transfer::formatNamed(formatName);
        if (!formatName.isEmpty() && !options.format)
            return line.wrong(QStringLiteral("Unknown layout '%1'.").arg(formatName));
        place = line.argument(0);
        return importFile(line.argument(0), line.vault(), options, place);
    });
}
