#include "security/passwordrule.h"

#include "shared/fonts.h"
#include "shared/messagebox.h"
#include "shared/programend.h"
#include "shared/secrets.h"
#include "shared/settings.h"
#include "shared/textlimit.h"
#include "vault/vaultstore.h"
#include "vault/wipe.h"

#include <QDialog>
#include <QLineEdit>

namespace PasswordRule {

void setUpBoxes(std::initializer_list<QLineEdit*> boxes)
{
    for (QLineEdit* box : boxes) {
        box->setMaxLength(MaxLength);
        box->setFont(Fonts::courier());
        TextLimit::keepWhole(box);
    }
}

std::optional<QString> validate(QWidget* window, QLineEdit* first, QLineEdit* second)
{
    std::optional<QString> master = accept(first->text(), second->text());
    if (!master) {
        MessageBox::critical(window, RejectionTitle, RejectionText);
        first->setFocus();
        // Emptied with their undo history: clear() would keep the entries there.
        Secrets::wipeBox(first);
        Secrets::wipeBox(second);
    }
    return master;
}

void storeAndAccept(QDialog* dialog, QLineEdit* first, QLineEdit* second, VaultStore& vault, bool markInitialized)
{
    runDialogCommand(dialog, [&] {
        std::optional<QString> master = validate(dialog, first, second);
        if (!master)
            return;
        vault.changeMasterPassword(*master, markInitialized);
        // Let go before the dialog closes, so that the wipe of its boxes
        // finds their buffers unshared.
        Secrets::wipe(*master);
        Settings::saveSetting(Settings::InitializedKey, QStringLiteral("T"));
        dialog->accept();
    });
}

}  // namespace PasswordRule
