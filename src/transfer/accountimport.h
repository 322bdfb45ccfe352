#pragma once

#include "transfer/csvfile.h"
#include "transfer/importformats.h"
#include "transfer/importrules.h"
#include "vault/vaultstore.h"

#include <QString>
#include <array>
#include <functional>
#include <optional>
#include <vector>

// Takes the logins of a CSV export into the vault, obeying everything the
// add dialog enforces.
namespace Transfer {

class SeenAccounts;

struct ImportRow {
    qsizetype line = 0;
    AccountFields plain;  // username and password not yet enciphered
};

// A line of the listing: a row skipped and why, or a row stored with a change.
struct ImportSkip {
    qsizetype line = 0;
    QString reason;
    qsizetype lastLine = 0;  // a row broken over several lines ends here
};

enum class ImportStage { Reading, Checking, Storing };
using ImportProgress = std::function<void(ImportStage stage, qsizetype done, qsizetype total)>;

class AccountImport {
public:
    // Reads and checks the whole text, which it keeps (and wipes when it
    // goes) rather than a copy of every row: the rows are read again from
    // it as they are stored. `format` takes that layout whatever the
    // header says. Raises an input error naming the line when the text
    // cannot be read, or none of its rows has its layout's fields, so
    // nothing is stored.
    explicit AccountImport(QByteArray csv, const ImportProgress& progress = {},
                           std::optional<ImportFormat> format = {});
    ~AccountImport();
    AccountImport(const AccountImport&) = delete;
    AccountImport& operator=(const AccountImport&) = delete;

    const ImportColumns& columns() const { return columns_; }
    // The mapping in words, e.g. `name <- "Title", username <- "Username"`.
    QString columnsText() const;
    qsizetype rowsRead() const { return qsizetype(rows_.size()); }

    // Leaves out rows identical (name, username, password and URL) to an
    // account in the vault or to an earlier row, then appends the rest in
    // one transaction. In a sealed vault whose seal is not open, rows are
    // compared without their passwords. A dry run only reads the vault.
    void run(VaultStore& vault, bool dryRun, const ImportProgress& progress = {});

    // After run: the rows stored (or, in a dry run, that would be), every
    // row left out with its reason, and every row stored with a change
    // (shortened, or to be checked), each in line order.
    qsizetype storedCount() const { return storedCount_; }
    qsizetype skippedCount() const { return rowsRead() - storedCount_; }
    void forEachStored(const std::function<void(const ImportRow&)>& visit) const;
    void forEachSkipped(const std::function<void(const ImportSkip&)>& visit) const;
    void forEachRemark(const std::function<void(const ImportSkip&)>& visit) const;
    std::vector<ImportSkip> skipped() const;
    qsizetype duplicates() const { return duplicates_; }
    // The rows that are not logins by kind, e.g. "2 secure notes, 1 card".
    QString notLoginsText() const;
    // The accounts stored whose row had a TOTP secret, which is not taken.
    qsizetype totpLeftBehind() const;

private:
    // What became of a row; the rest of its fate is read again when asked.
    // Twelve bytes a row: a file of short rows has millions of them.
    enum Flag : unsigned { HasTotp = 1, HasRemarks = 2 };
    struct RowState {
        quint32 begin : 26 = 0;  // its first byte; MaxInputBytes is 2^26
        RowOutcome outcome : 3 = RowOutcome::Login;
        quint32 flags : 3 = 0;
        quint32 line = 0;
        quint32 extra = 0;  // a duplicate's first line (0: the vault); a broken row's last line
    };
    class RowCursor;

    void readRows(const ImportProgress& progress, std::optional<ImportFormat> format);
    void recognize(std::optional<ImportFormat> format);
    // `known`: the layout is; else the row is only counted and looked at for its width.
    void addRow(const CsvRecord& record, bool known);
    void refuseWhenNoRowFits() const;
    // The account fields of a record, or why it makes none.
    RowCheck convert(const CsvRecord& record, ImportRow& row) const;
    SeenAccounts rowAccounts();
    void markDuplicate(size_t row, quint32 firstLine);

    QByteArray text_;
    CsvDialect dialect_;
    CsvRecord header_;
    ImportColumns columns_;
    std::vector<RowState> rows_;
    std::array<qsizetype, ItemKindCount> notLogins_{};
    std::pair<qsizetype, qsizetype> firstBroken_;  // the line of the first broken row, and its fields
    qsizetype brokenRows_ = 0;
    qsizetype storedCount_ = 0;
    qsizetype duplicates_ = 0;
    bool comparedPasswords_ = true;  // false in a sealed vault without the master password
};

}  // namespace Transfer
