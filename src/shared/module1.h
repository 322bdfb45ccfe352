#pragma once

#include <QString>
#include <chrono>

class VaultStore;

// Program-wide values and the procedures the windows share.
namespace Module1 {

inline const QString ProgramTitle = QStringLiteral("Quillock");

// How long an account's details stay on screen, and a copied password on
// the clipboard.
inline constexpr std::chrono::milliseconds SecretLifetime{30000};

// Deciphered password of the account last shown; "" when none.
inline QString SelectedPassword;
// The entry of the master password prompt, until the check has compared it.
inline QString EnteredPassword;
// List position (0-based) of the account being edited.
inline qint64 EditIndex = 0;

// Back to the values of a fresh start (tests).
void reset();

// The application folder, and a file in it.
QString applicationFolder();
QString applicationFile(const QString& name);
void setApplicationFolder(const QString& folder);  // tests

// The text without leading and trailing space characters (only code 32).
QString trimSpaces(const QString& text);

bool IsVaultInitialized(VaultStore& vault);

}  // namespace Module1
