// Resources of the running executable: embedded at build time from the
// resource script in resources/, or read from the program a runner loaded.
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "case_fold.h"
#include "emulator.h"
#include "guest.h"
#include "resource_table.h"

struct CeModule {
    int unused;
};

namespace {

CeModule the_executable;
const CeResource* resources = ce_resource_table;
std::string module_file = "/proc/self/exe";

// The host path without links, or "" when it has none.
std::string real_path(const std::string& path)
{
    char real[PATH_MAX];
    return realpath(path.c_str(), real) != nullptr ? std::string(real) : std::string();
}

const CeResource* resource_of(HRSRC resource)
{
    auto found = ce::device().resources.find(resource);
    return found == ce::device().resources.end() ? nullptr : found->second;
}

HRSRC id_of(const CeResource* entry)
{
    for (const auto& found : ce::device().resources) {
        if (found.second == entry) {
            return found.first;
        }
    }
    HRSRC id = reinterpret_cast<HRSRC>(ce::issue_id());
    ce::device().resources[id] = entry;
    return id;
}

bool is_integer_resource(LPCWSTR name)
{
    return reinterpret_cast<ULONG_PTR>(name) <= 0xFFFF;
}

// Resource names and types compare without regard to case; "#183" names id 183.
bool same_name(LPCWSTR asked, WORD id)
{
    if (is_integer_resource(asked)) {
        return reinterpret_cast<ULONG_PTR>(asked) == id;
    }
    if (asked[0] != '#' || asked[1] == 0) {
        return false;
    }
    unsigned long number = 0;
    for (LPCWSTR c = asked + 1; *c != 0; ++c) {
        if (*c < '0' || *c > '9' || number > 0xFFFF) {
            return false;
        }
        number = number * 10 + (*c - '0');
    }
    return number == id;
}

bool same_type(LPCWSTR asked, const char16_t* type)
{
    if (is_integer_resource(asked)) {
        return false;
    }
    size_t i = 0;
    for (; asked[i] != 0 && type[i] != 0; ++i) {
        if (ce::fold(asked[i]) != ce::fold(type[i])) {
            return false;
        }
    }
    return asked[i] == 0 && type[i] == 0;
}

bool is_this_module(HMODULE module)
{
    return module == nullptr || module == &the_executable;
}

}  // namespace

void ce_use_resources(const CeResource* table)
{
    resources = table;
}

void ce_use_module_file(const char* host_path)
{
    module_file = host_path;
}

HINSTANCE ce_executable_instance()
{
    return &the_executable;
}

// The executable's own table only, whose bytes stay as they are until the
// process ends; a runner's table lies in guest memory, which it may unmap.
bool ce::in_resources(const void* bytes, size_t size)
{
    auto at = reinterpret_cast<uintptr_t>(bytes);
    for (const CeResource* entry = ce_resource_table; entry->type != nullptr; ++entry) {
        auto begin = reinterpret_cast<uintptr_t>(entry->begin);
        auto end = reinterpret_cast<uintptr_t>(entry->end);
        if (at >= begin && at <= end && size <= end - at) {
            return true;
        }
    }
    return false;
}

extern "C" HRSRC FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type)
{
    if (!is_this_module(module) || name == nullptr || type == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    for (const CeResource* entry = resources; entry->type != nullptr; ++entry) {
        if (same_name(name, entry->id) && same_type(type, entry->type)) {
            return id_of(entry);
        }
    }
    SetLastError(1813);  // ERROR_RESOURCE_TYPE_NOT_FOUND
    return nullptr;
}

extern "C" DWORD SizeofResource(HMODULE module, HRSRC resource)
{
    const CeResource* entry = resource_of(resource);
    if (!is_this_module(module) || entry == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return static_cast<DWORD>(entry->end - entry->begin);
}

extern "C" HGLOBAL LoadResource(HMODULE module, HRSRC resource)
{
    const CeResource* entry = resource_of(resource);
    if (!is_this_module(module) || entry == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    // The bytes are handed out where they lie in the executable.
    return entry->begin;
}

// The device's name of the program's file: "\\" and its path under root/.
extern "C" DWORD GetModuleFileNameW(HMODULE module, LPWSTR name, DWORD size)
{
    if (!is_this_module(module)) {
        ce::not_modelled("GetModuleFileNameW", "of another module");
    }
    std::string file = real_path(module_file);
    std::string root = real_path(ce::device().root);
    if (file.empty() || root.empty() || file.compare(0, root.size() + 1, root + "/") != 0) {
        ce::not_modelled("GetModuleFileNameW", "of a program outside the device's root/: " + module_file);
    }
    std::u16string device = ce::to_utf16(file.substr(root.size()));
    for (char16_t& c : device) {
        c = c == u'/' ? u'\\' : c;
    }
    // The device's truncation of a name that does not fit is not known.
    if (device.size() >= size) {
        ce::not_modelled("GetModuleFileNameW", "into " + std::to_string(size) + " characters, fewer than the name's " +
                                                   std::to_string(device.size() + 1));
    }
    if (name == nullptr) {
        ce::device_fault("GetModuleFileNameW", "name NULL");
    }
    std::memcpy(name, device.c_str(), (device.size() + 1) * sizeof(char16_t));
    return static_cast<DWORD>(device.size());
}

// For a runner's guest.
namespace ce::guest {

namespace {

// A resource's name or type: a number up to 0xFFFF, or a wide text.
LPCWSTR resource_name(int n)
{
    uint32_t value = argument(n);
    return value <= 0xFFFF ? MAKEINTRESOURCEW(value) : text(n);
}

}  // namespace

uint32_t FindResourceW_()
{
    return guest_value(FindResourceW(module(0), resource_name(1), resource_name(2)));
}

uint32_t SizeofResource_()
{
    return SizeofResource(module(0), static_cast<HRSRC>(host_value(argument(1))));
}

uint32_t GetModuleFileNameW_()
{
    return GetModuleFileNameW(module(0), pointer<char16_t>(1, true, argument(2)), argument(2));
}

uint32_t LoadResource_()
{
    // The bytes lie in the mapped image, where the guest reads them.
    return source->address_of(LoadResource(module(0), static_cast<HRSRC>(host_value(argument(1)))));
}

}  // namespace ce::guest
