#pragma once

#include <QString>

// What this user's Quillock and tools last found each sealed vault sealed
// to, kept in the user's own configuration beside the settings
// ($XDG_CONFIG_HOME/Quillock/sealed-vaults), outside the file: a file put
// in a sealed vault's place, plain or sealed to another key, is refused
// before anything reads or writes it. A user who never sealed has no
// record and sees nothing of it.
//
// A vault is named by its real path; a key is the public key as the seal
// row has it, or Plain. A vault may be allowed more than one key while it
// changes from one to the other: a crash in between leaves either accepted.
namespace SealRecord {

inline const QString Plain = QStringLiteral("plain");

// The file the record is kept in.
QString file();
// Refuses (3049, with what changed and the command that accepts it) a
// vault whose key is not one the record allows; settles the record on the
// vault's key when it allowed more, and records a sealed vault it did not
// know yet. An unreadable record is refused with the settings' error.
void check(const QString& vaultPath, const QString& key);
// Allows `key` too, before the vault changes to it.
void allow(const QString& vaultPath, const QString& key);
// Allows only `key` from now on (nothing, and no record, for Plain).
void settle(const QString& vaultPath, const QString& key);
// Forgets the vault; false when there was nothing to forget.
bool forget(const QString& vaultPath);

}  // namespace SealRecord
