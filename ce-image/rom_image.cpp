#include "rom_image.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "../emulator/device/hex.h"

namespace ce_image {
namespace {

using ce::hex;

const uint32_t ROM_SIGNATURE = 0x43454345;  // "ECEC"
const uint32_t SIGNATURE_AT = 0x40, TOC_OFFSET_AT = 0x48;
const uint32_t ROMHDR_SIZE = 84, TOC_ENTRY_SIZE = 32, FILES_ENTRY_SIZE = 28;
const uint32_t E32_SIZE = 112, O32_SIZE = 24, EXPORT_DIRECTORY_SIZE = 40;
const uint32_t E32_EXPORTS = 36;  // e32_unit[EXP]: rva, then size
const uint32_t ATTRIBUTE_COMPRESSED = 0x800;
const uint32_t SECTION_COMPRESSED = 0x2000;
const uint64_t ADDRESSES = uint64_t(1) << 32;
// Windows' loaders take no more sections than this; an import names an
// ordinal, and the ordinal table an export, in 16 bits.
const uint32_t MOST_SECTIONS = 96;
const uint32_t MOST_EXPORTS = 65536;
const size_t MOST_NAME = 1024;

uint32_t u16(const uint8_t* p)
{
    return p[0] | p[1] << 8;
}

uint32_t u32(const uint8_t* p)
{
    return u16(p) | static_cast<uint32_t>(u16(p + 2)) << 16;
}

// How much of a range of record addresses the records hold.
enum Held { ALL, NONE, SOME, ACROSS, BEYOND };

// The first record that begins past the address.
std::vector<Record>::const_iterator first_after(const Image& image, uint64_t address)
{
    return std::upper_bound(image.records.begin(), image.records.end(), address,
                            [](uint64_t a, const Record& r) { return a < r.address; });
}

// The record that holds the address, or nullptr: the one before first_after.
const Record* record_before(const Image& image, std::vector<Record>::const_iterator after, uint64_t address)
{
    if (after == image.records.begin()) {
        return nullptr;
    }
    const Record& r = *(after - 1);
    return address < static_cast<uint64_t>(r.address) + r.length ? &r : nullptr;
}

const Record* record_at(const Image& image, uint64_t address)
{
    return record_before(image, first_after(image, address), address);
}

// The `size` bytes at record address `address`, in `at` when one record
// holds them all.
Held hold(const Image& image, uint64_t address, uint64_t size, const uint8_t*& at)
{
    if (address + size > ADDRESSES) {
        return BEYOND;
    }
    auto after = first_after(image, address);
    const Record* r = record_before(image, after, address);
    if (r == nullptr) {
        // Does a record begin inside the range?
        bool begins = after != image.records.end() && after->address < address + size && after->length > 0;
        return begins ? SOME : NONE;
    }
    uint64_t end = static_cast<uint64_t>(r->address) + r->length;
    if (address + size <= end) {
        at = image.bytes + r->data + (address - r->address);
        return ALL;
    }
    // Only records that meet end to end can hold the rest.
    for (uint64_t reached = end;;) {
        const Record* next = record_at(image, reached);
        if (next == nullptr || next->address != reached) {
            return SOME;
        }
        reached += next->length;
        if (reached >= address + size) {
            return ACROSS;
        }
    }
}

// The ROM address `rom` as the records have it.
uint64_t in_records(const Image& image, uint32_t rom)
{
    return (static_cast<uint64_t>(rom) + image.rom_offset) % ADDRESSES;
}

// "lies outside its records" and the like, for a structure that is not held
// whole; "lie" for structures.
std::string where_held(Held held, const std::string& what, bool plural = false)
{
    const char* lie = plural ? " lie" : " lies";
    switch (held) {
    case BEYOND:
        return what + " would pass the last 32-bit address";
    case NONE:
        return what + lie + " outside the image's records";
    case SOME:
        return what + lie + " partly outside the image's records";
    default:
        return what + lie + " across two records: each structure of an image is one record";
    }
}

// The records of the file, checked: whole, their sums right, none over another.
bool read_records(Image& image, std::string& fault)
{
    const uint8_t* bytes = image.bytes;
    size_t size = image.size;
    if (size < 7 || std::memcmp(bytes, "B000FF\n", 7) != 0) {
        fault = "not a Windows CE BIN image: it does not begin with \"B000FF\" and a line feed";
        return false;
    }
    if (size < 15) {
        fault = "not a Windows CE BIN image: it ends inside its header (" + std::to_string(size) + " bytes)";
        return false;
    }
    image.start = u32(bytes + 7);
    image.length = u32(bytes + 11);
    size_t at = 15;
    for (;;) {
        if (size - at < 12) {
            fault = "the record at file offset " + std::to_string(at) + " is cut off: the file ends " +
                    std::to_string(size - at) + " bytes after it begins, before its 12-byte header ends";
            return false;
        }
        Record r{u32(bytes + at), u32(bytes + at + 4), at + 12};
        uint32_t sum = u32(bytes + at + 8);
        if (r.address == 0 && sum == 0) {
            image.entry = r.length;
            at += 12;
            break;
        }
        if (r.length > size - r.data) {
            fault = "the record at file offset " + std::to_string(at) + " (address " + hex(r.address, 8) + ") is cut off: it has " +
                    std::to_string(r.length) + " bytes, the file " + std::to_string(size - r.data) + " after its header";
            return false;
        }
        if (static_cast<uint64_t>(r.address) + r.length > ADDRESSES) {
            fault = "the record at file offset " + std::to_string(at) + " (address " + hex(r.address, 8) + ", " +
                    std::to_string(r.length) + " bytes) passes the last 32-bit address";
            return false;
        }
        uint32_t added = 0;
        for (const uint8_t *p = bytes + r.data, *end = p + r.length; p != end; ++p) {
            added += *p;
        }
        if (added != sum) {
            fault = "the record at file offset " + std::to_string(at) + " (address " + hex(r.address, 8) + ") has the checksum " +
                    hex(sum, 8) + ", and its bytes add up to " + hex(added, 8);
            return false;
        }
        image.records.push_back(r);
        at = r.data + r.length;
    }
    if (at != size) {
        fault = "the file goes on for " + std::to_string(size - at) + " bytes after its end record (file offset " +
                std::to_string(at - 12) + ")";
        return false;
    }
    // The platform build writes its records in its own order.
    std::stable_sort(image.records.begin(), image.records.end(),
                     [](const Record& a, const Record& b) { return a.address < b.address; });
    for (size_t i = 1; i < image.records.size(); ++i) {
        const Record& a = image.records[i - 1];
        const Record& b = image.records[i];
        if (static_cast<uint64_t>(a.address) + a.length > b.address) {
            fault = "the records at " + hex(a.address, 8) + " (" + std::to_string(a.length) + " bytes, file offset " +
                    std::to_string(a.data - 12) + ") and at " + hex(b.address, 8) + " (file offset " +
                    std::to_string(b.data - 12) + ") overlap";
            return false;
        }
    }
    return true;
}

// Where the ROMHDR lies among the records. An image from CE 5.0 on tells it
// at image start + 0x48 (the ROMHDR's offset from the region's start); that
// gives the ROM offset when the ROMHDR found there agrees with the image's
// start. An image without it has none.
void find_rom_offset(Image& image)
{
    image.rom_offset = 0;
    const uint8_t* at = nullptr;
    if (hold(image, static_cast<uint64_t>(image.start) + TOC_OFFSET_AT, 4, at) != ALL) {
        return;
    }
    uint64_t romhdr = static_cast<uint64_t>(image.start) + u32(at);
    const uint8_t* header = nullptr;
    if (hold(image, romhdr, ROMHDR_SIZE, header) != ALL) {
        return;
    }
    uint32_t offset = static_cast<uint32_t>(romhdr - image.toc);
    if (static_cast<uint32_t>(u32(header + 8) + offset) == image.start) {
        image.rom_offset = offset;
    }
}

bool read_table_of_contents(Image& image, std::string& fault)
{
    const uint8_t* at = nullptr;
    uint64_t signature_at = static_cast<uint64_t>(image.start) + SIGNATURE_AT;
    switch (hold(image, signature_at, 8, at)) {
    case ALL:
        break;
    case BEYOND:
        fault = "has no ROM signature: image start " + hex(image.start, 8) + " + 0x40 passes the last 32-bit address";
        return false;
    default:
        fault = "has no ROM signature: no record holds all of image start + 0x40 to + 0x47 (" + hex(signature_at, 8) +
                " to " + hex(signature_at + 7, 8) + ")";
        return false;
    }
    if (u32(at) != ROM_SIGNATURE) {
        fault = "has no ROM signature at image start + 0x40 (" + hex(signature_at, 8) + "): it holds " + hex(u32(at), 8) +
                ", not 0x43454345";
        return false;
    }
    image.toc = u32(at + 4);
    find_rom_offset(image);
    const std::string toc_at = "its table of contents (ROMHDR) at " + hex(image.toc, 8);
    const uint8_t* h = nullptr;
    switch (hold(image, in_records(image, image.toc), ROMHDR_SIZE, h)) {
    case ALL:
        break;
    case BEYOND:
        fault = "has " + toc_at + ", where its 84 bytes would pass the last 32-bit address";
        return false;
    case NONE:
        fault = "has " + toc_at + ", outside its records";
        return false;
    case SOME:
        fault = "has " + toc_at + " partly outside its records: no record holds all of its 84 bytes";
        return false;
    default:
        fault = "has " + toc_at + " across two records: no record holds all of its 84 bytes";
        return false;
    }
    image.physfirst = u32(h + 8);
    image.physlast = u32(h + 12);
    image.nummods = u32(h + 16);
    image.ramstart = u32(h + 20);
    image.ramend = u32(h + 28);
    image.numfiles = u32(h + 48);
    image.kernelflags = u32(h + 52);
    image.cpu = static_cast<uint16_t>(u16(h + 68));
    const std::string field_of = " in its table of contents (ROMHDR at " + hex(image.toc, 8) + ")";
    if (image.physfirst > image.physlast) {
        fault = "has physfirst " + hex(image.physfirst, 8) + " above physlast " + hex(image.physlast, 8) + field_of;
        return false;
    }
    // physlast is the end of what the region holds, the ROMHDR included.
    if (image.toc < image.physfirst || static_cast<uint64_t>(image.toc) + ROMHDR_SIZE > image.physlast) {
        fault = "has " + toc_at + ", outside the span it gives the image: physfirst " + hex(image.physfirst, 8) +
                " to physlast " + hex(image.physlast, 8);
        return false;
    }
    return true;
}

// The zero-terminated name at ROM address `rom`, inside one record.
bool read_name(const Image& image, uint32_t rom, const std::string& what, std::string& name, std::string& fault)
{
    const Record* r = record_at(image, in_records(image, rom));
    if (r == nullptr) {
        fault = "the name of " + what + " at " + hex(rom, 8) + " lies outside the image's records";
        return false;
    }
    const uint8_t* begin = image.bytes + r->data + (in_records(image, rom) - r->address);
    const uint8_t* end = image.bytes + r->data + r->length;
    const uint8_t* zero = static_cast<const uint8_t*>(std::memchr(begin, 0, static_cast<size_t>(end - begin)));
    if (zero == nullptr) {
        fault = "the name of " + what + " at " + hex(rom, 8) + " runs to the end of its record without a terminating zero";
        return false;
    }
    if (zero == begin) {
        fault = what + " has an empty name (at " + hex(rom, 8) + ")";
        return false;
    }
    name.assign(reinterpret_cast<const char*>(begin), static_cast<size_t>(zero - begin));
    return true;
}

bool read_entries(Image& image, std::string& fault)
{
    const uint64_t modules_at = static_cast<uint64_t>(image.toc) + ROMHDR_SIZE;
    const uint64_t modules_size = static_cast<uint64_t>(image.nummods) * TOC_ENTRY_SIZE;
    const uint64_t files_at = modules_at + modules_size;
    const uint64_t files_size = static_cast<uint64_t>(image.numfiles) * FILES_ENTRY_SIZE;
    const struct {
        const char* kind;
        uint32_t count;
        uint64_t at, size;
        uint32_t entry_size;
        std::vector<Entry>& entries;
    } tables[] = {
        {"module", image.nummods, modules_at, modules_size, TOC_ENTRY_SIZE, image.modules},
        {"file", image.numfiles, files_at, files_size, FILES_ENTRY_SIZE, image.files},
    };
    for (const auto& table : tables) {
        if (table.count == 0) {
            continue;
        }
        const uint8_t* at = nullptr;
        Held held = table.at + table.size > ADDRESSES
                        ? BEYOND
                        : hold(image, in_records(image, static_cast<uint32_t>(table.at)), table.size, at);
        if (held != ALL) {
            fault = where_held(held, "the " + std::to_string(table.count) + " " + table.kind + " entries that the ROMHDR at " +
                                         hex(image.toc, 8) + " counts (" + std::to_string(table.size) + " bytes from " +
                                         hex(table.at, 8) + ")",
                               table.count != 1);
            return false;
        }
        table.entries.reserve(table.count);
        for (uint32_t i = 0; i < table.count; ++i, at += table.entry_size) {
            Entry e;
            e.compressed = (u32(at) & ATTRIBUTE_COMPRESSED) != 0;
            e.size = u32(at + 12);
            bool module = table.entry_size == TOC_ENTRY_SIZE;
            uint32_t name_at = u32(at + (module ? 16 : 20));
            if (module) {
                e.e32 = u32(at + 20);
                e.o32 = u32(at + 24);
            }
            std::string what = std::string(table.kind) + " " + std::to_string(i + 1) + " of " + std::to_string(table.count);
            if (!read_name(image, name_at, what, e.name, fault)) {
                return false;
            }
            table.entries.push_back(std::move(e));
        }
    }
    return true;
}

const char* processor_name(uint16_t cpu)
{
    switch (cpu) {
    case 0x014c:
        return "x86";
    case 0x01c0:
    case 0x01c2:
    case 0x01c4:
        return "ARM";
    case 0x0166:
    case 0x0169:
    case 0x0266:
    case 0x0366:
    case 0x0466:
        return "MIPS";
    case 0x01a2:
    case 0x01a3:
    case 0x01a4:
        return "SH3";
    case 0x01a6:
        return "SH4";
    case 0x8664:
        return "x64";
    case 0xaa64:
        return "ARM64";
    default:
        return "unknown";
    }
}

// A module's sections as its o32_rom entries give them.
struct Section {
    uint32_t vsize, rva, psize, dataptr, flags;
};

// Bytes of a module by RVA, as the kernel pages its sections in: stored
// bytes up to psize, zeros after them.
struct ModuleBytes {
    const Image& image;
    const std::string& module;
    std::vector<Section> sections;
    bool compressed = false;
    std::string why;

