// Written by hand on POSIX rather than through QSaveFile: Qt 5 takes a failed
// sync for a success and leaves a randomly named temporary file behind a
// killed run, which nothing ever removes from a folder like /etc/firefox.
#include "wholefile.h"

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
    const std::string temporary = wholeFileTemporary(folder, name);
    unlink(temporary.c_str());
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    // Readable by every client, whatever the umask of the process.
    bool ok = fchmod(fd, 0644) == 0 && writeAll(fd, static_cast<const char *>(data), size) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    ok = ok && rename(temporary.c_str(), (folder + "/" + name).c_str()) == 0;
    if (!ok) {
        unlink(temporary.c_str());
        return false;
    }
    return sync == FolderSync::Later || syncFolder(folder);
}

} // namespace Ps
