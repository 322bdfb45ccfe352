#pragma once

#include "accounts/accountdialog.h"

// Adds one account. Accepted once the account is stored; the caller then
// rebuilds its account list.
class frmNewAccount : public AccountDialog {
    Q_OBJECT
public:
    explicit frmNewAccount(VaultStore& vault, QWidget* parent = nullptr);

protected:
    void store() override;
};
