// Checks the built Windows program, build/windows/finish-update.exe, by reading its PE
// headers, import table and resources, and checks that the reader turns truncated and
// corrupt files into a clean failure.
#include <ctype.h>
#include <string.h>

#include <algorithm>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "pe-reader.h"

namespace {

const char buildHint[] =
    " is missing or unreadable: build the windows preset first "
    "(cmake --preset windows && cmake --build --preset windows)";

// Returns 1 with the built program read and parsed into image; 0 with the reason in
// image->error, saying how to build it when it cannot be read.
int LoadBuiltProgram(PeImage *image) {
    if (!PeLoadFile(FINISH_UPDATE_EXE, image)) {
        image->error = FINISH_UPDATE_EXE + std::string(buildHint);
        return 0;
    }
    return PeParse(image);
}

// Returns text in lower case (ASCII letters only).
std::string Lower(std::string text) {
    for (char &c : text) c = (char)tolower((unsigned char)c);
    return text;
}

// Returns xml without its <!-- --> comments, so that a commented-out element is not
// taken for a real one.
std::string WithoutComments(const std::string &xml) {
    std::string text;
    size_t at = 0;
    for (size_t open; (open = xml.find("<!--", at)) != std::string::npos;) {
        text += xml.substr(at, open - at);
        size_t close = xml.find("-->", open + 4);
        if (close == std::string::npos) return text;
        at = close + 3;
    }
    return text + xml.substr(at);
}

// Returns the start tags of the elements called name in xml, from '<' to '>'.
std::vector<std::string> StartTags(const std::string &xml, const std::string &name) {
    std::vector<std::string> tags;
    for (size_t at = 0; (at = xml.find("<" + name, at)) != std::string::npos; at++) {
        char next = at + 1 + name.size() < xml.size() ? xml[at + 1 + name.size()] : '\0';
        size_t close = xml.find('>', at);
        if (close == std::string::npos) break;
        if (isspace((unsigned char)next) || next == '/' || next == '>') tags.push_back(xml.substr(at, close - at + 1));
    }
    return tags;
}

// Returns the value of attribute in tag, or "" when it has none.
std::string Attribute(const std::string &tag, const std::string &attribute) {
    for (size_t at = 0; (at = tag.find(attribute + "=", at)) != std::string::npos; at++) {
        size_t quote = at + attribute.size() + 1;
        if (at == 0 || !isspace((unsigned char)tag[at - 1]) || quote >= tag.size()) continue;
        size_t end = tag.find(tag[quote], quote + 1);
        if ((tag[quote] == '"' || tag[quote] == '\'') && end != std::string::npos) return tag.substr(quote + 1, end - quote - 1);
    }
    return "";
}

TEST(BuiltProgram, Is64BitWindowsConsoleProgram) {
    PeImage exe;
    ASSERT_TRUE(LoadBuiltProgram(&exe)) << exe.error;
    EXPECT_EQ(exe.machine, PE_MACHINE_AMD64);
    EXPECT_EQ(exe.magic, PE_MAGIC_PE32_PLUS) << "not PE32+";
    EXPECT_EQ(exe.subsystem, PE_SUBSYSTEM_WINDOWS_CUI) << "not a console program";
    EXPECT_TRUE(exe.characteristics & PE_FILE_EXECUTABLE_IMAGE);
    EXPECT_FALSE(exe.characteristics & PE_FILE_DLL);
}

TEST(BuiltProgram, HasAslrAndDep) {
    PeImage exe;
    ASSERT_TRUE(LoadBuiltProgram(&exe)) << exe.error;
    const struct {
        const char *name;
        uint16_t flag;
    } flags[] = {
        {"DYNAMIC_BASE", PE_DLL_DYNAMIC_BASE},
        {"HIGH_ENTROPY_VA", PE_DLL_HIGH_ENTROPY_VA},
        {"NX_COMPAT", PE_DLL_NX_COMPAT},
    };
    for (const auto &f : flags) EXPECT_TRUE(exe.dllCharacteristics & f.flag) << f.name << " is not set";
    // Without these the flags above have no effect: the loader cannot move an image
    // that has no relocations, and high-entropy addresses need a large-address-aware one.
    EXPECT_FALSE(exe.characteristics & PE_FILE_RELOCS_STRIPPED);
    ASSERT_GT(exe.directories.size(), (size_t)PE_DIRECTORY_BASE_RELOCATION);
    EXPECT_NE(exe.directories[PE_DIRECTORY_BASE_RELOCATION].size, 0u) << "no base relocations";
    EXPECT_TRUE(exe.characteristics & PE_FILE_LARGE_ADDRESS_AWARE);
}

TEST(BuiltProgram, ImportsOnlyWindowsSystemDlls) {
    PeImage exe;
    ASSERT_TRUE(LoadBuiltProgram(&exe)) << exe.error;
    std::vector<std::string> imports, delayed;
    ASSERT_TRUE(PeImportDlls(&exe, &imports)) << exe.error;
    ASSERT_TRUE(PeDelayImportDlls(&exe, &delayed)) << exe.error;
    imports.insert(imports.end(), delayed.begin(), delayed.end());

    std::set<std::string> names;
    for (const std::string &name : imports) names.insert(Lower(name));
    // A reader that found nothing would pass the checks below.
    EXPECT_TRUE(names.count("kernel32.dll")) << "KERNEL32.dll not among the imports";

    // The MinGW runtime DLLs are on no user's machine: the program must link them statically.
    for (const char *runtime : {"libgcc_s_seh-1.dll", "libstdc++-6.dll", "libwinpthread-1.dll"})
        EXPECT_FALSE(names.count(runtime)) << "imports " << runtime << "; link with -static";

    const std::set<std::string> system = {
        "kernel32.dll", "user32.dll",  "gdi32.dll",    "advapi32.dll", "shell32.dll", "shlwapi.dll",
        "msvcrt.dll",   "ole32.dll",   "oleaut32.dll", "comctl32.dll", "version.dll", "ws2_32.dll",
        "ntdll.dll",    "bcrypt.dll",  "crypt32.dll",
    };
    for (const std::string &name : names) EXPECT_TRUE(system.count(name)) << "imports " << name << ", not a Windows system DLL";
}

TEST(BuiltProgram, EmbedsManifestRunningAsInvokerOnVistaTo11) {
    PeImage exe;
    ASSERT_TRUE(LoadBuiltProgram(&exe)) << exe.error;
    std::vector<unsigned char> data;
    // Windows reads an executable's manifest from id 1 only.
    ASSERT_TRUE(PeFindResource(&exe, PE_RESOURCE_MANIFEST, 1, &data)) << exe.error;
    std::string manifest = WithoutComments(std::string(data.begin(), data.end()));

    std::vector<std::string> levels = StartTags(manifest, "requestedExecutionLevel");
    ASSERT_EQ(levels.size(), 1u) << manifest;
    EXPECT_EQ(Attribute(levels[0], "level"), "asInvoker") << levels[0];
    EXPECT_NE(Attribute(levels[0], "uiAccess"), "true") << levels[0];

    std::set<std::string> ids;
    for (const std::string &tag : StartTags(manifest, "supportedOS")) ids.insert(Lower(Attribute(tag, "Id")));
    const struct {
        const char *system;
        const char *id;
    } systems[] = {
        {"Vista", "{e2011457-1546-43c5-a5fe-008deee3d3f0}"},
        {"7", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}"},
        {"8", "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}"},
        {"8.1", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}"},
        {"10 and 11", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"},
    };
    for (const auto &s : systems) EXPECT_TRUE(ids.count(s.id)) << "no supportedOS for Windows " << s.system << " " << s.id;
}

TEST(BuiltProgram, HasVersionStrings) {
    PeImage exe;
    ASSERT_TRUE(LoadBuiltProgram(&exe)) << exe.error;
    std::string value;
    ASSERT_TRUE(PeVersionString(&exe, "FileVersion", &value)) << exe.error;
    EXPECT_EQ(value, FINISH_UPDATE_VERSION) << "FileVersion differs from the project's version";
    for (const char *key : {"ProductName", "FileDescription"}) {
        ASSERT_TRUE(PeVersionString(&exe, key, &value)) << exe.error;
        EXPECT_NE(value, "") << key << " is empty";
    }
}

void Put16(std::vector<unsigned char> *b, size_t at, uint32_t v) {
    if (at + 2 <= b->size()) (*b)[at] = (unsigned char)v, (*b)[at + 1] = (unsigned char)(v >> 8);
}

void Put32(std::vector<unsigned char> *b, size_t at, uint32_t v) {
    Put16(b, at, v & 0xffff);
    Put16(b, at + 2, v >> 16);
}

uint32_t Get32(const std::vector<unsigned char> &b, size_t at) {
    return at + 4 <= b.size() ? b[at] | b[at + 1] << 8 | b[at + 2] << 16 | (uint32_t)b[at + 3] << 24 : 0;
}

// Returns the offset of the PE signature.
size_t PeAt(const std::vector<unsigned char> &b) { return Get32(b, 0x3c); }

// Returns the offset of the section table.
size_t SectionTableAt(const std::vector<unsigned char> &b) { return PeAt(b) + 24 + (b[PeAt(b) + 20] | b[PeAt(b) + 21] << 8); }

// Returns the offset just past the last section's data in the file; the symbols an
// unstripped file keeps after it are no part of the loaded image.
size_t SectionDataEnd(const PeImage &image) {
    size_t end = 0;
    for (const PeSection &s : image.sections) end = std::max(end, (size_t)s.rawOffset + s.rawSize);
    return end;
}

// Returns count bytes from a fixed-seed generator.
std::vector<unsigned char> Garbage(size_t count) {
    std::vector<unsigned char> bytes(count);
    uint32_t x = 2463534242u;
    for (unsigned char &c : bytes) x ^= x << 13, x ^= x >> 17, x ^= x << 5, c = (unsigned char)x;
    return bytes;
}

TEST(PeReader, RejectsTruncatedAndGarbageFiles) {
    PeImage exe;
    ASSERT_TRUE(LoadBuiltProgram(&exe)) << exe.error;
    typedef std::vector<unsigned char> Bytes;
    const struct {
        const char *name;
        std::function<void(Bytes *)> damage;
    } cases[] = {
        {"empty", [](Bytes *b) { b->clear(); }},
        {"MZ only", [](Bytes *b) { b->resize(2); }},
        {"DOS header only", [](Bytes *b) { b->resize(64); }},
        {"cut in the PE signature", [](Bytes *b) { b->resize(PeAt(*b) + 2); }},
        {"cut in the file header", [](Bytes *b) { b->resize(PeAt(*b) + 12); }},
        {"cut in the optional header", [](Bytes *b) { b->resize(PeAt(*b) + 24 + 60); }},
        {"cut in the section table", [](Bytes *b) { b->resize(SectionTableAt(*b) + 40 * 2 + 10); }},
        {"cut in the middle", [](Bytes *b) { b->resize(b->size() / 2); }},
        {"last byte of section data cut", [&](Bytes *b) { b->resize(SectionDataEnd(exe) - 1); }},
        {"garbage", [](Bytes *b) { *b = Garbage(4096); }},
        {"garbage after MZ", [](Bytes *b) { *b = Garbage(4096), (*b)[0] = 'M', (*b)[1] = 'Z'; }},
        {"PE header offset past the end", [](Bytes *b) { Put32(b, 0x3c, 0xfffffffc); }},
        {"65535 sections", [](Bytes *b) { Put16(b, PeAt(*b) + 6, 0xffff); }},
        {"optional header longer than the file", [](Bytes *b) { Put16(b, PeAt(*b) + 20, 0xffff); }},
        {"optional header too short for its fields", [](Bytes *b) { Put16(b, PeAt(*b) + 20, 64); }},
        {"unknown optional header magic", [](Bytes *b) { Put16(b, PeAt(*b) + 24, 0x1234); }},
        {"4 billion data directories", [](Bytes *b) { Put32(b, PeAt(*b) + 24 + 108, 0xffffffff); }},
        {"section data past the end", [](Bytes *b) { Put32(b, SectionTableAt(*b) + 20, 0xffffff00); }},
    };
    for (const auto &c : cases) {
        PeImage image;
        image.bytes = exe.bytes;
        c.damage(&image.bytes);
        EXPECT_FALSE(PeParse(&image)) << c.name;
        EXPECT_EQ(image.error.rfind("not a valid PE", 0), 0u) << c.name << ": " << image.error;
    }
}

// Returns the file offset of rva, or 0 when no section's data holds it.
size_t FileOffset(const PeImage &image, uint32_t rva) {
    for (const PeSection &s : image.sections)
        if (rva >= s.virtualAddress && rva - s.virtualAddress < s.rawSize) return s.rawOffset + (rva - s.virtualAddress);
    return 0;
}

// Returns the offset of needle in haystack, or 0 when it is not there.
size_t Find(const std::vector<unsigned char> &haystack, const std::vector<unsigned char> &needle) {
    for (size_t at = 0; at + needle.size() <= haystack.size(); at++)
        if (memcmp(&haystack[at], needle.data(), needle.size()) == 0) return at;
    return 0;
}

enum Lookup { IMPORTS, MANIFEST, VERSION };

// Runs lookup on image; returns its result.
int RunLookup(PeImage *image, Lookup lookup) {
    std::vector<std::string> names;
    std::vector<unsigned char> data;
    std::string value;
    switch (lookup) {
    case IMPORTS: return PeImportDlls(image, &names);
    case MANIFEST: return PeFindResource(image, PE_RESOURCE_MANIFEST, 1, &data);
    case VERSION: return PeVersionString(image, "FileVersion", &value);
    }
    return -1;
}

// A file whose headers are sound but whose tables point outside the file or run past
// their section must fail the lookup cleanly, with a reason.
TEST(PeReader, FailsCleanlyOnCorruptTables) {
    PeImage exe;
    ASSERT_TRUE(LoadBuiltProgram(&exe)) << exe.error;
    ASSERT_GT(exe.directories.size(), (size_t)PE_DIRECTORY_RESOURCE);
    const PeDirectory imports = exe.directories[PE_DIRECTORY_IMPORT];
    const PeDirectory resources = exe.directories[PE_DIRECTORY_RESOURCE];
    const size_t directoriesAt = PeAt(exe.bytes) + 24 + 112;

    // The manifest's data entry is the 16 bytes that give its address and size.
    std::vector<unsigned char> manifest;
    ASSERT_TRUE(PeFindResource(&exe, PE_RESOURCE_MANIFEST, 1, &manifest)) << exe.error;
    size_t manifestAt = Find(exe.bytes, manifest);
    size_t manifestEntry = 0;
    for (size_t at = FileOffset(exe, resources.rva); at != 0 && at + 8 <= exe.bytes.size(); at += 4) {
        if (Get32(exe.bytes, at + 4) == manifest.size() && FileOffset(exe, Get32(exe.bytes, at)) == manifestAt) {
            manifestEntry = at;
            break;
        }
    }
    ASSERT_NE(manifestEntry, 0u);
    const char16_t versionKey[] = u"VS_VERSION_INFO";
    const unsigned char *keyBytes = (const unsigned char *)versionKey;
    size_t versionKeyAt = Find(exe.bytes, std::vector<unsigned char>(keyBytes, keyBytes + sizeof versionKey));
    ASSERT_GE(versionKeyAt, 6u);
    const size_t versionAt = versionKeyAt - 6;

    typedef std::vector<unsigned char> Bytes;
    const PeImage &e = exe;
    const struct {
        const char *name;
        Lookup lookup;
        std::function<void(Bytes *)> damage;
    } cases[] = {
        {"import table address past every section", IMPORTS,
         [&](Bytes *b) { Put32(b, directoriesAt + 8 * PE_DIRECTORY_IMPORT, 0x7ffffff0); }},
        {"import DLL name address past every section", IMPORTS,
         [&](Bytes *b) { Put32(b, FileOffset(e, imports.rva) + 12, 0xfffffff0); }},
        {"import DLL name running to the end of its section", IMPORTS,
         [&](Bytes *b) {
             size_t name = FileOffset(e, Get32(*b, FileOffset(e, imports.rva) + 12));
             for (const PeSection &s : e.sections)
                 if (name >= s.rawOffset && name < s.rawOffset + s.rawSize)
                     memset(&(*b)[name], 'A', s.rawOffset + s.rawSize - name);
         }},
        {"resource tree address past every section", MANIFEST,
         [&](Bytes *b) { Put32(b, directoriesAt + 8 * PE_DIRECTORY_RESOURCE, 0x7ffffff0); }},
        {"resource root claiming 65535 entries", MANIFEST,
         [&](Bytes *b) { Put16(b, FileOffset(e, resources.rva) + 14, 0xffff); }},
        {"manifest data claiming 2 GB", MANIFEST, [&](Bytes *b) { Put32(b, manifestEntry + 4, 0x7fffffff); }},
        {"manifest data address past every section", MANIFEST, [&](Bytes *b) { Put32(b, manifestEntry, 0xfffffff0); }},
        {"version block longer than its resource", VERSION, [&](Bytes *b) { Put16(b, versionAt, 0xffff); }},
        {"version block shorter than its header", VERSION, [&](Bytes *b) { Put16(b, versionAt, 4); }},
    };
    for (const auto &c : cases) {
        PeImage image;
        image.bytes = exe.bytes;
        c.damage(&image.bytes);
        ASSERT_TRUE(PeParse(&image)) << c.name << ": " << image.error;
        EXPECT_EQ(RunLookup(&image, c.lookup), 0) << c.name;
        EXPECT_NE(image.error, "") << c.name;
    }
}

}  // namespace
