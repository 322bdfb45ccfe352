#include "security/passwordrule.h"

#include "shared/fonts.h"
#include "shared/messagebox.h"
#include "shared/module1.h"
#include "shared/settings.h"
#include "shared/textlimit.h"
#include "vault/stringcipher.h"
#include "vault/vaultstore.h"

#include <QLineEdit>

namespace PasswordRule {

void setUpBox(QLineEdit* box)
{
    box->setMaxLength(MaxLength);
    Fonts::useCourier({box});
    TextLimit::keepWhole(box);
}

std::optional<QString> accept(const QString& first, const QString& second)
{
    // Half a character has no form in the store and cannot be typed again at
    // the prompt, so it is no part of the password.
    const QString whole = TextLimit::wholeCharacters(first);
    const QString master = Module1::trimSpaces(whole);
    // The upper bound is the boxes' input limit; the match is exact, spaces
    // and letter case included.
    if (master.size() < MinLength || whole != TextLimit::wholeCharacters(second))
        return std::nullopt;
    return master;
}

std::optional<QString> validate(QWidget* window, QLineEdit* first, QLineEdit* second)
{
    std::optional<QString> master = accept(first->text(), second->text());
    if (!master) {
        MessageBox::critical(window, RejectionTitle, RejectionText);
        first->setFocus();
        first->clear();
        second->clear();
    }
    return master;
}

bool storeIfValid(QWidget* window, QLineEdit* first, QLineEdit* second, VaultStore& vault, bool markInitialized)
{
    const std::optional<QString> master = validate(window, first, second);
    if (!master)
        return false;
    vault.storeMasterPassword(Encrypt(*master), markInitialized);
    Settings::saveSetting(Settings::InitializedKey, QStringLiteral("T"));
    return true;
}

}  // namespace PasswordRule
