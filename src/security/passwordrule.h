#pragma once

#include <QString>
#include <optional>

class QLineEdit;
class QWidget;
class VaultStore;

// The one rule for a master password, kept here so creating it and
// changing it can never disagree.
namespace PasswordRule {

inline constexpr int MaxLength = 16;
inline constexpr int MinLength = 8;

inline const QString RejectionText = QStringLiteral(
    "Data validation failed.  Your master password must be between eight and sixteen characters.  "
    "The passwords you entered must match.  Please try again.");
inline const QString RejectionTitle = QStringLiteral("Quillock Security Initialization");

// A box that takes a master password: Courier, at most MaxLength units,
// and whole characters only.
void setUpBox(QLineEdit* box);

// The master password the two entries stand for, or nothing when they
// break the rule. Halves of characters in either entry do not count.
std::optional<QString> accept(const QString& first, const QString& second);

// Checks both boxes as typed. On rejection shows the message, then puts the
// focus in the first box and empties both.
std::optional<QString> validate(QWidget* window, QLineEdit* first, QLineEdit* second);

// Validates the boxes and, when they pass, stores the master password
// enciphered and saves the "Initialized" setting. False when rejected.
bool storeIfValid(QWidget* window, QLineEdit* first, QLineEdit* second, VaultStore& vault, bool markInitialized);

}  // namespace PasswordRule
