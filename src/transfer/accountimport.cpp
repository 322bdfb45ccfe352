#include "transfer/accountimport.h"

#include "transfer/transfer.h"
#include "vault/apperror.h"
#include "vault/stringcipher.h"
#include "vault/wipe.h"

#include <QScopeGuard>
#include <algorithm>
#include <array>
#include <sodium.h>
#include <vector>

namespace Transfer {

namespace {

// CRLF, LF and CR each end a line.
qsizetype lineCount(const QByteArray& text)
{
    qsizetype lines = 1;
    for (qsizetype i = 0; i < text.size(); ++i)
        if (text[i] == '\n' || (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n')))
            ++lines;
    return lines;
}

void wipeRow(ImportRow& row)
{
    Secrets::wipe(row.plain.username);
    Secrets::wipe(row.plain.password);
    row.plain = {};
}

}  // namespace

// Knows the accounts of the rows and of the vault by a keyed hash of
// name, username, password and URL, so no plain password is kept for the
// comparison: twelve bytes of it (two accounts alike by chance take some
// 2^48 of them) and a row number each, sorted once.
class SeenAccounts {
public:
    using Digest = std::array<unsigned char, 12>;

    explicit SeenAccounts(bool withPasswords) : withPasswords_(withPasswords)
    {
        requireSodium();
        randombytes_buf(key_.data(), key_.size());
    }
    ~SeenAccounts() { sodium_memzero(key_.data(), key_.size()); }

    Digest digest(const AccountFields& plain) const
    {
        crypto_generichash_state state;
        crypto_generichash_init(&state, key_.data(), key_.size(), crypto_generichash_BYTES_MIN);
        const QString none;
        for (const QString* value :
             {&plain.account, &plain.username, withPasswords_ ? &plain.password : &none, &plain.url}) {
            QByteArray utf8 = value->toUtf8();
            const quint64 length = quint64(utf8.size());
            crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(&length), sizeof length);
            crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(utf8.constData()),
                                      quint64(utf8.size()));
            Secrets::wipe(utf8);
        }
        std::array<unsigned char, crypto_generichash_BYTES_MIN> full{};
        crypto_generichash_final(&state, full.data(), full.size());
        Digest out{};
        std::copy_n(full.begin(), out.size(), out.begin());
        return out;
    }

    void reserve(size_t rows) { rows_.reserve(rows); }
    void addRow(const AccountFields& plain, size_t row) { rows_.push_back({digest(plain), quint32(row)}); }
    qsizetype rows() const { return qsizetype(rows_.size()); }

    // Calls `repeat(row, first)` for every row whose account an earlier row had.
    template <class Repeat> void forEachRepeat(Repeat repeat)
    {
        std::sort(rows_.begin(), rows_.end());
        for (size_t first = 0, i = 1; i < rows_.size(); ++i) {
            if (rows_[i].digest == rows_[first].digest)
                repeat(rows_[i].row, rows_[first].row);
            else
                first = i;
        }
    }
    // Calls `held(row)` for every row holding the same account as `plain`.
    template <class Held> void forEachHolding(const AccountFields& plain, Held held) const
    {
        const Entry probe{digest(plain), 0};
        const auto same = [](const Entry& a, const Entry& b) { return a.digest < b.digest; };
        const auto [from, to] = std::equal_range(rows_.begin(), rows_.end(), probe, same);
        for (auto at = from; at != to; ++at)
            held(at->row);
    }

private:
    struct Entry {
        Digest digest;
        quint32 row;
        bool operator<(const Entry& other) const
        {
            return digest != other.digest ? digest < other.digest : row < other.row;
        }
    };
    std::array<unsigned char, crypto_generichash_KEYBYTES> key_{};
    bool withPasswords_;
    std::vector<Entry> rows_;
};

// Reads the records of rows again, going forward through the text as the
// rows are asked for in line order.
class AccountImport::RowCursor {
public:
    RowCursor(const QByteArray& text, const CsvDialect& dialect) : text_(text), dialect_(dialect) { }

