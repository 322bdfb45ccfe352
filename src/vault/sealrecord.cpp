#include "vault/sealrecord.h"

#include "vault/apperror.h"
#include "vault/fileops.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QUrl>
#include <map>
#include <set>

namespace SealRecord {

namespace {

// Real path to the keys allowed; a line is "KEY<TAB>percent-encoded path".
using Records = std::map<QString, std::set<QString>>;

[[noreturn]] void unreadable(const QString& why)
{
    throw AppError(ErrorCode::SettingsFailure,
                   QStringLiteral("The record of sealed vaults '%1' %2; Quillock reads it before it opens a vault. "
                                  "Delete it (or make it readable) to go on: every sealed vault is then recorded "
                                  "afresh when it is next opened.")
                       .arg(file(), why),
                   ErrorSource::Settings);
}

// The vault's real path; a vault that is gone keeps the path it was given.
QString realPath(const QString& vaultPath)
{
    return FileOps::exists(vaultPath) ? FileOps::resolved(vaultPath) : QFileInfo(vaultPath).absoluteFilePath();
}

Records read()
{
    QFile in(file());
    if (!in.exists())
        return {};
    if (!in.open(QIODevice::ReadOnly))
        unreadable(QStringLiteral("cannot be read (%1)").arg(in.errorString()));
    Records records;
    for (const QByteArray& line : in.readAll().split('\n')) {
        if (line.isEmpty())
            continue;
        const qsizetype tab = line.indexOf('\t');
        const QString key = QString::fromLatin1(line.left(tab));
        const QString path = QUrl::fromPercentEncoding(line.mid(tab + 1));
        if (tab <= 0 || key.contains(QLatin1Char(' ')) || !path.startsWith(QLatin1Char('/')))
            unreadable(QStringLiteral("is not in the form Quillock writes"));
        records[path].insert(key);
    }
    return records;
}

void write(Records records, const QString& current)
{
    // Vaults that are gone are let go; the one at hand is always kept.
    QByteArray out;
    for (const auto& [path, keys] : records) {
        if (path != current && !QFileInfo::exists(path))
            continue;
        for (const QString& key : keys)
            out += key.toLatin1() + '\t' + QUrl::toPercentEncoding(path, "/") + '\n';
    }
    if (out.isEmpty() && !QFileInfo::exists(file()))
        return;
    QDir().mkpath(QFileInfo(file()).absolutePath());
    FileOps::writeFile(file(), FileOps::Placement::Replace, out);
}

// The keys the record allows for the vault, and the record.
std::set<QString>* allowed(Records& records, const QString& real)
{
    const auto found = records.find(real);
    return found == records.end() ? nullptr : &found->second;
}

}  // namespace

QString file()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        + QStringLiteral("/Quillock/sealed-vaults");
}

void check(const QString& vaultPath, const QString& key)
{
    // Nothing at all for a user who never sealed.
    if (key == Plain && !QFileInfo::exists(file()))
        return;
    const QString real = realPath(vaultPath);
    Records records = read();
    std::set<QString>* keys = allowed(records, real);
    if (!keys) {
        if (key != Plain) {
            records[real] = {key};
            write(records, real);
        }
        return;
    }
    if (!keys->count(key)) {
        const QString changed = key == Plain
            ? QStringLiteral("it was sealed when Quillock last opened it, and it is not sealed now")
            : QStringLiteral("it is sealed to another key than when Quillock last opened it (its seal was "
                             "replaced)");
        throw AppError(ErrorCode::VaultDamaged,
                       QStringLiteral("The vault '%1' was refused: %2. Someone may have put another file in its "
                                      "place; it was left as it is. If you put it there on purpose (an older "
                                      "copy restored), run quillock-seal --forget --vault '%1' to accept it, "
                                      "then start again.")
                           .arg(vaultPath, changed),
                       ErrorSource::Store);
    }
    if (keys->size() > 1 || key == Plain)
        settle(vaultPath, key);
}

void allow(const QString& vaultPath, const QString& key)
{
    const QString real = realPath(vaultPath);
    Records records = read();
    records[real].insert(key);
    write(records, real);
}

void settle(const QString& vaultPath, const QString& key)
{
    const QString real = realPath(vaultPath);
    Records records = read();
    if (key == Plain)
        records.erase(real);
    else
        records[real] = {key};
    write(records, real);
}

bool forget(const QString& vaultPath)
{
    const QString real = realPath(vaultPath);
    Records records = read();
    if (!records.erase(real))
        return false;
    write(records, real);
    return true;
}

}  // namespace SealRecord
