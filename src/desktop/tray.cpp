#include "desktop/tray.h"

#include <QIcon>
#include <QPixmap>
#include <QSystemTrayIcon>

Tray::Tray(QObject* parent) : QObject(parent)
{
}

Tray::~Tray()
{
    RemoveIcon();
}

void Tray::ShowIcon()
{
    if (!icon_) {
        icon_ = new QSystemTrayIcon(this);
        connect(icon_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
            switch (reason) {
            case QSystemTrayIcon::Trigger:
            case QSystemTrayIcon::DoubleClick:
                emit MouseAction(Restore);
                break;
            case QSystemTrayIcon::Context:
                emit MouseAction(ContextMenu);
                break;
            default:
                break;
            }
        });
    }
    // A file that cannot be read leaves the icon blank, as an unreadable
    // picture would; the program goes on.
    const QPixmap picture(IconFile);
    icon_->setIcon(picture.isNull() ? QIcon() : QIcon(picture));
    icon_->setToolTip(TipText);
    icon_->show();
}

void Tray::RemoveIcon()
{
    if (icon_) {
        icon_->hide();
        delete icon_;
        icon_ = nullptr;
    }
}

bool Tray::isShown() const
{
    return icon_ && icon_->isVisible();
}

namespace {
std::optional<bool>& availabilityOverride()
{
    static std::optional<bool> value;
    return value;
}
}  // namespace

bool Tray::isAvailable()
{
    return availabilityOverride().value_or(QSystemTrayIcon::isSystemTrayAvailable());
}

void Tray::overrideAvailability(std::optional<bool> available)
{
    availabilityOverride() = available;
}
