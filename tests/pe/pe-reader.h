// A small reader for Windows PE files (PE32 and PE32+), working over the file's bytes
// on any host. Every read is bounds-checked: a truncated or corrupt file makes a
// function return 0 with the reason in the image's error, never read past the bytes.
#ifndef FINISH_UPDATE_PE_READER_H
#define FINISH_UPDATE_PE_READER_H

#include <stdint.h>

#include <string>
#include <vector>

enum {
    PE_MACHINE_AMD64 = 0x8664,
    PE_MAGIC_PE32 = 0x10b,
    PE_MAGIC_PE32_PLUS = 0x20b,

    PE_FILE_RELOCS_STRIPPED = 0x0001,
    PE_FILE_EXECUTABLE_IMAGE = 0x0002,
    PE_FILE_LARGE_ADDRESS_AWARE = 0x0020,
    PE_FILE_DLL = 0x2000,

    PE_SUBSYSTEM_WINDOWS_GUI = 2,
    PE_SUBSYSTEM_WINDOWS_CUI = 3,

    PE_DLL_HIGH_ENTROPY_VA = 0x0020,
    PE_DLL_DYNAMIC_BASE = 0x0040,
    PE_DLL_NX_COMPAT = 0x0100,

    PE_DIRECTORY_IMPORT = 1,
    PE_DIRECTORY_RESOURCE = 2,
    PE_DIRECTORY_BASE_RELOCATION = 5,
    PE_DIRECTORY_DELAY_IMPORT = 13,

    PE_RESOURCE_VERSION = 16,
    PE_RESOURCE_MANIFEST = 24,
};

struct PeSection {
    std::string name;
    uint32_t virtualAddress;
    uint32_t virtualSize;
    uint32_t rawOffset;
    uint32_t rawSize;
    uint32_t characteristics;
};

struct PeDirectory {
    uint32_t rva;
    uint32_t size;
};

struct PeImage {
    std::vector<unsigned char> bytes;  // the whole file
    // From the COFF file header.
    uint16_t machine = 0;
    uint16_t characteristics = 0;
    // From the optional header.
    uint16_t magic = 0;
    uint64_t imageBase = 0;
    uint16_t subsystem = 0;
    uint16_t dllCharacteristics = 0;
    std::vector<PeDirectory> directories;  // absent entries are left out of the count
    std::vector<PeSection> sections;
    std::string error;  // why the last call on this image failed
};

// Returns 1 with the file's bytes in image->bytes, or 0 with the reason in image->error
// when it cannot be read. Does not parse them: call PeParse next.
int PeLoadFile(const char *path, PeImage *image);

// Returns 1 when image->bytes hold a PE file whose headers and section table lie within
// the bytes, with the header fields and sections filled in; 0 with image->error
// starting "not a valid PE" otherwise.
int PeParse(PeImage *image);

// Returns 1 with the names of the DLLs in the import table, in table order (none when
// the file has no import table); 0 with the reason in image->error when the table
// points outside the file.
int PeImportDlls(PeImage *image, std::vector<std::string> *names);

// Returns 1 with the names of the delay-loaded DLLs, as PeImportDlls does for the
// import table.
int PeDelayImportDlls(PeImage *image, std::vector<std::string> *names);

// Returns 1 with the data of the resource of numeric type and id (its first language)
// in data; 0 with the reason in image->error when there is none or the resource tree
// points outside the file.
int PeFindResource(PeImage *image, uint32_t type, uint32_t id, std::vector<unsigned char> *data);

// Returns 1 with the value of the string key (for example "FileVersion") from the
// first string table of the version resource (type 16, id 1), converted from UTF-16 to
// UTF-8; 0 with the reason in image->error when the resource or the key is missing or
// the block is malformed.
int PeVersionString(PeImage *image, const char *key, std::string *value);

#endif
