// The calls of call_rows.h, made by their Win32 names: on the emulated device
// in the host tests, on the real API in tests/windows/api_probe.cpp.
#include <windows.h>

#include <stdio.h>
#ifdef _WIN32
#include <io.h>
#endif

#include "call_rows.h"

namespace {

long failure(bool ok)
{
    DWORD error = GetLastError();
    return ok ? 0 : error != 0 ? static_cast<long>(error) : 1;
}

#ifdef _WIN32
HANDLE file_handle(FILE* file)
{
    return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
}
#else
HANDLE file_handle(FILE* file)
{
    return _fileno(file);
}
#endif

// The set-up the emulation has no call for is made before the boot.
long make(const CallRow& row, const WCHAR* name, const WCHAR* other)
{
#ifdef _WIN32
    HKEY key = NULL;
    if (row.kind == MAKE_FOLDER) {
        return failure(CreateDirectoryW(name, NULL) != 0);
    }
    LONG made = row.kind == MAKE_KEY
        ? RegCreateKeyExW(HKEY_LOCAL_MACHINE, name, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL)
        : RegOpenKeyExW(HKEY_LOCAL_MACHINE, name, 0, KEY_ALL_ACCESS, &key);
    if (made == 0 && row.kind == MAKE_VALUE) {
        made = RegSetValueExW(key, other, 0, REG_SZ, reinterpret_cast<const BYTE*>(L"1"), 4);
    }
    if (key != NULL) {
        RegCloseKey(key);
    }
    return made;
#else
    (void)row;
    (void)name;
    (void)other;
    return 0;
#endif
}

}  // namespace

long call_row(const CallRow& row, const WCHAR* name, const WCHAR* other)
{
    HKEY key = NULL;
    FILE* file = NULL;
    long result = 1;
    SetLastError(0);
    switch (row.kind) {
    case MAKE_FILE:
        file = _wfopen(name, TEXT("wb"));
        return failure(file != NULL && fwrite("made", 1, 4, file) == 4 && fclose(file) == 0);
    case MAKE_FOLDER: case MAKE_KEY: case MAKE_VALUE:
        return make(row, name, other);
    case OPEN_TO_READ:
        file = _wfopen(name, TEXT("r"));
        result = failure(file != NULL);
        break;
    case MOVE:
        return failure(MoveFileW(name, other) != 0);
    case DELETE_FILE:
        return failure(DeleteFileW(name) != 0);
    case OPEN_KEY:
    case QUERY_VALUE: {
        LONG opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, name, 0, KEY_QUERY_VALUE, &key);
        if (opened != 0) {
            return row.kind == OPEN_KEY ? opened : 1;
        }
        DWORD size = 0;
        LONG queried = row.kind == OPEN_KEY ? 0 : RegQueryValueExW(key, other, NULL, NULL, NULL, &size);
        RegCloseKey(key);
        return queried;
    }
    case FLUSH_ALL:
        file = _wfopen(name, TEXT("w"));
        result = failure(file != NULL && fwrite("x", 1, 1, file) == 1 && fflush(NULL) == 0);
        break;
    case FLUSH_CONSOLE:
        return failure(fflush(stdout) == 0);
    case WRITE_NOTHING:
        file = _wfopen(name, TEXT("wb"));
        result = file != NULL && fwrite("x", 0, 5, file) == 0 ? static_cast<long>(GetLastError()) : 1;
        break;
    case FLUSH_READ_ONLY:
        file = _wfopen(name, TEXT("r"));
        result = file == NULL ? 1 : failure(FlushFileBuffers(file_handle(file)) != 0);
        break;
    case CLOSE_ROOT_KEY:
        return RegCloseKey(HKEY_LOCAL_MACHINE);
    case CLOSE_INVALID:
        return failure(CloseHandle(INVALID_HANDLE_VALUE) != 0);
    case EXIT_CODE_INVALID: {
        DWORD code = 0;
        return failure(GetExitCodeProcess(INVALID_HANDLE_VALUE, &code) != 0);
    }
    case READ_BACK: {
        file = _wfopen(name, TEXT("rb"));
        char bytes[16];
        result = file == NULL ? failure(false) : fread(bytes, 1, sizeof bytes, file) == 4 ? 0 : 1;
        break;
    }
    case DELETE_OPEN:
        file = _wfopen(name, TEXT("wb"));
        result = file == NULL ? 1 : failure(DeleteFileW(name) != 0);
        break;
    }
    if (file != NULL) {
        fclose(file);
    }
    return result;
}
