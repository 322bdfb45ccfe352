#include "accounts/frmEditAccount.h"

#include "ui_accountform.h"

#include "shared/module1.h"
#include "shared/programend.h"
#include "vault/stringcipher.h"

#include <limits>

namespace {

// The 1-based vault position of a list index; none for "nothing selected".
std::optional<qint64> vaultPosition(qint64 listIndex)
{
    if (listIndex < 0 || listIndex == std::numeric_limits<qint64>::max())
        return std::nullopt;
    return listIndex + 1;
}

}  // namespace

frmEditAccount::frmEditAccount(VaultStore& vault, QWidget* parent)
    : AccountDialog(vault, QStringLiteral("Edit Account Information. . ."), parent)
{
    setObjectName(QStringLiteral("frmEditAccount"));
}

frmEditAccount::Loaded frmEditAccount::load(std::optional<qint64> listedRowid)
{
    const auto position = vaultPosition(Module1::EditIndex);
    if (!position || !listedRowid)
        return Loaded::NoEntry;
    // One lookup, checked against the entry: another copy may commit at any
    // moment, and the row now at this position may be somebody else's.
    const auto row = vault_.accountAt(*position);
    if (!row || row->rowid != listedRowid)
        return Loaded::Moved;
    AccountFields plain = row->fields;
    plain.username = decryptField(row->fields.username);
    plain.password = vault_.openPassword(row->fields.password);
    showFields(plain);
    loadedRowid_ = row->rowid;
    return Loaded::Row;
}

void frmEditAccount::store()
{
    const auto position = vaultPosition(Module1::EditIndex);
    // A row that has gone or changed places is left alone; the caller's
    // rebuilt list shows the vault as it now is.
    if (position)
        vault_.updateAccountAt(*position, loadedRowid_, fieldsToStore());
}

bool ShowEditAccount(QWidget* owner, VaultStore& vault, qint64 position, std::optional<qint64> listedRowid)
{
    Module1::EditIndex = position;
    frmEditAccount dialog(vault, owner);
    auto loaded = frmEditAccount::Loaded::NoEntry;
    if (!runCommand(owner, [&] { loaded = dialog.load(listedRowid); }))
        return false;
    if (loaded != frmEditAccount::Loaded::Row)
        return loaded == frmEditAccount::Loaded::Moved;
    return dialog.exec() == QDialog::Accepted;
}
