#pragma once

#include "accounts/accountdialog.h"

#include <optional>

// Changes the account at list position Module1::EditIndex. Accepted when the
// caller must rebuild its account list: the account was stored, or its row
// had gone (or been replaced by another copy of the program) by then.
class frmEditAccount : public AccountDialog {
    Q_OBJECT
public:
    explicit frmEditAccount(VaultStore& vault, QWidget* parent = nullptr);

    // Fills the boxes from the row at EditIndex. False when there is none;
    // a failure here is not caught, so partly filled boxes are never shown.
    bool load();

protected:
    void store() override;

private:
    qint64 loadedRowid_ = 0;
};

// Opens the edit dialog on the account at the 0-based list `position`. True
// when the caller must rebuild its account list.
bool ShowEditAccount(QWidget* owner, VaultStore& vault, qint64 position);
