// image_bench IMAGE EXPECTED NAMES ROUNDS: makes a BIN image of about 21 MB
// with 2,000 modules (coredll.dll among them, with its exports) and files,
// writes it to IMAGE, the lines ce-image must list to EXPECTED and the
// export names, comma-separated, to NAMES; then times read_image,
// read_exports and describe on it, ROUNDS times. It prints figures and fails
// only when the reader reads the image wrongly.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "rom_image.h"
#include "rom_image_builder.h"

namespace {

const size_t TARGET_SIZE = 21133911;  // the size of the device's own image
const int MODULES = 2000, FILES = 120, COREDLL_EXPORTS = 1800;
const double LIMIT_MS = 1000;

[[noreturn]] void wrong(const std::string& what)
{
    std::fprintf(stderr, "image_bench: %s\n", what.c_str());
    std::exit(1);
}

void write_file(const std::string& path, const std::string& bytes)
{
    FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), out) != bytes.size() || std::fclose(out) != 0) {
        std::perror(path.c_str());
        std::exit(1);
    }
}

rom_builder::Layout layout(uint32_t padding)
{
    rom_builder::Layout l;
    std::vector<std::string> names;
    for (int i = 0; i < COREDLL_EXPORTS; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "CeCall%04d", i);
        names.push_back(name);
    }
    l.modules.push_back({"nk.exe", 0x30000, {}, false, padding});
    l.modules.push_back(rom_builder::coredll(names));
    for (size_t i = 0; i < l.modules.back().exports.size(); ++i) {
        l.modules.back().exports[i].address = 0x1000 + 16 * static_cast<uint32_t>(i);
    }
    for (int i = 2; i < MODULES; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "module%04d.dll", i);
        l.modules.push_back({name, 0x2000 + 4 * static_cast<uint32_t>(i), {}, false, padding});
    }
    for (int i = 0; i < FILES; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "file%03d.dat", i);
        l.files.push_back({name, std::string(static_cast<size_t>(1000 + 8 * i), static_cast<char>('a' + i % 26))});
    }
    l.files.push_back({"reboot.exe", std::string(2048, 'r')});
    return l;
}

// The listing's lines that follow from the layout alone: the ROMHDR's own
// address and the end of the region are the builder's to choose.
std::string known_lines(const std::string& listing)
{
    std::string kept;
    for (size_t at = 0; at < listing.size();) {
        size_t end = listing.find('\n', at);
        end = end == std::string::npos ? listing.size() : end + 1;
        std::string line = listing.substr(at, end - at);
        if (line.compare(0, 7, "romhdr:") != 0 && line.compare(0, 9, "physlast:") != 0) {
            kept += line;
        }
        at = end;
    }
    return kept;
}

std::string expected_lines(const rom_builder::Layout& l)
{
    std::string lines = "processor: 0x014c (x86)\nphysfirst: 0x80220000\nnummods: " + std::to_string(l.modules.size()) +
                        "\nnumfiles: " + std::to_string(l.files.size()) +
                        "\nkernelflags: 0x00000000\nramstart: 0x80400000\nramend: 0x82000000\n";
    for (const rom_builder::Module& m : l.modules) {
        lines += "module: " + m.name + " " + std::to_string(m.size) + "\n";
    }
    for (const rom_builder::File& f : l.files) {
        lines += "file: " + f.name + " " + std::to_string(f.data.size()) + "\n";
    }
    return lines;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double min(const std::vector<double>& v)
{
    return *std::min_element(v.begin(), v.end());
}

double ms_since(std::chrono::steady_clock::time_point t)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t).count();
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 5 || std::atoi(argv[4]) < 1) {
        std::fprintf(stderr, "usage: image_bench IMAGE EXPECTED NAMES ROUNDS\n");
        return 2;
    }
    const int rounds = std::atoi(argv[4]);

    // Most modules get the same padding, chosen so that the image reaches
    // the size: a first image without it tells what the rest weighs.
    auto t = std::chrono::steady_clock::now();
    size_t bare = rom_builder::make_image(layout(0)).size();
    uint32_t padding = bare >= TARGET_SIZE ? 0 : static_cast<uint32_t>((TARGET_SIZE - bare) / (MODULES - 1)) & ~3u;
    const rom_builder::Layout l = layout(padding);
    const std::string image = rom_builder::make_image(l);
    double made_ms = ms_since(t);
    write_file(argv[1], image);
    const std::string expected = expected_lines(l);
    write_file(argv[2], expected);
    std::string names;
    std::map<std::string, uint32_t> exports_expected;
    for (const rom_builder::Export& e : l.modules[1].exports) {
        names += (names.empty() ? "" : ",") + e.name;
        exports_expected[e.name] = e.address;
    }
    write_file(argv[3], names);
    std::printf("image:        %zu bytes, %zu modules (%u bytes of section padding each but coredll.dll's), %zu files, "
                "coredll.dll with %zu exports; made in %.0f ms\n",
                image.size(), l.modules.size(), padding, l.files.size(), exports_expected.size(), made_ms);

    std::vector<double> read_ms, exports_ms, describe_ms, total_ms;
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(image.data());
    for (int round = 0; round < rounds; ++round) {
        ce_image::Image read;
        ce_image::Exports exports;
        std::string fault, listing;
        auto t0 = std::chrono::steady_clock::now();
        bool image_read = ce_image::read_image(bytes, image.size(), read, fault);
        double t_read = ms_since(t0);
        auto t1 = std::chrono::steady_clock::now();
        bool exports_read = image_read && ce_image::read_exports(read, ce_image::COREDLL, exports, fault);
        double t_exports = ms_since(t1);
        auto t2 = std::chrono::steady_clock::now();
        if (exports_read) {
            listing = ce_image::describe(read);
        }
        double t_describe = ms_since(t2);

        if (!image_read || !exports_read) {
            wrong("the image is refused: " + fault);
        }
        if (read.modules.size() != l.modules.size() || read.files.size() != l.files.size()) {
            wrong("read " + std::to_string(read.modules.size()) + " modules and " + std::to_string(read.files.size()) +
                  " files, not " + std::to_string(l.modules.size()) + " and " + std::to_string(l.files.size()));
        }
        if (known_lines(listing) != expected) {
            wrong("the listing is not the layout's");
        }
        if (exports.status != ce_image::Exports::READ || exports.by_name != exports_expected) {
            wrong("coredll.dll's exports are not the layout's");
        }
        read_ms.push_back(t_read);
        exports_ms.push_back(t_exports);
        describe_ms.push_back(t_describe);
        total_ms.push_back(t_read + t_exports + t_describe);
    }
    std::printf("rounds:       %d, each read checked: module and file count, listing, exports\n", rounds);
    std::printf("read_image:   min %8.2f ms  median %8.2f ms\n", min(read_ms), median(read_ms));
    std::printf("read_exports: min %8.2f ms  median %8.2f ms\n", min(exports_ms), median(exports_ms));
    std::printf("describe:     min %8.2f ms  median %8.2f ms\n", min(describe_ms), median(describe_ms));
    double m = median(total_ms);
    std::printf("together:     min %8.2f ms  median %8.2f ms  (limit: under 1 s; the median is %s)\n", min(total_ms), m,
                m < LIMIT_MS ? "within it" : "OVER it");
    return 0;
}
