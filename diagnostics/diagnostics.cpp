#include "diagnostics/diagnostics.h"

#include <stdarg.h>

#include "platform.h"

int isShowErrorMessage = 0;
FILE *logFile = NULL;

// "错误" (error), in code page 936.
static const char errorCaption[] = "\xb4\xed\xce\xf3";

// "%s\n错误代码: 0x%08lX": the context, then the code as eight hexadecimal digits.
static const char errorFormat[] = "%s\n\xb4\xed\xce\xf3\xb4\xfa\xc2\xeb: 0x%08lX";

// Returns after showing the context and the last error's code in an error box, or at
// once while isShowErrorMessage is 0 (the last error is then not even read). The
// last error afterwards is whatever the box calls left.
void ShowErrorMessage(const char *context) {
    if (!isShowErrorMessage) return;
    DWORD code = GetLastError();
    char message[256];
    // Asks whether the system knows the code; the box gives the context and the code
    // in the same form either way, never the system's own wording.
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, code,
                   MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), message, sizeof message, NULL);
    snprintf(message, sizeof message, errorFormat, context, (unsigned long)code);
    MessageBoxA(NULL, message, errorCaption, MB_ICONERROR);
}

// Writes one line to the run log when it is open.
void WriteLog(const char *format, ...) {
    if (logFile == NULL) return;
    va_list arguments;
    va_start(arguments, format);
    vfprintf(logFile, format, arguments);
    va_end(arguments);
}
