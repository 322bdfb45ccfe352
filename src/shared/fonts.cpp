#include "shared/fonts.h"

#include <QWidget>

namespace Fonts {

void InstallSubstitutions()
{
    QFont::insertSubstitutions(QStringLiteral("Arial"), {QStringLiteral("Liberation Sans")});
    QFont::insertSubstitutions(QStringLiteral("Courier"),
                               {QStringLiteral("Liberation Mono"), QStringLiteral("Courier New")});
    QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"), {QStringLiteral("Liberation Sans")});
}

QFont Arial(bool bold)
{
    QFont font(QStringLiteral("Arial"));
    font.setPointSizeF(8.25);
    font.setBold(bold);
    return font;
}

QFont Courier()
{
    QFont font(QStringLiteral("Courier"));
    font.setStyleHint(QFont::TypeWriter);
    font.setPointSizeF(9.75);
    return font;
}

QFont SansSerif()
{
    QFont font(QStringLiteral("MS Sans Serif"));
    font.setPointSizeF(8.25);
    return font;
}

void UseArial(QWidget* window, std::initializer_list<QWidget*> bold)
{
    window->setFont(Arial());
    for (QWidget* control : bold)
        control->setFont(Arial(true));
}

void UseCourier(std::initializer_list<QWidget*> controls)
{
    for (QWidget* control : controls)
        control->setFont(Courier());
}

}  // namespace Fonts
