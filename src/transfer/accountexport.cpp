#include "transfer/accountexport.h"

#include "transfer/csvfile.h"
#include "transfer/transfer.h"
#include "vault/apperror.h"
#include "vault/fileops.h"
#include "vault/stringcipher.h"
#include "vault/vaultseal.h"
#include "vault/wipe.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Transfer {

std::optional<ExportFormat> ExportFormatNamed(const QString& name)
{
    const QString key = name.toLower();
    if (key == QLatin1String("keepassxc"))
        return ExportFormat::KeePassXC;
    if (key == QLatin1String("bitwarden"))
        return ExportFormat::Bitwarden;
    if (key == QLatin1String("chrome"))
        return ExportFormat::Chrome;
    return std::nullopt;
}

bool MasterPasswordMatches(VaultStore& vault, const QString& entered)
{
    if (!vault.isInitialized())
        throw AppError(ErrorCode::NoCurrentRecord,
                       QStringLiteral("The vault has no master password yet; start Quillock once to choose one."),
                       ErrorSource::Store);
    // In a sealed vault a match also unlocks the seal.
    return MasterPasswordOpens(vault, entered);
}

QByteArray ExportCsv(VaultStore& vault, ExportFormat format, qsizetype* count)
{
    QByteArray out;
    // Room up front, so growing leaves few stale copies of plain text behind.
    out.reserve(qsizetype(4 * 1024 * 1024));
    switch (format) {
    case ExportFormat::KeePassXC:
        out += "\"Group\",\"Title\",\"Username\",\"Password\",\"URL\",\"Notes\",\"TOTP\",\"Icon\","
               "\"Last Modified\",\"Created\"\r\n";
        break;
    case ExportFormat::Bitwarden:
        out += "folder,favorite,type,name,notes,fields,reprompt,login_uri,login_username,login_password,"
               "login_totp\r\n";
        break;
    case ExportFormat::Chrome:
        out += "name,url,username,password,note\r\n";
        break;
    }
    qsizetype accounts = 0;
    try {
        vault.forEachAccount([&](const AccountRow& row) {
            const AccountFields& f = row.fields;
            QString username = DecryptField(f.username);
            QString password = OpenPassword(vault, f.password);
            const QString notes = NotesWithHint(f.notes, f.hint);
            QStringList fields;
            switch (format) {
            case ExportFormat::KeePassXC:
                fields = {QStringLiteral("Root"), f.account, username, password, f.url, notes, {}, {}, {}, {}};
                break;
            case ExportFormat::Bitwarden:
                fields = {
                    {},       {}, QStringLiteral("login"), f.account, notes, {}, QStringLiteral("0"), f.url, username,
                    password, {}};
                break;
            case ExportFormat::Chrome:
                fields = {f.account, f.url, username, password, notes};
                break;
            }
            Secrets::wipe(username);
            Secrets::wipe(password);
            AppendCsvRecord(out, fields);
            for (QString& field : fields)
                Secrets::wipe(field);
            ++accounts;
        });
    } catch (...) {
        Secrets::wipe(out);
        throw;
    }
    if (count)
        *count = accounts;
    return out;
}

void WriteNewFile(const QString& path, const QByteArray& bytes)
{
    const QByteArray native = path.toUtf8();
    const int fd = ::open(native.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (errno == EEXIST)
            throw AppError(ErrorCode::DatabaseFailure,
                           QStringLiteral("'%1' exists already; an export never replaces a file.").arg(path),
                           ErrorSource::Files);
        RaiseFileError(errno, path, QStringLiteral("create"));
    }
    const auto fail = [&](int error, const char* action) {
        ::close(fd);
        ::unlink(native.constData());
        RaiseFileError(error, path, QString::fromLatin1(action));
    };
    // The umask may take bits away but never add any; make it exact.
    if (::fchmod(fd, 0600) != 0)
        fail(errno, "protect");
    if (const int error = FileOps::writeAll(fd, bytes))
        fail(error, "write");
    if (::fsync(fd) != 0)
        fail(errno, "flush");
    if (::close(fd) != 0) {
        const int error = errno;
        ::unlink(native.constData());
        RaiseFileError(error, path, QStringLiteral("write"));
    }
}

}  // namespace Transfer
