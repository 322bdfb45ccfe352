#include "accounts/frmNewAccount.h"

#include "ui_accountform.h"

frmNewAccount::frmNewAccount(VaultStore& vault, QWidget* parent)
    : AccountDialog(vault, QStringLiteral("Add New Account. . ."), parent)
{
    setObjectName(QStringLiteral("frmNewAccount"));
    ui_->txtURL->setText(QStringLiteral("http://"));
}

void frmNewAccount::store()
{
    vault_.appendAccount(fieldsToStore());
}
