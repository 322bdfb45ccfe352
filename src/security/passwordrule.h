#pragma once

#include "vault/masterrule.h"

#include <QString>
#include <initializer_list>
#include <optional>

class QDialog;
class QLineEdit;
class QWidget;
class VaultStore;

// The master password windows' side of the one rule (vault/masterrule.h),
// so creating it and changing it can never disagree.
namespace PasswordRule {

using MasterRule::MaxLength;
using MasterRule::MinLength;

inline const QString RejectionText =
    QStringLiteral("Data validation failed.  Your master password must be between eight and sixteen characters.  "
                   "The passwords you entered must match.  Please try again.");
inline const QString RejectionTitle = QStringLiteral("Quillock Security Initialization");

// Boxes that take a master password: Courier, at most MaxLength units,
// and whole characters only.
void setUpBoxes(std::initializer_list<QLineEdit*> boxes);

using MasterRule::accept;

// Checks both boxes as typed. On rejection shows the message, then puts the
// focus in the first box and empties both.
std::optional<QString> validate(QWidget* window, QLineEdit* first, QLineEdit* second);

// The "&Ok" command of the dialogs that set the master password: validates
// the boxes and, when they pass, stores the master password (re-keying a
// sealed vault),
// saves the "Initialized" setting and closes `dialog` as accepted.
void storeAndAccept(QDialog* dialog, QLineEdit* first, QLineEdit* second, VaultStore& vault, bool markInitialized);

}  // namespace PasswordRule
