// libFuzzer target for the registry-file reader: any input either loads, or
// fails with "LINE: what" and leaves the registry as it was. A crash, a hang
// or a leak is a finding.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "registry_file.h"

// Every key below the root: its map's name is its own folded, and the
// registry's limits hold.
bool well_built(const ce::RegistryKey& key, size_t depth)
{
    for (const auto& sub : key.subkeys) {
        if (sub.second == nullptr || ce::fold(sub.second->name) != sub.first || sub.first.empty() ||
            sub.first.size() > ce::LONGEST_KEY_NAME || depth + 1 > ce::DEEPEST_KEY || !well_built(*sub.second, depth + 1)) {
            return false;
        }
    }
    return true;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string bytes(reinterpret_cast<const char*>(data), size);
    ce::Registry registry;
    registry.root.subkeys[u"before"].reset(new ce::RegistryKey);
    std::string error;
    if (!ce::parse_registry(bytes, registry, error)) {
        size_t digits = error.find_first_not_of("0123456789");
        bool well_formed = digits != 0 && digits != std::string::npos && error.compare(digits, 2, ": ") == 0 &&
                           error.size() > digits + 2 && std::strtoul(error.c_str(), nullptr, 10) >= 1;
        if (!well_formed || registry.root.subkeys.size() != 1 || ce::find_key(registry, u"before") == nullptr) {
            std::abort();
        }
        return 0;
    }
    if (ce::find_key(registry, u"before") != nullptr || !well_built(registry.root, 0)) {
        std::abort();
    }
    return 0;
}
