#pragma once

#include "vault/vaultstore.h"

#include <QByteArray>
#include <QString>
#include <optional>

// Writes every account as CSV that another password manager imports.
namespace Transfer {

enum class ExportFormat { KeePassXC, Bitwarden, Chrome };

// "keepassxc", "bitwarden" or "chrome", in any case.
std::optional<ExportFormat> ExportFormatNamed(const QString& name);

// Compares an entry with the stored master password as the security check
// does: exactly, neither side trimmed; a sealed vault's seal is then open.
// Raises when the vault has no master password yet.
bool MasterPasswordMatches(VaultStore& vault, const QString& entered);

// Every account in list order, header first; the hint goes into the notes
// (NotesWithHint). `count` receives the number of accounts.
QByteArray ExportCsv(VaultStore& vault, ExportFormat format, qsizetype* count = nullptr);

// Creates `path` with mode 0600 and writes `bytes`, flushed to disk. Never
// replaces an existing file; a failed write leaves no file behind.
void WriteNewFile(const QString& path, const QByteArray& bytes);

}  // namespace Transfer
