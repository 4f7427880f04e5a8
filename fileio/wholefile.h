#ifndef PS_WHOLEFILE_H
#define PS_WHOLEFILE_H

#include <cstddef>
#include <string>

namespace Ps {

// Every file this program writes appears whole under its name or not at all,
// and is on disk before it counts as written: the bytes go to the one
// temporary name ".<name>.tmp" beside it, each write's count and the sync
// looked at, then it is renamed over the old file. On any failure the old
// file is untouched and the temporary one is gone; one left by a run killed
// mid-way is removed by the next write of the same file. Writers of one file
// must take turns (the machine's lock, or the store's).
// Free of Qt, so that the store's stand-in writes its certificates the same way.
enum class FolderSync {
    Now,   // the rename is synced here
    Later, // the caller syncs the folder once for several changes
};
bool writeWholeFile(const std::string &folder, const std::string &name, const void *data, std::size_t size,
                    FolderSync sync);
// The same, into a folder reached from the root (or the working folder)
// without following any link, its missing folders made on the way: for a
// file root writes into a folder another user owns, who could otherwise
// swap a part of the path for a link to anywhere.
bool writeWholeFileWithoutLinks(const std::string &folder, const std::string &name, const void *data, std::size_t size);
// The temporary name a write of folder/name uses, for a writer that holds
// the file's turn to clear what a killed one left.
std::string wholeFileTemporary(const std::string &folder, const std::string &name);
// A folder's entries on disk: what a rename or a removal in it changed.
bool syncFolder(const std::string &folder);

// The same write for a file too large to hold whole: the bytes go to the
// temporary name as they come, each compared with the file's own as well, so
// that a file whose bytes come out the same is left as it was (Unchanged).
// Nothing but commit() touches the file; a stream let go uncommitted, or one
// a write failed in, leaves the file as it was and the temporary one gone.
class WholeFileStream
{
public:
    enum class Outcome { Unchanged, Written, Failed };
    WholeFileStream(const std::string &folder, const std::string &name);
    ~WholeFileStream();
    WholeFileStream(const WholeFileStream &) = delete;
    WholeFileStream &operator=(const WholeFileStream &) = delete;
    bool write(const void *data, std::size_t size); // false once any write has failed
    Outcome commit();

private:
    void discard();
    std::string name_, temporary_;
    int folder_ = -1, out_ = -1, current_ = -1; // current_: the file as it was, while it still agrees
    bool failed_ = false;
};

} // namespace Ps

#endif
