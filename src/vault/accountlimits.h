#pragma once

#include <QString>

// What the add and edit dialogs let into an account, shared with the import
// tool so the two can never disagree. Lengths are QString lengths, counted
// as the dialogs' boxes count them.
namespace AccountLimits {

inline constexpr int Name = 255;
inline constexpr int Username = 50;
inline constexpr int Password = 50;
inline constexpr int Url = 255;
inline constexpr int Text = 2000;  // hint and notes

inline const QString HttpPrefix = QStringLiteral("http://");

// The URL check passes a web address with its scheme; anything else gets
// HttpPrefix put in front of it.
inline bool hasUrlScheme(const QString& url)
{
    return url.startsWith(HttpPrefix) || url.startsWith(QStringLiteral("https://"));
}

// The name check trims only the space character before it looks.
inline bool isBlankName(const QString& name)
{
    for (const QChar c : name)
        if (c != QLatin1Char(' '))
            return false;
    return true;
}

}  // namespace AccountLimits
