// Free of Qt, so the MinGW build of the Wine tests compiles it too.
#include "console.h"

#include <windows.h>

#include <cstdio>

namespace Ps {

void attachParentConsole()
{
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    if (output && output != INVALID_HANDLE_VALUE && GetFileType(output) != FILE_TYPE_UNKNOWN)
        return;
    if (!AttachConsole(ATTACH_PARENT_PROCESS))
        return;
    if (!std::freopen("CONOUT$", "w", stdout) || !std::freopen("CONOUT$", "w", stderr))
        FreeConsole();
}

} // namespace Ps
