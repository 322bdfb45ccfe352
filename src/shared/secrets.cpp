#include "shared/secrets.h"

#include "vault/wipe.h"

#include <QLineEdit>

#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>

namespace Secrets {

namespace {
// The umask the program was started with, until it is hardened.
mode_t& userUmask()
{
    static mode_t mask = [] {
        const mode_t current = ::umask(022);
        ::umask(current);
        return current;
    }();
    return mask;
}
}  // namespace

void hardenProcess()
{
    // A crash would otherwise write the passwords it holds to disk, and a
    // non-dumpable process cannot be attached to or read through /proc.
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    const rlimit none{0, 0};
    ::setrlimit(RLIMIT_CORE, &none);
    userUmask() = ::umask(077);
}

UserUmask::UserUmask() : ours_(::umask(userUmask()))
{
}

UserUmask::~UserUmask()
{
    ::umask(static_cast<mode_t>(ours_));
}

void wipeBox(QLineEdit* box)
{
    // Both share the box's own buffers.
    QString text = box->text();
    QString shown = box->displayText();
    // setText, unlike clear(), keeps no undo step with the old text in it.
    box->setText(QString());
    wipe(text);
    wipe(shown);
}

}  // namespace Secrets
