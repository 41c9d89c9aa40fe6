// The device's HKEY_LOCAL_MACHINE as a registry-editor text file: the
// format that device platform builds and the Windows registry editor write.
#ifndef CE_REGISTRY_FILE_H
#define CE_REGISTRY_FILE_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "case_fold.h"

namespace ce {

struct RegistryValue {
    std::u16string name;  // as first spelled; "" is the key's default value
    uint32_t type = 0;
    std::string data;     // the bytes as the registry stores them
};

struct RegistryKey {
    std::u16string name;  // as first spelled; "" for the root
    std::map<std::u16string, std::unique_ptr<RegistryKey>> subkeys;  // by folded name
    std::map<std::u16string, RegistryValue> values;                  // by folded name
};

// HKEY_LOCAL_MACHINE: its root key and everything below it.
struct Registry {
    RegistryKey root;
};

// The registry's own limits, and the size of file the emulation reads.
const size_t LONGEST_KEY_NAME = 255;
const size_t DEEPEST_KEY = 512;  // levels of keys below the root
const size_t LONGEST_VALUE_NAME = 16383;
// A device's registry holds some thousands of keys; this bounds what a file
// can make the emulation hold (each key costs some hundred bytes).
const size_t MOST_KEYS = 262144;
const size_t LARGEST_REGISTRY_FILE = 16 * 1024 * 1024;

// The key at a folded path below the root ("" is the root itself), or null.
const RegistryKey* find_key(const Registry& registry, const std::u16string& folded_path);


// Reads a whole file: UTF-8 (with or without a byte-order mark) or UTF-16LE
// with its byte-order mark, LF or CRLF line ends, in time linear in its size.
// False on the first fault, with error set to "LINE: what is wrong"; registry
// is then left as it was.
bool parse_registry(const std::string& bytes, Registry& registry, std::string& error);

}  // namespace ce

#endif
