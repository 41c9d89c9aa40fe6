// A Windows CE 6.0 x86 program as CE's loader reads it: the checks it makes
// before anything runs, and what it maps.
#ifndef CE_RUN_PROGRAM_H
#define CE_RUN_PROGRAM_H

#include <cstdint>
#include <string>
#include <vector>

namespace ce_run {

const uint32_t PAGE = 0x1000;
// Up to a whole page. Header arithmetic is done in 64 bits: no sum or
// rounding of 32-bit fields wraps.
uint64_t round_up(uint64_t value);
// Where CE maps a program that has relocations, and where one without them
// must already lie.
const uint32_t RELOCATED_BASE = 0x10000;
const uint32_t HIGHEST_FIXED_BASE = 0x400000;
const uint32_t LARGEST_IMAGE = 0x40000000;  // SizeOfImage must stay under 1 GiB

// The loader's Win32 errors, as CE's loader fails a process start.
const uint32_t LOADER_BAD_EXE_FORMAT = 193;
const uint32_t LOADER_OLD_WIN_VERSION = 1150;
const uint32_t LOADER_MOD_NOT_FOUND = 126;
const uint32_t LOADER_PROC_NOT_FOUND = 127;

struct Section {
    std::string name;
    uint32_t rva = 0;
    uint32_t size = 0;        // in memory, rounded up to the page
    uint32_t raw_offset = 0;
    uint32_t raw_size = 0;    // of the file, at most size
    bool read = false, write = false, execute = false;
};

struct Import {
    std::string dll;
    std::string name;         // empty for an import by ordinal
    uint32_t ordinal_or_hint = 0;
    uint32_t slot_rva = 0;    // its entry in the import address table
};

struct Symbol {
    uint32_t rva;
    std::string name;
};

struct Program {
    uint32_t preferred_base = 0;
    uint32_t image_size = 0;       // rounded up to the page
    uint32_t headers_size = 0;
    uint32_t entry_rva = 0;
    uint32_t stack_reserve = 0;
    uint32_t relocations_rva = 0, relocations_size = 0;
    uint32_t resources_rva = 0, resources_size = 0;
    std::vector<Section> sections;
    std::vector<Import> imports;
    std::vector<Symbol> symbols;   // sorted by address
};

// What the loader refuses, and the error it fails the start with.
struct Refusal {
    uint32_t error = 0;            // 0: loaded
    std::string reason;
};

// Reads the headers, sections, imports and symbols of the file's bytes, and
// makes CE's checks: i386, PE32, subsystem 9 of a version up to 6.00, an
// image under 1 GiB whose sections lie inside it.
Refusal read_program(const std::vector<uint8_t>& file, Program& program);

// The base CE maps the program at: 0x10000 when it has relocations, else its
// own, which must lie in [0x10000, 0x400000].
Refusal choose_base(const Program& program, uint32_t& base);

// The image as mapped at base: headers and sections copied into image
// (image_size bytes, zeroed), relocated from the preferred base.
Refusal map_image(const std::vector<uint8_t>& file, const Program& program, uint32_t base, uint8_t* image);

// A resource with a named type and a numbered name, as the tool's FIRMWARE
// 183 is, at its place in the mapped image.
struct Resource {
    uint16_t id;
    std::u16string type;
    uint32_t rva, size;
};
std::vector<Resource> read_resources(const Program& program, const uint8_t* image);

// The name of the symbol nearest below the address, with the distance
// ("_main+0x1c"); empty when none lies below it.
std::string nearest_symbol(const Program& program, uint32_t base, uint32_t address);

}  // namespace ce_run

#endif
