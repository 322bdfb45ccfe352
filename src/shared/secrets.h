#pragma once

#include <QByteArray>
#include <QString>
#include <sodium.h>

// Keeping passwords out of memory the program is done with, and out of
// core files and debuggers altogether. The wiping is header-only, so the
// store and the report can use it without the windows.
namespace Secrets {

// Zeroes the text's buffer, then empties the text. A buffer that another
// string still shares, or that is not the text's own (a literal, raw data),
// is only let go: zeroing it would change what the other holder reads, and
// data() would merely detach a copy to zero. Callers drop the other holders
// first, so that the wipe reaches the real buffer.
inline void wipe(QString& text)
{
    if (text.isDetached())
        sodium_memzero(text.data(), static_cast<size_t>(text.capacity()) * sizeof(QChar));
    text.clear();
}

inline void wipe(QByteArray& bytes)
{
    if (bytes.isDetached())
        sodium_memzero(bytes.data(), static_cast<size_t>(bytes.capacity()));
    bytes.clear();
}

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

}  // namespace Secrets
