#include "desktop/links.h"

#include "shared/module1.h"

namespace Links {

QString HelpAddress()
{
    return QStringLiteral("file://") + Module1::ApplicationFolder() + QStringLiteral("/help/index.htm");
}

QString VersionLine()
{
    return QStringLiteral("Version %1.%2.%3")
        .arg(QUILLOCK_VERSION_MAJOR)
        .arg(QUILLOCK_VERSION_MINOR)
        .arg(QUILLOCK_VERSION_PATCH);
}

}  // namespace Links
