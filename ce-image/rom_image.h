// A Windows CE BIN image as CE reads its ROM: the records of the file, the
// table of contents (ROMHDR) that the ROM signature points to, the module
// and file entries after it, and a module's exports. Every pointer of the
// image is a ROM address; the records lie at those addresses plus the ROM
// offset (config.bib's ROMOFFSET), which the image itself tells.
#ifndef CE_IMAGE_ROM_IMAGE_H
#define CE_IMAGE_ROM_IMAGE_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace ce_image {

struct Record {
    uint32_t address;  // as written in the file: ROM address plus the ROM offset
    uint32_t length;
    size_t data;       // where its bytes begin in the file
};

struct Entry {
    std::string name;  // 8-bit, as stored
    uint32_t size = 0;  // a module's file size; a file's real size
    bool compressed = false;
    uint32_t e32 = 0, o32 = 0;  // a module's e32_rom and o32_rom, ROM addresses
};

struct Image {
    const uint8_t* bytes = nullptr;
    size_t size = 0;
    uint32_t start = 0, length = 0;  // the file's header
    uint32_t entry = 0;              // the end record's length field
    std::vector<Record> records;     // by address
    uint32_t rom_offset = 0;
    uint32_t toc = 0;                // the ROMHDR's ROM address
    uint32_t physfirst = 0, physlast = 0, nummods = 0, numfiles = 0, kernelflags = 0, ramstart = 0, ramend = 0;
    uint16_t cpu = 0;
    std::vector<Entry> modules, files;
};

// Reads the file's bytes, which must outlive the image. False, with `fault`
// one line saying what is wrong and where, for anything that is not a
// well-formed image whose table of contents can be read.
bool read_image(const uint8_t* bytes, size_t size, Image& image, std::string& fault);

// The module's exports as CE 6.0's loader binds them.
struct Exports {
    enum Status { READ, NO_MODULE, COMPRESSED };
    Status status = NO_MODULE;
    std::string why;                          // COMPRESSED: what is stored compressed
    std::map<std::string, uint32_t> by_name;  // the first entry of each name, its address
    uint32_t ordinal_base = 0;
    std::vector<uint32_t> addresses;          // the address table
};

// Reads the exports of the module named `module` (in any letter case, the
// whole name). False, with `fault` set, for an export table that cannot be
// read; a missing module or a compressed section is a status, not a fault.
bool read_exports(const Image& image, const std::string& module, Exports& exports, std::string& fault);

// Whether an import binds: by its exact name, or by ordinal when the name is
// empty; an address of 0 binds nothing.
bool exported(const Exports& exports, const std::string& name, uint32_t ordinal);

// The module that a program's imports from COREDLL.dll bind against.
extern const char* const COREDLL;
// Whether a DLL name that a program imports from is COREDLL's.
bool is_coredll(const std::string& dll);

// The bytes of a regular file of at most 2 GiB - 1 (the largest image the
// tool takes); false with `fault` set for any other.
bool read_file(const std::string& path, std::vector<uint8_t>& bytes, std::string& fault);

// The lines that describe the image: its header's fields, then a line for
// each module and file entry.
std::string describe(const Image& image);

// A name as the lines show it: printable ASCII but blank and backslash as it
// is, every other byte as \xNN.
std::string shown_name(const std::string& name);

}  // namespace ce_image

#endif
