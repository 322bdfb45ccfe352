#include "transfer/importformats.h"

#include "transfer/transfer.h"

#include <QHash>
#include <QSet>
#include <algorithm>
#include <array>
#include <utility>
#include <vector>

namespace Transfer {

namespace {

using Names = std::vector<const char*>;

// A known export: the columns its header always has, and for each field
// the columns it may come from, the first one present taken. Column names
// are matched trimmed and in lower case. A layout without a header gives
// its fields' positions instead, and what its rows look like.
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
    std::vector<std::pair<Field, Names>> fields = {};
    std::vector<std::pair<Field, int>> positions = {};
    qsizetype minFields = 0;
    const char* brokenRow = nullptr;
    const char* mapping = nullptr;
};

// Tried in this order: a layout whose header holds another's comes first.
const std::vector<Layout>& knownLayouts()
{
    static const std::vector<Layout> layouts = {
        {.format = ImportFormat::Bitwarden,
         .option = "bitwarden",
         .title = "Bitwarden",
         .header = {"type", "name", "notes", "login_uri", "login_username", "login_password"},
         .quirks = JoinedUris,
         .fields = {{Field::Name, {"name"}},
                    {Field::Username, {"login_username"}},
                    {Field::Password, {"login_password"}},
                    {Field::Url, {"login_uri"}},
                    {Field::Notes, {"notes"}},
                    {Field::Type, {"type"}},
                    {Field::Totp, {"login_totp"}}}},
        {.format = ImportFormat::Firefox,
         .option = "firefox",
         .title = "Firefox",
         .header = {"url", "username", "password", "httprealm", "formactionorigin"},
         .quirks = BrowserRows,
         .fields = {{Field::Username, {"username"}}, {Field::Password, {"password"}}, {Field::Url, {"url"}}}},
        {.format = ImportFormat::KeePassXC,
         .option = "keepassxc",
         .title = "KeePassXC",
         .header = {"group", "title", "username", "password", "url", "notes"},
         .fields = {{Field::Name, {"title"}},
                    {Field::Username, {"username"}},
                    {Field::Password, {"password"}},
                    {Field::Url, {"url"}},
                    {Field::Notes, {"notes"}},
                    {Field::Totp, {"totp"}}}},
        {.format = ImportFormat::LastPass,
         .option = "lastpass",
         .title = "LastPass",
         .header = {"url", "username", "password", "extra", "name", "grouping", "fav"},
         .quirks = SecureNoteUrl | HtmlEntities,
         .fields = {{Field::Name, {"name"}},
                    {Field::Username, {"username"}},
                    {Field::Password, {"password"}},
                    {Field::Url, {"url"}},
                    {Field::Notes, {"extra"}},
                    {Field::Totp, {"totp"}}}},
        {.format = ImportFormat::OnePassword8,
         .option = "1password",
         .title = "1Password 8",
         .header = {"title", "url", "username", "password", "otpauth", "favorite", "archived", "tags", "notes"},
         .fields = {{Field::Name, {"title"}},
                    {Field::Username, {"username"}},
                    {Field::Password, {"password"}},
                    {Field::Url, {"url"}},
                    {Field::Notes, {"notes"}},
                    {Field::Totp, {"otpauth"}}}},
        {.format = ImportFormat::Apple,
         .option = "apple",
         .title = "Apple Passwords or Safari",
         .header = {"title", "url", "username", "password", "otpauth"},
         .closed = true,
         .optional = {"notes"},
         .fields = {{Field::Name, {"title"}},
                    {Field::Username, {"username"}},
                    {Field::Password, {"password"}},
                    {Field::Url, {"url"}},
                    {Field::Notes, {"notes"}},
                    {Field::Totp, {"otpauth"}}}},
        {.format = ImportFormat::OnePassword7,
         .option = "1password7",
         .title = "1Password 7",
         .header = {"title", "password"},
         .anyOf = {"notesplain", "urls"},
         .quirks = AddressLists,
         .fields = {{Field::Name, {"title"}},
                    {Field::Username, {"username"}},
                    {Field::Password, {"password"}},
                    {Field::Url, {"urls", "url"}},
                    {Field::Notes, {"notesplain"}}}},
        {.format = ImportFormat::Dashlane,
         .option = "dashlane",
         .title = "Dashlane (credentials.csv)",
         .header = {"username", "username2", "username3", "title", "password", "note", "url", "category"},
         .fields = {{Field::Name, {"title"}},
                    {Field::Username, {"username"}},
                    {Field::Password, {"password"}},
                    {Field::Url, {"url"}},
                    {Field::Notes, {"note"}},
                    {Field::Totp, {"otpsecret", "otpurl"}}}},
        {.format = ImportFormat::DashlaneNotes,
         .option = "dashlane-notes",
         .title = "Dashlane (securenotes.csv)",
         .header = {"title", "note"},
         .closed = true,
         .quirks = OnlySecureNotes,
         .fields = {{Field::Name, {"title"}}, {Field::Notes, {"note"}}}},
        {.format = ImportFormat::ProtonPass,
         .option = "protonpass",
         .title = "Proton Pass",
         .header = {"type", "name", "url", "username", "password", "note", "totp", "createtime", "modifytime"},
         .quirks = AddressLists,
         .fields = {{Field::Name, {"name"}},
                    {Field::Username, {"username"}},
                    {Field::Email, {"email"}},
                    {Field::Password, {"password"}},
                    {Field::Url, {"url"}},
                    {Field::Notes, {"note"}},
                    {Field::Type, {"type"}},
                    {Field::Totp, {"totp"}}}},
        {.format = ImportFormat::NordPass,
         .option = "nordpass",
         .title = "NordPass",
         .header = {"name", "url", "username", "password", "note", "folder", "type"},
         .fields = {{Field::Name, {"name"}},
                    {Field::Username, {"username"}},
                    {Field::Password, {"password"}},
                    {Field::Url, {"url"}},
                    {Field::MoreUrls, {"additional_urls"}},
                    {Field::Notes, {"note"}},
                    {Field::Type, {"type"}}}},
        {.format = ImportFormat::RoboForm,
         .option = "roboform",
         .title = "RoboForm",
         .header = {"name", "url", "login", "pwd", "note", "folder"},
         .shape = RowShape::Wider,
         .quirks = ApostropheEscapes | Bookmarks | ShortRows,
         .fields = {{Field::Name, {"name"}},
                    {Field::Username, {"login"}},
                    {Field::Password, {"pwd"}},
                    {Field::Url, {"url"}},
                    {Field::Notes, {"note"}}}},
        {.format = ImportFormat::KeePass1,
         .option = "keepass",
         .title = "KeePass (KeePass CSV 1.x)",
         .header = {"account", "login name", "password", "web site", "comments"},
         .closed = true,
         .quirks = BackslashEscapes,
         .fields = {{Field::Name, {"account"}},
                    {Field::Username, {"login name"}},
                    {Field::Password, {"password"}},
                    {Field::Url, {"web site"}},
                    {Field::Notes, {"comments"}}}},
        {.format = ImportFormat::Chrome,
         .option = "chrome",
         .title = "Chrome, Chromium or Edge",
         .header = {"name", "url", "username", "password"},
         .closed = true,
         .optional = {"note"},
         .fields = {{Field::Name, {"name"}},
                    {Field::Username, {"username"}},
                    {Field::Password, {"password"}},
                    {Field::Url, {"url"}},
                    {Field::Notes, {"note"}}}},
        // A title, label and value pairs, a note last.
        {.format = ImportFormat::Enpass,
         .option = "enpass",
         .title = "Enpass",
         .shape = RowShape::Pairs,
         .positions = {{Field::Name, 0}},
         .minFields = 2,
         .brokenRow = "%1 field(s) where a row has at least a title and a note",
         .mapping = "name from the title, username from the \"Username\" or \"Login\" field (else \"E-mail\"), "
                    "password from \"Password\", URL from \"Website\" or \"URL\", notes from the last field"},
        // Folder, title, login, password, address, notes, shared folder,
        // then custom name and value pairs.
        {.format = ImportFormat::Keeper,
         .option = "keeper",
         .title = "Keeper (no header row)",
         .shape = RowShape::Headerless,
         .quirks = CustomPairs | EmptyIsOther,
         .positions =
             {{Field::Name, 1}, {Field::Username, 2}, {Field::Password, 3}, {Field::Url, 4}, {Field::Notes, 5}},
         .minFields = 7,
         .brokenRow = "%1 field(s) where a row has at least 7",
         .mapping = "name from the 2nd field (title), username from the 3rd (login), password from the 4th, URL from "
                    "the 5th (address), notes from the 6th"},
        {.format = ImportFormat::Other, .option = "other", .title = "other (columns matched by their names)"},
    };
    return layouts;
}

const Layout& layoutOf(ImportFormat format)
{
    const auto& all = knownLayouts();
    return *std::find_if(all.begin(), all.end(), [&](const Layout& layout) { return layout.format == format; });
}

// Each field as the mapping names it (none: neither shown nor taken from
// the other layout's columns), and the words a header of the other layout
// names its column with, in the order they are tried.
struct FieldInfo {
    const char* shown;
    Names words;
};
const std::array<FieldInfo, FieldCount> Fields = {{
    {"name",
     {"name", "title", "account", "accountname", "entry", "entryname", "sitename", "service", "servicename", "label",
      "item", "itemname"}},
    {"username",
     {"username", "user", "login", "loginname", "loginusername", "userid", "email", "emailaddress", "mail"}},
    {"username when that is empty", {}},
    {"password", {"password", "pass", "passwd", "pwd", "loginpassword", "passphrase", "secret"}},
    {"URL",
     {"url", "uri", "loginuri", "website", "websiteurl", "siteurl", "web", "webaddress", "address", "link", "site",
      "host", "hostname", "domain", "origin"}},
    {"more addresses", {}},
    {"hint", {"hint", "passwordhint"}},
    {"notes", {"notes", "note", "comments", "comment", "extra", "remarks", "memo", "description", "info"}},
    {nullptr, {}},
    {nullptr, {"totp", "otp", "otpauth", "otpsecret", "onetimepassword"}},
}};

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
    const auto insert = [&](const Names& names) {
        for (const char* name : names)
            all.insert(QLatin1String(name));
    };
    for (const Layout& layout : knownLayouts()) {
        for (const Names* names : {&layout.header, &layout.anyOf, &layout.optional})
            insert(*names);
        for (const auto& [field, names] : layout.fields)
            insert(names);
    }
    return all;
}

