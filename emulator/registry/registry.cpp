// The device's HKEY_LOCAL_MACHINE, loaded from $CE_DEVICE/registry.reg
// before the tool runs, and the registry calls the tool makes on it.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>

#include "emulator.h"
#include "guest.h"
#include "registry_file.h"

namespace ce {
namespace {

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
    auto found = device().keys.find(key);
    return found == device().keys.end() ? "<not an open key>" : found->second.shown;
}

// The folded path of an open key, or of the root; false for anything else.
bool key_path(HKEY key, std::u16string& path)
{
    if (key == HKEY_LOCAL_MACHINE) {
        path.clear();
        return true;
    }
    auto found = device().keys.find(key);
    if (found == device().keys.end()) {
        return false;
    }
    path = found->second.path;
    return true;
}

}  // namespace

namespace {

// The device folder's files for the includes, each reached from the folder
// one name at a time: never through a symbolic link, and a name matched
// without regard to case, as the platform build's own host matches it.
struct DeviceFiles : RegistryFiles {
    std::string folder;
    std::map<std::string, std::map<std::u16string, std::string>> listings;  // by folder: folded name, entry

    explicit DeviceFiles(const std::string& device_folder) : folder(device_folder) {}

    // The entry of the open folder spelt `name`, or else the first in order
    // whose folded name matches; `name` itself when none does. Each folder
    // is listed once, however many names are looked up in it.
    std::string entry(int at, const std::string& shown, const std::string& name)
    {
        struct stat info;
        if (fstatat(at, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT) {
            return name;
        }
        auto listed = listings.find(shown);
        if (listed == listings.end()) {
            listed = listings.emplace(shown, std::map<std::u16string, std::string>()).first;
            int copy = openat(at, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            DIR* listing = copy < 0 ? nullptr : fdopendir(copy);
            if (listing == nullptr && copy >= 0) {
                close(copy);
            }
            while (dirent* found = listing == nullptr ? nullptr : readdir(listing)) {
                std::string candidate = found->d_name;
                std::string& first = listed->second[fold(to_utf16(candidate))];
                first = first.empty() || candidate < first ? candidate : first;
            }
            if (listing != nullptr) {
                closedir(listing);
            }
        }
        auto match = listed->second.find(fold(to_utf16(name)));
        return match == listed->second.end() ? name : match->second;
    }

    bool read(const std::string& path, size_t most, std::string& spelled, std::string& bytes,
              std::string& complaint) override
    {
        // CE_DEVICE itself may be named through a link, as at boot.
        int at = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (at < 0) {
            complaint = folder + ": " + std::strerror(errno);
            return false;
        }
        std::vector<std::string> names = split(path, "/");
        spelled.clear();
        for (size_t i = 0; i < names.size(); ++i) {
            std::string name = entry(at, folder + "/" + spelled, names[i]);
            spelled += (i == 0 ? "" : "/") + name;
            std::string shown = folder + "/" + spelled;
            if (i + 1 == names.size()) {
                int fd = open_device_file_at(at, name, shown, "an included registry file", complaint);
                close(at);
                if (fd < 0 && complaint.empty()) {
                    complaint = shown + ", which this line includes, does not exist";
                }
                if (fd < 0) {
                    return false;
                }
                bytes = read_at_most(fd, most);
                close(fd);
                return true;
            }
            struct stat info;
            int next = -1;
            if (fstatat(at, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
                complaint = shown + (errno == ENOENT ? std::string(", a folder of this line's include, does not exist")
                                                     : ": " + std::string(std::strerror(errno)));
            } else if (!S_ISDIR(info.st_mode)) {
                complaint = shown + " is " + kind_of(info.st_mode) +
                            ": an include is read only through folders of the device folder";
            } else if ((info.st_mode & 0111) == 0) {
                complaint = shown + " cannot be searched: its mode lets no one";
            } else if ((next = openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)) < 0) {
                complaint = shown + " cannot be searched: " + std::strerror(errno);
            }
            close(at);
            if (next < 0) {
                return false;
            }
            at = next;
        }
        close(at);
        complaint = folder + "/" + path + " names no file";
        return false;
    }
};

}  // namespace

std::string read_device_registry(const std::string& folder, Registry& registry)
{
    std::string complaint;
    BuildVariables variables;
    std::string env = folder + "/registry.env";
    int fd = open_device_file(env, "the build variables file", complaint);
    if (fd < 0 && !complaint.empty()) {
        return complaint;
    }
    if (fd >= 0) {
        std::string bytes = read_at_most(fd, LARGEST_VARIABLES_FILE + 1);
        close(fd);
        if (bytes.size() > LARGEST_VARIABLES_FILE) {
            return env + " is larger than 1 MiB: too large for a file of build variables";
        }
        std::string error;
        if (!parse_build_variables(bytes, variables, error)) {
            return env + ":" + error;
        }
    }
    std::string file = folder + "/registry.reg";
    fd = open_device_file(file, "the registry file", complaint);
    if (fd < 0) {
        if (complaint.empty()) {
            registry = Registry();
        }
        return complaint;
    }
    std::string bytes = read_at_most(fd, LARGEST_REGISTRY_FILE + 1);
    close(fd);
    if (bytes.size() > LARGEST_REGISTRY_FILE) {
        return file + " is larger than 16 MiB: too large for a registry file";
    }
    std::string error;
    DeviceFiles files(folder);
    if (!parse_registry_files("registry.reg", bytes, variables, files, registry, error)) {
        return folder + "/" + error;
    }
    return "";
}

}  // namespace ce

using namespace ce;

extern "C" LONG RegOpenKeyExW(HKEY key, LPCWSTR sub_key, DWORD options, REGSAM access, PHKEY result)
{
    Call call("RegOpenKeyExW", key_name(key), to_utf8(sub_key), std::to_string(options), std::to_string(access));
    if (call.fails()) {
        if (result != nullptr) {
            *result = nullptr;
        }
        return call.injected(static_cast<LONG>(INJECTED_ERROR));
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
        if (find_key(device().registry, path) == nullptr) {
            status = ERROR_FILE_NOT_FOUND;
        } else {
            HKEY opened = reinterpret_cast<HKEY>(issue_id());
            device().keys[opened] = OpenKey{path, key_name(key) + (sub.empty() ? "" : "\\" + to_utf8(sub))};
            *result = opened;
        }
    }
    if (status != ERROR_SUCCESS && result != nullptr) {
        *result = nullptr;
    }
    call.ends(result_name(status));
    return status;
}

extern "C" LONG RegQueryValueExW(HKEY key, LPCWSTR value_name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                 LPDWORD size)
{
    std::u16string name = value_name == nullptr ? u"" : value_name;
    Call call("RegQueryValueExW", key_name(key), name.empty() ? "@" : to_utf8(name),
              size == nullptr ? "-" : std::to_string(*size));
    if (call.fails()) {
        return call.injected(static_cast<LONG>(INJECTED_ERROR));
    }
    std::u16string path;
    if (!key_path(key, path)) {
        call.ends(result_name(ERROR_INVALID_HANDLE));
        return ERROR_INVALID_HANDLE;
    }
    if (reserved != nullptr || (data != nullptr && size == nullptr)) {
        call.ends(result_name(ERROR_INVALID_PARAMETER));
        return ERROR_INVALID_PARAMETER;
    }
    const RegistryKey* found_key = find_key(device().registry, path);
    const RegistryValue* value = nullptr;
    if (found_key != nullptr) {
        auto found = found_key->values.find(fold(name));
        if (found != found_key->values.end()) {
            value = &found->second;
        }
    }
    if (value == nullptr) {
        call.ends(result_name(ERROR_FILE_NOT_FOUND));
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
    call.ends(result_name(status) + " " + type_name(value->type) + " " + std::to_string(needed));
    return status;
}

extern "C" LONG RegCloseKey(HKEY key)
{
    Call call("RegCloseKey", key_name(key));
    if (call.fails()) {
        return call.injected(static_cast<LONG>(INJECTED_ERROR));
    }
    if (key == HKEY_LOCAL_MACHINE) {
        // A predefined key stays open: closing it succeeds and changes nothing.
        call.ok();
        return ERROR_SUCCESS;
    }
    auto found = device().keys.find(key);
    if (found == device().keys.end()) {
        call.ends(result_name(ERROR_INVALID_HANDLE));
        return ERROR_INVALID_HANDLE;
    }
    device().keys.erase(found);
    call.ok();
    return ERROR_SUCCESS;
}

// For a runner's guest.
namespace ce::guest {

uint32_t RegOpenKeyExW_()
{
    uint32_t* result = pointer<uint32_t>(4, true);
    HKEY opened = nullptr;
    LONG status = RegOpenKeyExW(key(0), text(1), argument(2), argument(3), result == nullptr ? nullptr : &opened);
    if (result != nullptr) {
        *result = guest_value(opened);
    }
    return static_cast<uint32_t>(status);
}

uint32_t RegQueryValueExW_()
{
    DWORD* size = pointer<DWORD>(5, true);
    // The data buffer is as large as the size offered says.
    void* data = source->memory_or_null(4, argument(4), size == nullptr || *size == 0 ? 1 : *size, true);
    return static_cast<uint32_t>(RegQueryValueExW(key(0), text(1), opaque<DWORD>(2), pointer<DWORD>(3, true),
                                                  static_cast<LPBYTE>(data), size));
}

uint32_t RegCloseKey_()
{
    return static_cast<uint32_t>(RegCloseKey(key(0)));
}

}  // namespace ce::guest
