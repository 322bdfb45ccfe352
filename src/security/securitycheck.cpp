#include "security/frmMasterPassword.h"
#include "shared/module1.h"
#include "vault/stringcipher.h"
#include "vault/vaultstore.h"

#include <QPointer>

namespace Module1 {

bool SecurityCheck(QWidget* owner, VaultStore& vault)
{
    QPointer<frmMasterPassword> prompt = new frmMasterPassword(owner);
    const int answer = prompt->exec();
    delete prompt.data();
    // A prompt closed without OK has no entry; an earlier one must not count.
    if (answer != QDialog::Accepted)
        return false;
    return EnteredPassword == Decrypt(vault.storedMasterPassword());
}

}  // namespace Module1
