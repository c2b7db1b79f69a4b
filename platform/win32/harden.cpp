#include "platform.h"

// Lets the C runtime expand '*' and '?' in arguments into the matching file names.
extern "C" {
int _dowildcard = -1;
}

#define SEARCH_SYSTEM32_ONLY 0x00000800u

typedef BOOL(WINAPI *SetDefaultDllDirectoriesCall)(DWORD flags);

// Limits library loading to the system folder where the system can (Windows 8 on,
// and 7 or Vista with the update that adds SetDefaultDllDirectories), and takes the
// current folder out of the search everywhere. The last error is left as it was.
void HardenProcess(void) {
    DWORD savedError = GetLastError();
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    void *address = kernel ? (void *)GetProcAddress(kernel, "SetDefaultDllDirectories") : NULL;
    if (address != NULL) ((SetDefaultDllDirectoriesCall)address)(SEARCH_SYSTEM32_ONLY);
    SetDllDirectoryA("");
    SetLastError(savedError);
}
