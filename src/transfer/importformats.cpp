#include "transfer/importformats.h"

#include "transfer/transfer.h"

#include <QHash>
#include <QSet>
#include <algorithm>
#include <vector>

namespace Transfer {

namespace {

using Names = std::vector<const char*>;

// A known export: the columns its header always has, and for each field
// the columns it may come from, the first one present taken. Column names
// are matched trimmed and in lower case.
struct Layout {
    ImportFormat format;
    const char* option;  // --format NAME
    const char* title;
    Names header = {};  // all of these
    Names anyOf = {};  // and one of these, when given
    bool closed = false;  // no columns but `header` and `optional`
    Names optional = {};
    RowShape shape = RowShape::Columns;
    unsigned quirks = 0;
    Names name = {}, username = {}, email = {}, password = {}, url = {}, moreUrls = {}, notes = {}, type = {},
          totp = {};
};

// Tried in this order: a layout whose header holds another's comes first.
const std::vector<Layout>& knownLayouts()
{
    static const std::vector<Layout> layouts = {
        {.format = ImportFormat::Bitwarden,
         .option = "bitwarden",
         .title = "Bitwarden",
         .header = {"type", "name", "notes", "login_uri", "login_username", "login_password"},
         .name = {"name"},
         .username = {"login_username"},
         .password = {"login_password"},
         .url = {"login_uri"},
         .notes = {"notes"},
         .type = {"type"},
         .totp = {"login_totp"}},
        {.format = ImportFormat::Firefox,
         .option = "firefox",
         .title = "Firefox",
         .header = {"url", "username", "password", "httprealm", "formactionorigin"},
         .quirks = BrowserRows,
         .username = {"username"},
         .password = {"password"},
         .url = {"url"}},
        {.format = ImportFormat::KeePassXC,
         .option = "keepassxc",
         .title = "KeePassXC",
         .header = {"group", "title", "username", "password", "url", "notes"},
         .name = {"title"},
         .username = {"username"},
         .password = {"password"},
         .url = {"url"},
         .notes = {"notes"},
         .totp = {"totp"}},
        {.format = ImportFormat::LastPass,
         .option = "lastpass",
         .title = "LastPass",
         .header = {"url", "username", "password", "extra", "name", "grouping", "fav"},
         .quirks = SecureNoteUrl | HtmlEntities,
         .name = {"name"},
         .username = {"username"},
         .password = {"password"},
         .url = {"url"},
         .notes = {"extra"},
         .totp = {"totp"}},
        {.format = ImportFormat::OnePassword8,
         .option = "1password",
         .title = "1Password 8",
         .header = {"title", "url", "username", "password", "otpauth", "favorite", "archived", "tags", "notes"},
         .name = {"title"},
         .username = {"username"},
         .password = {"password"},
         .url = {"url"},
         .notes = {"notes"},
         .totp = {"otpauth"}},
        {.format = ImportFormat::Apple,
         .option = "apple",
         .title = "Apple Passwords or Safari",
         .header = {"title", "url", "username", "password", "otpauth"},
         .closed = true,
         .optional = {"notes"},
         .name = {"title"},
         .username = {"username"},
         .password = {"password"},
         .url = {"url"},
         .notes = {"notes"},
         .totp = {"otpauth"}},
        {.format = ImportFormat::OnePassword7,
         .option = "1password7",
         .title = "1Password 7",
         .header = {"title", "password"},
         .anyOf = {"notesplain", "urls"},
         .quirks = AddressLists,
         .name = {"title"},
         .username = {"username"},
         .password = {"password"},
         .url = {"urls", "url"},
         .notes = {"notesplain"}},
        {.format = ImportFormat::Dashlane,
         .option = "dashlane",
         .title = "Dashlane (credentials.csv)",
         .header = {"username", "username2", "username3", "title", "password", "note", "url", "category"},
         .name = {"title"},
         .username = {"username"},
         .password = {"password"},
         .url = {"url"},
         .notes = {"note"},
         .totp = {"otpsecret", "otpurl"}},
        {.format = ImportFormat::DashlaneNotes,
         .option = "dashlane-notes",
         .title = "Dashlane (securenotes.csv)",
         .header = {"title", "note"},
         .closed = true,
         .quirks = OnlySecureNotes,
         .name = {"title"},
         .notes = {"note"}},
        {.format = ImportFormat::ProtonPass,
         .option = "protonpass",
         .title = "Proton Pass",
         .header = {"type", "name", "url", "username", "password", "note", "totp", "createtime", "modifytime"},
         .quirks = AddressLists,
         .name = {"name"},
         .username = {"username"},
         .email = {"email"},
         .password = {"password"},
         .url = {"url"},
         .notes = {"note"},
         .type = {"type"},
         .totp = {"totp"}},
        {.format = ImportFormat::NordPass,
         .option = "nordpass",
         .title = "NordPass",
         .header = {"name", "url", "username", "password", "note", "folder", "type"},
         .name = {"name"},
         .username = {"username"},
         .password = {"password"},
         .url = {"url"},
         .moreUrls = {"additional_urls"},
         .notes = {"note"},
         .type = {"type"}},
        {.format = ImportFormat::RoboForm,
         .option = "roboform",
         .title = "RoboForm",
         .header = {"name", "url", "login", "pwd", "note", "folder"},
         .shape = RowShape::Wider,
         .quirks = ApostropheEscapes | Bookmarks,
         .name = {"name"},
         .username = {"login"},
         .password = {"pwd"},
         .url = {"url"},
         .notes = {"note"}},
        {.format = ImportFormat::KeePass1,
         .option = "keepass",
         .title = "KeePass (KeePass CSV 1.x)",
         .header = {"account", "login name", "password", "web site", "comments"},
         .closed = true,
         .quirks = BackslashEscapes,
         .name = {"account"},
         .username = {"login name"},
         .password = {"password"},
         .url = {"web site"},
         .notes = {"comments"}},
        {.format = ImportFormat::Chrome,
         .option = "chrome",
         .title = "Chrome, Chromium or Edge",
         .header = {"name", "url", "username", "password"},
         .closed = true,
         .optional = {"note"},
         .name = {"name"},
         .username = {"username"},
         .password = {"password"},
         .url = {"url"},
         .notes = {"note"}},
        {.format = ImportFormat::Enpass, .option = "enpass", .title = "Enpass", .shape = RowShape::Pairs},
        {.format = ImportFormat::Keeper,
         .option = "keeper",
         .title = "Keeper (no header row)",
         .shape = RowShape::Headerless},
        {.format = ImportFormat::Other, .option = "other", .title = "other (columns matched by their names)"},
    };
    return layouts;
}

const Layout& layoutOf(ImportFormat format)
{
    const auto& all = knownLayouts();
    return *std::find_if(all.begin(), all.end(), [&](const Layout& layout) { return layout.format == format; });
}

// The words of a header that names its columns in its own way, each
// field's in the order they are tried.
const Names NameWords = {"name",     "title",   "account",     "accountname", "entry", "entryname",
                         "sitename", "service", "servicename", "label",       "item",  "itemname"};
const Names UsernameWords = {"username", "user",  "login",        "loginname", "loginusername",
                             "userid",   "email", "emailaddress", "mail"};
const Names PasswordWords = {"password", "pass", "passwd", "pwd", "loginpassword", "passphrase", "secret"};
const Names UrlWords = {"url",     "uri",  "loginuri", "website", "websiteurl", "siteurl", "web",   "webaddress",
                        "address", "link", "site",     "host",    "hostname",   "domain",  "origin"};
const Names HintWords = {"hint", "passwordhint"};
const Names NotesWords = {"notes", "note", "comments", "comment", "extra", "remarks", "memo", "description", "info"};
const Names TotpWords = {"totp", "otp", "otpauth", "otpsecret", "onetimepassword"};

// A header cell as the known formats name their columns.
QString headerKey(const QString& cell)
{
    return cell.trimmed().toLower();
}

// A header cell reduced to its letters and digits, for matching common words.
QString headerWord(const QString& cell)
{
    QString word;
    for (const QChar c : cell.toLower())
        if (c.isLetterOrNumber())
            word += c;
    return word;
}

QSet<QString> knownKeys()
{
    QSet<QString> all;
    for (const Layout& layout : knownLayouts())
        for (const Names* names :
             {&layout.header, &layout.anyOf, &layout.optional, &layout.name, &layout.username, &layout.email,
              &layout.password, &layout.url, &layout.moreUrls, &layout.notes, &layout.type, &layout.totp})
            for (const char* name : *names)
                all.insert(QLatin1String(name));
    return all;
}

QSet<QString> knownWords()
{
    QSet<QString> all;
    for (const Names* list :
         {&NameWords, &UsernameWords, &PasswordWords, &UrlWords, &HintWords, &NotesWords, &TotpWords})
        for (const char* word : *list)
            all.insert(QLatin1String(word));
    return all;
}

// The first column of each name and word the layouts look for, found in
// one pass: a header of a million columns costs no more than its record.
class HeaderIndex {
public:
    explicit HeaderIndex(const CsvRecord& header) : header_(header)
    {
        static const QSet<QString> keys = knownKeys();
        static const QSet<QString> words = knownWords();
        for (int i = 0; i < int(header.size()); ++i) {
            const QString cell = header.field(i);
            if (const QString key = headerKey(cell); keys.contains(key) && !keys_.contains(key))
                keys_.insert(key, i);
            if (const QString word = headerWord(cell); words.contains(word) && !words_.contains(word))
                words_.insert(word, i);
        }
    }

