#pragma once

class QTimer;

namespace Module1 {

// Clipboard commands on the focused text box of the active window.
void CutText();
void CopyText();
void PasteText();

// A password that Cut or Copy took from a password box is cleared from the
// clipboard SecretLifetime later, and at the program's end, while the
// clipboard still holds exactly that text. Clears it now.
void clearClipboardSecret();
QTimer& clipboardSecretTimer();  // tests

}  // namespace Module1
