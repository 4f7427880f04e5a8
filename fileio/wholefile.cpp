// Written by hand on POSIX rather than through QSaveFile: Qt 5 takes a failed
// sync for a success and leaves a randomly named temporary file behind a
// killed run, which nothing ever removes from a folder like /etc/firefox.
#include "wholefile.h"

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Ps {
namespace {

bool writeAll(int fd, const char *data, std::size_t size)
{
    std::size_t done = 0;
    while (done < size) {
        const ssize_t wrote = write(fd, data + done, size - done);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            return false;
        done += static_cast<std::size_t>(wrote);
    }
    return true;
}

// The write itself, relative to the open folder.
bool writeAt(int folder, const std::string &name, const void *data, std::size_t size, bool syncNow)
{
    const std::string temporary = "." + name + ".tmp";
    unlinkat(folder, temporary.c_str(), 0);
    const int fd = openat(folder, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    // Readable by every client, whatever the umask of the process.
    bool ok = fchmod(fd, 0644) == 0 && writeAll(fd, static_cast<const char *>(data), size) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    ok = ok && renameat(folder, temporary.c_str(), folder, name.c_str()) == 0;
    if (!ok) {
        unlinkat(folder, temporary.c_str(), 0);
        return false;
    }
    return !syncNow || fsync(folder) == 0;
}

// Each part of the path opened from the one before, none a link; a missing
// one is made.
int openWithoutLinks(const std::string &path)
{
    int at = open(path.compare(0, 1, "/") == 0 ? "/" : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    std::size_t start = 0;
    while (at >= 0 && start < path.size()) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        const std::string part = path.substr(start, end - start);
        start = end + 1;
        if (part.empty() || part == ".")
            continue;
        if (part == "..") {
            close(at);
            return -1;
        }
        int next = openat(at, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0 && errno == ENOENT && mkdirat(at, part.c_str(), 0755) == 0)
            next = openat(at, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        close(at);
        at = next;
    }
    return at;
}

} // namespace

std::string wholeFileTemporary(const std::string &folder, const std::string &name)
{
    return folder + "/." + name + ".tmp";
}

bool syncFolder(const std::string &folder)
{
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = fsync(fd) == 0;
    return close(fd) == 0 && ok;
}

bool writeWholeFile(const std::string &folder, const std::string &name, const void *data, std::size_t size,
                    FolderSync sync)
{
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = writeAt(fd, name, data, size, sync == FolderSync::Now);
    // Only read through, the folder's descriptor holds nothing to lose: the
    // file is in place (and synced, when asked) whatever its close says.
    close(fd);
    return ok;
}

bool writeWholeFileWithoutLinks(const std::string &folder, const std::string &name, const void *data, std::size_t size)
{
    const int fd = openWithoutLinks(folder);
    if (fd < 0)
        return false;
    const bool ok = writeAt(fd, name, data, size, true);
    close(fd);
    return ok;
}

} // namespace Ps
