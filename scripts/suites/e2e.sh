#!/usr/bin/env bash
# End-to-end suite: the built program in a private X session (Xvfb, openbox,
# trayer, D-Bus, the AT-SPI bus), driven over the accessibility bus. It
# starts and stops every server itself; screenshots land in build/e2e-shots/.
source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"

install_missing xvfb openbox trayer xdotool wmctrl python3 python3-pyatspi at-spi2-core dbus dbus-x11 \
  x11-apps imagemagick sqlcipher fonts-liberation

if [ ! -x "$QUILLOCK_APP/quillock" ] || [ ! -x "$QUILLOCK_BUILD/quillock-makevault" ]; then
  build_quillock
fi
# The suite lays out its application folders with the install rules; a build
# folder configured before they existed learns them here.
if ! grep -q "quillock.desktop" "$QUILLOCK_BUILD/cmake_install.cmake" 2>/dev/null; then
  cmake "$QUILLOCK_BUILD" >/dev/null
fi

# Debian's own Python: python3-pyatspi is installed for it alone.
exec timeout --kill-after=20 600 /usr/bin/python3 "$QUILLOCK_ROOT/e2e/run.py" --build "$QUILLOCK_BUILD" "$@"
