// The device's HKEY_LOCAL_MACHINE as a registry-editor text file: the
// format that device platform builds and the Windows registry editor write.
#ifndef CE_REGISTRY_FILE_H
#define CE_REGISTRY_FILE_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

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
// A file without a registry editor's first line may hold IF and ENDIF lines,
// with no build variable set; an #include in it is a fault. False on the
// first fault, with error set to "LINE: what is wrong"; registry is then left
// as it was.
bool parse_registry(const std::string& bytes, Registry& registry, std::string& error);

// The build variables that IF lines test and $(NAME) in an #include path
// expands: by folded name, each with its value, never empty.
using BuildVariables = std::map<std::u16string, std::u16string>;
const size_t LARGEST_VARIABLES_FILE = 1024 * 1024;
// Reads registry.env: NAME=value lines, each perhaps after "set ". False on
// the first fault, with error "LINE: what is wrong".
bool parse_build_variables(const std::string& bytes, BuildVariables& variables, std::string& error);

// The files an #include names, for parse_registry_files: each by its path
// inside the device folder, its names separated by '/' ("bsp/x.reg"), never
// with "." or "..". True with at most `most` bytes of it (more than the
// limit allows when `most` are there) and the path as the folder spells it;
// false with a complaint that names the file and what is wrong.
struct RegistryFiles {
    virtual ~RegistryFiles() = default;
    virtual bool read(const std::string& path, size_t most, std::string& spelled, std::string& bytes,
                      std::string& complaint) = 0;
};

// Includes nest at most this deep, the file that includes the first counted.
const size_t DEEPEST_INCLUDE = 16;

// Reads the file `top` (its path inside the device folder, and its bytes)
// and every file its #include lines name, as one file with each included
// file's lines in the place of the #include. IF lines test variables. The
// limits of one file hold for them all together. False on the first fault,
// with error "FILE:LINE: what is wrong", FILE the path inside the device
// folder; registry is then left as it was.
bool parse_registry_files(const std::string& top, const std::string& bytes, const BuildVariables& variables,
                          RegistryFiles& files, Registry& registry, std::string& error);

// The registry as the REGEDIT4 registry editor exports it, UTF-8, LF line
// ends, keys and values in the order of their folded names. A value REGEDIT4
// cannot hold as it is (text data that is not 8-bit characters ending in a
// zero, a name with half a surrogate pair) is written as a comment; each
// such value or key is named in `inexact`, with what is wrong.
std::string export_regedit4(const Registry& registry, std::vector<std::string>& inexact);

}  // namespace ce

#endif
