#include "transfer/accountimport.h"

#include "transfer/transfer.h"
#include "vault/accountlimits.h"
#include "vault/apperror.h"
#include "vault/stringcipher.h"
#include "vault/wipe.h"

#include <QScopeGuard>
#include <QUrl>
#include <algorithm>
#include <array>
#include <optional>
#include <sodium.h>
#include <vector>

namespace Transfer {

namespace {

QString OneLineEnd(QString text)
{
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return text;
}

QString HostOf(const QString& url)
{
    const QString host = QUrl(url).host();
    return host.isEmpty() ? url : host;
}

QStringList Problems(const AccountFields& plain, bool nameFromUrl, bool urlPrefixed)
{
    QStringList problems;
    if (AccountLimits::IsBlankName(plain.account))
        problems << (nameFromUrl ? QStringLiteral("no name: the URL is empty") : QStringLiteral("the name is blank"));
    struct Check {
        const QString& value;
        const char* label;
        int limit;
        bool singleLine;
    };
    const Check checks[] = {
        {plain.account, "name", AccountLimits::Name, true},
        {plain.username, "username", AccountLimits::Username, true},
        {plain.password, "password", AccountLimits::Password, true},
        {plain.url, "URL", AccountLimits::Url, true},
        {plain.hint, "hint", AccountLimits::Text, false},
        {plain.notes, "notes", AccountLimits::Text, false},
    };
    for (const Check& check : checks) {
        const QString label = QString::fromLatin1(check.label);
        if (check.singleLine && (check.value.contains(QLatin1Char('\n')) || check.value.contains(QLatin1Char('\r'))))
            problems << QStringLiteral("the %1 holds a line break").arg(label);
        if (check.value.size() > check.limit) {
            const QString what = (urlPrefixed && &check.value == &plain.url)
                ? QStringLiteral("the URL with \"http://\" put in front")
                : QStringLiteral("the %1").arg(label);
            problems << QStringLiteral("%1 has %2 characters; at most %3 fit")
                            .arg(what)
                            .arg(check.value.size())
                            .arg(check.limit);
        }
    }
    return problems;
}

// Knows the accounts of the rows and of the vault by a keyed hash of
// name, username, password and URL, so no plain password is kept for the
// comparison: twelve bytes of it (two accounts alike by chance take some
// 2^48 of them) and a row number each, sorted once.
class SeenAccounts {
public:
    using Digest = std::array<unsigned char, 12>;

    SeenAccounts()
    {
        if (sodium_init() < 0)
            throw AppError(ErrorCode::CipherFailure, QStringLiteral("The cipher library could not be initialised."),
                           ErrorSource::Cipher);
        randombytes_buf(key_.data(), key_.size());
    }
    ~SeenAccounts() { sodium_memzero(key_.data(), key_.size()); }

