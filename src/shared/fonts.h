#pragma once

#include <QFont>
#include <initializer_list>

class QWidget;

// The windows' fonts. Sizes are fractional points, which Designer files
// cannot hold, so the windows apply them after setupUi.
namespace Fonts {
void installSubstitutions();
QFont arial(bool bold = false);  // 8.25 pt
QFont courier();  // 9.75 pt
QFont sansSerif();  // MS Sans Serif 8.25 pt
// Arial 8.25 pt for the window; the listed controls keep their bold weight.
void useArial(QWidget* window, std::initializer_list<QWidget*> bold = {});
void useCourier(std::initializer_list<QWidget*> controls);
}  // namespace Fonts
