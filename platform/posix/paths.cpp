// Path and command-line rules of the Linux layer: pure string work, no system calls,
// so the test doubles of the layer follow exactly the same rules.
#include <string.h>

#include "posix-internal.h"

static int IsSeparator(char c) { return c == '/' || c == '\\'; }

static int IsBlank(char c) { return c == ' ' || c == '\t'; }

// Returns 1 with `path` copied into `native` with slashes for backslashes, or 0
// with ERROR_FILENAME_EXCED_RANGE when it needs more than `size` bytes.
int ToNativePath(const char *path, char *native, size_t size) {
    size_t length = strlen(path);
    if (length + 1 > size) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    for (size_t i = 0; i <= length; i++) native[i] = path[i] == '\\' ? '/' : path[i];
    return 1;
}

// Appends `count` bytes of `text` at out[*length] within `size` bytes, keeping a NUL.
// Returns 1, or 0 when it does not fit.
static int Append(char *out, size_t *length, size_t size, const char *text, size_t count) {
    if (*length + count + 1 > size) return 0;
    memcpy(out + *length, text, count);
    *length += count;
    out[*length] = '\0';
    return 1;
}

// Writes the canonical form of `joined` into `out` (size bytes): single slashes,
// no "." parts, ".." removing the part before it (and stopping at the root), a
// trailing separator kept. Returns 1, or 0 when the result does not fit.
static int Canonicalize(const char *joined, char *out, size_t size) {
    size_t length = 0;
    int absolute = IsSeparator(joined[0]);
    size_t rootLength = 0;
    out[0] = '\0';
    if (absolute) {
        if (!Append(out, &length, size, "/", 1)) return 0;
        rootLength = 1;
    }
    const char *part = joined;
    int endsWithSeparator = 0;
    while (*part) {
        while (IsSeparator(*part)) part++;
        if (!*part) break;
        const char *end = part;
        while (*end && !IsSeparator(*end)) end++;
        size_t partLength = (size_t)(end - part);
        endsWithSeparator = *end != '\0';
        if (partLength == 1 && part[0] == '.') {
            // "." names the folder itself.
        } else if (partLength == 2 && part[0] == '.' && part[1] == '.') {
            size_t lastStart = length;
            while (lastStart > rootLength && out[lastStart - 1] != '/') lastStart--;
            int lastIsParent = length - lastStart == 2 && out[lastStart] == '.' && out[lastStart + 1] == '.';
            if (length > rootLength && !lastIsParent) {
                length = lastStart > rootLength ? lastStart - 1 : rootLength;
                out[length] = '\0';
            } else if (!absolute) {
                if (length > rootLength && !Append(out, &length, size, "/", 1)) return 0;
                if (!Append(out, &length, size, "..", 2)) return 0;
            }
        } else {
            if (length > rootLength && !Append(out, &length, size, "/", 1)) return 0;
            if (!Append(out, &length, size, part, partLength)) return 0;
        }
        part = end;
    }
    if (endsWithSeparator && length > rootLength && !Append(out, &length, size, "/", 1)) return 0;
    return 1;
}

