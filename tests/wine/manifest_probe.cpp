// Linked with the installer's own .rc file: reads the manifest back out of the
// executable, as Windows does at process start, and checks what it asks for.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

BOOL CALLBACK collectType(HMODULE, LPWSTR type, LONG_PTR types)
{
    // Named types have string pointers; every type in the .rc is numbered.
    reinterpret_cast<std::vector<ULONG_PTR> *>(types)->push_back(reinterpret_cast<ULONG_PTR>(type));
    return TRUE;
}

} // namespace

int main()
{
    int failures = 0;
    auto check = [&](bool ok, const char *what) {
        std::printf("%s: %s\n", ok ? "PASS" : "FAIL", what);
        failures += ok ? 0 : 1;
    };

    HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    check(found != nullptr, "manifest resource 1 is present");
    if (!found)
        return 1;
    const auto *data = static_cast<const char *>(LockResource(LoadResource(nullptr, found)));
    const std::string manifest(data, SizeofResource(nullptr, found));

    check(manifest.find("level=\"asInvoker\"") != std::string::npos, "requests asInvoker");
    check(manifest.find("uiAccess=\"false\"") != std::string::npos, "requests no UI access");
    check(manifest.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"") != std::string::npos,
          "depends on Common Controls 6.0.0.0");
    std::vector<ULONG_PTR> types;
    EnumResourceTypesW(nullptr, collectType, reinterpret_cast<LONG_PTR>(&types));
    check(types == std::vector<ULONG_PTR>{24}, "holds the manifest and no other resource (no icon of its own)");
    std::printf("%d passed, %d failed\n", 5 - failures, failures);
    return failures == 0 ? 0 : 1;
}
