#pragma once

#include <QString>
#include <exception>

// The one error value that the store, the cipher, the settings and the file
// operations raise. Start-up and the command wrapper decide by its code.
class AppError : public std::exception {
public:
    AppError(int code, QString description, QString source);

    int code() const noexcept { return code_; }
    const QString& description() const noexcept { return description_; }
    const QString& source() const noexcept { return source_; }
    const char* what() const noexcept override { return what_.constData(); }

private:
    int code_;
    QString description_;
    QString source_;
    QByteArray what_;
};

namespace ErrorCode {
// Start-up skips a step that fails with one of these two.
inline constexpr int Busy = 3356;  // vault locked or busy: another holder has it
inline constexpr int PathAccess = 75;  // permission denied, read-only file system, a folder in the way
// Everything else ends start-up with its message.
inline constexpr int FileNotFound = 53;
inline constexpr int ObjectNotSet = 91;  // no vault was opened
inline constexpr int NoCurrentRecord = 3021;
inline constexpr int VaultNotFound = 3024;
inline constexpr int NotValidPassword = 3031;  // unreadable with the vault key
inline constexpr int DiskFull = 3035;
inline constexpr int VaultDamaged = 3049;
inline constexpr int UnrecognizedFormat = 3343;
inline constexpr int DatabaseFailure = 3146;
inline constexpr int CipherFailure = 5;  // cipher text that does not open
inline constexpr int SettingsFailure = 3045;
inline constexpr int FileFailure = 57;  // device I/O error
// The folder lock was not had in time: someone holds it for good.
inline constexpr int LockTimeout = 3050;
// The vault holds what Quillock never puts there and does not run: schema
// objects beyond its two plain tables, code in their definitions, rows
// over the size limit. The file is left as it is.
inline constexpr int UntrustedVault = 3251;
}  // namespace ErrorCode

namespace ErrorSource {
inline const QString Store = QStringLiteral("SQLCipher");
inline const QString Cipher = QStringLiteral("StringCipher");
inline const QString Settings = QStringLiteral("Settings");
inline const QString Files = QStringLiteral("FileSystem");
}  // namespace ErrorSource

// The code errno from a failed system call stands for: one table for the
// file operations and the store. `otherwise` is the caller's code for any
// errno the table does not name.
int errorCodeForErrno(int errnum, int otherwise);

// Turns errno from a failed file operation into the error value.
[[noreturn]] void raiseFileError(int errnum, const QString& path, const QString& action);