    // The section that holds [rva, rva + size) whole; nullptr with `fault`
    // set when none does, or with `compressed` set when it is stored so.
    const Section* section(uint64_t rva, uint64_t size, const std::string& what, std::string& fault)
    {
        for (size_t i = 0; i < sections.size(); ++i) {
            const Section& s = sections[i];
            if (rva < s.rva || rva >= static_cast<uint64_t>(s.rva) + s.vsize) {
                continue;
            }
            if (rva + size > static_cast<uint64_t>(s.rva) + s.vsize) {
                fault = "the " + what + " of " + module + " (RVA " + hex(rva, 8) + ", " + std::to_string(size) +
                        " bytes) runs past the end of its section " + std::to_string(i + 1);
                return nullptr;
            }
            if (s.flags & SECTION_COMPRESSED) {
                compressed = true;
                why = "the " + what + " of " + module + " lies in its section " + std::to_string(i + 1) + " of " +
                      std::to_string(sections.size()) + ", which the image stores compressed";
                return nullptr;
            }
            return &s;
        }
        fault = "the " + what + " of " + module + " (RVA " + hex(rva, 8) + ") lies in none of its sections";
        return nullptr;
    }

    // The stored part of [rva, rva + size) of section s, in `at`: `stored`
    // bytes of it, the rest zeros.
    bool stored(const Section& s, uint64_t rva, uint64_t size, const std::string& what, const uint8_t*& at,
                uint64_t& count, std::string& fault)
    {
        uint64_t offset = rva - s.rva;
        count = offset >= s.psize ? 0 : std::min<uint64_t>(size, s.psize - offset);
        at = nullptr;
        if (count == 0) {
            return true;
        }
        uint64_t rom = static_cast<uint64_t>(s.dataptr) + offset;
        Held held = rom + count > ADDRESSES ? BEYOND : hold(image, in_records(image, static_cast<uint32_t>(rom)), count, at);
        if (held != ALL) {
            fault = where_held(held, "the " + what + " of " + module + " (stored at " + hex(rom, 8) + ")");
            return false;
        }
        return true;
    }

