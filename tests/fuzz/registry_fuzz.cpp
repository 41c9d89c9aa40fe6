// libFuzzer target for the registry-file reader: any input either loads, or
// fails with "LINE: what" and leaves the registry as it was. A crash, a hang
// or a leak is a finding. What loads, exported as REGEDIT4, loads back the
// same. An input with zero bytes is a set of files: registry.env, then
// registry.reg, then files 0.reg, 1.reg, ... that it may include.
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

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

bool same(const ce::RegistryKey& a, const ce::RegistryKey& b)
{
    if (a.name != b.name || a.values.size() != b.values.size() || a.subkeys.size() != b.subkeys.size()) {
        return false;
    }
    for (auto i = a.values.begin(), j = b.values.begin(); i != a.values.end(); ++i, ++j) {
        if (i->first != j->first || i->second.name != j->second.name || i->second.type != j->second.type ||
            i->second.data != j->second.data) {
            return false;
        }
    }
    for (auto i = a.subkeys.begin(), j = b.subkeys.begin(); i != a.subkeys.end(); ++i, ++j) {
        if (i->first != j->first || !same(*i->second, *j->second)) {
            return false;
        }
    }
    return true;
}

// "FILE:LINE: what" with LINE from 1, FILE one of those given ("" for none).
bool names_its_line(const std::string& error, const std::vector<std::string>& files)
{
    for (const std::string& file : files) {
        std::string prefix = file.empty() ? "" : file + ":";
        if (error.compare(0, prefix.size(), prefix) != 0) {
            continue;
        }
        size_t digits = error.find_first_not_of("0123456789", prefix.size());
        if (digits != prefix.size() && digits != std::string::npos && error.compare(digits, 2, ": ") == 0 &&
            error.size() > digits + 2 && std::strtoul(error.c_str() + prefix.size(), nullptr, 10) >= 1) {
            return true;
        }
    }
    return false;
}

void check_loaded(const ce::Registry& registry)
{
    if (ce::find_key(registry, u"before") != nullptr || !well_built(registry.root, 0)) {
        std::abort();
    }
    std::vector<std::string> inexact;
    std::string exported = ce::export_regedit4(registry, inexact);
    ce::Registry again;
    std::string error;
    if (!ce::parse_registry(exported, again, error) || (inexact.empty() && !same(registry.root, again.root))) {
        std::abort();
    }
}

struct Files : ce::RegistryFiles {
    std::map<std::string, std::string> files;
    bool read(const std::string& path, size_t most, std::string& spelled, std::string& bytes, std::string& complaint) override
    {
        auto found = files.find(path);
        if (found == files.end()) {
            complaint = path + " does not exist";
            return false;
        }
        spelled = path;
        bytes = found->second.substr(0, most);
        return true;
    }
};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string bytes(reinterpret_cast<const char*>(data), size);
    ce::Registry registry;
    registry.root.subkeys[u"before"].reset(new ce::RegistryKey);
    std::string error;
    size_t zero = bytes.find('\0');
    if (zero == std::string::npos || bytes.compare(0, 2, "\xFF\xFE") == 0) {
        if (!ce::parse_registry(bytes, registry, error)) {
            if (!names_its_line(error, {""}) || registry.root.subkeys.size() != 1 || ce::find_key(registry, u"before") == nullptr) {
                std::abort();
            }
            return 0;
        }
        check_loaded(registry);
        return 0;
    }
    std::vector<std::string> parts;
    for (size_t start = 0;; start = zero + 1, zero = bytes.find('\0', start)) {
        parts.push_back(bytes.substr(start, zero == std::string::npos ? std::string::npos : zero - start));
        if (zero == std::string::npos) {
            break;
        }
    }
    ce::BuildVariables variables;
    if (!ce::parse_build_variables(parts[0], variables, error)) {
        if (!names_its_line(error, {""})) {
            std::abort();
        }
        return 0;
    }
    Files files;
    std::vector<std::string> names = {"registry.reg"};
    for (size_t i = 2; i < parts.size(); ++i) {
        names.push_back((i % 2 == 0 ? "" : "d/") + std::to_string(i - 2) + ".reg");
        files.files[names.back()] = parts[i];
    }
    std::string top = parts.size() > 1 ? parts[1] : "";
    if (!ce::parse_registry_files("registry.reg", top, variables, files, registry, error)) {
        if (!names_its_line(error, names) || registry.root.subkeys.size() != 1 || ce::find_key(registry, u"before") == nullptr) {
            std::abort();
        }
        return 0;
    }
    check_loaded(registry);
    return 0;
}
