// Preloaded into a process to make its file-system calls under one folder
// fail, one at a time: the k-th such call fails with an errno or kills the
// process (before or after the call). Test code only.
//   VYR_FAULT_SCOPE  folder whose calls are counted (paths under it, and
//                    descriptors opened under it)
//   VYR_FAULT_AT     the call to fail, counting from 1 (none if unset)
//   VYR_FAULT        ENOSPC, EIO, KILL (before the call) or KILL_AFTER
//   VYR_FAULT_COUNT  file that receives the number of calls counted, at exit
//   VYR_SYNC_COUNT   file that receives the number of those calls that synced
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

long calls = 0;
long syncs = 0;
long faultAt = 0;
int faultErrno = 0;
bool killBefore = false;
bool killAfter = false;
const char *scope = nullptr;
bool scoped[4096];

__attribute__((constructor)) void configure()
{
    scope = std::getenv("VYR_FAULT_SCOPE");
    if (const char *at = std::getenv("VYR_FAULT_AT"))
        faultAt = std::atol(at);
    const char *fault = std::getenv("VYR_FAULT");
    if (fault && std::strcmp(fault, "ENOSPC") == 0)
        faultErrno = ENOSPC;
    else if (fault && std::strcmp(fault, "EIO") == 0)
        faultErrno = EIO;
    killBefore = fault && std::strcmp(fault, "KILL") == 0;
    killAfter = fault && std::strcmp(fault, "KILL_AFTER") == 0;
}

void write(const char *variable, long value)
{
    if (const char *path = std::getenv(variable)) {
        if (FILE *file = std::fopen(path, "w")) {
            std::fprintf(file, "%ld\n", value);
            std::fclose(file);
        }
    }
}

__attribute__((destructor)) void report()
{
    write("VYR_FAULT_COUNT", calls);
    write("VYR_SYNC_COUNT", syncs);
}

bool inScope(const char *path)
{
    return scope && path && std::strncmp(path, scope, std::strlen(scope)) == 0;
}

bool inScope(int fd)
{
    return fd >= 0 && fd < 4096 && scoped[fd];
}

// True when this call is the one to fail; errno is then set.
bool failHere()
{
    if (++calls != faultAt)
        return false;
    if (killBefore)
        kill(getpid(), SIGKILL);
    if (!faultErrno)
        return false;
    errno = faultErrno;
    return true;
}

template <typename R>
R afterCall(R result)
{
    if (killAfter && calls == faultAt)
        kill(getpid(), SIGKILL);
    return result;
}

template <typename F>
F next(const char *name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// A path relative to a folder opened in scope is in scope too.
bool inScope(int dirfd, const char *path)
{
    return (dirfd != AT_FDCWD && path && path[0] != '/') ? inScope(dirfd) : inScope(path);
}

int openCounted(const char *name, int dirfd, const char *path, int flags, mode_t mode)
{
    const bool writing = flags & (O_WRONLY | O_RDWR | O_CREAT);
    const bool inside = inScope(dirfd, path);
    const bool counted = inside && writing;
    if (counted && failHere())
        return -1;
    const int fd = next<int (*)(int, const char *, int, mode_t)>(name)(dirfd, path, flags, mode);
    if (fd >= 0 && fd < 4096)
        scoped[fd] = inside;
    return counted ? afterCall(fd) : fd;
}

} // namespace

extern "C" {

int open(const char *path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = (flags & O_CREAT) ? va_arg(args, mode_t) : 0;
    va_end(args);
    return openCounted("openat", AT_FDCWD, path, flags, mode);
}

int open64(const char *path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = (flags & O_CREAT) ? va_arg(args, mode_t) : 0;
    va_end(args);
    return openCounted("openat64", AT_FDCWD, path, flags, mode);
}

int openat(int dirfd, const char *path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = (flags & O_CREAT) ? va_arg(args, mode_t) : 0;
    va_end(args);
    return openCounted("openat", dirfd, path, flags, mode);
}

#define VYR_FD_CALL(ret, name, params, args)                                                                         \
    ret name params                                                                                                  \
    {                                                                                                                \
        const bool counted = inScope(fd);                                                                            \
        if (counted && failHere())                                                                                   \
            return -1;                                                                                               \
        const ret result = next<ret(*) params>(#name) args;                                                          \
        return counted ? afterCall(result) : result;                                                                 \
    }

VYR_FD_CALL(ssize_t, write, (int fd, const void *data, size_t size), (fd, data, size))
// SQLite writes its pages and its log at offsets.
VYR_FD_CALL(ssize_t, pwrite, (int fd, const void *data, size_t size, off_t offset), (fd, data, size, offset))
VYR_FD_CALL(ssize_t, pwrite64, (int fd, const void *data, size_t size, off64_t offset), (fd, data, size, offset))
VYR_FD_CALL(int, ftruncate, (int fd, off_t size), (fd, size))
VYR_FD_CALL(int, ftruncate64, (int fd, off64_t size), (fd, size))
#define VYR_SYNC_CALL(name)                                                                                          \
    int name(int fd)                                                                                                 \
    {                                                                                                                \
        const bool counted = inScope(fd);                                                                            \
        syncs += counted;                                                                                            \
        if (counted && failHere())                                                                                   \
            return -1;                                                                                               \
        const int result = next<int (*)(int)>(#name)(fd);                                                            \
        return counted ? afterCall(result) : result;                                                                 \
    }

VYR_SYNC_CALL(fsync)
VYR_SYNC_CALL(fdatasync)
VYR_FD_CALL(int, flock, (int fd, int operation), (fd, operation))

int close(int fd)
{
    const bool counted = inScope(fd);
    if (fd >= 0 && fd < 4096)
        scoped[fd] = false;
    // A failed close still releases the descriptor.
    const int result = next<int (*)(int)>("close")(fd);
    if (counted && failHere())
        return -1;
    return counted ? afterCall(result) : result;
}

#define VYR_PATH_CALL(name, params, path, args)                                                                      \
    int name params                                                                                                  \
    {                                                                                                                \
        const bool counted = inScope(path);                                                                          \
        if (counted && failHere())                                                                                   \
            return -1;                                                                                               \
        const int result = next<int(*) params>(#name) args;                                                          \
        return counted ? afterCall(result) : result;                                                                 \
    }

VYR_PATH_CALL(rename, (const char *from, const char *to), to, (from, to))
VYR_PATH_CALL(symlink, (const char *target, const char *link), link, (target, link))
VYR_PATH_CALL(link, (const char *from, const char *to), to, (from, to))
VYR_PATH_CALL(unlink, (const char *path), path, (path))
VYR_PATH_CALL(mkdir, (const char *path, mode_t mode), path, (path, mode))

#define VYR_AT_CALL(name, params, dirfd, path, args)                                                                 \
    int name params                                                                                                  \
    {                                                                                                                \
        const bool counted = inScope(dirfd, path);                                                                   \
        if (counted && failHere())                                                                                   \
            return -1;                                                                                               \
        const int result = next<int(*) params>(#name) args;                                                          \
        return counted ? afterCall(result) : result;                                                                 \
    }

VYR_AT_CALL(renameat, (int fromfd, const char *from, int tofd, const char *to), tofd, to, (fromfd, from, tofd, to))
VYR_AT_CALL(unlinkat, (int dirfd, const char *path, int flags), dirfd, path, (dirfd, path, flags))
VYR_AT_CALL(mkdirat, (int dirfd, const char *path, mode_t mode), dirfd, path, (dirfd, path, mode))
}
