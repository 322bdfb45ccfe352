#include "shared/secrets.h"

#include <sys/stat.h>

namespace Secrets {

UserUmask::UserUmask() : ours_(::umask(startingUmask()))
{
}

UserUmask::~UserUmask()
{
    ::umask(static_cast<mode_t>(ours_));
}

}  // namespace Secrets
