#pragma once

#include <QString>
#include <functional>

// Hands one address to the desktop's default handler and returns at once,
// without looking at the result.
namespace DesktopOpen {
void open(const QString& address);

using Opener = std::function<void(const QString&)>;
void setOpener(Opener opener);  // tests; empty restores the desktop
}  // namespace DesktopOpen
