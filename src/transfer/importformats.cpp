#include "transfer/importformats.h"

#include "transfer/transfer.h"

#include <QHash>
#include <QSet>
#include <algorithm>
#include <vector>

namespace Transfer {

namespace {

// Each known export by the columns its header always has, tried in this
// order; a closed header has no columns but those and its notes.
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

const std::vector<KnownFormat>& KnownFormats()
{
    static const std::vector<KnownFormat> formats = {
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
    return formats;
}

// The words of a header that names its columns in its own way, each
// field's in the order they are tried.
const std::vector<const char*> NameWords = {"name",     "title",   "account",     "accountname", "entry", "entryname",
                                            "sitename", "service", "servicename", "label",       "item",  "itemname"};
const std::vector<const char*> UsernameWords = {"username", "user",  "login",        "loginname", "loginusername",
                                                "userid",   "email", "emailaddress", "mail"};
const std::vector<const char*> PasswordWords = {"password",      "pass",       "passwd", "pwd",
                                                "loginpassword", "passphrase", "secret"};
const std::vector<const char*> UrlWords = {"url",     "uri",  "loginuri",   "website", "websiteurl",
                                           "siteurl", "web",  "webaddress", "address", "link",
                                           "site",    "host", "hostname",   "domain",  "origin"};
const std::vector<const char*> HintWords = {"hint", "passwordhint"};
const std::vector<const char*> NotesWords = {"notes",   "note", "comments",    "comment", "extra",
                                             "remarks", "memo", "description", "info"};

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

// The first column of each name and word the formats look for, found in
// one pass: a header of a million columns costs no more than its record.
class HeaderIndex {
public:
    explicit HeaderIndex(const CsvRecord& header) : header_(header)
    {
        for (int i = 0; i < int(header.size()); ++i) {
            const QString cell = header.field(i);
            if (const QString key = Key(cell); knownKeys().contains(key) && !keys_.contains(key))
                keys_.insert(key, i);
            if (const QString word = Word(cell); knownWords().contains(word) && !words_.contains(word))
                words_.insert(word, i);
        }
    }

    // -1 for a name that no column has, or no name.
    int column(const char* key) const { return key ? keys_.value(QLatin1String(key), -1) : -1; }
    bool hasAll(const std::vector<const char*>& names) const
    {
        return std::all_of(names.begin(), names.end(), [&](const char* name) { return column(name) >= 0; });
    }
    // Whether every column is one of `names` or `extra`.
    bool onlyOf(const std::vector<const char*>& names, const char* extra) const
    {
        if (header_.size() > qsizetype(names.size()) + 1)
            return false;
        for (qsizetype i = 0; i < header_.size(); ++i) {
            const QString key = Key(header_.field(i));
            const auto named = [&](const char* name) { return name && key == QLatin1String(name); };
            if (!named(extra) && std::none_of(names.begin(), names.end(), named))
                return false;
        }
        return true;
    }
    // The column named by the first of `wanted` that any column is named.
    int columnOfWord(const std::vector<const char*>& wanted) const
    {
        for (const char* word : wanted)
            if (const int at = words_.value(QLatin1String(word), -1); at >= 0)
                return at;
        return -1;
    }

private:
    static const QSet<QString>& knownKeys()
    {
        static const QSet<QString> keys = [] {
            QSet<QString> all;
            for (const KnownFormat& known : KnownFormats())
                for (const char* name : known.header)
                    all.insert(QLatin1String(name));
            all.insert(QStringLiteral("note"));
            return all;
        }();
        return keys;
    }
    static const QSet<QString>& knownWords()
    {
        static const QSet<QString> words = [] {
            QSet<QString> all;
            for (const auto* list : {&NameWords, &UsernameWords, &PasswordWords, &UrlWords, &HintWords, &NotesWords})
                for (const char* word : *list)
                    all.insert(QLatin1String(word));
            return all;
        }();
        return words;
    }

    const CsvRecord& header_;
    QHash<QString, int> keys_;
    QHash<QString, int> words_;
};

ImportColumns OtherColumns(const HeaderIndex& index)
{
    ImportColumns c;
    c.format = ImportFormat::Other;
    c.name = index.columnOfWord(NameWords);
    c.username = index.columnOfWord(UsernameWords);
    c.password = index.columnOfWord(PasswordWords);
    c.url = index.columnOfWord(UrlWords);
    c.hint = index.columnOfWord(HintWords);
    c.notes = index.columnOfWord(NotesWords);
    return c;
}

// The header's cells as a message shows them: the first 200 characters.
QString CellsShown(const CsvRecord& header)
{
    QString cells;
    for (qsizetype i = 0; i < header.size() && cells.size() <= 200; ++i)
        cells += (i > 0 ? QStringLiteral(", ") : QString()) + header.field(i);
    return cells.size() > 200 ? cells.left(200) + QStringLiteral("...") : cells;
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

ImportColumns RecognizeHeader(const CsvRecord& header)
{
    const HeaderIndex index(header);
    for (const KnownFormat& known : KnownFormats()) {
        if (!index.hasAll(known.header) || (known.closed && !index.onlyOf(known.header, known.notes)))
            continue;
        return {.format = known.format,
                .name = index.column(known.name),
                .username = index.column(known.username),
                .password = index.column(known.password),
                .url = index.column(known.url),
                .notes = index.column(known.notes),
                .type = index.column(known.type)};
    }
    const ImportColumns c = OtherColumns(index);
    if (c.password < 0 || (c.name < 0 && c.url < 0))
        RaiseInputError(
            1,
            QStringLiteral("the header row matches no export this tool knows (Firefox, Chrome, "
                           "Bitwarden, KeePassXC) and names no %1 column (columns: %2)")
                .arg(c.password < 0 ? QStringLiteral("password") : QStringLiteral("name or URL"), CellsShown(header)));
    return c;
}

}  // namespace Transfer
