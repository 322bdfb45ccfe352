#pragma once

class QWidget;
class VaultStore;

namespace Module1 {

// Asks for the master password and compares it with the stored one; in a
// sealed vault a match also opens the seal for the command that asked.
bool SecurityCheck(QWidget* owner, VaultStore& vault);

}  // namespace Module1
