#ifndef PS_FOLDERSTORE_H
#define PS_FOLDERSTORE_H

#include <openssl/x509.h>

#include <string>
#include <vector>

// A certificate store as a folder that OpenSSL can use as -CApath, free of
// CryptoAPI's names (wincrypt.cpp is the veneer over it). What it holds:
//   - each certificate once, as the PEM file <SHA-1 thumbprint>.crt;
//   - exactly one subject-hash link <hash>.<n> to each such file, the links of
//     one hash numbered 0, 1, ... without a gap, for OpenSSL walks them until
//     a name is missing;
//   - no partial file under a certificate's name: files are written whole,
//     through the one temporary name .<name>.tmp, which a writer holding the
//     store's lock may remove (the writer that made it is gone).
// Writers of one store take turns through an flock on the folder itself.
// An add or a removal is all or nothing: after any failure the store holds
// what it held before, for that certificate and every other of its subject;
// a process killed mid-way leaves a store that the next add or removal of
// the same certificate completes.
namespace Ps {
namespace Standin {
namespace FolderStore {

bool isFolder(const std::string &path);
// The folder and those above it, for a process that may create them.
void createFolder(const std::string &path);
// A regular file of at most 1 MiB, read whole; never blocks on a FIFO.
bool readFile(const std::string &path, std::vector<unsigned char> &bytes);

// Bytes already in place are not written again, and a store that already
// holds everything is not synced.
bool add(const std::string &folder, const std::string &fileName, const std::string &pem, X509 *x509);
// pem: the bytes the file held, to put it back should the removal fail.
bool remove(const std::string &folder, const std::string &fileName, X509 *x509, const std::string &pem);

} // namespace FolderStore
} // namespace Standin
} // namespace Ps

#endif
