// Reads what a Windows program's window and the local machine's stores hold,
// from another process in the same Wine prefix.
//   window_probe window <title>   waits for the top-level window of that title:
//                                 its client size and the client area's origin
//                                 on the screen
//   window_probe stores           every certificate of the local machine's ROOT
//                                 and CA stores: "<store> <SHA-1 thumbprint>"
//   window_probe add <store> <file>
//                                 adds the certificate in the file to the local
//                                 machine's store, as another program would
//   window_probe font <points> <text>...
//                                 the dialog font Qt gives every widget:
//                                 "font <face> <pixels>" at the prefix's dpi,
//                                 then per text its width in that face at
//                                 <points>, in device pixels: "width <pixels>"
#include <windows.h>
#include <shellapi.h>
#include <wincrypt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
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

// The font Qt's Windows platform takes as every widget's: the stock GUI
// font, with "MS Shell Dlg" read as "MS Shell Dlg 2". Widths are the font's
// own advances, each rounded to a pixel, as Windows lays out a hinted font;
// Wine's GDI would instead measure its own unhinted Tahoma through FreeType's
// autohinter, which widens every round letter by a pixel at this size.
int font(int points, int count, wchar_t *texts[])
{
    LOGFONTW dialog;
    GetObjectW(GetStockObject(DEFAULT_GUI_FONT), sizeof dialog, &dialog);
    if (std::wcscmp(dialog.lfFaceName, L"MS Shell Dlg") == 0)
        std::wcscpy(dialog.lfFaceName, L"MS Shell Dlg 2");
    HDC dc = CreateCompatibleDC(nullptr);
    const int dialogPixels = dialog.lfHeight < 0 ? -dialog.lfHeight : dialog.lfHeight;
    const int pixels = MulDiv(points, GetDeviceCaps(dc, LOGPIXELSY), 72);
    HFONT sized = CreateFontIndirectW(&dialog);
    HGDIOBJ previous = SelectObject(dc, sized);
    // The metrics carry the names behind them; the family is the face GDI
    // really chose, where GetTextFace would answer the substitute's name.
    alignas(OUTLINETEXTMETRICW) char buffer[4096];
    auto &metrics = *reinterpret_cast<OUTLINETEXTMETRICW *>(buffer);
    if (!GetOutlineTextMetricsW(dc, sizeof buffer, &metrics))
        return 1;
    const auto *face = reinterpret_cast<const wchar_t *>(buffer + reinterpret_cast<UINT_PTR>(metrics.otmpFamilyName));
    LOGFONTW design = dialog;
    design.lfHeight = -static_cast<LONG>(metrics.otmEMSquare);
    HFONT unscaled = CreateFontIndirectW(&design);
    SelectObject(dc, unscaled);
    std::printf("font %ls %d\n", face, dialogPixels);
    for (int i = 0; i < count; ++i) {
        long width = 0;
        for (const wchar_t *c = texts[i]; *c; ++c) {
            ABC abc;
            if (!GetCharABCWidthsW(dc, *c, *c, &abc))
                return 1;
            width += MulDiv(abc.abcA + static_cast<int>(abc.abcB) + abc.abcC, pixels, metrics.otmEMSquare);
        }
        std::printf("width %ld\n", width);
    }
    SelectObject(dc, previous);
    DeleteObject(unscaled);
    DeleteObject(sized);
    DeleteDC(dc);
    return 0;
}

int add(const char *storeName, const char *file)
{
    const std::wstring path(file, file + std::strlen(file));
    const std::wstring name(storeName, storeName + std::strlen(storeName));
    const void *context = nullptr;
    if (!CryptQueryObject(CERT_QUERY_OBJECT_FILE, path.c_str(), CERT_QUERY_CONTENT_FLAG_CERT,
                          CERT_QUERY_FORMAT_FLAG_ALL, 0, nullptr, nullptr, nullptr, nullptr, nullptr, &context))
        return 1;
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, name.c_str());
    const bool added = store && CertAddCertificateContextToStore(store, static_cast<PCCERT_CONTEXT>(context),
                                                                 CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    if (store)
        CertCloseStore(store, 0);
    CertFreeCertificateContext(static_cast<PCCERT_CONTEXT>(context));
    return added ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc == 3 && std::strcmp(argv[1], "window") == 0)
        return window(argv[2]);
    if (argc == 2 && std::strcmp(argv[1], "stores") == 0)
        return stores();
    if (argc == 4 && std::strcmp(argv[1], "add") == 0)
        return add(argv[2], argv[3]);
    // The texts as Wine turned the command line into wide characters, which
    // the narrow argv would have narrowed again to the code page.
    if (argc >= 3 && std::strcmp(argv[1], "font") == 0) {
        int count = 0;
        wchar_t **wide = CommandLineToArgvW(GetCommandLineW(), &count);
        return wide && count == argc ? font(std::atoi(argv[2]), count - 3, wide + 3) : 1;
    }
    std::fprintf(stderr, "usage: window_probe window <title> | stores | add <store> <file> | font <points> <text>...\n");
    return 2;
}
