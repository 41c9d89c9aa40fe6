// Error names and the handles of devices and processes.
#include "emulator.h"

#include <map>
#include <memory>

namespace ce {
namespace {
thread_local DWORD last_error = 0;
}  // namespace

std::string error_name(DWORD error)
{
    switch (error) {
    case ERROR_SUCCESS: return "ERROR_SUCCESS";
    case ERROR_FILE_NOT_FOUND: return "ERROR_FILE_NOT_FOUND";
    case ERROR_PATH_NOT_FOUND: return "ERROR_PATH_NOT_FOUND";
    case ERROR_ACCESS_DENIED: return "ERROR_ACCESS_DENIED";
    case ERROR_INVALID_HANDLE: return "ERROR_INVALID_HANDLE";
    case ERROR_NOT_ENOUGH_MEMORY: return "ERROR_NOT_ENOUGH_MEMORY";
    case ERROR_GEN_FAILURE: return "ERROR_GEN_FAILURE";
    case ERROR_SHARING_VIOLATION: return "ERROR_SHARING_VIOLATION";
    case ERROR_NOT_SUPPORTED: return "ERROR_NOT_SUPPORTED";
    case ERROR_FILE_EXISTS: return "ERROR_FILE_EXISTS";
    case ERROR_INVALID_PARAMETER: return "ERROR_INVALID_PARAMETER";
    case ERROR_DISK_FULL: return "ERROR_DISK_FULL";
    case ERROR_INVALID_NAME: return "ERROR_INVALID_NAME";
    case ERROR_BAD_EXE_FORMAT: return "ERROR_BAD_EXE_FORMAT";
    case ERROR_ALREADY_EXISTS: return "ERROR_ALREADY_EXISTS";
    case ERROR_MORE_DATA: return "ERROR_MORE_DATA";
    default: return "error " + std::to_string(error);
    }
}

std::string fail(DWORD error)
{
    SetLastError(error);
    return "failed " + error_name(error);
}

namespace {
// Multiples of four from 0x1000, as CE's handles are, one count for every
// kind, so that no id names two objects.
const uintptr_t FIRST_ID = 0x1000;
uintptr_t next_id = FIRST_ID;
std::map<HANDLE, HandleEntry> handles;
}  // namespace

uintptr_t issue_id()
{
    uintptr_t id = next_id;
    next_id += 4;
    return id;
}

void start_handles()
{
    handles.clear();
    next_id = FIRST_ID;
}

HANDLE new_handle(HandleKind kind, const std::string& name, long pid)
{
    HANDLE handle = reinterpret_cast<HANDLE>(issue_id());
    handles[handle] = HandleEntry{kind, name, pid};
    return handle;
}

HandleEntry* find_handle(HANDLE handle)
{
    auto found = handles.find(handle);
    return found == handles.end() ? nullptr : &found->second;
}

bool handle_of_kind_open(HandleKind kind)
{
    for (const auto& entry : handles) {
        if (entry.second.kind == kind) {
            return true;
        }
    }
    return false;
}

bool forget_handle(HANDLE handle)
{
    return handles.erase(handle) == 1;
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
    return ce::last_error;
}

extern "C" void SetLastError(DWORD error)
{
    ce::last_error = error;
}

