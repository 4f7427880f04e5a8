// The folder store: see folderstore.h for what it promises.
#include "folderstore.h"

#include "wholefile.h"

#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Ps {
namespace Standin {
namespace FolderStore {
namespace {

constexpr std::size_t maxCertificateFileSize = 1 << 20;
constexpr int maxLinkIndex = 10000;

} // namespace

bool isFolder(const std::string &path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Windows has ROOT and CA on every machine; here they come into being the
// first time a process that may create them opens them.
void createFolder(const std::string &path)
{
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
        mkdir(path.substr(0, slash).c_str(), 0755);
    mkdir(path.c_str(), 0755);
}

// Opening a FIFO or a device must neither block nor read forever.
bool readFile(const std::string &path, std::vector<unsigned char> &bytes)
{
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat info;
    bool ok = fstat(fd, &info) == 0 && S_ISREG(info.st_mode)
              && static_cast<std::size_t>(info.st_size) <= maxCertificateFileSize;
    if (ok) {
        bytes.resize(static_cast<std::size_t>(info.st_size));
        std::size_t done = 0;
        while (ok && done < bytes.size()) {
            const ssize_t got = read(fd, bytes.data() + done, bytes.size() - done);
            if (got < 0 && errno == EINTR)
                continue;
            ok = got > 0;
            if (ok)
                done += static_cast<std::size_t>(got);
        }
        // A file that grew while being read is not the file that was measured.
        unsigned char extra;
        ok = ok && read(fd, &extra, 1) == 0;
    }
    close(fd);
    return ok;
}

namespace {

// Writers of one store take turns, across processes and users: an exclusive
// lock on the store folder itself, which dies with its holder and leaves no
// file behind. Under it, names that only writers use cannot collide.
class WriterLock
{
public:
    explicit WriterLock(const std::string &folder)
        : fd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))
    {
        int result = -1;
        while (fd >= 0 && (result = flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
        }
        locked = result == 0;
    }
    ~WriterLock()
    {
        if (fd >= 0)
            close(fd);
    }
    WriterLock(const WriterLock &) = delete;
    WriterLock &operator=(const WriterLock &) = delete;
    bool held() const { return locked; }

private:
    int fd;
    bool locked = false;
};

// A writer killed mid-way leaves its temporary file behind; the next writer
// of the same certificate, holding the lock, knows nobody is writing it and
// removes it. The folder is synced once for the rename and the link.
bool writeFileAtomically(const std::string &folder, const std::string &name, const std::string &text)
{
    return Ps::writeWholeFile(folder, name, text.data(), text.size(), Ps::FolderSync::Later);
}

std::string subjectHash(X509 *x509)
{
    char hash[9];
    std::snprintf(hash, sizeof hash, "%08lx", X509_subject_name_hash(x509) & 0xFFFFFFFFUL);
    return hash;
}

std::string hashLink(const std::string &folder, const std::string &hash, int n)
{
    return folder + "/" + hash + "." + std::to_string(n);
}

bool linksTo(const std::string &link, const std::string &fileName)
{
    char target[256];
    const ssize_t size = readlink(link.c_str(), target, sizeof target);
    return size >= 0 && fileName.compare(0, std::string::npos, target, static_cast<std::size_t>(size)) == 0;
}

// OpenSSL looks a CA up as <subject hash>.<n> for n = 0, 1, ... until a name
// is missing; the link that already names the file is kept, else the first
// free n is taken and handed back in made, for the caller to sync or undo.
bool linkBySubjectHash(const std::string &folder, X509 *x509, const std::string &fileName, std::string &made)
{
    const std::string hash = subjectHash(x509);
    for (int n = 0; n < maxLinkIndex; ++n) {
        const std::string link = hashLink(folder, hash, n);
        if (symlink(fileName.c_str(), link.c_str()) == 0) {
            made = link;
            return true;
        }
        if (errno != EEXIST)
            return false;
        if (linksTo(link, fileName))
            return true;
    }
    return false;
}

enum class Existing { None, Same, Other, Folder };

// What sits at a certificate's name: nothing, exactly these bytes, something
// else (a different file, a link), or a folder that no rename may replace.
Existing existingEntry(const std::string &path, const std::string &text)
{
    struct stat info;
    if (lstat(path.c_str(), &info) != 0)
        return errno == ENOENT ? Existing::None : Existing::Other;
    if (S_ISDIR(info.st_mode))
        return Existing::Folder;
    if (!S_ISREG(info.st_mode) || static_cast<std::size_t>(info.st_size) != text.size())
        return Existing::Other;
    std::vector<unsigned char> bytes;
    return readFile(path, bytes) && std::equal(bytes.begin(), bytes.end(), text.begin(), text.end())
               ? Existing::Same
               : Existing::Other;
}

} // namespace

// All or nothing: on any failure the store holds afterwards what it held
// before for this certificate. Bytes already in place are not written again,
// and a store that already holds everything is not synced.
bool add(const std::string &folder, const std::string &fileName, const std::string &pem, X509 *x509)
{
    const WriterLock lock(folder);
    if (!lock.held())
        return false;
    const std::string path = folder + "/" + fileName;
    const Existing existing = existingEntry(path, pem);
    if (existing == Existing::Folder)
        return false;
    unlink(Ps::wholeFileTemporary(folder, fileName).c_str());
    if (existing != Existing::Same && !writeFileAtomically(folder, fileName, pem))
        return false;

    std::string madeLink;
    const bool changed = existing != Existing::Same;
    bool ok = linkBySubjectHash(folder, x509, fileName, madeLink);
    ok = ok && ((!changed && madeLink.empty()) || Ps::syncFolder(folder));
    if (!ok) {
        if (!madeLink.empty())
            unlink(madeLink.c_str());
        if (existing == Existing::None)
            unlink(path.c_str());
        Ps::syncFolder(folder);
    }
    return ok;
}

namespace {

// What a removal did to the links of one subject hash, so that a later
// failure can put them back: the link it deleted, or the last link it moved
// over the one that named the file.
struct LinkChange
{
    std::string removed;
    std::string movedFrom;
    std::string movedTo;
};

// The link that names fileName is replaced by the last link of the same hash,
// in one rename, so OpenSSL's walk over <hash>.0, .1, ... never meets a gap
// and still reaches every other certificate with that subject.
bool unlinkBySubjectHash(const std::string &folder, X509 *x509, const std::string &fileName, LinkChange &change)
{
    const std::string hash = subjectHash(x509);
    int mine = -1;
    int last = -1;
    struct stat info;
    for (int n = 0; n < maxLinkIndex && lstat(hashLink(folder, hash, n).c_str(), &info) == 0; ++n) {
        if (mine < 0 && linksTo(hashLink(folder, hash, n), fileName))
            mine = n;
        last = n;
    }
    if (mine < 0)
        return true;
    if (last == mine) {
        if (unlink(hashLink(folder, hash, mine).c_str()) != 0)
            return false;
        change.removed = hashLink(folder, hash, mine);
        return true;
    }
    if (rename(hashLink(folder, hash, last).c_str(), hashLink(folder, hash, mine).c_str()) != 0)
        return false;
    change.movedFrom = hashLink(folder, hash, last);
    change.movedTo = hashLink(folder, hash, mine);
    return true;
}

void restoreLinks(const LinkChange &change, const std::string &fileName)
{
    if (!change.movedFrom.empty() && rename(change.movedTo.c_str(), change.movedFrom.c_str()) == 0)
        symlink(fileName.c_str(), change.movedTo.c_str());
    if (!change.removed.empty())
        symlink(fileName.c_str(), change.removed.c_str());
}

} // namespace

// All or nothing, like an add: the link goes first (a link left pointing at
// nothing would end OpenSSL's walk early and hide the certificates behind
// it), then the file; on any failure both come back, the file rewritten from
// the bytes it held.
bool remove(const std::string &folder, const std::string &fileName, X509 *x509, const std::string &pem)
{
    const WriterLock lock(folder);
    LinkChange change;
    if (!lock.held() || !unlinkBySubjectHash(folder, x509, fileName, change))
        return false;
    unlink(Ps::wholeFileTemporary(folder, fileName).c_str());
    const std::string path = folder + "/" + fileName;
    const bool unlinked = unlink(path.c_str()) == 0;
    const bool ok = (unlinked || errno == ENOENT) && Ps::syncFolder(folder);
    if (!ok) {
        if (unlinked)
            writeFileAtomically(folder, fileName, pem);
        restoreLinks(change, fileName);
        Ps::syncFolder(folder);
    }
    return ok;
}


} // namespace FolderStore
} // namespace Standin
} // namespace Ps
