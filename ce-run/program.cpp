#include "program.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

// The reader is built alone (its fuzz target): of the emulation, only this.
#include "../emulator/device/hex.h"

namespace ce_run {
namespace {

using ce::hex;

const uint16_t MACHINE_I386 = 0x14c;
const uint16_t PE32_MAGIC = 0x10b;
const uint16_t SUBSYSTEM_WINDOWS_CE_GUI = 9;
const uint32_t SCN_EXECUTE = 0x20000000, SCN_READ = 0x40000000, SCN_WRITE = 0x80000000;
const uint32_t IMPORT_BY_ORDINAL = 0x80000000;
// Windows' loaders take no more sections than this; COREDLL has fewer
// exports than this many imports could name.
const uint32_t MOST_SECTIONS = 96;
const size_t MOST_IMPORTS = 65536;
// The stack is reserved below a fixed top: a larger one would not fit.
const uint32_t MOST_STACK = 0x10000000;

// Every read of the file is bounded: a field beyond its end reads as absent.
struct Reader {
    const std::vector<uint8_t>& bytes;
    bool in(uint64_t at, uint64_t size) const { return at <= bytes.size() && size <= bytes.size() - at; }
    uint32_t u16(uint64_t at) const { return in(at, 2) ? bytes[at] | bytes[at + 1] << 8 : 0; }
    uint32_t u32(uint64_t at) const { return in(at, 4) ? u16(at) | u16(at + 2) << 16 : 0; }
};

Refusal refuse(uint32_t error, const std::string& reason)
{
    return Refusal{error, reason};
}

// The offset in the file of an address of the image; false outside sections.
bool file_offset(const Program& program, uint64_t rva, uint32_t size, uint64_t& offset)
{
    for (const Section& s : program.sections) {
        if (rva >= s.rva && rva + size <= static_cast<uint64_t>(s.rva) + s.raw_size) {
            offset = static_cast<uint64_t>(s.raw_offset) + (rva - s.rva);
            return true;
        }
    }
    if (rva + size <= program.headers_size) {
        offset = rva;
        return true;
    }
    return false;
}

// A text that ends with a zero byte within the file.
bool read_name(const Reader& file, const Program& program, uint64_t rva, std::string& name)
{
    uint64_t at = 0;
    if (!file_offset(program, rva, 1, at)) {
        return false;
    }
    name.clear();
    for (; file.in(at, 1) && name.size() < 4096; ++at) {
        if (file.bytes[at] == 0) {
            return true;
        }
        name += static_cast<char>(file.bytes[at]);
    }
    return false;
}

Refusal read_imports(const Reader& file, Program& program, uint32_t rva, uint32_t size)
{
    if (size == 0) {
        return Refusal();
    }
    for (uint64_t entry = rva, dlls = 0;; entry += 20, ++dlls) {
        uint64_t at = 0;
        if (dlls >= MOST_IMPORTS) {
            return refuse(LOADER_BAD_EXE_FORMAT, "more than 65,536 imported DLLs");
        }
        if (!file_offset(program, entry, 20, at)) {
            return refuse(LOADER_BAD_EXE_FORMAT, "the import directory lies outside the image");
        }
        uint32_t lookup = file.u32(at), name_rva = file.u32(at + 12), slots = file.u32(at + 16);
        if (name_rva == 0 && slots == 0) {
            return Refusal();
        }
        Import import;
        if (!read_name(file, program, name_rva, import.dll)) {
            return refuse(LOADER_BAD_EXE_FORMAT, "an imported DLL's name lies outside the image");
        }
        uint32_t table = lookup != 0 ? lookup : slots;
        for (uint32_t n = 0;; ++n) {
            uint64_t item = 0;
            if (program.imports.size() >= MOST_IMPORTS) {
                return refuse(LOADER_BAD_EXE_FORMAT, "more than 65,536 imports");
            }
            if (!file_offset(program, static_cast<uint64_t>(table) + 4 * n, 4, item)) {
                return refuse(LOADER_BAD_EXE_FORMAT, "the imports of " + import.dll + " lie outside the image");
            }
            uint32_t value = file.u32(item);
            if (value == 0) {
                break;
            }
            if (static_cast<uint64_t>(slots) + 4 * n + 4 > program.image_size) {
                return refuse(LOADER_BAD_EXE_FORMAT, "the import address table of " + import.dll + " lies outside the image");
            }
            import.slot_rva = slots + 4 * n;
            import.name.clear();
            if (value & IMPORT_BY_ORDINAL) {
                import.ordinal_or_hint = value & 0xffff;
            } else {
                uint64_t hint = 0;
                if (!file_offset(program, value, 2, hint) ||
                    !read_name(file, program, static_cast<uint64_t>(value) + 2, import.name)) {
                    return refuse(LOADER_BAD_EXE_FORMAT, "an import's name from " + import.dll + " lies outside the image");
                }
                import.ordinal_or_hint = file.u16(hint);
            }
            program.imports.push_back(import);
        }
    }
}

// A section lies in the image with all of its extent and its raw data, each
// as declared and rounded up to the page, and its raw data in the file.
Refusal section_outside(const Section& s, uint32_t virtual_size, uint32_t raw_size, const Program& program,
                        uint64_t file_size)
{
    std::string section = "section " + s.name + ": ";
    if (s.rva % PAGE != 0 || s.rva < program.headers_size) {
        return refuse(LOADER_BAD_EXE_FORMAT, section + "VirtualAddress " + hex(s.rva) +
                                                " is not a page of the image after its headers");
    }
    const std::pair<const char*, uint32_t> extents[] = {{"VirtualSize", virtual_size}, {"SizeOfRawData", raw_size}};
    for (const auto& extent : extents) {
        uint64_t end = s.rva + round_up(extent.second);
        if (end > program.image_size) {
            return refuse(LOADER_BAD_EXE_FORMAT, section + extent.first + " " + hex(extent.second) + " at VirtualAddress " +
                                                    hex(s.rva) + " ends at " + hex(end) +
                                                    " rounded to the page, past SizeOfImage " + hex(program.image_size));
        }
    }
    uint64_t end = static_cast<uint64_t>(s.raw_offset) + raw_size;
    if (raw_size != 0 && end > file_size) {
        return refuse(LOADER_BAD_EXE_FORMAT, section + "SizeOfRawData " + hex(raw_size) + " at PointerToRawData " +
                                                hex(s.raw_offset) + " ends at " + hex(end) + ", past the end of the file at " +
                                                hex(file_size));
    }
    return Refusal();
}

void read_symbols(const Reader& file, Program& program, uint32_t table, uint32_t count)
{
    uint64_t strings = static_cast<uint64_t>(table) + 18ull * count;
    if (table == 0 || !file.in(table, 18ull * count)) {
        return;
    }
    for (uint32_t i = 0; i < count; ++i) {
        uint64_t at = table + 18ull * i;
        uint32_t section = file.u16(at + 12);
        uint32_t aux = file.bytes[at + 17];
        std::string name;
        if (file.u32(at) == 0) {
            for (uint64_t c = strings + file.u32(at + 4); file.in(c, 1) && file.bytes[c] != 0 && name.size() < 512; ++c) {
                name += static_cast<char>(file.bytes[c]);
            }
        } else {
            for (int c = 0; c < 8 && file.bytes[at + c] != 0; ++c) {
                name += static_cast<char>(file.bytes[at + c]);
            }
        }
        // Symbols of a section (not absolute or debugging ones), but not the
        // sections' own names.
        uint64_t rva = section >= 1 && section <= program.sections.size()
                           ? static_cast<uint64_t>(program.sections[section - 1].rva) + file.u32(at + 8)
                           : UINT64_MAX;
        if (rva < program.image_size && !name.empty() && name[0] != '.') {
            program.symbols.push_back({static_cast<uint32_t>(rva), name});
        }
        i += aux;
    }
    std::stable_sort(program.symbols.begin(), program.symbols.end(),
                     [](const Symbol& a, const Symbol& b) { return a.rva < b.rva; });
}

}  // namespace

uint64_t round_up(uint64_t value)
{
    return (value + PAGE - 1) / PAGE * PAGE;
}

Refusal read_program(const std::vector<uint8_t>& bytes, Program& program)
{
    Reader file{bytes};
    if (file.u16(0) != 0x5a4d) {
        return refuse(LOADER_BAD_EXE_FORMAT, "not a program: no MZ header");
    }
    uint32_t pe = file.u32(0x3c);
    if (file.u32(pe) != 0x4550 || !file.in(pe, 24 + 96)) {
        return refuse(LOADER_BAD_EXE_FORMAT, "not a PE program");
    }
    uint32_t machine = file.u16(pe + 4);
    if (machine != MACHINE_I386) {
        return refuse(LOADER_BAD_EXE_FORMAT, "the machine is " + hex(machine) + ", not i386 (0x14c)");
    }
    uint32_t section_count = file.u16(pe + 6);
    if (section_count > MOST_SECTIONS) {
        return refuse(LOADER_BAD_EXE_FORMAT, std::to_string(section_count) + " sections, more than a loader takes (96)");
    }
    uint32_t optional = pe + 24;
    uint32_t optional_size = file.u16(pe + 20);
    if (file.u16(optional) != PE32_MAGIC) {
        return refuse(LOADER_BAD_EXE_FORMAT, "the optional header's magic is " + hex(file.u16(optional)) +
                                                ", not PE32 (0x10b)");
    }
    uint32_t subsystem = file.u16(optional + 68);
    uint32_t major = file.u16(optional + 48), minor = file.u16(optional + 50);
    if (subsystem != SUBSYSTEM_WINDOWS_CE_GUI) {
        return refuse(LOADER_BAD_EXE_FORMAT, "the subsystem is " + std::to_string(subsystem) + ", not 9 (Windows CE)");
    }
    if (major > 6 || (major == 6 && minor > 0)) {
        char version[32];
        std::snprintf(version, sizeof version, "%u.%02u", major, minor);
        return refuse(LOADER_OLD_WIN_VERSION, std::string("the program needs Windows CE ") + version +
                                                 ", above this device's 6.00 (ERROR_OLD_WIN_VERSION)");
    }
    uint32_t image_size = file.u32(optional + 56);
    if (image_size == 0 || image_size >= LARGEST_IMAGE) {
        return refuse(LOADER_BAD_EXE_FORMAT, "SizeOfImage " + hex(image_size) + " is not under 1 GiB");
    }
    program.preferred_base = file.u32(optional + 28);
    program.image_size = static_cast<uint32_t>(round_up(image_size));
    program.headers_size = file.u32(optional + 60);
    program.entry_rva = file.u32(optional + 16);
    program.stack_reserve = file.u32(optional + 72);
    if (program.stack_reserve > MOST_STACK) {
        return refuse(LOADER_BAD_EXE_FORMAT, "SizeOfStackReserve " + hex(program.stack_reserve) + " is over 256 MiB");
    }
    uint32_t directories = file.u32(optional + 92);
    auto directory = [&](uint32_t n, uint32_t& rva, uint32_t& size) {
        rva = n < directories ? file.u32(optional + 96 + 8 * n) : 0;
        size = n < directories ? file.u32(optional + 100 + 8 * n) : 0;
    };
    if (program.headers_size == 0 || program.headers_size > program.image_size || program.headers_size > bytes.size()) {
        return refuse(LOADER_BAD_EXE_FORMAT, "the headers lie outside the image");
    }
    uint32_t table = optional + optional_size;
    for (uint32_t i = 0; i < section_count; ++i) {
        uint32_t at = table + 40 * i;
        if (!file.in(at, 40)) {
            return refuse(LOADER_BAD_EXE_FORMAT, "the section table lies outside the file");
        }
        Section s;
        for (int c = 0; c < 8 && bytes[at + c] != 0; ++c) {
            s.name += static_cast<char>(bytes[at + c]);
        }
        uint32_t virtual_size = file.u32(at + 8);
        s.rva = file.u32(at + 12);
        uint32_t raw_size = file.u32(at + 16);
        s.raw_offset = file.u32(at + 20);
        uint32_t flags = file.u32(at + 36);
        s.read = flags & SCN_READ;
        s.write = flags & SCN_WRITE;
        s.execute = flags & SCN_EXECUTE;
        Refusal outside = section_outside(s, virtual_size, raw_size, program, bytes.size());
        if (outside.error != 0) {
            return outside;
        }
        s.raw_size = std::min(raw_size, virtual_size != 0 ? virtual_size : raw_size);
        s.size = static_cast<uint32_t>(round_up(std::max(virtual_size, s.raw_size)));
        for (const Section& other : program.sections) {
            if (s.rva < other.rva + other.size && other.rva < s.rva + s.size) {
                return refuse(LOADER_BAD_EXE_FORMAT, "sections " + other.name + " and " + s.name + " overlap");
            }
        }
        program.sections.push_back(s);
    }
    uint32_t rva = 0, size = 0;
    directory(1, rva, size);
    Refusal imports = read_imports(file, program, rva, size);
    if (imports.error != 0) {
        return imports;
    }
    directory(2, program.resources_rva, program.resources_size);
    directory(5, program.relocations_rva, program.relocations_size);
    bool stripped = file.u16(pe + 22) & 1;  // IMAGE_FILE_RELOCS_STRIPPED
    if (stripped) {
        program.relocations_size = 0;
    }
    read_symbols(file, program, file.u32(pe + 12), file.u32(pe + 16));
    return Refusal();
}

Refusal choose_base(const Program& program, uint32_t& base)
{
    if (program.relocations_size != 0) {
        base = RELOCATED_BASE;
        return Refusal();
    }
    base = program.preferred_base;
    if (base < RELOCATED_BASE || base > HIGHEST_FIXED_BASE || base % 0x10000 != 0) {
        return refuse(LOADER_BAD_EXE_FORMAT, "without relocations the image base " + hex(base) +
                                                " must lie in [0x10000, 0x400000]");
    }
    return Refusal();
}

Refusal map_image(const std::vector<uint8_t>& bytes, const Program& program, uint32_t base, uint8_t* image)
{
    std::memcpy(image, bytes.data(), program.headers_size);
    for (const Section& s : program.sections) {
        if (s.raw_size != 0) {  // without raw data its offset may be anything
            std::memcpy(image + s.rva, bytes.data() + s.raw_offset, s.raw_size);
        }
    }
    uint32_t delta = base - program.preferred_base;
    uint64_t end = static_cast<uint64_t>(program.relocations_rva) + program.relocations_size;
    if (program.relocations_size == 0) {
        return Refusal();
    }
    if (end > program.image_size) {
        return refuse(LOADER_BAD_EXE_FORMAT, "the relocations lie outside the image");
    }
    for (uint64_t block = program.relocations_rva; block + 8 <= end;) {
        uint32_t page, block_size;
        std::memcpy(&page, image + block, 4);
        std::memcpy(&block_size, image + block + 4, 4);
        if (block_size < 8 || block + block_size > end) {
            return refuse(LOADER_BAD_EXE_FORMAT, "a block of relocations runs past their directory");
        }
        for (uint64_t at = block + 8; at + 2 <= block + block_size; at += 2) {
            uint16_t entry;
            std::memcpy(&entry, image + at, 2);
            uint32_t type = entry >> 12;
            uint64_t target = static_cast<uint64_t>(page) + (entry & 0xfff);
            if (type == 0) {
                continue;  // padding
            }
            if (type != 3 || target + 4 > program.image_size) {
                return refuse(LOADER_BAD_EXE_FORMAT, "a relocation of type " + std::to_string(type) + " at " +
                                                        hex(target) + " that CE's loader does not apply");
            }
            uint32_t value;
            std::memcpy(&value, image + target, 4);
            value += delta;
            std::memcpy(image + target, &value, 4);
        }
        block += block_size;
    }
    return Refusal();
}

namespace {

// One directory of the resource tree and its entries, each an id or a
// name, and a subdirectory or data.
struct ResourceTree {
    const uint8_t* image;
    uint32_t rva, size;
    bool in(uint64_t at, uint64_t n) const { return at <= size && n <= size - at; }
    uint32_t u16(uint64_t at) const { return in(at, 2) ? image[rva + at] | image[rva + at + 1] << 8 : 0; }
    uint32_t u32(uint64_t at) const { return in(at, 4) ? u16(at) | u16(at + 2) << 16 : 0; }
    std::vector<std::pair<uint32_t, uint32_t>> entries(uint32_t directory) const
    {
        std::vector<std::pair<uint32_t, uint32_t>> found;
        uint32_t count = u16(directory + 12) + u16(directory + 14);
        for (uint32_t i = 0; i < count && in(directory + 16 + 8 * i, 8); ++i) {
            found.emplace_back(u32(directory + 16 + 8 * i), u32(directory + 20 + 8 * i));
        }
        return found;
    }
    std::u16string name(uint32_t at) const
    {
        std::u16string text;
        for (uint32_t i = 0, length = u16(at); i < length && in(at + 2 + 2 * i, 2); ++i) {
            text += static_cast<char16_t>(u16(at + 2 + 2 * i));
        }
        return text;
    }
};

const uint32_t HIGH_BIT = 0x80000000;

}  // namespace

std::vector<Resource> read_resources(const Program& program, const uint8_t* image)
{
    std::vector<Resource> found;
    if (program.resources_size == 0 || static_cast<uint64_t>(program.resources_rva) + program.resources_size >
                                           program.image_size) {
        return found;
    }
    ResourceTree tree{image, program.resources_rva, program.resources_size};
    // Types by name, names by id, the first language of each: what the
    // emulation's resource lookup knows.
    for (auto type : tree.entries(0)) {
        if (!(type.first & HIGH_BIT) || !(type.second & HIGH_BIT)) {
            continue;
        }
        for (auto name : tree.entries(type.second & ~HIGH_BIT)) {
            if ((name.first & HIGH_BIT) || !(name.second & HIGH_BIT)) {
                continue;
            }
            auto languages = tree.entries(name.second & ~HIGH_BIT);
            if (languages.empty() || (languages[0].second & HIGH_BIT)) {
                continue;
            }
            uint32_t leaf = languages[0].second;
            uint32_t data = tree.u32(leaf), size = tree.u32(leaf + 4);
            if (tree.in(leaf, 16) && static_cast<uint64_t>(data) + size <= program.image_size) {
                found.push_back({static_cast<uint16_t>(name.first), tree.name(type.first & ~HIGH_BIT), data, size});
            }
        }
    }
    return found;
}

std::string nearest_symbol(const Program& program, uint32_t base, uint32_t address)
{
    const Symbol* best = nullptr;
    for (const Symbol& s : program.symbols) {
        if (static_cast<uint64_t>(base) + s.rva <= address) {
            best = &s;
        }
    }
    if (best == nullptr || address - base >= program.image_size) {
        return "";
    }
    return best->name + "+" + hex(address - base - best->rva);
}

}  // namespace ce_run
