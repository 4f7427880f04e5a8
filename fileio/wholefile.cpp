// Written by hand on POSIX rather than through QSaveFile: Qt 5 takes a failed
// sync for a success and leaves a randomly named temporary file behind a
// killed run, which nothing ever removes from a folder like /etc/firefox.
#include "wholefile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

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

// As many bytes as the file has, up to size: fewer only at its end.
std::size_t readUpTo(int fd, char *data, std::size_t size)
{
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = read(fd, data + done, size - done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        done += static_cast<std::size_t>(got);
    }
    return done;
}

} // namespace

WholeFileStream::WholeFileStream(const std::string &folder, const std::string &name)
    : name_(name), temporary_("." + name + ".tmp")
{
    folder_ = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder_ < 0) {
        failed_ = true;
        return;
    }
    unlinkat(folder_, temporary_.c_str(), 0);
    out_ = openat(folder_, temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    failed_ = out_ < 0 || fchmod(out_, 0644) != 0;
    current_ = openat(folder_, name_.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat status{};
    if (current_ >= 0 && (fstat(current_, &status) != 0 || !S_ISREG(status.st_mode))) {
        close(current_);
        current_ = -1;
    }
}

WholeFileStream::~WholeFileStream()
{
    discard();
}

void WholeFileStream::discard()
{
    if (current_ >= 0)
        close(current_);
    if (out_ >= 0) {
        close(out_);
        unlinkat(folder_, temporary_.c_str(), 0);
    }
    if (folder_ >= 0)
        close(folder_);
    current_ = out_ = folder_ = -1;
}

bool WholeFileStream::write(const void *data, std::size_t size)
{
    if (failed_ || !writeAll(out_, static_cast<const char *>(data), size)) {
        failed_ = true;
        return false;
    }
    if (current_ >= 0) {
        char was[65536];
        for (std::size_t done = 0; done < size && current_ >= 0;) {
            const std::size_t part = std::min(size - done, sizeof was);
            if (readUpTo(current_, was, part) != part || std::memcmp(was, static_cast<const char *>(data) + done, part) != 0) {
                close(current_);
                current_ = -1;
            }
            done += part;
        }
    }
    return true;
}

WholeFileStream::Outcome WholeFileStream::commit()
{
    char more = 0;
    if (!failed_ && current_ >= 0 && readUpTo(current_, &more, 1) == 0) {
        discard();
        return Outcome::Unchanged;
    }
    bool ok = !failed_ && fsync(out_) == 0;
    ok = close(out_) == 0 && ok;
    out_ = -1;
    ok = ok && renameat(folder_, temporary_.c_str(), folder_, name_.c_str()) == 0;
    if (!ok)
        unlinkat(folder_, temporary_.c_str(), 0);
    ok = ok && fsync(folder_) == 0;
    discard();
    return ok ? Outcome::Written : Outcome::Failed;
}

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
