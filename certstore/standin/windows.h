#ifndef VYR_STANDIN_WINDOWS_H
#define VYR_STANDIN_WINDOWS_H

// The few Win32 base types the certificate functions use, with the widths
// they have on Windows.
#include <cstdint>

typedef int BOOL;
typedef std::uint8_t BYTE;
typedef std::uint32_t DWORD;
typedef std::uintptr_t ULONG_PTR;
typedef const char *LPCSTR;
typedef const wchar_t *LPCWSTR;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#endif