    const CsvRecord& at(const RowState& row)
    {
        const auto begin = qsizetype(row.begin);
        if (record_.line > 0 && record_.begin == begin)
            return record_;
        if (!reader_ || record_.begin > begin) {
            reader_ = std::make_unique<CsvReader>(text_, dialect_, begin, qsizetype(row.line));
            record_.clear();
        }
        while (record_.line == 0 || record_.begin < begin)
            if (!reader_->next(record_))
                break;
        if (record_.begin != begin)
            raiseInputError(row.line, QStringLiteral("the row cannot be read again"));
        return record_;
    }

private:
    const QByteArray& text_;
    CsvDialect dialect_;
    std::unique_ptr<CsvReader> reader_;
    CsvRecord record_;
};

AccountImport::AccountImport(QByteArray csv, const ImportProgress& progress, std::optional<ImportFormat> format)
    : text_(std::move(csv))
{
    auto wipeOnFailure = qScopeGuard([this] { Secrets::wipe(text_); });
    readRows(progress, format);
    wipeOnFailure.dismiss();
}

AccountImport::~AccountImport()
{
    Secrets::wipe(text_);
}

void AccountImport::readRows(const ImportProgress& progress, std::optional<ImportFormat> format)
{
    dialect_ = sniffDialect(text_);
    auto reader = std::make_unique<CsvReader>(text_, dialect_);
    if (!reader->next(header_))
        raiseInputError(0, QStringLiteral("the file is empty"));
    // Room for a row a line at once: growing by doubling would need half as much again.
    rows_.reserve(size_t(lineCount(text_)));
    // A header that matches nothing is told after the faults of the rest
    // of the file, which say more about a file that is no CSV at all.
    std::optional<AppError> unknownHeader;
    try {
        recognize(format);
    } catch (const AppError& error) {
        unknownHeader = error;
        columns_.width = header_.size();
    }
    if (columns_.has(BackslashEscapes)) {
        dialect_.backslashEscapes = true;
        reader = std::make_unique<CsvReader>(text_, dialect_, reader->position(), reader->nextLine());
    }
    qsizetype records = 0;
    for (CsvRecord record; reader->next(record);) {
        addRow(record, !unknownHeader);
        if (progress && ++records % 1000 == 0)
            progress(ImportStage::Reading, records, 0);
    }
    refuseWhenNoRowFits();
    if (unknownHeader)
        throw *unknownHeader;
    if (progress)
        progress(ImportStage::Reading, rowsRead(), 0);
}

void AccountImport::recognize(std::optional<ImportFormat> format)
{
    columns_ = recognizeHeader(header_, format);
    if (columns_.firstIsRow) {
        // Keeper writes no header: its first record is a row.
        addRow(header_, true);
        header_.clear();
    }
}

void AccountImport::addRow(const CsvRecord& record, bool known)
{
    RowState state;
    state.begin = quint32(record.begin);
    state.line = quint32(record.line);
    if (columns_.broken(record.size())) {
        // The lines of one row broken by unquoted line breaks go together.
        if (!rows_.empty() && rows_.back().outcome == RowOutcome::Broken) {
            rows_.back().extra = quint32(record.lastLine);
            return;
        }
        state.outcome = RowOutcome::Broken;
        state.extra = quint32(record.lastLine);
        if (brokenRows_++ == 0)
            firstBroken_ = {record.line, record.size()};
    } else if (known) {
        ImportRow row;
        const RowCheck check = convert(record, row);
        wipeRow(row);
        state.outcome = check.outcome;
        state.flags = (check.totp ? unsigned(HasTotp) : 0u) | (check.remarks().isEmpty() ? 0u : unsigned(HasRemarks));
        if (check.outcome == RowOutcome::NotLogin)
            ++notLogins_[size_t(check.kind)];
    }
    rows_.push_back(state);
}

void AccountImport::refuseWhenNoRowFits() const
{
    // One odd row, even in a short file, is only listed: the file is its
    // layout's as long as any row has that layout's fields.
    if (brokenRows_ == 0 || brokenRows_ < rowsRead())
        return;
    raiseInputError(firstBroken_.first,
                    QStringLiteral("%1, and no row of the file has the fields of its layout")
                        .arg(columns_.brokenText(firstBroken_.second)));
}

RowCheck AccountImport::convert(const CsvRecord& record, ImportRow& row) const
{
    wipeRow(row);
    row.line = record.line;
    ImportItem item = readItem(record, columns_);
    const RowCheck check = makeAccount(item, columns_, row.plain);
    item.wipe();
    if (check.outcome != RowOutcome::Login)
        wipeRow(row);
    return check;
}

QString AccountImport::columnsText() const
{
    return Transfer::columnsText(columns_, header_);
}

void AccountImport::run(VaultStore& vault, bool dryRun, const ImportProgress& progress)
{
    storedCount_ = 0;
    // A sealed vault's passwords open only with the master password: without
    // it, accounts are the same when name, username and URL are.
    const bool withPasswords = !vault.isSealed() || vault.isSealOpen();
    comparedPasswords_ = withPasswords;
    SeenAccounts seen = rowAccounts();
    qsizetype checked = 0;
    const auto visitStored = [&](const AccountRow& row) {
        AccountFields plain{row.fields.account,
                            decryptField(row.fields.username),
                            withPasswords ? vault.openPassword(row.fields.password) : QString(),
                            row.fields.url,
                            {},
                            {}};
        seen.forEachHolding(plain, [&](size_t held) { markDuplicate(held, 0); });
        Secrets::wipe(plain.username);
        Secrets::wipe(plain.password);
        if (progress && ++checked % 500 == 0)
            progress(ImportStage::Checking, checked, 0);
    };
    RowCursor cursor(text_, dialect_);
    ImportRow current;
    size_t next = 0;
    const auto nextNew = [&]() -> const ImportRow* {
        while (next < rows_.size()) {
            const RowState& state = rows_[next++];
            if (state.outcome == RowOutcome::Login && convert(cursor.at(state), current).outcome == RowOutcome::Login)
                return &current;
        }
        return nullptr;
    };
    const auto forget = qScopeGuard([&] { wipeRow(current); });

    if (dryRun) {
        vault.forEachAccount(visitStored);
        while (nextNew())
            ++storedCount_;
        return;
    }
    qsizetype storing = 0;
    vault.appendAccounts(visitStored, [&](AccountFields& out) {
        const ImportRow* row = nextNew();
        if (!row)
            return false;
        const AccountFields& p = row->plain;
        out = {p.account, Encrypt(p.username), vault.passwordToStore(p.password), p.url, p.hint, p.notes};
        ++storing;
        if (progress && storing % 500 == 0)
            progress(ImportStage::Storing, storing, seen.rows());
        return true;
    });
    storedCount_ = storing;
}

// The accounts of the rows, with the rows that repeat an earlier one marked.
SeenAccounts AccountImport::rowAccounts()
{
    duplicates_ = 0;
    for (RowState& state : rows_)
        if (state.outcome == RowOutcome::Duplicate)
            state.outcome = RowOutcome::Login;  // a run before this one failed
    SeenAccounts seen(comparedPasswords_);
    seen.reserve(size_t(std::count_if(rows_.begin(), rows_.end(),
                                      [](const RowState& row) { return row.outcome == RowOutcome::Login; })));
    RowCursor cursor(text_, dialect_);
    ImportRow row;
    for (size_t i = 0; i < rows_.size(); ++i)
        if (rows_[i].outcome == RowOutcome::Login && convert(cursor.at(rows_[i]), row).outcome == RowOutcome::Login)
            seen.addRow(row.plain, i);
    wipeRow(row);
    seen.forEachRepeat([&](size_t row, size_t first) { markDuplicate(row, rows_[first].line); });
    return seen;
}

void AccountImport::markDuplicate(size_t row, quint32 firstLine)
{
    duplicates_ += rows_[row].outcome == RowOutcome::Duplicate ? 0 : 1;
    rows_[row].outcome = RowOutcome::Duplicate;
    rows_[row].extra = firstLine;
}

void AccountImport::forEachStored(const std::function<void(const ImportRow&)>& visit) const
{
    RowCursor cursor(text_, dialect_);
    ImportRow row;
    for (const RowState& state : rows_)
        if (state.outcome == RowOutcome::Login && convert(cursor.at(state), row).outcome == RowOutcome::Login)
            visit(row);
    wipeRow(row);
}

void AccountImport::forEachSkipped(const std::function<void(const ImportSkip&)>& visit) const
{
    RowCursor cursor(text_, dialect_);
    ImportRow row;
    for (const RowState& state : rows_) {
        ImportSkip skip{qsizetype(state.line), {}, 0};
        switch (state.outcome) {
        case RowOutcome::Login:
            continue;
        case RowOutcome::Duplicate: {
            const QString same = comparedPasswords_ ? QStringLiteral("the same account")
                                                    : QStringLiteral("the same name, username and URL");
            skip.reason = state.extra == 0 ? same + QStringLiteral(" is in the vault already")
                                           : same + QStringLiteral(" as line %1").arg(state.extra);
            break;
        }
        case RowOutcome::Broken:
            skip.reason = columns_.brokenText(cursor.at(state).size());
            skip.lastLine = state.extra > state.line ? qsizetype(state.extra) : 0;
            break;
        case RowOutcome::Refused:
        case RowOutcome::NotLogin:
            skip.reason = convert(cursor.at(state), row).reason;
            break;
        }
        visit(skip);
    }
    wipeRow(row);
}

void AccountImport::forEachRemark(const std::function<void(const ImportSkip&)>& visit) const
{
    RowCursor cursor(text_, dialect_);
    ImportRow row;
    for (const RowState& state : rows_)
        if (state.outcome == RowOutcome::Login && (state.flags & HasRemarks) != 0)
            for (const QString& remark : convert(cursor.at(state), row).remarks())
                visit({qsizetype(state.line), remark, 0});
    wipeRow(row);
}

std::vector<ImportSkip> AccountImport::skipped() const
{
    std::vector<ImportSkip> all;
    forEachSkipped([&](const ImportSkip& skip) { all.push_back(skip); });
    return all;
}

QString AccountImport::notLoginsText() const
{
    QStringList kinds;
    for (int kind = 0; kind < ItemKindCount; ++kind)
        if (notLogins_[size_t(kind)] > 0)
            kinds << kindText(ItemKind(kind), notLogins_[size_t(kind)]);
    return kinds.join(QStringLiteral(", "));
}

qsizetype AccountImport::totpLeftBehind() const
{
    return std::count_if(rows_.begin(), rows_.end(), [](const RowState& row) {
        return row.outcome == RowOutcome::Login && (row.flags & HasTotp) != 0;
    });
}

}  // namespace Transfer
