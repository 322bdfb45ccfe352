#include "shared/secrets.h"

#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>

namespace Secrets {

void hardenProcess()
{
    // A crash would otherwise write the passwords it holds to disk, and a
    // non-dumpable process cannot be attached to or read through /proc.
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    const rlimit none{0, 0};
    ::setrlimit(RLIMIT_CORE, &none);
    ::umask(077);
}

}  // namespace Secrets
