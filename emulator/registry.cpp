// The device's HKEY_LOCAL_MACHINE, loaded from $CE_DEVICE/registry.reg
// before the tool runs, and the registry calls the tool makes on it.
#include <unistd.h>

#include <cstdio>
#include <map>
#include <memory>

#include "emulator.h"
#include "registry_file.h"

struct CeKey {
    std::u16string path;  // folded, below HKEY_LOCAL_MACHINE
    std::string shown;    // as the tool named it, for the trace
};

namespace ce {
namespace {

Registry registry;
std::map<HKEY, std::unique_ptr<CeKey>> open_keys;

const LONG ERROR_BAD_PATHNAME_CODE = 161;

std::string type_name(DWORD type)
{
    switch (type) {
    case REG_NONE: return "REG_NONE";
    case REG_SZ: return "REG_SZ";
    case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
    case REG_BINARY: return "REG_BINARY";
    case REG_DWORD: return "REG_DWORD";
    case REG_MULTI_SZ: return "REG_MULTI_SZ";
    default: return "type " + std::to_string(type);
    }
}

std::string result_name(LONG result)
{
    if (result == ERROR_SUCCESS) {
        return "ok";
    }
    return "failed " + (result == ERROR_BAD_PATHNAME_CODE ? std::string("ERROR_BAD_PATHNAME") : error_name(static_cast<DWORD>(result)));
}

std::string key_name(HKEY key)
{
    if (key == HKEY_LOCAL_MACHINE) {
        return "HKEY_LOCAL_MACHINE";
    }
    auto found = open_keys.find(key);
    return found == open_keys.end() ? "<not an open key>" : found->second->shown;
}

// The folded path of an open key, or of the root; false for anything else.
bool key_path(HKEY key, std::u16string& path)
{
    if (key == HKEY_LOCAL_MACHINE) {
        path.clear();
        return true;
    }
    auto found = open_keys.find(key);
    if (found == open_keys.end()) {
        return false;
    }
    path = found->second->path;
    return true;
}

}  // namespace

std::string load_registry(const std::string& file)
{
    std::string complaint;
    int fd = open_device_file(file, "the registry file", complaint);
    if (fd < 0) {
        registry = Registry();
        return complaint;
    }
    std::string bytes = read_at_most(fd, LARGEST_REGISTRY_FILE + 1);
    close(fd);
    if (bytes.size() > LARGEST_REGISTRY_FILE) {
        return file + " is larger than 16 MiB: too large for a registry file";
    }
    std::string error;
    Registry loaded;
    if (!parse_registry(bytes, loaded, error)) {
        return file + ":" + error;
    }
    registry = std::move(loaded);
    return "";
}

}  // namespace ce

using namespace ce;

extern "C" LONG RegOpenKeyExW(HKEY key, LPCWSTR sub_key, DWORD options, REGSAM access, PHKEY result)
{
    std::string line = "RegOpenKeyExW " + key_name(key) + " " + to_utf8(sub_key) + " " + std::to_string(options) +
                       " " + std::to_string(access) + " ";
    if (call_fails("RegOpenKeyExW")) {
        if (result != nullptr) {
            *result = nullptr;
        }
        trace(line + injected());
        return static_cast<LONG>(GetLastError());
    }
    LONG status = ERROR_SUCCESS;
    std::u16string base;
    std::u16string sub = sub_key == nullptr ? u"" : sub_key;
    if (result == nullptr || options != 0) {
        status = ERROR_INVALID_PARAMETER;
    } else if (!key_path(key, base)) {
        status = ERROR_INVALID_HANDLE;
    } else if (!sub.empty() && sub[0] == '\\') {
        status = ERROR_BAD_PATHNAME_CODE;
    }
    if (status == ERROR_SUCCESS) {
        // A run of separators separates once, and one at the end is no name.
        std::u16string single;
        for (char16_t unit : sub) {
            if (unit != '\\' || single.empty() || single.back() != '\\') {
                single += unit;
            }
        }
        sub = single;
        if (!sub.empty() && sub.back() == '\\') {
            sub.pop_back();
        }
        std::u16string path = fold(base.empty() || sub.empty() ? base + sub : base + u"\\" + sub);
        if (find_key(registry, path) == nullptr) {
            status = ERROR_FILE_NOT_FOUND;
        } else {
            std::unique_ptr<CeKey> opened(new CeKey{path, key_name(key) + (sub.empty() ? "" : "\\" + to_utf8(sub))});
            *result = opened.get();
            open_keys[opened.get()] = std::move(opened);
        }
    }
    if (status != ERROR_SUCCESS && result != nullptr) {
        *result = nullptr;
    }
    trace(line + result_name(status));
    return status;
}

extern "C" LONG RegQueryValueExW(HKEY key, LPCWSTR value_name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                 LPDWORD size)
{
    std::u16string name = value_name == nullptr ? u"" : value_name;
    std::string line = "RegQueryValueExW " + key_name(key) + " " + (name.empty() ? "@" : to_utf8(name)) + " " +
                       (size == nullptr ? "-" : std::to_string(*size)) + " ";
    if (call_fails("RegQueryValueExW")) {
        trace(line + injected());
        return static_cast<LONG>(GetLastError());
    }
    std::u16string path;
    if (!key_path(key, path)) {
        trace(line + result_name(ERROR_INVALID_HANDLE));
        return ERROR_INVALID_HANDLE;
    }
    if (reserved != nullptr || (data != nullptr && size == nullptr)) {
        trace(line + result_name(ERROR_INVALID_PARAMETER));
        return ERROR_INVALID_PARAMETER;
    }
    const RegistryKey* found_key = find_key(registry, path);
    const RegistryValue* value = nullptr;
    if (found_key != nullptr) {
        auto found = found_key->values.find(fold(name));
        if (found != found_key->values.end()) {
            value = &found->second;
        }
    }
    if (value == nullptr) {
        trace(line + result_name(ERROR_FILE_NOT_FOUND));
        return ERROR_FILE_NOT_FOUND;
    }
    if (type != nullptr) {
        *type = value->type;
    }
    DWORD needed = static_cast<DWORD>(value->data.size());
    LONG status = ERROR_SUCCESS;
    if (data != nullptr && *size < needed) {
        status = ERROR_MORE_DATA;
    } else if (data != nullptr) {
        value->data.copy(reinterpret_cast<char*>(data), needed);
    }
    if (size != nullptr) {
        *size = needed;
    }
    trace(line + result_name(status) + " " + type_name(value->type) + " " + std::to_string(needed));
    return status;
}

extern "C" LONG RegCloseKey(HKEY key)
{
    std::string line = "RegCloseKey " + key_name(key) + " ";
    if (call_fails("RegCloseKey")) {
        trace(line + injected());
        return static_cast<LONG>(GetLastError());
    }
    if (key == HKEY_LOCAL_MACHINE) {
        // A predefined key stays open: closing it succeeds and changes nothing.
        trace(line + "ok");
        return ERROR_SUCCESS;
    }
    auto found = open_keys.find(key);
    if (found == open_keys.end()) {
        trace(line + result_name(ERROR_INVALID_HANDLE));
        return ERROR_INVALID_HANDLE;
    }
    open_keys.erase(found);
    trace(line + "ok");
    return ERROR_SUCCESS;
}
