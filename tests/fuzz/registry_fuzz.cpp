// libFuzzer target for the registry-file reader: any input either loads, or
// fails with "LINE: what" and leaves the registry as it was. A crash, a hang
// or a leak is a finding.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "registry_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string bytes(reinterpret_cast<const char*>(data), size);
    ce::Registry registry;
    registry.keys[u"before"];
    std::string error;
    if (!ce::parse_registry(bytes, registry, error)) {
        size_t digits = error.find_first_not_of("0123456789");
        bool well_formed = digits != 0 && digits != std::string::npos && error.compare(digits, 2, ": ") == 0 &&
                           error.size() > digits + 2 && std::strtoul(error.c_str(), nullptr, 10) >= 1;
        if (!well_formed || registry.keys.size() != 1 || registry.keys.count(u"before") != 1) {
            std::abort();
        }
        return 0;
    }
    if (registry.keys.count(u"before") != 0 || registry.keys.count(u"") != 1) {
        std::abort();
    }
    for (const auto& key : registry.keys) {
        // Every key's parent is in the registry too.
        size_t slash = key.first.rfind(u'\\');
        std::u16string parent = slash == std::u16string::npos ? u"" : key.first.substr(0, slash);
        if (!key.first.empty() && registry.keys.count(parent) != 1) {
            std::abort();
        }
        if (ce::fold(key.second.path) != key.first) {
            std::abort();
        }
    }
    return 0;
}