// Returns dest holding dir and file joined and made canonical, or NULL with dest
// holding "": with ERROR_INVALID_PARAMETER when dest is NULL or both names are NULL,
// with ERROR_INSUFFICIENT_BUFFER when either name alone has MAX_PATH bytes or more,
// and with the last error left as it was when only the result is too long. A file
// name that starts with a separator is already full and is taken alone.
char *CombinePath(char *dest, const char *dir, const char *file) {
    if (dest == NULL || (dir == NULL && file == NULL)) {
        if (dest) dest[0] = '\0';
        SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    const char *first = dir ? dir : "";
    const char *second = file ? file : "";
    if (strlen(first) >= MAX_PATH || strlen(second) >= MAX_PATH) {
        dest[0] = '\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return NULL;
    }
    if (IsSeparator(second[0]) || first[0] == '\0') {
        first = second;
        second = "";
    }
    // Both parts are shorter than MAX_PATH, so the joined text always fits.
    char joined[2 * MAX_PATH + 2];
    size_t length = 0;
    joined[0] = '\0';
    Append(joined, &length, sizeof joined, first, strlen(first));
    if (second[0] != '\0') {
        if (length > 0 && !IsSeparator(joined[length - 1])) Append(joined, &length, sizeof joined, "/", 1);
        Append(joined, &length, sizeof joined, second, strlen(second));
    }
    char canonical[MAX_PATH];
    if (!Canonicalize(joined, canonical, sizeof canonical)) {
        dest[0] = '\0';
        return NULL;
    }
    memcpy(dest, canonical, strlen(canonical) + 1);
    return dest;
}

// Returns 1 when the last part of path has an extension (a dot in its name).
static int HasExtension(const char *path) {
    const char *dot = strrchr(path, '.');
    if (dot == NULL) return 0;
    for (const char *c = dot; *c; c++) {
        if (IsSeparator(*c)) return 0;
    }
    return 1;
}

// Tries `count` bytes of `candidate` as a program, then with ".exe" added when it
// has no extension. Returns 1 with the accepted path in `program`; 0 when neither
// is a file; -1 when the candidate does not fit `size`.
static int TryCandidate(const char *candidate, size_t count, int (*isFile)(const char *),
                        char *program, size_t size) {
    if (count + 5 > size) return -1;
    memcpy(program, candidate, count);
    program[count] = '\0';
    if (isFile(program)) return 1;
    if (HasExtension(program)) return 0;
    memcpy(program + count, ".exe", 5);
    return isFile(program) ? 1 : 0;
}

// Returns 1 with the program that commandLine names in `program`, or 0 with
// ERROR_FILE_NOT_FOUND or ERROR_FILENAME_EXCED_RANGE.
int FindProgram(const char *commandLine, int (*isFile)(const char *path),
                char *program, size_t size) {
    if (commandLine[0] == '"') {
        const char *start = commandLine + 1;
        const char *close = strchr(start, '"');
        size_t count = close ? (size_t)(close - start) : strlen(start);
        int found = TryCandidate(start, count, isFile, program, size);
        if (found == 1) return 1;
        SetLastError(found < 0 ? ERROR_FILENAME_EXCED_RANGE : ERROR_FILE_NOT_FOUND);
        return 0;
    }
    for (const char *end = commandLine;; end++) {
        if (*end != '\0' && !IsBlank(*end)) continue;
        if (end > commandLine) {
            int found = TryCandidate(commandLine, (size_t)(end - commandLine), isFile, program, size);
            if (found == 1) return 1;
            if (found < 0) {
                SetLastError(ERROR_FILENAME_EXCED_RANGE);
                return 0;
            }
        }
        if (*end == '\0') break;
    }
    SetLastError(ERROR_FILE_NOT_FOUND);
    return 0;
}

// Returns the argument count after splitting commandLine into argv (see the header),
// or -1 when the arguments do not fit.
int SplitCommandLine(const char *commandLine, char **argv, int maxArgs,
                     char *storage, size_t storageSize) {
    size_t used = 0;
    int count = 0;
    const char *c = commandLine;
    while (*c) {
        while (IsBlank(*c)) c++;
        if (!*c) break;
        if (count >= maxArgs || used >= storageSize) return -1;
        argv[count++] = storage + used;
        if (count == 1) {
            // The program name: quotes group, backslashes are plain characters.
            int quoted = 0;
            for (; *c && (quoted || !IsBlank(*c)); c++) {
                if (*c == '"') {
                    quoted = !quoted;
                    continue;
                }
                if (used + 1 >= storageSize) return -1;
                storage[used++] = *c;
            }
        } else {
            int quoted = 0;
            while (*c && (quoted || !IsBlank(*c))) {
                size_t backslashes = 0;
                while (*c == '\\') {
                    backslashes++;
                    c++;
                }
                if (*c == '"') {
                    // 2n backslashes and a quote: n backslashes, the quote toggles;
                    // 2n+1: n backslashes and a literal quote.
                    size_t keep = backslashes / 2;
                    if (used + keep + 1 >= storageSize) return -1;
                    memset(storage + used, '\\', keep);
                    used += keep;
                    if (backslashes % 2) {
                        storage[used++] = '"';
                    } else if (quoted && c[1] == '"') {
                        storage[used++] = '"';
                        c++;
                    } else {
                        quoted = !quoted;
                    }
                    c++;
                } else {
                    if (used + backslashes + 1 >= storageSize) return -1;
                    memset(storage + used, '\\', backslashes);
                    used += backslashes;
                    if (*c && (quoted || !IsBlank(*c))) storage[used++] = *c++;
                }
            }
        }
        storage[used++] = '\0';
    }
    argv[count] = NULL;
    return count;
}