    Digest digest(const AccountFields& plain) const
    {
        crypto_generichash_state state;
        crypto_generichash_init(&state, key_.data(), key_.size(), crypto_generichash_BYTES_MIN);
        for (const QString* value : {&plain.account, &plain.username, &plain.password, &plain.url}) {
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
    std::vector<Entry> rows_;
};

// CRLF, LF and CR each end a line.
qsizetype LineCount(const QByteArray& text)
{
    qsizetype lines = 1;
    for (qsizetype i = 0; i < text.size(); ++i)
        if (text[i] == '\n' || (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n')))
            ++lines;
    return lines;
}

void WipeRow(ImportRow& row)
{
    Secrets::wipe(row.plain.username);
    Secrets::wipe(row.plain.password);
    row.plain = {};
}

}  // namespace

// Reads the records of rows again, going forward through the text as the
// rows are asked for in line order.
class AccountImport::RowCursor {
public:
    explicit RowCursor(const QByteArray& text) : text_(text) { }

    const CsvRecord& at(const RowState& row)
    {
        const auto begin = qsizetype(row.begin);
        if (record_.line > 0 && record_.begin == begin)
            return record_;
        if (!reader_ || record_.begin > begin)
            reader_ = std::make_unique<CsvReader>(text_, begin, qsizetype(row.line));
        while (record_.line == 0 || record_.begin < begin)
            if (!reader_->next(record_))
                break;
        if (record_.begin != begin)
            RaiseInputError(row.line, QStringLiteral("the row cannot be read again"));
        return record_;
    }

private:
    const QByteArray& text_;
    std::unique_ptr<CsvReader> reader_;
    CsvRecord record_;
};

AccountImport::AccountImport(QByteArray csv, const ImportProgress& progress) : text_(std::move(csv))
{
    try {
        readRows(progress);
    } catch (...) {
        Secrets::wipe(text_);
        throw;
    }
}

AccountImport::~AccountImport()
{
    Secrets::wipe(text_);
}

void AccountImport::readRows(const ImportProgress& progress)
{
    CsvReader reader(text_);
    if (!reader.next(header_))
        RaiseInputError(0, QStringLiteral("the file is empty"));
    // A header that matches nothing is told after the faults of the rest
    // of the file, which say more about a file that is no CSV at all.
    std::optional<AppError> unknownHeader;
    try {
        columns_ = RecognizeHeader(header_);
    } catch (const AppError& error) {
        unknownHeader = error;
    }
    // Room for a row a line at once: growing by doubling would need half as much again.
    rows_.reserve(size_t(LineCount(text_)));
    CsvRecord record;
    ImportRow row;
    while (reader.next(record)) {
        if (record.size() != header_.size())
            RaiseInputError(
                record.line,
                QStringLiteral("%1 field(s) where the header row has %2").arg(record.size()).arg(header_.size()));
        if (!unknownHeader)
            rows_.push_back(
                RowState{quint32(record.begin), quint32(record.line) & 0xFFFFFFF, convert(record, row, nullptr), 0});
        if (progress && reader.recordsRead() % 1000 == 0)
            progress(ImportStage::Reading, reader.recordsRead() - 1, 0);  // the header is no row
    }
    WipeRow(row);
    if (unknownHeader)
        throw *unknownHeader;
    if (progress)
        progress(ImportStage::Reading, rowsRead(), 0);
}

AccountImport::Outcome AccountImport::convert(const CsvRecord& record, ImportRow& row, QString* reason) const
{
    WipeRow(row);
    row.line = record.line;
    const auto field = [&](int column) { return column >= 0 ? record.field(column) : QString(); };
    if (columns_.type >= 0) {
        const QString type = field(columns_.type).trimmed();
        if (type.compare(QLatin1String("login"), Qt::CaseInsensitive) != 0) {
            if (reason)
                *reason = QStringLiteral("not a login (type \"%1\")").arg(type);
            return Outcome::Refused;
        }
    }
    AccountFields& plain = row.plain;
    const QString url = field(columns_.url);
    plain.account = columns_.name >= 0 ? field(columns_.name) : HostOf(url);
    plain.username = field(columns_.username);
    plain.password = field(columns_.password);
    // The URL rule of the add dialog, applied as its second "&Ok" would.
    const bool prefixed = !AccountLimits::HasUrlScheme(url);
    plain.url = prefixed ? AccountLimits::HttpPrefix + url : url;
    const QString notes = OneLineEnd(field(columns_.notes));
    if (columns_.hint >= 0) {
        plain.hint = OneLineEnd(field(columns_.hint));
        plain.notes = notes;
    } else {
        std::tie(plain.notes, plain.hint) = SplitHint(notes);
    }
    const QStringList problems = Problems(plain, columns_.name < 0, prefixed);
    if (problems.isEmpty())
        return Outcome::Login;
    if (reason)
        *reason = problems.join(QStringLiteral("; "));
    WipeRow(row);
    return Outcome::Refused;
}

QString AccountImport::columnsText() const
{
    QStringList parts;
    const auto add = [&](const char* field, int column) {
        if (column >= 0)
            parts << QStringLiteral("%1 from \"%2\"").arg(QLatin1String(field), header_.field(column));
    };
    if (columns_.name < 0)
        parts << QStringLiteral("name from the URL's host");
    add("name", columns_.name);
    add("username", columns_.username);
    add("password", columns_.password);
    add("URL", columns_.url);
    add("hint", columns_.hint);
    add("notes", columns_.notes);
    if (columns_.hint < 0 && columns_.notes >= 0)
        parts << QStringLiteral("hint from a closing \"Hint: \" paragraph of the notes");
    QString text = parts.join(QStringLiteral(", "));
    if (columns_.format != ImportFormat::Other)
        return text;
    // A header of thousands of columns must not flood the terminal.
    constexpr int Shown = 10;
    QStringList unused;
    qsizetype more = 0;
    for (int i = 0; i < header_.size(); ++i) {
        if (i == columns_.name || i == columns_.username || i == columns_.password || i == columns_.url
            || i == columns_.hint || i == columns_.notes)
            continue;
        if (unused.size() < Shown)
            unused << QStringLiteral("\"%1\"").arg(header_.field(i));
        else
            ++more;
    }
    if (more > 0)
        unused << QStringLiteral("and %1 more").arg(more);
    if (!unused.isEmpty())
        text += QStringLiteral("; not used: ") + unused.join(QStringLiteral(", "));
    return text;
}

void AccountImport::run(VaultStore& vault, bool dryRun, const ImportProgress& progress)
{
    storedCount_ = 0;
    duplicates_ = 0;
    SeenAccounts seen;
    seen.reserve(size_t(std::count_if(rows_.begin(), rows_.end(),
                                      [](const RowState& row) { return row.outcome != Outcome::Refused; })));
    {
        RowCursor cursor(text_);
        ImportRow row;
        for (size_t i = 0; i < rows_.size(); ++i) {
            if (rows_[i].outcome == Outcome::Duplicate)
                rows_[i].outcome = Outcome::Login;  // a run before this one failed
            if (rows_[i].outcome == Outcome::Login && convert(cursor.at(rows_[i]), row, nullptr) == Outcome::Login)
                seen.addRow(row.plain, i);
        }
        WipeRow(row);
    }
    const auto markDuplicate = [&](size_t row, quint32 firstLine) {
        duplicates_ += rows_[row].outcome == Outcome::Duplicate ? 0 : 1;
        rows_[row].outcome = Outcome::Duplicate;
        rows_[row].firstLine = firstLine;
    };
    seen.forEachRepeat([&](size_t row, size_t first) { markDuplicate(row, rows_[first].line); });

    qsizetype checked = 0;
    const auto visitStored = [&](const AccountRow& row) {
        AccountFields plain{row.fields.account,
                            DecryptField(row.fields.username),
                            DecryptField(row.fields.password),
                            row.fields.url,
                            {},
                            {}};
        seen.forEachHolding(plain, [&](size_t held) { markDuplicate(held, 0); });
        Secrets::wipe(plain.username);
        Secrets::wipe(plain.password);
        if (progress && ++checked % 500 == 0)
            progress(ImportStage::Checking, checked, 0);
    };
    RowCursor cursor(text_);
    ImportRow current;
    size_t next = 0;
    const auto nextNew = [&]() -> const ImportRow* {
        while (next < rows_.size()) {
            const RowState& state = rows_[next++];
            if (state.outcome == Outcome::Login && convert(cursor.at(state), current, nullptr) == Outcome::Login)
                return &current;
        }
        return nullptr;
    };
    const auto forget = qScopeGuard([&] { WipeRow(current); });

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
        out = {p.account, Encrypt(p.username), Encrypt(p.password), p.url, p.hint, p.notes};
        ++storing;
        if (progress && storing % 500 == 0)
            progress(ImportStage::Storing, storing, seen.rows());
        return true;
    });
    storedCount_ = storing;
}

void AccountImport::forEachStored(const std::function<void(const ImportRow&)>& visit) const
{
    RowCursor cursor(text_);
    ImportRow row;
    for (const RowState& state : rows_)
        if (state.outcome == Outcome::Login && convert(cursor.at(state), row, nullptr) == Outcome::Login)
            visit(row);
    WipeRow(row);
}

void AccountImport::forEachSkipped(const std::function<void(const ImportSkip&)>& visit) const
{
    RowCursor cursor(text_);
    ImportRow row;
    for (const RowState& state : rows_) {
        ImportSkip skip{qsizetype(state.line), {}};
        if (state.outcome == Outcome::Duplicate)
            skip.reason = state.firstLine == 0 ? QStringLiteral("the same account is in the vault already")
                                               : QStringLiteral("the same account as line %1").arg(state.firstLine);
        else if (state.outcome == Outcome::Refused)
            convert(cursor.at(state), row, &skip.reason);
        if (!skip.reason.isEmpty())
            visit(skip);
    }
    WipeRow(row);
}

std::vector<ImportSkip> AccountImport::skipped() const
{
    std::vector<ImportSkip> all;
    forEachSkipped([&](const ImportSkip& skip) { all.push_back(skip); });
    return all;
}

}  // namespace Transfer
