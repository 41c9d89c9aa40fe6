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

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: ce-registry DIR: prints the registry that the device folder DIR boots with, "
                             "as a REGEDIT4 file\n");
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
