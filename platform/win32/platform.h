// The system operations finish-update uses, for Windows: the real Win32 interfaces.
#ifndef FINISH_UPDATE_PLATFORM_WIN32_H
#define FINISH_UPDATE_PLATFORM_WIN32_H

#include <windows.h>
#include <shlwapi.h>

// Restricts where the process loads libraries from to the system folder, so that no
// library placed in the application's folder is loaded by this program.
void HardenProcess(void);

#endif
