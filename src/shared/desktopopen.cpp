#include "shared/desktopopen.h"

#include "shared/secrets.h"

#include <QDesktopServices>
#include <QUrl>

namespace DesktopOpen {

namespace {
Opener& opener()
{
    static Opener current;
    return current;
}
}  // namespace

void open(const QString& address)
{
    if (opener()) {
        opener()(address);
        return;
    }
    const Secrets::UserUmask userFiles;
    QDesktopServices::openUrl(QUrl(address, QUrl::TolerantMode));
}

void setOpener(Opener o)
{
    opener() = std::move(o);
}

}  // namespace DesktopOpen