QSet<QString> knownWords()
{
    QSet<QString> all;
    for (const FieldInfo& info : Fields)
        for (const char* word : info.words)
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
    ImportColumns c{
        .format = layout.format, .shape = layout.shape, .quirks = layout.quirks, .width = index.header().size()};
    for (const auto& [field, names] : layout.fields)
        c.columns[size_t(field)] = index.column(names);
    return c;
}

ImportColumns otherColumns(const HeaderIndex& index)
{
    ImportColumns c{.format = ImportFormat::Other, .width = index.header().size()};
    for (size_t field = 0; field < Fields.size(); ++field)
        c.columns[field] = index.columnOfWord(Fields[field].words);
    return c;
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
    ImportColumns c{.format = layout.format,
                    .shape = layout.shape,
                    .quirks = layout.quirks,
                    .width = first.size(),
                    .firstIsRow = layout.shape == RowShape::Headerless || !isEnpassHeader(first),
                    .minFields = layout.minFields,
                    .brokenRow = layout.brokenRow,
                    .mapping = layout.mapping};
    for (const auto& [field, position] : layout.positions)
        c.columns[size_t(field)] = position;
    return c;
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
    if (!layout.positions.empty())
        return positionalColumns(layout, index.header());
    const ImportColumns c = layout.format == ImportFormat::Other ? otherColumns(index) : columnsOf(layout, index);
    const auto absent = [&](Field field) { return c.column(field) < 0; };
    if (absent(Field::Name) && absent(Field::Password) && absent(Field::Url) && absent(Field::Notes))
        raiseInputError(1,
                        QStringLiteral("the header row has none of the columns a %1 export has (columns: %2)")
                            .arg(QLatin1String(layout.title), cellsShown(index.header())));
    return c;
}

}  // namespace

