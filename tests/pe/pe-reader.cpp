#include "pe-reader.h"

#include <stdio.h>
#include <string.h>

// Returns 0 with why in image->error.
static int Fail(PeImage *image, const std::string &why) {
    image->error = why;
    return 0;
}

// Returns 1 when length bytes at offset lie within bytes.
static int Within(const std::vector<unsigned char> &bytes, uint64_t offset, uint64_t length) {
    uint64_t size = bytes.size();
    return offset <= size && length <= size - offset;
}

// Return the little-endian value at p; the caller has checked the bytes are there.
static uint16_t Le16(const unsigned char *p) { return (uint16_t)(p[0] | p[1] << 8); }
static uint32_t Le32(const unsigned char *p) { return (uint32_t)Le16(p) | (uint32_t)Le16(p + 2) << 16; }
static uint64_t Le64(const unsigned char *p) { return (uint64_t)Le32(p) | (uint64_t)Le32(p + 4) << 32; }

// Returns offset rounded up to a multiple of four.
static uint64_t Align4(uint64_t offset) { return (offset + 3) & ~(uint64_t)3; }

int PeLoadFile(const char *path, PeImage *image) {
    image->bytes.clear();
    FILE *file = fopen(path, "rb");
    if (file == NULL) return Fail(image, std::string(path) + ": cannot open");
    unsigned char buffer[65536];
    size_t count;
    while ((count = fread(buffer, 1, sizeof buffer, file)) > 0) image->bytes.insert(image->bytes.end(), buffer, buffer + count);
    int failed = ferror(file);
    fclose(file);
    if (failed) return Fail(image, std::string(path) + ": read error");
    return 1;
}

int PeParse(PeImage *image) {
    const std::vector<unsigned char> &b = image->bytes;
    image->directories.clear();
    image->sections.clear();
    if (!Within(b, 0, 64) || b[0] != 'M' || b[1] != 'Z') return Fail(image, "not a valid PE: no MZ header");
    uint64_t pe = Le32(&b[0x3c]);
    if (!Within(b, pe, 24) || memcmp(&b[pe], "PE\0\0", 4) != 0) return Fail(image, "not a valid PE: no PE signature");
    image->machine = Le16(&b[pe + 4]);
    uint16_t sectionCount = Le16(&b[pe + 6]);
    uint16_t optionalSize = Le16(&b[pe + 20]);
    image->characteristics = Le16(&b[pe + 22]);

    uint64_t optional = pe + 24;
    if (!Within(b, optional, optionalSize) || optionalSize < 2) return Fail(image, "not a valid PE: optional header cut short");
    const unsigned char *o = &b[optional];
    image->magic = Le16(o);
    // The two layouts differ only in the width of the image base and the four sizes.
    uint32_t fixedSize, directoryCountAt;
    if (image->magic == PE_MAGIC_PE32_PLUS) {
        fixedSize = 112, directoryCountAt = 108;
    } else if (image->magic == PE_MAGIC_PE32) {
        fixedSize = 96, directoryCountAt = 92;
    } else {
        return Fail(image, "not a valid PE: unknown optional header magic");
    }
    if (optionalSize < fixedSize) return Fail(image, "not a valid PE: optional header cut short");
    image->imageBase = image->magic == PE_MAGIC_PE32_PLUS ? Le64(o + 24) : Le32(o + 28);
    image->subsystem = Le16(o + 68);
    image->dllCharacteristics = Le16(o + 70);
    uint64_t directoryCount = Le32(o + directoryCountAt);
    if (directoryCount > (optionalSize - fixedSize) / 8) return Fail(image, "not a valid PE: data directories run past the optional header");
    for (uint64_t i = 0; i < directoryCount; i++) {
        const unsigned char *d = o + fixedSize + 8 * i;
        image->directories.push_back(PeDirectory{Le32(d), Le32(d + 4)});
    }

    uint64_t table = optional + optionalSize;
    if (!Within(b, table, 40ull * sectionCount)) return Fail(image, "not a valid PE: section table cut short");
    for (uint16_t i = 0; i < sectionCount; i++) {
        const unsigned char *s = &b[table + 40ull * i];
        PeSection section;
        section.name.assign((const char *)s, strnlen((const char *)s, 8));
        section.virtualSize = Le32(s + 8);
        section.virtualAddress = Le32(s + 12);
        section.rawSize = Le32(s + 16);
        section.rawOffset = Le32(s + 20);
        section.characteristics = Le32(s + 36);
        if (!Within(b, section.rawOffset, section.rawSize))
            return Fail(image, "not a valid PE: section " + section.name + " runs past the end of the file");
        image->sections.push_back(section);
    }
    return 1;
}

