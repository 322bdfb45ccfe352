#include "shared/module1.h"

#include "shared/secrets.h"
#include "vault/masterrule.h"
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
    return MasterRule::trimSpaces(text);
}

bool IsVaultInitialized(VaultStore& vault)
{
    return vault.isInitialized();
}

}  // namespace Module1
