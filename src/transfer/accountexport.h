#pragma once

#include "vault/vaultstore.h"

#include <QByteArray>
#include <QString>
#include <optional>

// Writes every account as CSV that another password manager imports.
namespace Transfer {

enum class ExportFormat { KeePassXC, Bitwarden, Chrome };

// "keepassxc", "bitwarden" or "chrome", in any case.
std::optional<ExportFormat> exportFormatNamed(const QString& name);

// Every account in list order, header first; the hint goes into the notes
// (notesWithHint). `count` receives the number of accounts.
QByteArray exportCsv(VaultStore& vault, ExportFormat format, qsizetype* count = nullptr);

// Creates `path` with mode 0600 and writes `bytes`, flushed to disk. Never
// replaces an existing file; a failed write leaves no file behind.
void writeNewFile(const QString& path, const QByteArray& bytes);

}  // namespace Transfer
