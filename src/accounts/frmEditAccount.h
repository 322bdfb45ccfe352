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

    enum class Loaded { Row, NoEntry, Moved };
    // Fills the boxes from the row at EditIndex, but only when it is still the
    // row `listedRowid` the caller's list names there: Moved when another copy
    // of the program has changed the rows since the list was built, NoEntry
    // when no entry was picked. A failure here is not caught, so partly filled
    // boxes are never shown.
    Loaded load(std::optional<qint64> listedRowid);

protected:
    void store() override;

private:
    qint64 loadedRowid_ = 0;
};

// Opens the edit dialog on the account at the 0-based list `position`, whose
// entry stands for row `listedRowid` (none: no entry there). True when the
// caller must rebuild its account list.
bool showEditAccount(QWidget* owner, VaultStore& vault, qint64 position, std::optional<qint64> listedRowid);
