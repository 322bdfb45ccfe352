#pragma once

#include <QString>
#include <optional>

// The addresses the program hands to the desktop, and the version it shows.
namespace Links {

// The installed help pages, as a file address that names exactly that path
// whatever the folder is called ("My #1 vault", "100%41").
QString helpAddress();

// What "&Open URL" hands to the desktop for the text shown: an http or https
// address as it is, text without a scheme as an http address for its host
// ("localhost:8080/x" is a host with a port). Nothing for other schemes and
// for text that does not begin with a host (a path, "~", an option).
std::optional<QString> webAddress(const QString& shown);

inline const QString WebsiteAddress = QStringLiteral("http://www.quillock.app/");
inline const QString SupportAddress = QStringLiteral("mailto:support@quillock.app");

// "Version " and the build's major.minor.patch.
QString versionLine();
QString versionLine(int major, int minor, int patch);

}  // namespace Links
