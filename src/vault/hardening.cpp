#include "vault/hardening.h"

#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>

namespace Secrets {

namespace {
mode_t& savedUmask()
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
    savedUmask() = ::umask(077);
}

mode_t startingUmask()
{
    return savedUmask();
}

}  // namespace Secrets
