#include "transfer/accountexport.h"

#include "transfer/csvfile.h"
#include "transfer/transfer.h"
#include "vault/apperror.h"
#include "vault/fileops.h"
#include "vault/stringcipher.h"
#include "vault/wipe.h"

#include <QScopeGuard>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Transfer {

std::optional<ExportFormat> exportFormatNamed(const QString& name)
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

QByteArray exportCsv(VaultStore& vault, ExportFormat format, qsizetype* count)
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
    auto wipeOnFailure = qScopeGuard([&out] { Secrets::wipe(out); });
    vault.forEachAccount([&](const AccountRow& row) {
        const AccountFields& f = row.fields;
        QString username = decryptField(f.username);
        QString password = vault.openPassword(f.password);
        const QString notes = notesWithHint(f.notes, f.hint);
        QStringList fields;
        switch (format) {
        case ExportFormat::KeePassXC:
            fields = {QStringLiteral("Root"), f.account, username, password, f.url, notes, {}, {}, {}, {}};
            break;
        case ExportFormat::Bitwarden:
            fields = {{},       {}, QStringLiteral("login"), f.account, notes, {}, QStringLiteral("0"), f.url, username,
                      password, {}};
            break;
        case ExportFormat::Chrome:
            fields = {f.account, f.url, username, password, notes};
            break;
        }
        Secrets::wipe(username);
        Secrets::wipe(password);
        appendCsvRecord(out, fields);
        for (QString& field : fields)
            Secrets::wipe(field);
        ++accounts;
    });
    if (count)
        *count = accounts;
    wipeOnFailure.dismiss();
    return out;
}

void writeNewFile(const QString& path, const QByteArray& bytes)
{
    FileOps::writeFile(path, FileOps::Placement::New, bytes);
}

}  // namespace Transfer