    // The bytes of [rva, rva + size), zeros where the section stores none.
    bool read(uint64_t rva, uint64_t size, const std::string& what, std::string& out, std::string& fault)
    {
        const Section* s = section(rva, size, what, fault);
        const uint8_t* at = nullptr;
        uint64_t count = 0;
        if (s == nullptr || !stored(*s, rva, size, what, at, count, fault)) {
            return false;
        }
        out.assign(static_cast<size_t>(size), '\0');
        if (count != 0) {
            std::memcpy(&out[0], at, static_cast<size_t>(count));
        }
        return true;
    }

    // A zero-terminated text at rva, inside its section.
    bool text(uint64_t rva, const std::string& what, std::string& out, std::string& fault)
    {
        const Section* s = section(rva, 1, what, fault);
        if (s == nullptr) {
            return false;
        }
        const uint8_t* at = nullptr;
        uint64_t count = 0;
        uint64_t rest = static_cast<uint64_t>(s->rva) + s->vsize - rva;
        if (!stored(*s, rva, rest, what, at, count, fault)) {
            return false;
        }
        // Only so far: a table whose every name is the same long run of bytes
        // would take time without end.
        size_t looked = static_cast<size_t>(std::min<uint64_t>(count, MOST_NAME + 1));
        const void* zero = looked == 0 ? nullptr : std::memchr(at, 0, looked);
        if (zero == nullptr && looked > MOST_NAME) {
            fault = "the " + what + " of " + module + " at RVA " + hex(rva, 8) + " is longer than " +
                    std::to_string(MOST_NAME) + " bytes";
            return false;
        }
        if (zero == nullptr && count == rest) {
            fault = "the " + what + " of " + module + " at RVA " + hex(rva, 8) + " runs to the end of its section";
            return false;
        }
        // Past the stored bytes the section reads as zeros: the text ends there.
        size_t length = zero ? static_cast<size_t>(static_cast<const uint8_t*>(zero) - at) : static_cast<size_t>(count);
        out.assign(reinterpret_cast<const char*>(at), length);
        return true;
    }
};

bool same_name(const std::string& a, const std::string& b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
        char y = b[i] >= 'A' && b[i] <= 'Z' ? static_cast<char>(b[i] - 'A' + 'a') : b[i];
        if (x != y) {
            return false;
        }
    }
    return true;
}

uint32_t u32_of(const std::string& bytes, size_t at)
{
    return u32(reinterpret_cast<const uint8_t*>(bytes.data()) + at);
}

}  // namespace

