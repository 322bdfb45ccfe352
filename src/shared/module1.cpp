#include "shared/module1.h"

#include "shared/secrets.h"
#include "vault/vaultstore.h"
#include "vault/wipe.h"

#include <QCoreApplication>

namespace Module1 {

namespace {
QString& folderOverride()
{
    static QString folder;
    return folder;
}
}  // namespace

void reset()
{
    Secrets::wipe(SelectedPassword);
    Secrets::wipe(EnteredPassword);
    EditIndex = 0;
}

QString applicationFolder()
{
    return folderOverride().isEmpty() ? QCoreApplication::applicationDirPath() : folderOverride();
}

QString applicationFile(const QString& name)
{
    return applicationFolder() + QLatin1Char('/') + name;
}

void setApplicationFolder(const QString& folder)
{
    folderOverride() = folder;
}

QString trimSpaces(const QString& text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text.at(begin) == QLatin1Char(' '))
        ++begin;
    while (end > begin && text.at(end - 1) == QLatin1Char(' '))
        --end;
    return text.mid(begin, end - begin);
}

bool IsVaultInitialized(VaultStore& vault)
{
    return vault.isInitialized();
}

}  // namespace Module1
