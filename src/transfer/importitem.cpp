#include "transfer/importitem.h"

#include "vault/wipe.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <array>

namespace Transfer {

namespace {

// A type column's value, as the layouts that have one write it.
ItemKind kindOfType(const QString& type)
{
    QString key = type.trimmed().toLower();
    key.remove(QLatin1Char('_')).remove(QLatin1Char(' '));
    static const QHash<QString, ItemKind> kinds = {
        {QStringLiteral("login"), ItemKind::Login},       {QStringLiteral("password"), ItemKind::Login},
        {QStringLiteral("note"), ItemKind::SecureNote},   {QStringLiteral("securenote"), ItemKind::SecureNote},
        {QStringLiteral("card"), ItemKind::Card},         {QStringLiteral("creditcard"), ItemKind::Card},
        {QStringLiteral("identity"), ItemKind::Identity}, {QStringLiteral("alias"), ItemKind::Alias},
        {QStringLiteral("folder"), ItemKind::Folder},
    };
    return kinds.value(key, ItemKind::Other);
}

// Several addresses in one field: one a line, or a list separated by ", ";
// joined by a bare "," only before a scheme, as a comma may be part of an
// address ("?q=1,2").
QStringList splitAddresses(const QString& text, bool joined)
{
    static const QRegularExpression between(QStringLiteral("[\\r\\n]+|,\\s+"));
    static const QRegularExpression beforeScheme(QStringLiteral(",(?=[A-Za-z][A-Za-z0-9+.-]*://)"));
    QStringList addresses;
    for (const QString& part : text.split(joined ? beforeScheme : between))
        if (!part.trimmed().isEmpty())
            addresses << part.trimmed();
    return addresses;
}

// NordPass writes its further addresses as a JSON list of strings.
QStringList moreAddresses(const QString& text)
{
    const QJsonDocument list = QJsonDocument::fromJson(text.toUtf8());
    if (!list.isArray())
        return splitAddresses(text, false);
    QStringList addresses;
    for (const QJsonValue& value : list.array())
        if (!value.toString().trimmed().isEmpty())
            addresses << value.toString().trimmed();
    return addresses;
}

// RoboForm puts an apostrophe before a field that begins with "@" or "'",
// so a spreadsheet takes it for text; taken off once.
QString withoutApostrophe(QString text)
{
    if (text.startsWith(QStringLiteral("'@")) || text.startsWith(QStringLiteral("''")))
        text.remove(0, 1);
    return text;
}

ItemKind kindOfColumns(const ImportItem& item, const ImportColumns& columns, const QString& url, bool shortRow)
{
    if (columns.column(Field::Type) >= 0)
        return kindOfType(item.type);
    if (shortRow && item.username.isEmpty() && item.password.isEmpty())
        return url.trimmed().isEmpty() ? ItemKind::SecureNote : ItemKind::Bookmark;
    if (columns.has(OnlySecureNotes) || (columns.has(SecureNoteUrl) && url.trimmed() == QLatin1String("http://sn")))
        return ItemKind::SecureNote;
    if (columns.has(Bookmarks) && item.username.isEmpty() && item.password.isEmpty())
        return ItemKind::Bookmark;
    if (columns.has(BrowserRows) && url.trimmed().startsWith(QStringLiteral("chrome://")))
        return ItemKind::BrowserSignIn;
    if (columns.has(EmptyIsOther) && item.username.isEmpty() && item.password.isEmpty() && url.trimmed().isEmpty())
        return ItemKind::Other;
    return ItemKind::Login;
}

// Keeper's custom fields: its TOTP field is named "TFC:..." or holds an otpauth:// address.
bool totpInPairs(const CsvRecord& record, qsizetype from)
{
    for (qsizetype i = from; i + 1 < record.size(); i += 2)
        if (record.field(i).startsWith(QStringLiteral("TFC:"))
            || record.field(i + 1).trimmed().startsWith(QStringLiteral("otpauth://")))
            return true;
    return false;
}

ImportItem readColumns(const CsvRecord& record, const ImportColumns& columns)
{
    std::array<QString, FieldCount> text;
    for (size_t field = 0; field < text.size(); ++field) {
        const int column = columns.columns[field];
        text[field] = column >= 0 ? record.field(column) : QString();
        if (columns.has(ApostropheEscapes))
            text[field] = withoutApostrophe(std::move(text[field]));
    }
    const auto take = [&](Field field) { return std::move(text[size_t(field)]); };
    ImportItem item;
    item.type = take(Field::Type);
    item.name = take(Field::Name);
    item.username = take(Field::Username);
    if (item.username.isEmpty())
        item.username = take(Field::Email);
    item.password = take(Field::Password);
    const QString url = take(Field::Url);
    const bool list = columns.has(AddressLists) || columns.has(JoinedUris);
    item.addresses = list ? splitAddresses(url, columns.has(JoinedUris)) : QStringList(url);
    if (columns.column(Field::MoreUrls) >= 0)
        item.addresses += moreAddresses(take(Field::MoreUrls));
    item.notes = take(Field::Notes);
    item.hint = take(Field::Hint);
    item.totp =
        !take(Field::Totp).trimmed().isEmpty() || (columns.has(CustomPairs) && totpInPairs(record, columns.minFields));
    item.kind = kindOfColumns(item, columns, url, columns.has(ShortRows) && record.size() < columns.width);
    return item;
}

// What an Enpass label names; labels of secret fields begin with "*".
enum class EnpassLabel { Username, Email, Password, Address, Totp, CardField, Other };

EnpassLabel labelOf(const QString& label)
{
    QString key = label.trimmed().toLower();
    if (key.startsWith(QLatin1Char('*')))
        key = key.mid(1).trimmed();
    static const QHash<QString, EnpassLabel> labels = {
        {QStringLiteral("username"), EnpassLabel::Username},    {QStringLiteral("login"), EnpassLabel::Username},
        {QStringLiteral("e-mail"), EnpassLabel::Email},         {QStringLiteral("email"), EnpassLabel::Email},
        {QStringLiteral("password"), EnpassLabel::Password},    {QStringLiteral("website"), EnpassLabel::Address},
        {QStringLiteral("url"), EnpassLabel::Address},          {QStringLiteral("totp"), EnpassLabel::Totp},
        {QStringLiteral("cardholder"), EnpassLabel::CardField}, {QStringLiteral("number"), EnpassLabel::CardField},
    };
    return labels.value(key, EnpassLabel::Other);
}

// Enpass: a title, then label and value pairs, then the note when the row
// has an even number of fields.
ImportItem readEnpass(const CsvRecord& record, const ImportColumns& columns)
{
    ImportItem item;
    item.name = record.field(columns.column(Field::Name));
    const qsizetype size = record.size();
    const qsizetype pairsEnd = size % 2 == 0 ? size - 1 : size;
    if (size % 2 == 0)
        item.notes = record.field(size - 1);
    QString email;
    bool login = false;
    bool card = false;
    for (qsizetype i = 1; i + 1 < pairsEnd; i += 2) {
        const QString value = record.field(i + 1);
        const EnpassLabel label = labelOf(record.field(i));
        if (label == EnpassLabel::Username && item.username.isEmpty())
            item.username = value;
        else if (label == EnpassLabel::Email && email.isEmpty())
            email = value;
        else if (label == EnpassLabel::Password && item.password.isEmpty())
            item.password = value;
        else if (label == EnpassLabel::Address && !value.trimmed().isEmpty())
            item.addresses << value.trimmed();
        item.totp = item.totp || (label == EnpassLabel::Totp && !value.trimmed().isEmpty());
        login = login || label < EnpassLabel::Totp;
        card = card || label == EnpassLabel::CardField;
    }
    if (item.username.isEmpty())
        item.username = email;
    item.kind = login ? ItemKind::Login : card ? ItemKind::Card : size <= 2 ? ItemKind::SecureNote : ItemKind::Other;
    return item;
}

}  // namespace

QString kindText(ItemKind kind, std::optional<qsizetype> count)
{
    static const char* const names[ItemKindCount][3] = {
        {"a", "login", "logins"},
        {"a", "secure note", "secure notes"},
        {"a", "card", "cards"},
        {"an", "identity", "identities"},
        {"an", "alias", "aliases"},
        {"a", "folder", "folders"},
        {"a", "bookmark", "bookmarks"},
        {"the", "browser's own sign-in", "browser's own sign-ins"},
        {"an", "item of another kind", "items of other kinds"},
    };
    const auto& name = names[int(kind)];
    if (!count)
        return QStringLiteral("%1 %2").arg(QLatin1String(name[0]), QLatin1String(name[1]));
    return QStringLiteral("%1 %2").arg(*count).arg(QLatin1String(*count == 1 ? name[1] : name[2]));
}

void ImportItem::wipe()
{
    Secrets::wipe(username);
    Secrets::wipe(password);
    *this = {};
}

ImportItem readItem(const CsvRecord& record, const ImportColumns& columns)
{
    return columns.shape == RowShape::Pairs ? readEnpass(record, columns) : readColumns(record, columns);
}

}  // namespace Transfer