bool read_image(const uint8_t* bytes, size_t size, Image& image, std::string& fault)
{
    image = Image();
    image.bytes = bytes;
    image.size = size;
    return read_records(image, fault) && read_table_of_contents(image, fault) && read_entries(image, fault);
}

bool read_exports(const Image& image, const std::string& module, Exports& exports, std::string& fault)
{
    exports = Exports();
    const Entry* entry = nullptr;
    for (const Entry& e : image.modules) {
        if (same_name(e.name, module)) {
            entry = &e;
            break;
        }
    }
    if (entry == nullptr) {
        exports.status = Exports::NO_MODULE;
        return true;
    }
    const std::string& name = entry->name;
    const uint8_t* e32 = nullptr;
    Held held = hold(image, in_records(image, entry->e32), E32_SIZE, e32);
    if (held != ALL) {
        fault = where_held(held, "the e32_rom of " + name + " at " + hex(entry->e32, 8));
        return false;
    }
    uint32_t count = u16(e32);
    if (count > MOST_SECTIONS) {
        fault = "the e32_rom of " + name + " at " + hex(entry->e32, 8) + " counts " + std::to_string(count) +
                " sections; a module has at most " + std::to_string(MOST_SECTIONS);
        return false;
    }
    const uint8_t* o32 = nullptr;
    held = count == 0 ? ALL : hold(image, in_records(image, entry->o32), static_cast<uint64_t>(count) * O32_SIZE, o32);
    if (held != ALL) {
        fault = where_held(held, "the " + std::to_string(count) + " o32_rom entries of " + name + " at " + hex(entry->o32, 8),
                           count != 1);
        return false;
    }
    ModuleBytes rom{image, name, {}, false, ""};
    for (uint32_t i = 0; i < count; ++i, o32 += O32_SIZE) {
        rom.sections.push_back(Section{u32(o32), u32(o32 + 4), u32(o32 + 8), u32(o32 + 12), u32(o32 + 20)});
    }
    exports.status = Exports::READ;
    uint32_t directory_rva = u32(e32 + E32_EXPORTS), directory_size = u32(e32 + E32_EXPORTS + 4);
    if (directory_rva == 0 || directory_size == 0) {
        return true;  // it exports nothing
    }
    // A read that stops at a compressed section is no fault: the check says so.
    auto stopped = [&](bool read) {
        if (!read && rom.compressed) {
            exports.status = Exports::COMPRESSED;
            exports.why = rom.why;
            fault.clear();
            return true;
        }
        return false;
    };
    std::string directory, names, ordinals, addresses;
    if (!rom.read(directory_rva, EXPORT_DIRECTORY_SIZE, "export table", directory, fault)) {
        return stopped(false);
    }
    exports.ordinal_base = u32_of(directory, 16);
    uint32_t address_count = u32_of(directory, 20), name_count = u32_of(directory, 24);
    if (address_count > MOST_EXPORTS || name_count > MOST_EXPORTS) {
        fault = "the export table of " + name + " counts " + std::to_string(address_count) + " addresses and " +
                std::to_string(name_count) + " names; an export table has at most " + std::to_string(MOST_EXPORTS);
        return false;
    }
    if (!rom.read(u32_of(directory, 28), static_cast<uint64_t>(address_count) * 4, "export address table", addresses,
                  fault) ||
        !rom.read(u32_of(directory, 32), static_cast<uint64_t>(name_count) * 4, "export name table", names, fault) ||
        !rom.read(u32_of(directory, 36), static_cast<uint64_t>(name_count) * 2, "export ordinal table", ordinals, fault)) {
        return stopped(false);
    }
    exports.addresses.resize(address_count);
    for (uint32_t i = 0; i < address_count; ++i) {
        exports.addresses[i] = u32_of(addresses, 4 * size_t(i));
    }
    std::string text;
    for (uint32_t i = 0; i < name_count; ++i) {
        if (!rom.text(u32_of(names, 4 * size_t(i)), "export name " + std::to_string(i + 1), text, fault)) {
            return stopped(false);
        }
        uint32_t index = u16(reinterpret_cast<const uint8_t*>(ordinals.data()) + 2 * size_t(i));
        if (index >= address_count) {
            fault = "the export " + shown_name(text) + " of " + name + " has the address table index " +
                    std::to_string(index) + ", and the table has " + std::to_string(address_count) + " entries";
            return false;
        }
        // The loader takes the first entry of a name.
        exports.by_name.emplace(text, exports.addresses[index]);
    }
    return true;
}

