// Appends the logins of a CSV export (Firefox, Chrome, Bitwarden, KeePassXC
// or any file with a name or URL and a password column) to the vault.
#include "masterentry.h"
#include "transfertool.h"

#include "transfer/accountimport.h"
#include "transfer/transfer.h"
#include "vault/vaultseal.h"

#include <unistd.h>

namespace {

const char Usage[] = "usage: quillock-import FILE [--vault PATH/data.mdb] [--dry-run] [--compare-passwords]\n"
                     "Reads the CSV export FILE and appends its logins to the vault beside this tool\n"
                     "(or the one named). --dry-run shows what would be stored and writes nothing.\n"
                     "In a sealed vault a row repeats an account when name, username and URL are the\n"
                     "same; --compare-passwords asks for the master password (when standard input is\n"
                     "not a terminal, its first line) and compares the passwords too.\n";

// One line on a terminal that keeps being rewritten; nothing elsewhere.
class ProgressLine {
public:
    static constexpr qsizetype LargeFile = 10000;

    ProgressLine() : terminal_(::isatty(STDERR_FILENO) == 1) { }
    ~ProgressLine() { clear(); }

    void show(Transfer::ImportStage stage, qsizetype done, qsizetype total)
    {
        if (!terminal_)
            return;
        QString text;
        switch (stage) {
        case Transfer::ImportStage::Reading:
            if (done < LargeFile)
                return;
            text = QStringLiteral("Reading: %1 rows").arg(done);
            break;
        case Transfer::ImportStage::Checking:
            if (done < LargeFile)
                return;
            text = QStringLiteral("Comparing with the vault: %1 accounts").arg(done);
            break;
        case Transfer::ImportStage::Storing:
            if (total < LargeFile)
                return;
            text = QStringLiteral("Storing: %1 of at most %2").arg(done).arg(total);
            break;
        }
        std::fprintf(stderr, "\r\033[K%s", text.toUtf8().constData());
        std::fflush(stderr);
        shown_ = true;
    }
    void clear()
    {
        if (shown_)
            std::fputs("\r\033[K", stderr);
        shown_ = false;
    }

private:
    bool terminal_;
    bool shown_ = false;
};

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    Tool::CommandLine line;
    bool dryRun = false;
    bool comparePasswords = false;
    const auto stop = Tool::readCommandLine(Usage, line, [&](const QStringList& args, qsizetype& i) {
        if (args[i] == QLatin1String("--dry-run"))
            dryRun = true;
        else if (args[i] == QLatin1String("--compare-passwords"))
            comparePasswords = true;
        else
            return false;
        return true;
    });
    if (stop)
        return *stop;
    const QString& file = line.file;
    const QString& vaultPath = line.vault;

    ProgressLine progressLine;
    const auto progress = [&](Transfer::ImportStage stage, qsizetype done, qsizetype total) {
        progressLine.show(stage, done, total);
    };
    bool inVault = false;
    try {
        QByteArray bytes = Transfer::ReadInputFile(file);
        std::unique_ptr<Transfer::AccountImport> import;
        try {
            import = std::make_unique<Transfer::AccountImport>(bytes, progress);
        } catch (...) {
            Secrets::wipe(bytes);
            throw;
        }
        Secrets::wipe(bytes);
        progressLine.clear();
        Tool::print(stdout, QStringLiteral("Format: %1").arg(Transfer::FormatName(import->columns().format)));
        Tool::print(stdout, QStringLiteral("Columns: %1").arg(import->columnsText()));
        std::fflush(stdout);

        inVault = true;
        Tool::OpenVault vault(vaultPath);
        if (VaultSeal* seal = vault.store().seal()) {
            if (!comparePasswords) {
                Tool::print(stdout,
                            QStringLiteral("The vault is sealed: rows are compared with its accounts by "
                                           "name, username and URL (--compare-passwords compares the "
                                           "passwords too)."));
            } else {
                QString entry;
                const bool given = Tool::ReadMasterPassword(entry);
                const bool opened = given && seal->unlock(entry);
                Secrets::wipe(entry);
                if (!opened) {
                    Tool::print(stderr, QStringLiteral("quillock-import: wrong master password; nothing was stored."));
                    return 1;
                }
            }
        }
        import->run(vault.store(), dryRun, progress);
        progressLine.clear();

        if (dryRun) {
            Tool::print(stdout, QStringLiteral("Dry run: nothing was written. Would store:"));
            for (const Transfer::ImportRow& row : import->stored())
                Tool::print(stdout,
                            QStringLiteral("  line %1: %2 (username \"%3\", %4)")
                                .arg(row.line)
                                .arg(row.plain.account, row.plain.username, row.plain.url));
        }
        const std::vector<Transfer::ImportSkip> skipped = import->skipped();
        QString summary = QStringLiteral("Read %1 rows: %2 %3, %4 skipped")
                              .arg(import->rowsRead())
                              .arg(import->stored().size())
                              .arg(dryRun ? QStringLiteral("would be stored") : QStringLiteral("stored"))
                              .arg(skipped.size());
        if (import->duplicates() > 0)
            summary += QStringLiteral(" (%1 of them already there)").arg(import->duplicates());
        Tool::print(stdout, summary + QLatin1Char('.'));
        if (!skipped.empty()) {
            Tool::print(stdout, QStringLiteral("Skipped:"));
            for (const Transfer::ImportSkip& skip : skipped)
                Tool::print(stdout, QStringLiteral("  line %1: %2").arg(skip.line).arg(skip.reason));
        }
    } catch (const AppError& error) {
        progressLine.clear();
        const QString what = inVault ? QStringLiteral("the vault %1 cannot be opened or written").arg(vaultPath) : file;
        Tool::print(stderr,
                    QStringLiteral("quillock-import: %1: %2 Nothing was stored.")
                        .arg(what, Tool::sentence(error.description())));
        return 1;
    }
    return 0;
}