// Returns 1 with the file offset of rva and the count of bytes from there to the end of
// its section's data in the file; 0 when rva lies in no section's file data.
static int RvaToOffset(const PeImage *image, uint64_t rva, uint64_t *offset, uint64_t *available) {
    for (const PeSection &s : image->sections) {
        // Bytes past the virtual size are not part of the section once loaded.
        uint64_t size = s.virtualSize != 0 && s.virtualSize < s.rawSize ? s.virtualSize : s.rawSize;
        if (rva >= s.virtualAddress && rva - s.virtualAddress < size) {
            *offset = s.rawOffset + (rva - s.virtualAddress);
            *available = size - (rva - s.virtualAddress);
            return Within(image->bytes, *offset, *available);
        }
    }
    return 0;
}

// Returns a pointer to length bytes at rva, or NULL when they are not all in one
// section's file data.
static const unsigned char *AtRva(const PeImage *image, uint64_t rva, uint64_t length) {
    uint64_t offset, available;
    if (!RvaToOffset(image, rva, &offset, &available) || length > available) return NULL;
    return &image->bytes[offset];
}

// Returns 1 with the NUL-terminated string at rva in text; 0 when it is not terminated
// within its section.
static int StringAtRva(const PeImage *image, uint64_t rva, std::string *text) {
    uint64_t offset, available;
    if (!RvaToOffset(image, rva, &offset, &available)) return 0;
    const char *start = (const char *)&image->bytes[offset];
    size_t length = strnlen(start, available);
    if (length == available) return 0;
    text->assign(start, length);
    return 1;
}

// Returns 1 with the DLL names of an import-style table: entries of entrySize bytes, the
// name's address at nameAt, ended by an all-zero entry. With delayed set, an entry whose
// attribute bit 0 is clear gives the name as a virtual address (older linkers).
static int TableDllNames(PeImage *image, int directory, uint32_t entrySize, uint32_t nameAt, int delayed,
                         const char *what, std::vector<std::string> *names) {
    names->clear();
    if ((size_t)directory >= image->directories.size() || image->directories[directory].rva == 0) return 1;
    static const unsigned char zero[32] = {0};
    for (uint64_t rva = image->directories[directory].rva;; rva += entrySize) {
        const unsigned char *entry = AtRva(image, rva, entrySize);
        if (entry == NULL) return Fail(image, std::string(what) + " runs outside the file's sections");
        if (memcmp(entry, zero, entrySize) == 0) return 1;
        uint64_t name = Le32(entry + nameAt);
        if (delayed && (Le32(entry) & 1) == 0) name = name >= image->imageBase ? name - image->imageBase : 0;
        std::string text;
        if (name == 0 || !StringAtRva(image, name, &text)) return Fail(image, std::string(what) + " has an entry with a bad DLL name");
        names->push_back(text);
    }
}

int PeImportDlls(PeImage *image, std::vector<std::string> *names) {
    return TableDllNames(image, PE_DIRECTORY_IMPORT, 20, 12, 0, "import table", names);
}

int PeDelayImportDlls(PeImage *image, std::vector<std::string> *names) {
    return TableDllNames(image, PE_DIRECTORY_DELAY_IMPORT, 32, 4, 1, "delay import table", names);
}

// Returns 1 with the target of the directory entry for id (any entry when anyId is set)
// in the resource directory at offset from the tree's start: a subdirectory's offset
// when subdirectory is set, else a data entry's. 0 when it is missing or malformed.
static int ResourceEntry(const PeImage *image, uint64_t tree, uint64_t offset, int anyId, uint32_t id, int subdirectory,
                         uint32_t *target) {
    const unsigned char *directory = AtRva(image, tree + offset, 16);
    if (directory == NULL) return 0;
    uint32_t named = Le16(directory + 12), numbered = Le16(directory + 14);
    const unsigned char *entries = AtRva(image, tree + offset + 16, 8ull * (named + numbered));
    if (entries == NULL) return 0;
    // Named entries come first; this reader looks only for numbered ones.
    for (uint32_t i = anyId ? 0 : named; i < named + numbered; i++) {
        const unsigned char *e = entries + 8 * i;
        if (!anyId && Le32(e) != id) continue;
        uint32_t to = Le32(e + 4);
        if (((to & 0x80000000u) != 0) != (subdirectory != 0)) return 0;
        *target = to & 0x7fffffffu;
        return 1;
    }
    return 0;
}

int PeFindResource(PeImage *image, uint32_t type, uint32_t id, std::vector<unsigned char> *data) {
    data->clear();
    char which[64];
    snprintf(which, sizeof which, "resource type %u id %u", (unsigned)type, (unsigned)id);
    if ((size_t)PE_DIRECTORY_RESOURCE >= image->directories.size() || image->directories[PE_DIRECTORY_RESOURCE].rva == 0)
        return Fail(image, std::string(which) + ": the file has no resources");
    uint64_t tree = image->directories[PE_DIRECTORY_RESOURCE].rva;
    uint32_t types, ids, leaf;
    // The tree has three levels: type, id, language.
    if (!ResourceEntry(image, tree, 0, 0, type, 1, &types) || !ResourceEntry(image, tree, types, 0, id, 1, &ids) ||
        !ResourceEntry(image, tree, ids, 1, 0, 0, &leaf))
        return Fail(image, std::string(which) + ": not found");
    const unsigned char *entry = AtRva(image, tree + leaf, 16);
    if (entry == NULL) return Fail(image, std::string(which) + ": data entry outside the file's sections");
    uint32_t size = Le32(entry + 4);
    const unsigned char *bytes = AtRva(image, Le32(entry), size);
    if (bytes == NULL) return Fail(image, std::string(which) + ": data outside the file's sections");
    data->assign(bytes, bytes + size);
    return 1;
}