    // The column of the first of `names` that the header has; -1 for none.
    int column(const Names& names) const
    {
        for (const char* name : names)
            if (const int at = keys_.value(QLatin1String(name), -1); at >= 0)
                return at;
        return -1;
    }
    bool hasAll(const Names& names) const
    {
        return std::all_of(names.begin(), names.end(), [&](const char* name) { return column({name}) >= 0; });
    }
    // Whether every column is one of `names` or `more`.
    bool onlyOf(const Names& names, const Names& more) const
    {
        if (header_.size() > qsizetype(names.size() + more.size()))
            return false;
        for (qsizetype i = 0; i < header_.size(); ++i) {
            const QString key = headerKey(header_.field(i));
            const auto named = [&](const char* name) { return key == QLatin1String(name); };
            if (std::none_of(names.begin(), names.end(), named) && std::none_of(more.begin(), more.end(), named))
                return false;
        }
        return true;
    }
    // The column named by the first of `wanted` that any column is named.
    int columnOfWord(const Names& wanted) const
    {
        for (const char* word : wanted)
            if (const int at = words_.value(QLatin1String(word), -1); at >= 0)
                return at;
        return -1;
    }
    const CsvRecord& header() const { return header_; }

private:
    const CsvRecord& header_;
    QHash<QString, int> keys_;
    QHash<QString, int> words_;
};

bool matches(const Layout& layout, const HeaderIndex& index)
{
    if (layout.header.empty() || !index.hasAll(layout.header))
        return false;
    if (!layout.anyOf.empty() && index.column(layout.anyOf) < 0)
        return false;
    return !layout.closed || index.onlyOf(layout.header, layout.optional);
}

ImportColumns columnsOf(const Layout& layout, const HeaderIndex& index)
{
    return {.format = layout.format,
            .shape = layout.shape,
            .quirks = layout.quirks,
            .width = index.header().size(),
            .name = index.column(layout.name),
            .username = index.column(layout.username),
            .email = index.column(layout.email),
            .password = index.column(layout.password),
            .url = index.column(layout.url),
            .moreUrls = index.column(layout.moreUrls),
            .notes = index.column(layout.notes),
            .type = index.column(layout.type),
            .totp = index.column(layout.totp)};
}

ImportColumns otherColumns(const HeaderIndex& index)
{
    return {.format = ImportFormat::Other,
            .width = index.header().size(),
            .name = index.columnOfWord(NameWords),
            .username = index.columnOfWord(UsernameWords),
            .password = index.columnOfWord(PasswordWords),
            .url = index.columnOfWord(UrlWords),
            .hint = index.columnOfWord(HintWords),
            .notes = index.columnOfWord(NotesWords),
            .totp = index.columnOfWord(TotpWords)};
}

// Enpass's first line: "Title","Field","Value","Field","Value",.........,"Note".
bool isEnpassHeader(const CsvRecord& first)
{
    const qsizetype n = first.size();
    return n >= 4 && headerKey(first.field(0)) == QLatin1String("title")
        && headerKey(first.field(1)) == QLatin1String("field") && headerKey(first.field(2)) == QLatin1String("value")
        && headerKey(first.field(n - 1)) == QLatin1String("note");
}

// Keeper writes no header: folder, title, login, password, address, notes,
// shared folder, then custom name and value pairs. Taken for one only when
// the first row has that shape and a title, and its address (if any) looks
// like one.
bool hasKeeperShape(const CsvRecord& first)
{
    const qsizetype n = first.size();
    if (n < 7 || (n - 7) % 2 != 0 || first.field(1).trimmed().isEmpty())
        return false;
    const QString address = first.field(4).trimmed();
    return address.isEmpty()
        || (!address.contains(QLatin1Char(' '))
            && (address.contains(QLatin1Char('.')) || address.contains(QStringLiteral("://"))));
}

ImportColumns positionalColumns(const Layout& layout, const CsvRecord& first)
{
    // Told the layout, a file of Enpass rows without its first line loses none of them.
    const bool firstIsRow = layout.shape == RowShape::Headerless || !isEnpassHeader(first);
    return {.format = layout.format, .shape = layout.shape, .width = first.size(), .firstIsRow = firstIsRow};
}

// The header's cells as a message shows them: the first 200 characters.
QString cellsShown(const CsvRecord& header)
{
    QString cells;
    for (qsizetype i = 0; i < header.size() && cells.size() <= 200; ++i)
        cells += (i > 0 ? QStringLiteral(", ") : QString()) + header.field(i);
    return cells.size() > 200 ? cells.left(200) + QStringLiteral("...") : cells;
}

ImportColumns forcedColumns(const Layout& layout, const HeaderIndex& index)
{
    if (layout.shape == RowShape::Pairs || layout.shape == RowShape::Headerless)
        return positionalColumns(layout, index.header());
    const ImportColumns c = layout.format == ImportFormat::Other ? otherColumns(index) : columnsOf(layout, index);
    if (c.name < 0 && c.password < 0 && c.url < 0 && c.notes < 0)
        raiseInputError(1,
                        QStringLiteral("the header row has none of the columns a %1 export has (columns: %2)")
                            .arg(QLatin1String(layout.title), cellsShown(index.header())));
    return c;
}

}  // namespace

QString formatName(ImportFormat format)
{
    return QLatin1String(layoutOf(format).title);
}

std::optional<ImportFormat> formatNamed(const QString& name)
{
    for (const Layout& layout : knownLayouts())
        if (name.compare(QLatin1String(layout.option), Qt::CaseInsensitive) == 0)
            return layout.format;
    return std::nullopt;
}

QStringList formatOptions()
{
    QStringList options;
    for (const Layout& layout : knownLayouts())
        options << QLatin1String(layout.option);
    return options;
}

ImportColumns recognizeHeader(const CsvRecord& first, std::optional<ImportFormat> forced)
{
    const HeaderIndex index(first);
    if (forced)
        return forcedColumns(layoutOf(*forced), index);
    for (const Layout& layout : knownLayouts())
        if (matches(layout, index))
            return columnsOf(layout, index);
    if (isEnpassHeader(first))
        return positionalColumns(layoutOf(ImportFormat::Enpass), first);
    const ImportColumns other = otherColumns(index);
    if (other.password >= 0 && (other.name >= 0 || other.url >= 0))
        return other;
    if (hasKeeperShape(first))
        return positionalColumns(layoutOf(ImportFormat::Keeper), first);
    raiseInputError(
        1,
        QStringLiteral("the header row matches no export this tool knows (see --format) and names no "
                       "%1 column (columns: %2)")
            .arg(other.password < 0 ? QStringLiteral("password") : QStringLiteral("name or URL"), cellsShown(first)));
}

}  // namespace Transfer
