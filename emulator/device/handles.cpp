// Error names and the handles of devices and processes.
#include "emulator.h"
#include "guest.h"

#include <map>
#include <memory>

namespace ce {

std::string error_name(DWORD error)
{
    // Each code by its own name, spelt once.
#define CE_ERROR_NAME(code) {code, #code},
    static const struct {
        DWORD code;
        const char* name;
    } NAMES[] = {
        CE_ERROR_NAME(ERROR_SUCCESS)
        CE_ERROR_NAME(ERROR_FILE_NOT_FOUND)
        CE_ERROR_NAME(ERROR_PATH_NOT_FOUND)
        CE_ERROR_NAME(ERROR_ACCESS_DENIED)
        CE_ERROR_NAME(ERROR_INVALID_HANDLE)
        CE_ERROR_NAME(ERROR_NOT_ENOUGH_MEMORY)
        CE_ERROR_NAME(ERROR_GEN_FAILURE)
        CE_ERROR_NAME(ERROR_SHARING_VIOLATION)
        CE_ERROR_NAME(ERROR_NOT_SUPPORTED)
        CE_ERROR_NAME(ERROR_FILE_EXISTS)
        CE_ERROR_NAME(ERROR_INVALID_PARAMETER)
        CE_ERROR_NAME(ERROR_DISK_FULL)
        CE_ERROR_NAME(ERROR_INVALID_NAME)
        CE_ERROR_NAME(ERROR_BAD_EXE_FORMAT)
        CE_ERROR_NAME(ERROR_ALREADY_EXISTS)
        CE_ERROR_NAME(ERROR_MORE_DATA)
    };
#undef CE_ERROR_NAME
    for (const auto& known : NAMES) {
        if (known.code == error) {
            return known.name;
        }
    }
    return "error " + std::to_string(error);
}

std::string fail(DWORD error)
{
    SetLastError(error);
    return "failed " + error_name(error);
}


uintptr_t issue_id()
{
    uintptr_t id = device().next_id;
    device().next_id += 4;
    return id;
}

HANDLE new_handle(HandleKind kind, const std::string& name, long pid)
{
    HANDLE handle = reinterpret_cast<HANDLE>(issue_id());
    device().handles[handle] = HandleEntry{kind, name, pid};
    return handle;
}

HandleEntry* find_handle(HANDLE handle)
{
    auto found = device().handles.find(handle);
    return found == device().handles.end() ? nullptr : &found->second;
}

bool handle_of_kind_open(HandleKind kind)
{
    for (const auto& entry : device().handles) {
        if (entry.second.kind == kind) {
            return true;
        }
    }
    return false;
}

bool forget_handle(HANDLE handle)
{
    return device().handles.erase(handle) == 1;
}

std::string handle_name(HANDLE handle)
{
    HandleEntry* entry = find_handle(handle);
    if (entry != nullptr) {
        return entry->name;
    }
    if (handle == nullptr) {
        return "NULL";
    }
    return handle == INVALID_HANDLE_VALUE ? "INVALID_HANDLE_VALUE" : "<not a handle>";
}

}  // namespace ce

extern "C" DWORD GetLastError(void)
{
    return ce::device().last_error;
}

extern "C" void SetLastError(DWORD error)
{
    ce::device().last_error = error;
}

namespace ce::guest {

uint32_t GetLastError_()
{
    return GetLastError();
}

uint32_t SetLastError_()
{
    SetLastError(argument(0));
    return 0;
}

}  // namespace ce::guest

