#include "security/securitycheck.h"

#include "security/frmMasterPassword.h"
#include "shared/module1.h"
#include "vault/vaultstore.h"
#include "vault/wipe.h"

#include <QPointer>
#include <QScopeGuard>

namespace Module1 {

bool SecurityCheck(QWidget* owner, VaultStore& vault)
{
    QPointer<frmMasterPassword> prompt = new frmMasterPassword(owner);
    const int answer = prompt->exec();
    delete prompt.data();
    // Nothing reads the entry after the comparison; with the prompt gone it
    // is the last holder of the typed text, so the wipe reaches it.
    const auto forgetEntry = qScopeGuard([] { Secrets::wipe(EnteredPassword); });
    // A prompt closed without OK has no entry; an earlier one must not count.
    if (answer != QDialog::Accepted)
        return false;
    // In a sealed vault a match also unlocks the seal for the command.
    return vault.masterPasswordOpens(EnteredPassword);
}

}  // namespace Module1
