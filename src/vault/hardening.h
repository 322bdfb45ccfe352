#pragma once

#include <sys/types.h>

// Keeping passwords out of core files and debuggers altogether, and the
// files a process writes to their owner: the program and every tool start
// with it. The wiping itself is in vault/wipe.h.
namespace Secrets {

// No core file, no debugger of the same user, and files readable by their
// owner only. Called first thing at start, before anything is read.
void hardenProcess();

// The umask the process had before hardenProcess made it 077.
mode_t startingUmask();

}  // namespace Secrets
