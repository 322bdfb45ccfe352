#include "transfer/importrules.h"

#include "transfer/transfer.h"
#include "vault/accountlimits.h"

#include <QRegularExpression>
#include <QUrl>

namespace Transfer {

namespace {

QString oneLineEnd(QString text)
{
    text.replace(QStringLiteral("\r\r\n"), QStringLiteral("\n"));
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return text;
}

// The scheme an address names ("ssh" of "ssh://host:2222"); none for a
// bare host, with or without a port.
QString schemeOf(const QString& address)
{
    static const QRegularExpression scheme(QStringLiteral("^([A-Za-z][A-Za-z0-9+.-]*):(?![0-9]+(?:[/?#]|$))"));
    return scheme.match(address).captured(1).toLower();
}

// Whether the URL box takes the address: the "&Open URL" button opens
// nothing but web addresses, and the edit dialog would put "http://" in
// front of any other scheme.
bool isWebAddress(const QString& address)
{
    const QString scheme = schemeOf(address);
    return scheme.isEmpty() || scheme == QLatin1String("http") || scheme == QLatin1String("https");
}

// The host an address names: "com.example.app" of Android's
// "android://hash@com.example.app/"; the address itself when it names none.
QString hostOf(const QString& address)
{
    const QString url = schemeOf(address).isEmpty() ? AccountLimits::HttpPrefix + address : address;
    const QString host = QUrl(url, QUrl::TolerantMode).host();
    return host.isEmpty() ? address : host;
}

// Cuts `text` to at most `limit` characters, never between the two halves
// of a surrogate pair; the number of characters left out.
qsizetype cutAtWholeCharacter(QString& text, qsizetype limit)
{
    if (text.size() <= limit)
        return 0;
    const qsizetype keep = text.at(limit - 1).isHighSurrogate() ? limit - 1 : limit;
    const qsizetype leftOut = text.size() - keep;
    text.truncate(keep);
    return leftOut;
}

QStringList problemsOf(const AccountFields& plain, bool nameColumn, bool urlPrefixed)
{
    QStringList problems;
    if (AccountLimits::isBlankName(plain.account))
        problems << (nameColumn ? QStringLiteral("the name is blank") : QStringLiteral("no name: the URL is empty"));
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

// The URL and the line of notes that keeps every other address.
std::pair<QString, QString> placeAddresses(const QStringList& addresses)
{
    QString url;
    QStringList others;
    for (const QString& address : addresses) {
        if (url.isEmpty() && isWebAddress(address))
            url = address;
        else if (!address.isEmpty())
            others << address;
    }
    if (others.isEmpty())
        return {url, {}};
    return {url,
            (others.size() == 1 ? QStringLiteral("Address: ") : QStringLiteral("Addresses: "))
                + others.join(QStringLiteral(", "))};
}

// LastPass's browser extension writes some characters as HTML entities.
QStringList fieldsWithEntities(const AccountFields& plain)
{
    static const QRegularExpression entity(QStringLiteral("&(?:[A-Za-z][A-Za-z0-9]*|#[0-9]+|#[xX][0-9A-Fa-f]+);"));
    QStringList fields;
    const std::pair<const QString*, const char*> all[] = {{&plain.account, "name"},
                                                          {&plain.username, "username"},
                                                          {&plain.password, "password"},
                                                          {&plain.url, "URL"},
                                                          {&plain.notes, "notes"}};
    for (const auto& [value, label] : all)
        if (value->contains(entity))
            fields << QLatin1String(label);
    return fields;
}

void fillNotes(const ImportItem& item, const ImportColumns& columns, const QString& addressLine, AccountFields& plain)
{
    const QString notes = oneLineEnd(item.notes);
    if (columns.column(Field::Hint) >= 0) {
        plain.hint = oneLineEnd(item.hint);
        plain.notes = notes;
    } else {
        std::tie(plain.notes, plain.hint) = splitHint(notes);
    }
    if (!addressLine.isEmpty())
        plain.notes = plain.notes.isEmpty() ? addressLine : addressLine + QLatin1Char('\n') + plain.notes;
}

}  // namespace

QStringList RowCheck::remarks() const
{
    QStringList remarks;
    if (nameLeftOut > 0)
        remarks << QStringLiteral("the name was shortened to %1 characters; %2 were left out")
                       .arg(AccountLimits::Name)
                       .arg(nameLeftOut);
    if (notesLeftOut > 0)
        remarks << QStringLiteral("the notes were shortened to %1 characters; %2 were left out")
                       .arg(AccountLimits::Text)
                       .arg(notesLeftOut);
    if (!entityFields.isEmpty())
        remarks << QStringLiteral("HTML entities such as \"&amp;\" in the %1 were stored as written")
                       .arg(entityFields.join(QStringLiteral(", ")));
    return remarks;
}

RowCheck makeAccount(const ImportItem& item, const ImportColumns& columns, AccountFields& plain)
{
    RowCheck check;
    check.kind = item.kind;
    if (item.kind != ItemKind::Login) {
        check.outcome = RowOutcome::NotLogin;
        check.reason = columns.column(Field::Type) >= 0
            ? QStringLiteral("not a login (type \"%1\")").arg(item.type.trimmed())
            : QStringLiteral("not a login (%1)").arg(kindText(item.kind));
        return check;
    }
    const auto [url, addressLine] = placeAddresses(item.addresses);
    const QString firstAddress = item.addresses.value(0).trimmed();
    plain.account = AccountLimits::isBlankName(item.name) && !firstAddress.isEmpty() ? hostOf(firstAddress) : item.name;
    plain.username = item.username;
    plain.password = item.password;
    // The URL rule of the add dialog, applied as its second "&Ok" would.
    const bool prefixed = !AccountLimits::hasUrlScheme(url);
    plain.url = prefixed ? AccountLimits::HttpPrefix + url : url;
    fillNotes(item, columns, addressLine, plain);
    check.nameLeftOut = cutAtWholeCharacter(plain.account, AccountLimits::Name);
    check.notesLeftOut = cutAtWholeCharacter(plain.notes, AccountLimits::Text);
    const QStringList problems = problemsOf(plain, columns.column(Field::Name) >= 0, prefixed);
    if (!problems.isEmpty()) {
        check.outcome = RowOutcome::Refused;
        check.reason = problems.join(QStringLiteral("; "));
        return check;
    }
    if (columns.has(HtmlEntities))
        check.entityFields = fieldsWithEntities(plain);
    check.totp = item.totp;
    return check;
}

}  // namespace Transfer