// Appends the UTF-8 form of the UTF-16 units from start up to a NUL or end to text.
// Returns 1 when a NUL ended it; 0 when end did.
static int Utf16ToUtf8(const std::vector<unsigned char> &b, uint64_t start, uint64_t end, uint64_t *after, std::string *text) {
    for (uint64_t at = start; at + 2 <= end; at += 2) {
        uint32_t c = Le16(&b[at]);
        if (c == 0) {
            *after = at + 2;
            return 1;
        }
        if (c >= 0xd800 && c < 0xdc00 && at + 4 <= end && Le16(&b[at + 2]) >= 0xdc00 && Le16(&b[at + 2]) < 0xe000) {
            c = 0x10000 + ((c - 0xd800) << 10) + (Le16(&b[at + 2]) - 0xdc00);
            at += 2;
        }
        if (c < 0x80) {
            *text += (char)c;
        } else if (c < 0x800) {
            *text += (char)(0xc0 | c >> 6), *text += (char)(0x80 | (c & 0x3f));
        } else if (c < 0x10000) {
            *text += (char)(0xe0 | c >> 12), *text += (char)(0x80 | (c >> 6 & 0x3f)), *text += (char)(0x80 | (c & 0x3f));
        } else {
            *text += (char)(0xf0 | c >> 18), *text += (char)(0x80 | (c >> 12 & 0x3f));
            *text += (char)(0x80 | (c >> 6 & 0x3f)), *text += (char)(0x80 | (c & 0x3f));
        }
    }
    *after = end;
    return 0;
}

// One block of a version resource: a length, a value length, a type (1: text), a
// UTF-16 key, then the value and the child blocks, each on a four-byte boundary.
struct VersionBlock {
    std::string key;
    uint64_t value;     // offset of the value
    uint64_t children;  // offset of the first child
    uint64_t end;       // offset just past the block
};

// Returns 1 with the block at offset, which must end by limit; 0 when it is malformed.
static int ReadVersionBlock(const std::vector<unsigned char> &b, uint64_t offset, uint64_t limit, VersionBlock *block) {
    if (offset + 6 > limit || limit > b.size()) return 0;
    uint16_t length = Le16(&b[offset]), valueLength = Le16(&b[offset + 2]), type = Le16(&b[offset + 4]);
    if (length < 6 || offset + length > limit) return 0;
    block->end = offset + length;
    block->key.clear();
    uint64_t afterKey;
    if (!Utf16ToUtf8(b, offset + 6, block->end, &afterKey, &block->key)) return 0;
    // Some writers leave the last block's padding out of its length.
    block->value = Align4(afterKey) < block->end ? Align4(afterKey) : block->end;
    uint64_t valueEnd = block->value + (type == 1 ? 2ull * valueLength : valueLength);
    block->children = Align4(valueEnd) < block->end ? Align4(valueEnd) : block->end;
    return 1;
}

// Returns 1 with the child of parent whose key is key; 0 when there is none.
static int VersionChild(const std::vector<unsigned char> &b, const VersionBlock &parent, const char *key, VersionBlock *child) {
    for (uint64_t at = parent.children; at + 6 <= parent.end; at = Align4(child->end)) {
        if (!ReadVersionBlock(b, at, parent.end, child)) return 0;
        if (key == NULL || child->key == key) return 1;
    }
    return 0;
}

int PeVersionString(PeImage *image, const char *key, std::string *value) {
    value->clear();
    std::vector<unsigned char> b;
    if (!PeFindResource(image, PE_RESOURCE_VERSION, 1, &b)) return 0;
    VersionBlock root, files, table, string;
    if (!ReadVersionBlock(b, 0, b.size(), &root) || root.key != "VS_VERSION_INFO")
        return Fail(image, "version resource: no VS_VERSION_INFO block");
    if (!VersionChild(b, root, "StringFileInfo", &files)) return Fail(image, "version resource: no StringFileInfo block");
    if (!VersionChild(b, files, NULL, &table)) return Fail(image, "version resource: no string table");
    if (!VersionChild(b, table, key, &string)) return Fail(image, std::string("version resource: no ") + key + " string");
    uint64_t after;
    Utf16ToUtf8(b, string.value, string.end, &after, value);
    return 1;
}
