// Windows CE BIN images made to order, laid out as the platform build writes
// one: each structure a record of its own, the ROMHDR after the module and
// file tables, the ROM signature and the ROMHDR's offset last. For the
// tests of ce-image, its fuzz seeds and its benchmark.
#ifndef TESTS_ROM_IMAGE_BUILDER_H
#define TESTS_ROM_IMAGE_BUILDER_H

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace rom_builder {

struct Export {
    std::string name;
    uint32_t address = 0x1000;  // 0: in the table, bound to nothing
};

struct Module {
    std::string name;
    uint32_t size = 4096;
    std::vector<Export> exports;  // in section 1; none: no export table
    bool exports_compressed = false;
    uint32_t padding = 0;  // int3 bytes of section 1 after its code or export table
};

struct File {
    std::string name;
    std::string data;
};

struct Layout {
    uint32_t start = 0x80220000;
    uint32_t rom_offset = 0;
    uint16_t cpu = 0x014c;
    bool by_address = false;  // the records sorted, as older tools wrote them
    std::vector<Module> modules;
    std::vector<File> files;
    // Damage: a count other than the modules', a name's record without its
    // zero, the export name table's RVA moved past its section, a record
    // laid over the one before it.
    int64_t nummods = -1;
    int64_t physlast_after_romhdr = -1;  // physlast this far after the ROMHDR; -1: the end of the tables
    bool name_without_zero = false;
    bool names_outside_section = false;
    bool overlapping_record = false;
};

inline void put(std::string& out, uint32_t value, int bytes = 4)
{
    for (int i = 0; i < bytes; ++i) {
        out += static_cast<char>(value >> (8 * i) & 0xFF);
    }
}

struct Record {
    uint32_t address;  // ROM address
    std::string data;
};

// The export table of a module whose section starts at `rva`.
inline std::string export_section(const Module& m, uint32_t rva, bool names_outside)
{
    uint32_t count = static_cast<uint32_t>(m.exports.size());
    uint32_t addresses = rva + 40, names = addresses + 4 * count, ordinals = names + 4 * count;
    uint32_t strings = ordinals + 2 * count;
    std::string out;
    put(out, 0), put(out, 0), put(out, 0), put(out, 0), put(out, 1), put(out, count), put(out, count);
    put(out, addresses), put(out, names_outside ? rva + 0x100000 : names), put(out, ordinals);
    for (const Export& e : m.exports) {
        put(out, e.address);
    }
    uint32_t at = strings;
    for (const Export& e : m.exports) {
        put(out, at);
        at += static_cast<uint32_t>(e.name.size() + 1);
    }
    for (uint32_t i = 0; i < count; ++i) {
        put(out, i, 2);
    }
    for (const Export& e : m.exports) {
        out += e.name + '\0';
    }
    return out;
}

inline std::string make_image(const Layout& layout)
{
    std::vector<Record> records;
    uint32_t next = layout.start + 0x1000;
    auto place = [&](std::string data) {
        data.resize((data.size() + 3) & ~size_t(3), '\0');
        records.push_back({next, data});
        next += static_cast<uint32_t>(std::max<size_t>(data.size(), 4) + 15) & ~15u;
        return records.back().address;
    };
    std::string tables;
    for (const Module& m : layout.modules) {
        const uint32_t rva = 0x1000;
        std::string section = m.exports.empty() ? std::string(16, '\xc3') : export_section(m, rva, layout.names_outside_section);
        std::string e32;
        put(e32, 1, 2), put(e32, 0x2102, 2), put(e32, rva), put(e32, 0x10000000), put(e32, 6, 2), put(e32, 0, 2);
        put(e32, 0), put(e32, 0x2000), put(e32, 0), put(e32, 0), put(e32, 0);
        put(e32, m.exports.empty() ? 0 : rva), put(e32, m.exports.empty() ? 0 : static_cast<uint32_t>(section.size()));
        e32.resize(108, '\0');
        put(e32, 9, 2), put(e32, 0, 2);
        uint32_t e32_at = place(e32);
        section.append(m.padding, '\xcc');
        uint32_t data_at = place(section);
        std::string o32;
        put(o32, static_cast<uint32_t>(section.size())), put(o32, rva), put(o32, static_cast<uint32_t>(section.size()));
        put(o32, data_at), put(o32, 0x10000000 + rva), put(o32, 0x40000040 | (m.exports_compressed ? 0x2000 : 0));
        uint32_t o32_at = place(o32);
        uint32_t name_at = place(m.name + '\0');
        put(tables, 7), put(tables, 0), put(tables, 0), put(tables, m.size), put(tables, name_at), put(tables, e32_at);
        put(tables, o32_at), put(tables, data_at);
    }
    for (const File& f : layout.files) {
        uint32_t data_at = place(f.data);
        uint32_t name_at = place(f.name + '\0');
        put(tables, 1), put(tables, 0), put(tables, 0), put(tables, static_cast<uint32_t>(f.data.size()));
        put(tables, static_cast<uint32_t>(f.data.size())), put(tables, name_at), put(tables, data_at);
    }
    if (layout.name_without_zero) {
        // The last name's record ends where its zero was.
        for (auto r = records.rbegin(); r != records.rend(); ++r) {
            if (r->data.find('\0') != std::string::npos && r->data.size() < 64) {
                r->data.erase(r->data.find('\0'));
                r->data.resize(r->data.size() & ~size_t(3));
                break;
            }
        }
    }
    const uint32_t toc = next;
    records.push_back({toc + 84, tables});
    uint32_t end = toc + 84 + static_cast<uint32_t>(tables.size());
    uint32_t physlast = layout.physlast_after_romhdr >= 0 ? toc + static_cast<uint32_t>(layout.physlast_after_romhdr) : end;
    std::string romhdr;
    uint32_t nummods = layout.nummods >= 0 ? static_cast<uint32_t>(layout.nummods) : static_cast<uint32_t>(layout.modules.size());
    for (uint32_t field : {0u, 0u, layout.start, physlast, nummods, 0x80400000u, 0x80400000u, 0x82000000u, 0u, 0u, 0u, 0u,
                           static_cast<uint32_t>(layout.files.size()), 0u, 0u, 0u, 0u}) {
        put(romhdr, field);
    }
    put(romhdr, layout.cpu, 2), put(romhdr, 0, 2), put(romhdr, 0), put(romhdr, 0), put(romhdr, 0);
    records.push_back({toc, romhdr});
    records.push_back({layout.start, std::string(64, 'x')});
    std::string signature = "ECEC";
    put(signature, toc);
    records.push_back({layout.start + 0x40, signature});
    std::string offset;
    put(offset, toc - layout.start);
    records.push_back({layout.start + 0x48, offset});
    if (layout.overlapping_record) {
        records.push_back({layout.start + 0x20, std::string(16, 'o')});
    }
    if (layout.by_address) {
        std::stable_sort(records.begin(), records.end(),
                         [](const Record& a, const Record& b) { return a.address < b.address; });
    }
    std::string image = "B000FF\n";
    put(image, layout.start + layout.rom_offset), put(image, end - layout.start);
    for (const Record& r : records) {
        uint32_t sum = 0;
        for (unsigned char c : r.data) {
            sum += c;
        }
        put(image, r.address + layout.rom_offset), put(image, static_cast<uint32_t>(r.data.size())), put(image, sum);
        image += r.data;
    }
    put(image, 0), put(image, layout.start + layout.rom_offset), put(image, 0);
    return image;
}

// A coredll.dll that exports each of the names.
inline Module coredll(const std::vector<std::string>& names, const std::string& name = "coredll.dll")
{
    Module m{name, 0x4000, {}, false};
    for (const std::string& n : names) {
        m.exports.push_back({n, 0x1000});
    }
    return m;
}

}  // namespace rom_builder

#endif
