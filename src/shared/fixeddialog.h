#pragma once

#include <Qt>
#include <initializer_list>

class QDialog;
class QWidget;

// Every dialog of the program is modal and keeps its designed size.
namespace FixedDialog {

// A title bar with the close box only: a modal dialog minimized away would
// leave its owner refusing input with nothing on screen to answer.
inline constexpr Qt::WindowFlags Flags = Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint
    | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint;

// Applies Flags, fixes the dialog at its present size and sets Arial 8.25 pt,
// bold for the controls in `bold`.
void setUp(QDialog* dialog, std::initializer_list<QWidget*> bold = {});

}  // namespace FixedDialog
