#include "shared/module1.h"

#include "shared/messagebox.h"
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

void Reset()
{
    Secrets::wipe(SelectedPassword);
    Secrets::wipe(EnteredPassword);
    clearClipboardSecret();
    EditIndex = 0;
}

QString ApplicationFolder()
{
    return folderOverride().isEmpty() ? QCoreApplication::applicationDirPath() : folderOverride();
}

QString ApplicationFile(const QString& name)
{
    return ApplicationFolder() + QLatin1Char('/') + name;
}

void SetApplicationFolder(const QString& folder)
{
    folderOverride() = folder;
}

QString TrimSpaces(const QString& text)
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

void ShowSecurityCheckFailed(QWidget* owner)
{
    MessageBox::show(owner, QStringLiteral("Security check failed."), QMessageBox::Ok, QMessageBox::Critical,
                     QStringLiteral("Quillock Security Check"));
}

}  // namespace Module1
