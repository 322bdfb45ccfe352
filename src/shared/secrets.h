#pragma once

#include "vault/hardening.h"

class QLineEdit;

// The program's files stay its owner's; what the desktop writes for the
// user does not. Hardening the process is in the core (vault/hardening.h),
// shared with the tools.
namespace Secrets {

// While alive, the user's own umask is back: the desktop's handler (the
// browser) is started under it, so the files it saves are not made private.
class UserUmask {
public:
    UserUmask();
    ~UserUmask();
    UserUmask(const UserUmask&) = delete;
    UserUmask& operator=(const UserUmask&) = delete;

private:
    unsigned ours_;
};

// Empties a one-line box with its undo history, and zeroes the buffers of
// its text and of the text it shows once the box has let them go. A buffer
// that something else still shares (a copy on the clipboard) is only let go.
void wipeBox(QLineEdit* box);

}  // namespace Secrets
