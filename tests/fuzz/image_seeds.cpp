// image_seeds FOLDER: writes the seeds of the image fuzz target. Well-formed
// images as the platform build lays them out, and copies of the plain one
// with one 32-bit field of its ROMHDR, a module entry, an e32 or o32 entry
// or coredll.dll's export directory set near 4 GiB, where sums and products
// of 32-bit fields wrap: random mutation seldom finds those. The patched
// record's checksum is made right again, or the reader would stop there.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "rom_image_builder.h"

namespace {

using rom_builder::Layout;

uint32_t get32(const std::string& bytes, size_t at)
{
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
        value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
    }
    return value;
}

void set32(std::string& bytes, size_t at, uint32_t value)
{
    for (int i = 0; i < 4; ++i) {
        bytes[at + i] = static_cast<char>(value >> (8 * i) & 0xFF);
    }
}

// An image of the builder's: records found by the address they are written at.
struct Bytes {
    std::string image;

    // The file offset of the record's header that holds `address`.
    size_t record_of(uint32_t address) const
    {
        for (size_t at = 15; at + 12 <= image.size();) {
            uint32_t start = get32(image, at), length = get32(image, at + 4);
            if (start == 0 && get32(image, at + 8) == 0) {
                break;
            }
            if (address >= start && address - start < length) {
                return at;
            }
            at += 12 + length;
        }
        std::fprintf(stderr, "image_seeds: no record holds 0x%08x\n", static_cast<unsigned>(address));
        std::exit(1);
    }

    uint32_t read(uint32_t address) const
    {
        size_t r = record_of(address);
        return get32(image, r + 12 + (address - get32(image, r)));
    }

    // The 32-bit field at `address` set, its record's checksum with it.
    std::string patched(uint32_t address, uint32_t value) const
    {
        std::string copy = image;
        size_t r = record_of(address);
        set32(copy, r + 12 + (address - get32(copy, r)), value);
        uint32_t sum = 0;
        for (size_t i = r + 12, end = r + 12 + get32(copy, r + 4); i < end; ++i) {
            sum += static_cast<unsigned char>(copy[i]);
        }
        set32(copy, r + 8, sum);
        return copy;
    }
};

void write(const std::string& folder, const std::string& name, const std::string& bytes)
{
    std::string path = folder + "/" + name;
    FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), out) != bytes.size() || std::fclose(out) != 0) {
        std::perror(path.c_str());
        std::exit(1);
    }
}

Layout plain()
{
    Layout layout;
    layout.modules.push_back({"nk.exe", 0x2000, {}, false});
    layout.modules.push_back(rom_builder::coredll({"CreateFileW", "ReadFile", "WriteFile", "CloseHandle", "KernelIoControl"}));
    layout.modules.back().exports.push_back({"Unbound", 0});
    layout.modules.push_back({"fwupgrade.exe", 0x3000, {}, false});
    layout.files.push_back({"reboot.exe", std::string(64, 'r')});
    layout.files.push_back({"boot.cfg", "ram=64\n"});
    return layout;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: image_seeds FOLDER\n");
        return 2;
    }
    const std::string folder = argv[1];
    const Layout base = plain();
    Bytes image{rom_builder::make_image(base)};
    write(folder, "plain.bin", image.image);

    Layout offset = base;
    offset.rom_offset = 0x10000000;
    write(folder, "rom-offset.bin", rom_builder::make_image(offset));
    Layout sorted = base;
    sorted.by_address = true;
    write(folder, "by-address.bin", rom_builder::make_image(sorted));
    // The builder's own damage, each a refusal or a status of its own.
    struct {
        const char* name;
        void (*damage)(Layout&);
    } damaged[] = {
        {"nummods-more.bin", [](Layout& l) { l.nummods = 4; }},
        {"name-without-zero.bin", [](Layout& l) { l.name_without_zero = true; }},
        {"names-outside-section.bin", [](Layout& l) { l.names_outside_section = true; }},
        {"overlapping-record.bin", [](Layout& l) { l.overlapping_record = true; }},
        {"exports-compressed.bin", [](Layout& l) { l.modules[1].exports_compressed = true; }},
    };
    for (const auto& d : damaged) {
        Layout layout = base;
        d.damage(layout);
        write(folder, d.name, rom_builder::make_image(layout));
    }

    // The plain image's structures, found as the reader finds them.
    const uint32_t toc = image.read(base.start + 0x44);
    const uint32_t modules = toc + 84, files = modules + 32 * static_cast<uint32_t>(base.modules.size());
    const uint32_t coredll = modules + 32;
    const uint32_t e32 = image.read(coredll + 20), o32 = image.read(coredll + 24);
    const uint32_t directory = image.read(o32 + 12);
    struct Field {
        std::string name;
        uint32_t address;
    };
    const std::vector<Field> fields = {
        {"signature-toc", base.start + 0x44},
        {"toc-offset", base.start + 0x48},
        {"romhdr-physfirst", toc + 8},
        {"romhdr-physlast", toc + 12},
        {"romhdr-nummods", toc + 16},
        {"romhdr-numfiles", toc + 48},
        {"module-size", coredll + 12},
        {"module-name", coredll + 16},
        {"module-e32", coredll + 20},
        {"module-o32", coredll + 24},
        {"file-name", files + 20},
        {"e32-objcnt", e32},  // with e32_imageflags above it
        {"e32-export-rva", e32 + 36},
        {"e32-export-size", e32 + 40},
        {"o32-vsize", o32},
        {"o32-rva", o32 + 4},
        {"o32-psize", o32 + 8},
        {"o32-dataptr", o32 + 12},
        {"exports-base", directory + 16},
        {"exports-addresses", directory + 20},
        {"exports-names", directory + 24},
        {"exports-address-table", directory + 28},
        {"exports-name-table", directory + 32},
        {"exports-ordinal-table", directory + 36},
    };
    for (uint32_t value : {0xFFFFFFFFu, 0xFFFFF000u, 0x80000000u}) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, "-%08x.bin", static_cast<unsigned>(value));
        for (const Field& f : fields) {
            write(folder, f.name + suffix, image.patched(f.address, value));
        }
    }
    // A section as large as the address space, and a count of the export
    // directory's that its tables then fit in: stored bytes for a few
    // entries, zeros for the rest.
    const Bytes vast{image.patched(o32, 0xFFFFFFFF)};
    write(folder, "o32-vsize-exports-addresses.bin", vast.patched(directory + 20, 0x3FFFF000));
    write(folder, "o32-vsize-exports-names.bin", vast.patched(directory + 24, 0x3FFFF000));
    return 0;
}
