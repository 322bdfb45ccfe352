#include "desktop/tray.h"
#include "vault/fileops.h"

#include <QFile>
#include <QIcon>
#include <QPixmap>
#include <QSystemTrayIcon>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Far more than the program's own icon takes.
constexpr qint64 MaxPictureBytes = 1 << 20;

// The picture file's bytes, read only from a plain file of this user that
// nobody else may write: the working folder may be shared, and a file
// another user put there is never parsed. Empty for any other file.
QByteArray ownPicture(const QString& path)
{
    // Without O_NONBLOCK a pipe of that name would hold start-up forever.
    const FileOps::FileHandle handle(
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!handle.isOpen())
        return {};
    const int fd = handle.get();
    QByteArray bytes;
    struct stat info { };
    QFile file;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid() && (info.st_mode & 022) == 0
        && file.open(fd, QIODevice::ReadOnly))
        bytes = file.read(MaxPictureBytes);
    file.close();
    return bytes;
}

}  // namespace

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
    // A file that cannot be read, or is not ours to read, leaves the icon
    // blank, as an unreadable picture would; the program goes on.
    QPixmap picture;
    picture.loadFromData(ownPicture(IconFile));
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
