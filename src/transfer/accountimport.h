#pragma once

#include "transfer/csvfile.h"
#include "transfer/importformats.h"
#include "vault/vaultstore.h"

#include <QString>
#include <functional>
#include <vector>

// Takes the logins of a CSV export into the vault, obeying everything the
// add dialog enforces.
namespace Transfer {

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
    // Reads and checks the whole text, which it keeps (and wipes when it
    // goes) rather than a copy of every row: the rows are read again from
    // it as they are stored. Raises an input error naming the line when
    // any of it cannot be read, so nothing is stored.
    explicit AccountImport(QByteArray csv, const ImportProgress& progress = {});
    ~AccountImport();
    AccountImport(const AccountImport&) = delete;
    AccountImport& operator=(const AccountImport&) = delete;

    const ImportColumns& columns() const { return columns_; }
    // The mapping in words, e.g. `name <- "Title", username <- "Username"`.
    QString columnsText() const;
    qsizetype rowsRead() const { return qsizetype(rows_.size()); }

    // Leaves out rows identical (name, username, password and URL) to an
    // account in the vault or to an earlier row, then appends the rest in
    // one transaction. A dry run only reads the vault.
    void run(VaultStore& vault, bool dryRun, const ImportProgress& progress = {});

    // After run: the rows stored (or, in a dry run, that would be), and
    // every row left out with its reason, in line order.
    qsizetype storedCount() const { return storedCount_; }
    qsizetype skippedCount() const { return rowsRead() - storedCount_; }
    void forEachStored(const std::function<void(const ImportRow&)>& visit) const;
    void forEachSkipped(const std::function<void(const ImportSkip&)>& visit) const;
    std::vector<ImportSkip> skipped() const;
    qsizetype duplicates() const { return duplicates_; }

private:
    // What became of a row; the rest of its fate is read again when asked.
    // Twelve bytes a row: a file of short rows has millions of them.
    enum class Outcome : quint8 { Login, Refused, Duplicate };
    struct RowState {
        quint32 begin = 0;  // its first byte in the text
        quint32 line : 28 = 0;  // a file within MaxInputBytes has fewer lines
        Outcome outcome : 4 = Outcome::Login;
        quint32 firstLine = 0;  // a duplicate's first line; 0: the vault
    };
    class RowCursor;

    void readRows(const ImportProgress& progress);
    // The account fields of a record, or why it cannot be one.
    Outcome convert(const CsvRecord& record, ImportRow& row, QString* reason) const;

    QByteArray text_;
    CsvRecord header_;
    ImportColumns columns_;
    std::vector<RowState> rows_;
    qsizetype storedCount_ = 0;
    qsizetype duplicates_ = 0;
};

}  // namespace Transfer
