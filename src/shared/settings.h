#pragma once

#include <QString>

// Per-user settings: application "Quillock", section "Properties".
// An absent key reads as "". A saved value is on disk before this returns.
namespace Settings {
QString getSetting(const QString& key);
void saveSetting(const QString& key, const QString& value);

inline const QString ExitKey = QStringLiteral("Exit");
inline const QString InitializedKey = QStringLiteral("Initialized");
}  // namespace Settings
