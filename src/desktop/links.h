#pragma once

#include <QString>

// The addresses the program hands to the desktop, and the version it shows.
namespace Links {

// The installed help pages, as a file address with the local path unchanged.
QString HelpAddress();

inline const QString WebsiteAddress = QStringLiteral("http://www.quillock.app/");
inline const QString SupportAddress = QStringLiteral("mailto:support@quillock.app");

// "Version " and the build's major.minor.patch.
QString VersionLine();

}  // namespace Links
