#include "desktop/links.h"

#include "shared/module1.h"

#include <QRegularExpression>
#include <QUrl>

namespace Links {

QString helpAddress()
{
    return QUrl::fromLocalFile(Module1::applicationFile(QStringLiteral("help/index.htm"))).toString(QUrl::FullyEncoded);
}

std::optional<QString> webAddress(const QString& shown)
{
    const QString text = shown.trimmed();
    static const QRegularExpression scheme(QStringLiteral("^([A-Za-z][A-Za-z0-9+.-]*):(.*)$"),
                                           QRegularExpression::DotMatchesEverythingOption);
    static const QRegularExpression port(QStringLiteral("^[0-9]+([/?#].*)?$"),
                                         QRegularExpression::DotMatchesEverythingOption);
    const QRegularExpressionMatch match = scheme.match(text);
    const bool hasScheme = match.hasMatch() && !port.match(match.captured(2)).hasMatch();
    if (hasScheme) {
        const QString name = match.captured(1).toLower();
        if (name != QLatin1String("http") && name != QLatin1String("https"))
            return std::nullopt;
        // "http:/usr/bin/xterm" names no host: the opener would take it for a path.
        if (QUrl(text, QUrl::TolerantMode).host().isEmpty())
            return std::nullopt;
        return text;
    }
    // Only a host may come first; a path, "~" or "-" would reach the opener
    // as a file or an option.
    if (text.isEmpty() || !(text.front().isLetterOrNumber() || text.front() == QLatin1Char('[')))
        return std::nullopt;
    const QUrl address(QStringLiteral("http://") + text, QUrl::TolerantMode);
    if (!address.isValid() || address.host().isEmpty())
        return std::nullopt;
    return address.toString(QUrl::FullyEncoded);
}

QString versionLine()
{
    return versionLine(QUILLOCK_VERSION_MAJOR, QUILLOCK_VERSION_MINOR, QUILLOCK_VERSION_PATCH);
}

QString versionLine(int major, int minor, int patch)
{
    return QStringLiteral("Version %1.%2.%3").arg(major).arg(minor).arg(patch);
}

}  // namespace Links
