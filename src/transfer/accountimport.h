#pragma once

#include "transfer/csvfile.h"
#include "vault/vaultstore.h"

#include <QString>
#include <functional>
#include <vector>

// Takes the logins of a CSV export into the vault, obeying everything the
// add dialog enforces.
namespace Transfer {

enum class ImportFormat { Firefox, Chrome, Bitwarden, KeePassXC, Other };

// Where each account field comes from: a column index, or -1.
struct ImportColumns {
    ImportFormat format = ImportFormat::Other;
    int name = -1;  // -1: the host of the URL
    int username = -1;
    int password = -1;
    int url = -1;
    int hint = -1;  // -1: a hint written into the notes by our export
    int notes = -1;
    int type = -1;  // Bitwarden's item type: only logins are taken
};

QString FormatName(ImportFormat format);
// Recognises a header row; raises an input error naming line 1 when it
// matches no format and names no password column and no name or URL column.
ImportColumns RecognizeHeader(const QStringList& header);

struct ImportRow {
    qsizetype line = 0;
    AccountFields plain;  // username and password not yet enciphered
};

struct ImportSkip {
    qsizetype line = 0;
    QString reason;
};

enum class ImportStage { Reading, Checking, Storing };
using ImportProgress = std::function<void(ImportStage stage, qsizetype done, qsizetype total)>;

class AccountImport {
public:
    // Reads and checks the whole text; raises an input error naming the
    // line when any of it cannot be read, so nothing is stored.
    explicit AccountImport(const QByteArray& csv, const ImportProgress& progress = {});
    ~AccountImport();
    AccountImport(const AccountImport&) = delete;
    AccountImport& operator=(const AccountImport&) = delete;

    const ImportColumns& columns() const { return columns_; }
    // The mapping in words, e.g. `name <- "Title", username <- "Username"`.
    QString columnsText() const;
    qsizetype rowsRead() const { return rowsRead_; }

    // Leaves out rows identical (name, username, password and URL) to an
    // account in the vault or to an earlier row, then appends the rest in
    // one transaction. In a sealed vault whose seal is not open, rows are
    // compared without their passwords. A dry run only reads the vault.
    void run(VaultStore& vault, bool dryRun, const ImportProgress& progress = {});

    // After run: the rows stored (or, in a dry run, that would be), and
    // every row left out with its reason, in line order.
    const std::vector<ImportRow>& stored() const { return stored_; }
    std::vector<ImportSkip> skipped() const;
    qsizetype duplicates() const { return qsizetype(duplicates_.size()); }

private:
    QStringList header_;
    ImportColumns columns_;
    qsizetype rowsRead_ = 0;
    std::vector<ImportRow> accepted_;
    std::vector<ImportSkip> refused_;
    std::vector<ImportRow> stored_;
    std::vector<ImportSkip> duplicates_;
};

}  // namespace Transfer
