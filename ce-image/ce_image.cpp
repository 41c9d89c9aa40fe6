// ce-image: what a Windows CE BIN image holds, and whether a program's
// imports from COREDLL.dll bind against the image's coredll.dll.
//
//   ce-image IMAGE [--program PROGRAM | --imports NAME,NAME...]
//
// Prints the table of contents, a line for each module and file entry, and
// with a program or names the line "imports: ...". Exit status 0; 1 when an
// import is missing; 3 when the exports cannot be checked; 2 when the image
// or the program cannot be read.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "program.h"
#include "rom_image.h"

namespace {

const int MISSING_STATUS = 1, UNREADABLE_STATUS = 2, UNCHECKABLE_STATUS = 3;

[[noreturn]] void unreadable(const std::string& what, const std::string& fault)
{
    std::fprintf(stderr, "ce-image: %s: %s\n", what.c_str(), fault.c_str());
    std::exit(UNREADABLE_STATUS);
}

const char USAGE[] = "usage: ce-image IMAGE [--program PROGRAM | --imports NAME,NAME...]\n";

[[noreturn]] void usage(const char* why)
{
    std::fprintf(stderr, "ce-image: %s\n%s", why, USAGE);
    std::exit(UNREADABLE_STATUS);
}

[[noreturn]] void help()
{
    std::fputs(USAGE, stdout);
    std::fputs("Prints what IMAGE, a Windows CE BIN image for x86, holds: its table of contents and a line for each\n"
               "module and file entry. With --program, or --imports and the names, a last line says whether each of\n"
               "the program's imports from COREDLL.dll is exported by the image's coredll.dll. Exit status 0; 1 when\n"
               "an import is missing; 3 when the exports cannot be checked; 2 when the image or program cannot be\n"
               "read.\n",
               stdout);
    std::exit(std::fflush(stdout) == 0 ? 0 : UNREADABLE_STATUS);
}

struct Import {
    std::string name;  // empty: by ordinal
    uint32_t ordinal;
};

std::string shown(const Import& import)
{
    return import.name.empty() ? "#" + std::to_string(import.ordinal) : ce_image::shown_name(import.name);
}

// PROGRAM's imports from COREDLL.dll, each once, in its order.
std::vector<Import> program_imports(const std::string& path)
{
    std::vector<uint8_t> bytes;
    std::string fault;
    if (!ce_image::read_file(path, bytes, fault)) {
        unreadable(path, fault);
    }
    ce_run::Program program;
    ce_run::Refusal refusal = ce_run::read_program(bytes, program);
    if (refusal.error != 0) {
        unreadable(path, "not a program CE's loader starts: " + refusal.reason);
    }
    std::vector<Import> imports;
    for (const ce_run::Import& i : program.imports) {
        if (!ce_image::is_coredll(i.dll)) {
            continue;
        }
        Import import{i.name, i.name.empty() ? i.ordinal_or_hint : 0};
        bool seen = false;
        for (const Import& other : imports) {
            seen = seen || (other.name == import.name && other.ordinal == import.ordinal);
        }
        if (!seen) {
            imports.push_back(import);
        }
    }
    return imports;
}

std::vector<Import> named_imports(const std::string& list)
{
    std::vector<Import> imports;
    size_t from = 0;
    while (from <= list.size()) {
        size_t comma = list.find(',', from);
        std::string name = list.substr(from, comma == std::string::npos ? std::string::npos : comma - from);
        if (name.empty()) {
            usage("--imports takes names parted by commas, none of them empty");
        }
        imports.push_back(Import{name, 0});
        if (comma == std::string::npos) {
            break;
        }
        from = comma + 1;
    }
    return imports;
}

}  // namespace

int run(int argc, char** argv)
{
    // Only the places of IMAGE and of the option are looked at: the option's
    // value may be any name. An image whose name begins with "-" is ./-NAME.
    for (int i = 1; i < argc && i <= 2; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            help();
        }
    }
    if (argc >= 2 && argv[1][0] == '-' && argv[1][1] != '\0') {
        usage((std::string("no such option: ") + argv[1]).c_str());
    }
    if (argc != 2 && argc != 4) {
        usage(argc < 2 ? "no image named" : "an option needs its value, and only one is taken");
    }
    std::string image_path = argv[1];
    std::vector<Import> imports;
    bool check = argc == 4;
    if (check) {
        std::string option = argv[2];
        if (option == "--program") {
            imports = program_imports(argv[3]);
        } else if (option == "--imports") {
            imports = named_imports(argv[3]);
        } else {
            usage(("no such option: " + option).c_str());
        }
    }

    std::vector<uint8_t> bytes;
    std::string fault;
    ce_image::Image image;
    if (!ce_image::read_file(image_path, bytes, fault) || !ce_image::read_image(bytes.data(), bytes.size(), image, fault)) {
        unreadable(image_path, fault);
    }
    std::string out = ce_image::describe(image);
    int status = 0;
    if (check) {
        ce_image::Exports exports;
        if (!ce_image::read_exports(image, ce_image::COREDLL, exports, fault)) {
            unreadable(image_path, fault);
        }
        if (exports.status == ce_image::Exports::COMPRESSED) {
            out += "imports: cannot be checked: " + exports.why + "\n";
            status = UNCHECKABLE_STATUS;
        } else {
            std::string missing;
            for (const Import& import : imports) {
                if (!ce_image::exported(exports, import.name, import.ordinal)) {
                    missing += (missing.empty() ? "" : ", ") + shown(import);
                }
            }
            if (missing.empty()) {
                out += "imports: " + std::to_string(imports.size()) + " of " + std::to_string(imports.size()) +
                       " found in coredll.dll\n";
            } else {
                out += "imports: missing " + missing + "\n";
                status = MISSING_STATUS;
            }
        }
    }
    if (std::fwrite(out.data(), 1, out.size(), stdout) != out.size() || std::fflush(stdout) != 0) {
        std::fprintf(stderr, "ce-image: cannot write what it read: %s\n", std::strerror(errno));
        return UNREADABLE_STATUS;
    }
    return status;
}

int main(int argc, char** argv)
{
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        // Only memory runs out here: an image of millions of records, say.
        std::fprintf(stderr, "ce-image: %s: cannot be read here: %s\n", argc > 1 ? argv[1] : "", e.what());
        return UNREADABLE_STATUS;
    }
}
