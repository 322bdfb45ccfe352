#include "transfer/accountimport.h"

#include "transfer/transfer.h"
#include "vault/accountlimits.h"
#include "vault/apperror.h"
#include "vault/stringcipher.h"
#include "vault/vaultseal.h"
#include "vault/wipe.h"

#include <QUrl>
#include <algorithm>
#include <array>
#include <sodium.h>
#include <string>
#include <unordered_map>
#include <vector>

namespace Transfer {

namespace {

// A header cell as the known formats name their columns.
QString Key(const QString& cell)
{
    return cell.trimmed().toLower();
}

// A header cell reduced to its letters and digits, for matching common words.
QString Word(const QString& cell)
{
    QString word;
    for (const QChar c : cell.toLower())
        if (c.isLetterOrNumber())
            word += c;
    return word;
}

bool HasAll(const QStringList& keys, const std::vector<const char*>& names)
{
    return std::all_of(names.begin(), names.end(),
                       [&](const char* name) { return keys.contains(QLatin1String(name)); });
}

// -1 for a column the format does not have.
int Column(const QStringList& keys, const char* name)
{
    return name ? int(keys.indexOf(QLatin1String(name))) : -1;
}

// The column whose header is the first of `words` that any column has.
int ColumnNamed(const QStringList& words, std::initializer_list<const char*> wanted)
{
    for (const char* want : wanted) {
        const qsizetype at = words.indexOf(QLatin1String(want));
        if (at >= 0)
            return int(at);
    }
    return -1;
}

ImportColumns OtherColumns(const QStringList& header)
{
    QStringList words;
    for (const QString& cell : header)
        words << Word(cell);
    ImportColumns c;
    c.format = ImportFormat::Other;
    c.name = ColumnNamed(words,
                         {"name", "title", "account", "accountname", "entry", "entryname", "sitename", "service",
                          "servicename", "label", "item", "itemname"});
    c.username = ColumnNamed(
        words, {"username", "user", "login", "loginname", "loginusername", "userid", "email", "emailaddress", "mail"});
    c.password = ColumnNamed(words, {"password", "pass", "passwd", "pwd", "loginpassword", "passphrase", "secret"});
    c.url = ColumnNamed(words,
                        {"url", "uri", "loginuri", "website", "websiteurl", "siteurl", "web", "webaddress", "address",
                         "link", "site", "host", "hostname", "domain", "origin"});
    c.hint = ColumnNamed(words, {"hint", "passwordhint"});
    c.notes =
        ColumnNamed(words, {"notes", "note", "comments", "comment", "extra", "remarks", "memo", "description", "info"});
    return c;
}

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

// Knows the accounts seen so far by a keyed hash of name, username,
// password and URL, so no plain password is kept for the comparison.
class SeenAccounts {
public:
    SeenAccounts()
    {
        if (sodium_init() < 0)
            throw AppError(ErrorCode::CipherFailure, QStringLiteral("The cipher library could not be initialised."),
                           ErrorSource::Cipher);
        randombytes_buf(key_.data(), key_.size());
    }
    ~SeenAccounts() { sodium_memzero(key_.data(), key_.size()); }

    // The line that first had the account (0: the vault), or -1 when it is new.
    qsizetype add(const QString& name, const QString& username, const QString& password, const QString& url,
                  qsizetype line)
    {
        const auto [at, added] = lines_.try_emplace(digest({&name, &username, &password, &url}), line);
        return added ? -1 : at->second;
    }

private:
    std::string digest(std::initializer_list<const QString*> values) const
    {
        crypto_generichash_state state;
        crypto_generichash_init(&state, key_.data(), key_.size(), crypto_generichash_BYTES);
        for (const QString* value : values) {
            QByteArray utf8 = value->toUtf8();
            const quint64 length = quint64(utf8.size());
            crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(&length), sizeof length);
            crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(utf8.constData()),
                                      quint64(utf8.size()));
            Secrets::wipe(utf8);
        }
        std::string out(crypto_generichash_BYTES, '\0');
        crypto_generichash_final(&state, reinterpret_cast<unsigned char*>(out.data()), out.size());
        return out;
    }

    std::array<unsigned char, crypto_generichash_KEYBYTES> key_{};
    std::unordered_map<std::string, qsizetype> lines_;
};

void WipeRows(std::vector<ImportRow>& rows)
{
    for (ImportRow& row : rows) {
        Secrets::wipe(row.plain.username);
        Secrets::wipe(row.plain.password);
    }
    rows.clear();
}

}  // namespace

