// Message boxes on Linux. The texts come in code page 936 and are shown as UTF-8:
// in a desktop dialog when a display and a dialog program are present, otherwise
// on standard error, the only place a headless machine has to show them.
#include <iconv.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "posix-internal.h"

// Converts the code page 936 string `text` into UTF-8 in `out` (size bytes, NUL
// included); bytes that do not convert become '?', and what does not fit is cut.
static void ToUtf8(const char *text, char *out, size_t size) {
    size_t outLeft = size - 1;
    char *outNext = out;
    iconv_t converter = iconv_open("UTF-8", "CP936");
    if (converter == (iconv_t)-1) {
        snprintf(out, size, "%s", text);
        return;
    }
    char *inNext = const_cast<char *>(text);
    size_t inLeft = strlen(text);
    while (inLeft > 0 && outLeft > 0) {
        if (iconv(converter, &inNext, &inLeft, &outNext, &outLeft) != (size_t)-1) break;
        if (outLeft == 0) break;
        *outNext++ = '?';
        outLeft--;
        inNext++;
        inLeft--;
    }
    *outNext = '\0';
    iconv_close(converter);
}

// Runs a dialog program with argv and waits for the user to close it. Returns 1
// when it ran and exited normally with status 0.
static int RunDialog(char *const argv[]) {
    pid_t pid = fork();
    if (pid < 0) return 0;
    if (pid == 0) {
        execvp(argv[0], argv);
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Shows caption and text and returns IDOK once the user has closed the box; with no
// display it writes them to standard error and returns IDOK at once. The owner
// window is not used. The last error is left as it was.
int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, unsigned int type) {
    (void)owner;
    DWORD savedError = GetLastError();
    char textUtf8[1024];
    char captionUtf8[256];
    ToUtf8(text ? text : "", textUtf8, sizeof textUtf8);
    ToUtf8(caption ? caption : "", captionUtf8, sizeof captionUtf8);
    int isError = (type & 0xF0u) == MB_ICONERROR;
    int shown = 0;
    if (getenv("DISPLAY") != NULL || getenv("WAYLAND_DISPLAY") != NULL) {
        char zenity[] = "zenity", kdialog[] = "kdialog", xmessage[] = "xmessage";
        char errorKind[] = "--error", infoKind[] = "--info", msgbox[] = "--msgbox";
        char noMarkup[] = "--no-markup", title[] = "--title", textOption[] = "--text";
        char center[] = "-center", titleX[] = "-title";
        char *zenityArgs[] = {zenity, isError ? errorKind : infoKind, noMarkup, title, captionUtf8,
                              textOption, textUtf8, NULL};
        char *kdialogArgs[] = {kdialog, isError ? errorKind : msgbox, textUtf8, title, captionUtf8, NULL};
        char *xmessageArgs[] = {xmessage, center, titleX, captionUtf8, textUtf8, NULL};
        shown = RunDialog(zenityArgs) || RunDialog(kdialogArgs) || RunDialog(xmessageArgs);
    }
    if (!shown) {
        fprintf(stderr, "%s: %s\n", captionUtf8, textUtf8);
        fflush(stderr);
    }
    SetLastError(savedError);
    return IDOK;
}
