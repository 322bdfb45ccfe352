#pragma once

#include <QString>

// Per-user settings: application "Quillock", section "Properties".
// An absent key reads as "". A saved value is on disk before this returns.
namespace Settings {
QString GetSetting(const QString& key);
void SaveSetting(const QString& key, const QString& value);

inline const QString ExitKey = QStringLiteral("Exit");
inline const QString InitializedKey = QStringLiteral("Initialized");
}  // namespace Settings
