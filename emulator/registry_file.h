// The device's HKEY_LOCAL_MACHINE as a registry-editor text file: the
// format that device platform builds and the Windows registry editor write.
#ifndef CE_REGISTRY_FILE_H
#define CE_REGISTRY_FILE_H

#include <cstdint>
#include <map>
#include <string>

namespace ce {

struct RegistryValue {
    std::u16string name;  // as first spelled; "" is the key's default value
    uint32_t type = 0;
    std::string data;     // the bytes as the registry stores them
};

struct RegistryKey {
    std::u16string path;  // below HKEY_LOCAL_MACHINE, as first spelled
    std::map<std::u16string, RegistryValue> values;  // by folded name
};

struct Registry {
    std::map<std::u16string, RegistryKey> keys;  // by folded path; "" is the root
};

// Key and value names compare without regard to case, as in the registry.
std::u16string fold(const std::u16string& name);

// Reads a whole file: UTF-8 (with or without a byte-order mark) or UTF-16LE
// with its byte-order mark, LF or CRLF line ends. False on the first fault,
// with error set to "LINE: what is wrong"; registry is then left as it was.
bool parse_registry(const std::string& bytes, Registry& registry, std::string& error);

}  // namespace ce

#endif
