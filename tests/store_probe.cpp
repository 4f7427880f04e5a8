// Opens one of the local machine's stores the way the import does and says
// whether that worked, or runs the whole import of one file ("add") or the
// removal of the certificate it holds ("remove"): the store tests run it as
// an unprivileged user and under injected faults.
// Usage: store_probe <store> read-only|read-write
//        store_probe add|remove <store> <file>
#include "storeimport.h"
#include "storequery.h"

#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

namespace {

std::wstring wide(const char *text)
{
    return std::wstring(text, text + std::strlen(text));
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc == 4 && std::strcmp(argv[1], "add") == 0) {
        const bool added = Ps::addCertificateFileToStore(wide(argv[3]).c_str(), wide(argv[2]).c_str(), [] {})
                           == Ps::ImportResult::Added;
        std::puts(added ? "added" : "refused");
        return added ? 0 : 1;
    }
    if (argc == 4 && std::strcmp(argv[1], "remove") == 0) {
        std::ifstream file(argv[3], std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        const Ps::QueryResult result = Ps::deleteCertificateFromStore(bytes.data(), bytes.size(), wide(argv[2]).c_str()).result;
        std::puts(result == Ps::QueryResult::Found ? "removed" : result == Ps::QueryResult::NotFound ? "absent" : "refused");
        return result == Ps::QueryResult::Found ? 0 : 1;
    }
    if (argc != 3)
        return 2;
    DWORD flags = CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_OPEN_EXISTING_FLAG;
    if (std::strcmp(argv[2], "read-only") == 0)
        flags |= CERT_STORE_READONLY_FLAG;
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, flags, wide(argv[1]).c_str());
    std::puts(store ? "opened" : "refused");
    if (store)
        CertCloseStore(store, 0);
    return store ? 0 : 1;
}
