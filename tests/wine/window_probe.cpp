// Reads what a Windows program's window and the local machine's stores hold,
// from another process in the same Wine prefix.
//   window_probe window <title>   waits for the top-level window of that title:
//                                 its client size and the client area's origin
//                                 on the screen
//   window_probe stores           every certificate of the local machine's ROOT
//                                 and CA stores: "<store> <SHA-1 thumbprint>"
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

int window(const char *title)
{
    const std::wstring wide(title, title + std::strlen(title));
    HWND found = nullptr;
    for (int i = 0; i < 300 && !(found = FindWindowW(nullptr, wide.c_str())); ++i)
        Sleep(100);
    if (!found) {
        std::printf("no window\n");
        return 1;
    }
    RECT client;
    POINT origin{0, 0};
    GetClientRect(found, &client);
    ClientToScreen(found, &origin);
    std::printf("client %ld %ld\norigin %ld %ld\n", client.right - client.left, client.bottom - client.top, origin.x,
                origin.y);
    return 0;
}

int stores()
{
    for (const wchar_t *name : {L"ROOT", L"CA"}) {
        HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                         CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_OPEN_EXISTING_FLAG
                                             | CERT_STORE_READONLY_FLAG,
                                         name);
        if (!store)
            return 1;
        for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(store, c));) {
            BYTE hash[20];
            DWORD size = sizeof hash;
            if (!CertGetCertificateContextProperty(c, CERT_SHA1_HASH_PROP_ID, hash, &size))
                continue;
            std::printf("%ls ", name);
            for (DWORD i = 0; i < size; ++i)
                std::printf("%02X", hash[i]);
            std::printf("\n");
        }
        CertCloseStore(store, 0);
    }
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc == 3 && std::strcmp(argv[1], "window") == 0)
        return window(argv[2]);
    if (argc == 2 && std::strcmp(argv[1], "stores") == 0)
        return stores();
    std::fprintf(stderr, "usage: window_probe window <title> | stores\n");
    return 2;
}
