// libFuzzer target for ce-image's reader of a BIN image: any file is refused
// with a reason, or read into entries that its table of contents counts,
// with names the listing shows on one line each; coredll.dll's exports are
// read, or refused with a reason. A crash, a hang, a leak or a sanitizer's
// report is a finding.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "rom_image.h"

namespace {

void check(bool holds)
{
    if (!holds) {
        std::abort();
    }
}

std::string lower(std::string name)
{
    for (char& c : name) {
        c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return name;
}

uint32_t u32(const uint8_t* p)
{
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// The records' checksums made right: a mutation stops at the first record
// it changes otherwise, before the table of contents is read.
void fix_checksums(std::vector<uint8_t>& file)
{
    for (size_t at = 15; at <= file.size() && file.size() - at >= 12;) {
        uint32_t address = u32(&file[at]), length = u32(&file[at + 4]);
        if ((address == 0 && u32(&file[at + 8]) == 0) || length > file.size() - at - 12) {
            return;
        }
        uint32_t sum = 0;
        for (size_t i = at + 12; i < at + 12 + length; ++i) {
            sum += file[i];
        }
        for (int i = 0; i < 4; ++i) {
            file[at + 8 + i] = static_cast<uint8_t>(sum >> (8 * i));
        }
        at += 12 + static_cast<size_t>(length);
    }
}

void read(const std::vector<uint8_t>& file)
{
    using namespace ce_image;
    Image image;
    std::string fault;
    if (!read_image(file.data(), file.size(), image, fault)) {
        check(!fault.empty());
        return;
    }
    check(image.modules.size() == image.nummods && image.files.size() == image.numfiles);
    for (size_t i = 0; i < image.records.size(); ++i) {
        const Record& r = image.records[i];
        check(r.data <= file.size() && r.length <= file.size() - r.data);
        check(i == 0 || static_cast<uint64_t>(image.records[i - 1].address) + image.records[i - 1].length <= r.address);
    }
    check(image.physfirst <= image.toc && static_cast<uint64_t>(image.toc) + 84 <= image.physlast);

    // One line of printable ASCII for each header field and each entry: a
    // name's bytes never break a line.
    std::string lines = describe(image);
    size_t count = 0;
    for (char c : lines) {
        count += c == '\n';
        check(c == '\n' || (c >= ' ' && c < 0x7f));
    }
    check(!lines.empty() && lines.back() == '\n' && count == 9 + image.modules.size() + image.files.size());

    Exports exports;
    if (!read_exports(image, COREDLL, exports, fault)) {
        check(!fault.empty());
        return;
    }
    check(fault.empty());
    switch (exports.status) {
    case Exports::NO_MODULE:
        for (const Entry& e : image.modules) {
            check(lower(e.name) != COREDLL);
        }
        check(exports.by_name.empty() && exports.addresses.empty());
        break;
    case Exports::COMPRESSED:
        check(!exports.why.empty());
        break;
    case Exports::READ: {
        // A name binds to an entry of the address table; an empty name asks
        // for an ordinal.
        std::vector<uint32_t> addresses = exports.addresses;
        std::sort(addresses.begin(), addresses.end());
        for (const auto& e : exports.by_name) {
            check(std::binary_search(addresses.begin(), addresses.end(), e.second));
            check(e.first.empty() || exported(exports, e.first, 0) == (e.second != 0));
        }
        for (size_t i = 0; i < exports.addresses.size() && i < 4096; ++i) {
            uint32_t ordinal = static_cast<uint32_t>(exports.ordinal_base + i);
            check(exported(exports, "", ordinal) == (exports.addresses[i] != 0) ||
                  static_cast<uint64_t>(exports.ordinal_base) + i > 0xFFFFFFFF);
        }
        break;
    }
    }
    // The ordinal below the base binds nothing, the top one only when the
    // table reaches it.
    check(!exported(exports, "", exports.ordinal_base - 1) || exports.ordinal_base == 0);
    uint64_t top = 0xFFFFFFFFu - exports.ordinal_base;
    check(exported(exports, "", 0xFFFFFFFF) == (top < exports.addresses.size() && exports.addresses[top] != 0));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Each in a buffer of its own size, for ASan to see a read past its end.
    std::vector<uint8_t> file(data, data + size);
    read(file);
    fix_checksums(file);
    read(file);
    return 0;
}
