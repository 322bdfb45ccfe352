#include "security/passwordrule.h"

#include "shared/messagebox.h"
#include "shared/module1.h"
#include "shared/settings.h"
#include "shared/textlimit.h"
#include "vault/stringcipher.h"
#include "vault/vaultstore.h"

#include <QLineEdit>

namespace PasswordRule {

std::optional<QString> Accept(const QString& first, const QString& second)
{
    // Half a character has no form in the store and cannot be typed again at
    // the prompt, so it is no part of the password.
    const QString whole = TextLimit::WholeCharacters(first);
    const QString master = Module1::TrimSpaces(whole);
    // The upper bound is the boxes' input limit; the match is exact, spaces
    // and letter case included.
    if (master.size() < MinLength || whole != TextLimit::WholeCharacters(second))
        return std::nullopt;
    return master;
}

std::optional<QString> Validate(QWidget* window, QLineEdit* first, QLineEdit* second)
{
    std::optional<QString> master = Accept(first->text(), second->text());
    if (!master) {
        MessageBox::show(window, RejectionText, QMessageBox::Ok, QMessageBox::Critical, RejectionTitle);
        first->setFocus();
        first->clear();
        second->clear();
    }
    return master;
}

bool StoreIfValid(QWidget* window, QLineEdit* first, QLineEdit* second, VaultStore& vault, bool markInitialized)
{
    const std::optional<QString> master = Validate(window, first, second);
    if (!master)
        return false;
    vault.storeMasterPassword(Encrypt(*master), markInitialized);
    Settings::SaveSetting(Settings::InitializedKey, QStringLiteral("T"));
    return true;
}

}  // namespace PasswordRule