const char* const COREDLL = "coredll.dll";

bool is_coredll(const std::string& dll)
{
    return same_name(dll, COREDLL) || same_name(dll, "coredll");
}

bool read_file(const std::string& path, std::vector<uint8_t>& bytes, std::string& fault)
{
    // Not blocking: a FIFO is refused, not waited on.
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat info;
    bool opened = fd >= 0 && fstat(fd, &info) == 0;
    if (!opened || !S_ISREG(info.st_mode) || info.st_size > 0x7fffffff) {
        fault = !opened ? std::strerror(errno)
                : !S_ISREG(info.st_mode) ? "not a regular file (a folder, a device, a FIFO or a socket)"
                                         : std::to_string(info.st_size) + " bytes; an image can have at most 2147483647";
        if (fd >= 0) {
            close(fd);
        }
        return false;
    }
    bytes.assign(static_cast<size_t>(info.st_size), 0);
    size_t got = 0;
    while (got < bytes.size()) {
        ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            fault = std::strerror(errno);
            close(fd);
            return false;
        }
        if (n == 0) {
            break;
        }
        got += static_cast<size_t>(n);
    }
    close(fd);
    // A file that shrank while it was read is read as far as it went.
    bytes.resize(got);
    return true;
}

bool exported(const Exports& exports, const std::string& name, uint32_t ordinal)
{
    if (!name.empty()) {
        auto found = exports.by_name.find(name);
        return found != exports.by_name.end() && found->second != 0;
    }
    uint64_t index = static_cast<uint64_t>(ordinal) - exports.ordinal_base;
    return ordinal >= exports.ordinal_base && index < exports.addresses.size() && exports.addresses[index] != 0;
}

