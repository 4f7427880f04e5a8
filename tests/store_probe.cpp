// Opens one of the local machine's stores the way the import does and says
// whether that worked: the store tests run it as an unprivileged user.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char *argv[])
{
    if (argc != 3)
        return 2;
    const std::wstring name(argv[1], argv[1] + std::strlen(argv[1]));
    DWORD flags = CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_OPEN_EXISTING_FLAG;
    if (std::strcmp(argv[2], "read-only") == 0)
        flags |= CERT_STORE_READONLY_FLAG;
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, flags, name.c_str());
    std::puts(store ? "opened" : "refused");
    if (store)
        CertCloseStore(store, 0);
    return store ? 0 : 1;
}
