#pragma once

#include <functional>

class AppError;
class QDialog;
class QWidget;

// Ending the program at once, without the main window's unload steps.
namespace ProgramEnd {

// Never returns in the real program. Under a test interceptor it returns,
// and callers must return straight away; ended() then tells them so.
void endNow();
bool ended();

// Runs `cleanUp` first whenever the program ends at once: what a command
// left behind that must not outlive it (a password on the clipboard).
void atEnd(std::function<void()> cleanUp);

using Interceptor = std::function<void()>;
void setInterceptor(Interceptor interceptor);  // tests; also clears ended()

}  // namespace ProgramEnd

// The fate of a failure that no step traps: its code and description in a
// message box, then the immediate end.
void reportUntrappedError(QWidget* parent, const AppError& error);

// Runs one command to its end; an untrapped failure stops it at the failing
// step and ends the program. Returns false when the program has ended.
bool runCommand(QWidget* parent, const std::function<void()>& command);

// runCommand for a dialog's handler: when the program has ended, the dialog
// closes too, so the code that opened it can return.
bool runDialogCommand(QDialog* dialog, const std::function<void()>& command);