std::string shown_name(const std::string& name)
{
    std::string shown;
    for (unsigned char c : name) {
        if (c > ' ' && c < 0x7f && c != '\\') {
            shown += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            shown += escaped;
        }
    }
    return shown;
}

std::string describe(const Image& image)
{
    std::string lines = "processor: " + hex(image.cpu, 4) + " (" + processor_name(image.cpu) + ")\n" +
                        "romhdr: " + hex(image.toc, 8) + "\nphysfirst: " + hex(image.physfirst, 8) +
                        "\nphyslast: " + hex(image.physlast, 8) + "\nnummods: " + std::to_string(image.nummods) +
                        "\nnumfiles: " + std::to_string(image.numfiles) + "\nkernelflags: " + hex(image.kernelflags, 8) +
                        "\nramstart: " + hex(image.ramstart, 8) + "\nramend: " + hex(image.ramend, 8) + "\n";
    for (const Entry& e : image.modules) {
        lines += "module: " + shown_name(e.name) + " " + std::to_string(e.size) + (e.compressed ? " compressed\n" : "\n");
    }
    for (const Entry& e : image.files) {
        lines += "file: " + shown_name(e.name) + " " + std::to_string(e.size) + (e.compressed ? " compressed\n" : "\n");
    }
    return lines;
}

}  // namespace ce_image
