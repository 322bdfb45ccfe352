#pragma once

#include <QString>

// Generated vaults of realistic accounts, the same for the same seed.
namespace VaultGen {

// The master password every generated vault is initialised with.
inline const QString MasterPassword = QStringLiteral("benchmark1");

// Writes a fresh vault of `count` accounts to `path` (which must not exist):
// names of 10 to 40 characters in mixed case and several scripts, usernames
// and passwords enciphered, URLs, and hints and notes of up to a few hundred
// characters with line breaks. The master row is initialised.
void write(const QString& path, int count, unsigned seed = 20261207);

// The vault of `count` accounts in `folder`, written there the first time it
// is asked for and kept for later runs. Raises the store's error when it
// cannot be written or kept.
QString cached(const QString& folder, int count);

}  // namespace VaultGen
