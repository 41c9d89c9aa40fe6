// ce-registry DIR: the registry that the device folder DIR boots with,
// printed as a REGEDIT4 file, read by the emulated device's own loader.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "emulator.h"
#include "registry_file.h"

static const char USAGE[] = "usage: ce-registry DIR: prints the registry that the device folder DIR boots with, "
                            "as a REGEDIT4 file\n";

int main(int argc, char** argv)
{
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(USAGE, stdout);
        std::fputs("It is read as the emulated device boots it: registry.reg, the files it includes and the variables\n"
                   "of registry.env. Exit status 0; 1 when REGEDIT4 cannot hold a value as it is (it is written as a\n"
                   "comment and named on standard error); 2 when DIR is no device folder or its registry is refused.\n",
                   stdout);
        return std::fflush(stdout) == 0 ? 0 : 2;
    }
    // A folder whose name begins with "-" is named as ./-NAME.
    if (argc >= 2 && argv[1][0] == '-' && argv[1][1] != '\0') {
        std::fprintf(stderr, "ce-registry: no such option: %s\n%s", argv[1], USAGE);
        return 2;
    }
    if (argc != 2) {
        std::fputs(USAGE, stderr);
        return 2;
    }
    std::string folder = argv[1];
    while (folder.size() > 1 && folder.back() == '/') {
        folder.pop_back();
    }
    struct stat info;
    std::string fault = folder.empty()                   ? "DIR is empty"
                        : stat(folder.c_str(), &info) != 0 ? folder + (errno == ENOENT ? " does not exist" : ": " + std::string(std::strerror(errno)))
                        : !S_ISDIR(info.st_mode) ? folder + " is " + ce::kind_of(info.st_mode) + ", not a folder"
                                                 : "";
    if (!fault.empty()) {
        std::fprintf(stderr, "ce-registry: %s: it must name an emulated device's folder\n", fault.c_str());
        return 2;
    }
    ce::Registry registry;
    std::string complaint = ce::read_device_registry(folder, registry);
    if (!complaint.empty()) {
        std::fprintf(stderr, "%s\n", complaint.c_str());
        return 2;
    }
    std::vector<std::string> inexact;
    std::string text = ce::export_regedit4(registry, inexact);
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0) {
        std::fprintf(stderr, "ce-registry: the registry could not be written: %s\n", std::strerror(errno));
        return 2;
    }
    for (const std::string& value : inexact) {
        std::fprintf(stderr, "ce-registry: %s\n", value.c_str());
    }
    return inexact.empty() ? 0 : 1;
}
