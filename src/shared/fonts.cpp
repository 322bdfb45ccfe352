#include "shared/fonts.h"

#include <QWidget>

namespace Fonts {

void installSubstitutions()
{
    QFont::insertSubstitutions(QStringLiteral("Arial"), {QStringLiteral("Liberation Sans")});
    QFont::insertSubstitutions(QStringLiteral("Courier"),
                               {QStringLiteral("Liberation Mono"), QStringLiteral("Courier New")});
    QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"), {QStringLiteral("Liberation Sans")});
}

QFont arial(bool bold)
{
    QFont font(QStringLiteral("Arial"));
    font.setPointSizeF(8.25);
    font.setBold(bold);
    return font;
}

QFont courier()
{
    QFont font(QStringLiteral("Courier"));
    font.setStyleHint(QFont::TypeWriter);
    font.setPointSizeF(9.75);
    return font;
}

QFont sansSerif()
{
    QFont font(QStringLiteral("MS Sans Serif"));
    font.setPointSizeF(8.25);
    return font;
}

void useArial(QWidget* window, std::initializer_list<QWidget*> bold)
{
    window->setFont(arial());
    for (QWidget* control : bold)
        control->setFont(arial(true));
}

void useCourier(std::initializer_list<QWidget*> controls)
{
    for (QWidget* control : controls)
        control->setFont(courier());
}

}  // namespace Fonts