QString FormatName(ImportFormat format)
{
    switch (format) {
    case ImportFormat::Firefox:
        return QStringLiteral("Firefox");
    case ImportFormat::Chrome:
        return QStringLiteral("Chrome, Chromium or Edge");
    case ImportFormat::Bitwarden:
        return QStringLiteral("Bitwarden");
    case ImportFormat::KeePassXC:
        return QStringLiteral("KeePassXC");
    case ImportFormat::Other:
        break;
    }
    return QStringLiteral("other (columns matched by their names)");
}

ImportColumns RecognizeHeader(const QStringList& header)
{
    QStringList keys;
    for (const QString& cell : header)
        keys << Key(cell);
    // Each known export by the columns its header always has, tried in
    // this order; a closed header has no columns but those and its notes.
    struct KnownFormat {
        ImportFormat format;
        std::vector<const char*> header;
        bool closed;
        const char* name;
        const char* username;
        const char* password;
        const char* url;
        const char* notes;
        const char* type;
    };
    static const KnownFormat formats[] = {
        {ImportFormat::Bitwarden,
         {"type", "name", "notes", "login_uri", "login_username", "login_password"},
         false,
         "name",
         "login_username",
         "login_password",
         "login_uri",
         "notes",
         "type"},
        {ImportFormat::Firefox,
         {"url", "username", "password", "httprealm", "formactionorigin"},
         false,
         nullptr,
         "username",
         "password",
         "url",
         nullptr,
         nullptr},
        {ImportFormat::KeePassXC,
         {"group", "title", "username", "password", "url", "notes"},
         false,
         "title",
         "username",
         "password",
         "url",
         "notes",
         nullptr},
        {ImportFormat::Chrome,
         {"name", "url", "username", "password"},
         true,
         "name",
         "username",
         "password",
         "url",
         "note",
         nullptr},
    };
    for (const KnownFormat& known : formats) {
        const auto listed = [&](const QString& key) {
            return (known.notes && key == QLatin1String(known.notes))
                || std::any_of(known.header.begin(), known.header.end(),
                               [&](const char* name) { return key == QLatin1String(name); });
        };
        if (!HasAll(keys, known.header) || (known.closed && !std::all_of(keys.begin(), keys.end(), listed)))
            continue;
        return {.format = known.format,
                .name = Column(keys, known.name),
                .username = Column(keys, known.username),
                .password = Column(keys, known.password),
                .url = Column(keys, known.url),
                .notes = Column(keys, known.notes),
                .type = Column(keys, known.type)};
    }
    ImportColumns c = OtherColumns(header);
    if (c.password < 0 || (c.name < 0 && c.url < 0)) {
        QString cells = header.join(QStringLiteral(", "));
        if (cells.size() > 200)
            cells = cells.left(200) + QStringLiteral("...");
        RaiseInputError(1,
                        QStringLiteral("the header row matches no export this tool knows (Firefox, Chrome, "
                                       "Bitwarden, KeePassXC) and names no %1 column (columns: %2)")
                            .arg(c.password < 0 ? QStringLiteral("password") : QStringLiteral("name or URL"), cells));
    }
    return c;
}

AccountImport::AccountImport(const QByteArray& csv, const ImportProgress& progress)
{
    std::vector<CsvRecord> records = ParseCsv(csv, [&](qsizetype read) {
        if (progress)
            progress(ImportStage::Reading, std::max<qsizetype>(read - 1, 0), 0);  // the header is no row
    });
    struct Wiper {
        std::vector<CsvRecord>& records;
        ~Wiper() { WipeRecords(records); }
    } wiper{records};

    header_ = records.front().fields;
    columns_ = RecognizeHeader(header_);
    rowsRead_ = qsizetype(records.size()) - 1;
    const auto field = [](const CsvRecord& record, int column) {
        return column >= 0 ? record.fields[column] : QString();
    };
    for (auto record = records.begin() + 1; record != records.end(); ++record) {
        if (columns_.type >= 0) {
            const QString type = field(*record, columns_.type).trimmed();
            if (type.compare(QLatin1String("login"), Qt::CaseInsensitive) != 0) {
                refused_.push_back({record->line, QStringLiteral("not a login (type \"%1\")").arg(type)});
                continue;
            }
        }
        ImportRow row{record->line, {}};
        AccountFields& plain = row.plain;
        const QString url = field(*record, columns_.url);
        plain.account = columns_.name >= 0 ? field(*record, columns_.name) : HostOf(url);
        plain.username = field(*record, columns_.username);
        plain.password = field(*record, columns_.password);
        // The URL rule of the add dialog, applied as its second "&Ok" would.
        const bool prefixed = !AccountLimits::HasUrlScheme(url);
        plain.url = prefixed ? AccountLimits::HttpPrefix + url : url;
        const QString notes = OneLineEnd(field(*record, columns_.notes));
        if (columns_.hint >= 0) {
            plain.hint = OneLineEnd(field(*record, columns_.hint));
            plain.notes = notes;
        } else {
            std::tie(plain.notes, plain.hint) = SplitHint(notes);
        }
        const QStringList problems = Problems(plain, columns_.name < 0, prefixed);
        if (!problems.isEmpty()) {
            refused_.push_back({record->line, problems.join(QStringLiteral("; "))});
            Secrets::wipe(plain.username);
            Secrets::wipe(plain.password);
            continue;
        }
        accepted_.push_back(std::move(row));
    }
}

