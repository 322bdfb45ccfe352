#pragma once

class QLineEdit;

// Keeping passwords out of core files and debuggers altogether, and the
// program's files to their owner. The wiping itself is in vault/wipe.h.
namespace Secrets {

// No core file, no debugger of the same user, and files readable by their
// owner only. Called first thing at start.
void hardenProcess();

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
