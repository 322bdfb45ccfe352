// Preloaded into the crash test's child: counts every call that changes a
// file (writes, flushes, truncations, renames, links, removals, mode changes,
// new scratch files and folders) and kills the
// process with SIGKILL right before call number $QUILLOCK_CRASH_AT. Going
// through N = 1, 2, ... cuts the program short at every such step in turn.
#include <atomic>
#include <cstdlib>
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

long target()
{
    static const long at = [] {
        const char* value = std::getenv("QUILLOCK_CRASH_AT");
        return value ? std::atol(value) : 0L;
    }();
    return at;
}

std::atomic<long> calls{0};

void step()
{
    if (calls.fetch_add(1) + 1 == target())
        ::raise(SIGKILL);
}

// The child's own log on stdout and stderr is not the program's doing.
bool counted(int fd)
{
    struct stat info { };
    return fd > STDERR_FILENO && ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
}

template <class F> F next(const char* name)
{
    return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {

ssize_t write(int fd, const void* data, size_t size)
{
    static auto real = next<ssize_t (*)(int, const void*, size_t)>("write");
    if (counted(fd))
        step();
    return real(fd, data, size);
}

ssize_t pwrite(int fd, const void* data, size_t size, off_t offset)
{
    static auto real = next<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite");
    if (counted(fd))
        step();
    return real(fd, data, size, offset);
}

ssize_t pwrite64(int fd, const void* data, size_t size, off64_t offset)
{
    static auto real = next<ssize_t (*)(int, const void*, size_t, off64_t)>("pwrite64");
    if (counted(fd))
        step();
    return real(fd, data, size, offset);
}

int fsync(int fd)
{
    static auto real = next<int (*)(int)>("fsync");
    step();
    return real(fd);
}

int fdatasync(int fd)
{
    static auto real = next<int (*)(int)>("fdatasync");
    step();
    return real(fd);
}

int ftruncate(int fd, off_t length)
{
    static auto real = next<int (*)(int, off_t)>("ftruncate");
    step();
    return real(fd, length);
}

int ftruncate64(int fd, off64_t length)
{
    static auto real = next<int (*)(int, off64_t)>("ftruncate64");
    step();
    return real(fd, length);
}

int rename(const char* from, const char* to)
{
    static auto real = next<int (*)(const char*, const char*)>("rename");
    step();
    return real(from, to);
}

int renameat(int fromDir, const char* from, int toDir, const char* to)
{
    static auto real = next<int (*)(int, const char*, int, const char*)>("renameat");
    step();
    return real(fromDir, from, toDir, to);
}

int link(const char* from, const char* to)
{
    static auto real = next<int (*)(const char*, const char*)>("link");
    step();
    return real(from, to);
}

int unlink(const char* path)
{
    static auto real = next<int (*)(const char*)>("unlink");
    step();
    return real(path);
}

int rmdir(const char* path)
{
    static auto real = next<int (*)(const char*)>("rmdir");
    step();
    return real(path);
}

int chmod(const char* path, mode_t mode)
{
    static auto real = next<int (*)(const char*, mode_t)>("chmod");
    step();
    return real(path, mode);
}

char* mkdtemp(char* pattern)
{
    static auto real = next<char* (*)(char*)>("mkdtemp");
    step();
    return real(pattern);
}

int mkostemp(char* pattern, int flags)
{
    static auto real = next<int (*)(char*, int)>("mkostemp");
    step();
    return real(pattern, flags);
}

}  // extern "C"