AccountImport::~AccountImport()
{
    WipeRows(stored_);
    WipeRows(accepted_);
}

QString AccountImport::columnsText() const
{
    QStringList parts;
    const auto add = [&](const char* field, int column) {
        if (column >= 0)
            parts << QStringLiteral("%1 from \"%2\"").arg(QLatin1String(field), header_[column]);
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
    if (columns_.format == ImportFormat::Other) {
        QStringList unused;
        for (int i = 0; i < header_.size(); ++i) {
            if (i != columns_.name && i != columns_.username && i != columns_.password && i != columns_.url
                && i != columns_.hint && i != columns_.notes)
                unused << QStringLiteral("\"%1\"").arg(header_[i]);
        }
        if (!unused.isEmpty())
            text += QStringLiteral("; not used: ") + unused.join(QStringLiteral(", "));
    }
    return text;
}

void AccountImport::run(VaultStore& vault, bool dryRun, const ImportProgress& progress)
{
    WipeRows(stored_);
    duplicates_.clear();
    SeenAccounts seen;
    qsizetype checked = 0;
    // A sealed vault's passwords open only with the master password: without
    // it, accounts are the same when name, username and URL are.
    const bool withPasswords = !vault.seal() || vault.seal()->isUnlocked();
    const auto visitStored = [&](const AccountRow& row) {
        QString username = DecryptField(row.fields.username);
        QString password = withPasswords ? OpenPassword(vault, row.fields.password) : QString();
        seen.add(row.fields.account, username, password, row.fields.url, 0);
        Secrets::wipe(username);
        Secrets::wipe(password);
        if (progress && ++checked % 500 == 0)
            progress(ImportStage::Checking, checked, 0);
    };
    size_t next = 0;
    const auto nextNew = [&]() -> const ImportRow* {
        while (next < accepted_.size()) {
            const ImportRow& row = accepted_[next++];
            const AccountFields& p = row.plain;
            const qsizetype first =
                seen.add(p.account, p.username, withPasswords ? p.password : QString(), p.url, row.line);
            if (first < 0)
                return &row;
            const QString same =
                withPasswords ? QStringLiteral("the same account") : QStringLiteral("the same name, username and URL");
            duplicates_.push_back({row.line,
                                   first == 0 ? same + QStringLiteral(" is in the vault already")
                                              : same + QStringLiteral(" as line %1").arg(first)});
        }
        return nullptr;
    };

    if (dryRun) {
        vault.forEachAccount(visitStored);
        while (const ImportRow* row = nextNew())
            stored_.push_back(*row);
        return;
    }
    std::vector<ImportRow> storing;
    vault.appendAccounts(visitStored, [&](AccountFields& out) {
        const ImportRow* row = nextNew();
        if (!row)
            return false;
        const AccountFields& p = row->plain;
        out = {p.account, Encrypt(p.username), PasswordToStore(vault, p.password), p.url, p.hint, p.notes};
        storing.push_back(*row);
        if (progress && storing.size() % 500 == 0)
            progress(ImportStage::Storing, qsizetype(storing.size()), qsizetype(accepted_.size()));
        return true;
    });
    stored_ = std::move(storing);
}

std::vector<ImportSkip> AccountImport::skipped() const
{
    std::vector<ImportSkip> all = refused_;
    all.insert(all.end(), duplicates_.begin(), duplicates_.end());
    std::stable_sort(all.begin(), all.end(), [](const ImportSkip& a, const ImportSkip& b) { return a.line < b.line; });
    return all;
}

}  // namespace Transfer