bool ImportColumns::broken(qsizetype fields) const
{
    if (minFields > 0)
        return fields < minFields;
    return fields < width - (has(ShortRows) ? 1 : 0) || (shape == RowShape::Columns && fields > width);
}

QString ImportColumns::brokenText(qsizetype fields) const
{
    if (brokenRow)
        return QString::fromLatin1(brokenRow).arg(fields);
    return QStringLiteral("%1 field(s) where the header row has %2").arg(fields).arg(width);
}

QString columnsText(const ImportColumns& columns, const CsvRecord& header)
{
    if (columns.mapping)
        return QLatin1String(columns.mapping);
    QStringList parts;
    if (columns.column(Field::Name) < 0)
        parts << QStringLiteral("name from the URL's host");
    const auto shownFrom = [&](int column) {
        for (size_t field = 0; field < Fields.size(); ++field)
            if (columns.columns[field] == column && Fields[field].shown)
                return true;
        return false;
    };
    for (size_t field = 0; field < Fields.size(); ++field)
        if (const int at = columns.columns[field]; at >= 0 && Fields[field].shown)
            parts << QStringLiteral("%1 from \"%2\"").arg(QLatin1String(Fields[field].shown), header.field(at));
    if (columns.column(Field::Hint) < 0 && columns.column(Field::Notes) >= 0)
        parts << QStringLiteral("hint from a closing \"Hint: \" paragraph of the notes");
    const QString text = parts.join(QStringLiteral(", "));
    if (columns.format != ImportFormat::Other)
        return text;
    // A header of thousands of columns must not flood the terminal.
    constexpr int Shown = 10;
    QStringList unused;
    qsizetype more = 0;
    for (int i = 0; i < header.size(); ++i) {
        if (shownFrom(i))
            continue;
        if (unused.size() < Shown)
            unused << QStringLiteral("\"%1\"").arg(header.field(i));
        else
            ++more;
    }
    if (more > 0)
        unused << QStringLiteral("and %1 more").arg(more);
    return unused.isEmpty() ? text : text + QStringLiteral("; not used: ") + unused.join(QStringLiteral(", "));
}

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
    if (other.column(Field::Password) >= 0 && (other.column(Field::Name) >= 0 || other.column(Field::Url) >= 0))
        return other;
    if (hasKeeperShape(first))
        return positionalColumns(layoutOf(ImportFormat::Keeper), first);
    raiseInputError(
        1,
        QStringLiteral("the header row matches no export this tool knows (see --format) and names no "
                       "%1 column (columns: %2)")
            .arg(other.column(Field::Password) < 0 ? QStringLiteral("password") : QStringLiteral("name or URL"),
                 cellsShown(first)));
}

}  // namespace Transfer
