#pragma once

#include <QString>

// Per-user settings: application "Quillock", section "Properties".
// An absent key reads as "". A saved value is on disk before this returns.
namespace Settings {
QString getSetting(const QString& key);
void saveSetting(const QString& key, const QString& value);

inline const QString ExitKey = QStringLiteral("Exit");
// The values of "Exit": the tray icon, or the end.
inline const QString TrayChoice = QStringLiteral("T");
inline const QString EndChoice = QStringLiteral("E");
inline const QString InitializedKey = QStringLiteral("Initialized");
}  // namespace Settings
