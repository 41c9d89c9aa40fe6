// COREDLL.dll for desktop Windows, so that Wine can run a device build of the
// tool: each function the device build may import, under CE's name, as a
// cdecl function on the desktop API, with CE's behaviour where the two
// differ. The run-time's functions are msvcrt's own, which are cdecl too
// (tests/device/CMakeLists.txt forwards them), but for the two below. The
// program runs with C:\ as its working folder, which plays the device's
// root, where CE resolves a name without a leading backslash.
#include <stdio.h>
#include <io.h>
#include <windows.h>

namespace {

// On CE a program's instance is its process id; it and NULL both name the
// program's own module.
HMODULE module_of(HMODULE instance)
{
    if (instance == NULL || instance == (HMODULE)(UINT_PTR)GetCurrentProcessId()) {
        return GetModuleHandleW(NULL);
    }
    return instance;
}

// CE hands the entry its command line without the program's name.
LPWSTR arguments_of(LPWSTR line)
{
    if (*line == '"') {
        for (++line; *line != 0 && *line != '"'; ++line) {
        }
        if (*line == '"') {
            ++line;
        }
    } else {
        while (*line != 0 && *line != ' ' && *line != '\t') {
            ++line;
        }
    }
    while (*line == ' ' || *line == '\t') {
        ++line;
    }
    return line;
}

typedef int (*CeEntry)(HINSTANCE instance, HINSTANCE previous_instance, LPWSTR command_line, int show_state);

}  // namespace

extern "C" {

HRSRC ce_FindResourceW(HMODULE instance, LPCWSTR name, LPCWSTR type)
{
    return FindResourceW(module_of(instance), name, type);
}

HGLOBAL ce_LoadResource(HMODULE instance, HRSRC resource)
{
    return LoadResource(module_of(instance), resource);
}

DWORD ce_SizeofResource(HMODULE instance, HRSRC resource)
{
    return SizeofResource(module_of(instance), resource);
}

HANDLE ce_CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD creation,
                      DWORD flags, HANDLE template_file)
{
    return CreateFileW(name, access, share, security, creation, flags, template_file);
}

BOOL ce_DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD in_size, LPVOID out, DWORD out_size,
                        LPDWORD returned, LPOVERLAPPED overlapped)
{
    return DeviceIoControl(device, code, in, in_size, out, out_size, returned, overlapped);
}

BOOL ce_CloseHandle(HANDLE handle)
{
    return CloseHandle(handle);
}

BOOL ce_DeleteFileW(LPCWSTR name)
{
    return DeleteFileW(name);
}

BOOL ce_MoveFileW(LPCWSTR from, LPCWSTR to)
{
    return MoveFileW(from, to);
}

BOOL ce_FlushFileBuffers(HANDLE file)
{
    return FlushFileBuffers(file);
}

// CE ignores the access mask and opens the key for every use.
LONG ce_RegOpenKeyExW(HKEY key, LPCWSTR sub_key, DWORD options, REGSAM, PHKEY opened)
{
    return RegOpenKeyExW(key, sub_key, options, KEY_ALL_ACCESS, opened);
}

LONG ce_RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size)
{
    return RegQueryValueExW(key, name, reserved, type, data, size);
}

LONG ce_RegCloseKey(HKEY key)
{
    return RegCloseKey(key);
}

// CE ignores the start-up information; the desktop reads one on every start.
BOOL ce_CreateProcessW(LPCWSTR application, LPWSTR command_line, LPSECURITY_ATTRIBUTES process_security,
                       LPSECURITY_ATTRIBUTES thread_security, BOOL inherit, DWORD flags, LPVOID environment,
                       LPCWSTR folder, LPSTARTUPINFOW, LPPROCESS_INFORMATION process)
{
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    return CreateProcessW(application, command_line, process_security, thread_security, inherit, flags, environment,
                          folder, &startup, process);
}

BOOL ce_GetExitCodeProcess(HANDLE process, LPDWORD code)
{
    return GetExitCodeProcess(process, code);
}

void ce_Sleep(DWORD milliseconds)
{
    Sleep(milliseconds);
}

BOOL ce_TerminateProcess(HANDLE process, UINT code)
{
    return TerminateProcess(process, code);
}

DWORD ce_GetLastError(void)
{
    return GetLastError();
}

void ce_SetLastError(DWORD error)
{
    SetLastError(error);
}

DWORD ce_GetModuleFileNameW(HMODULE module, LPWSTR name, DWORD size)
{
    return GetModuleFileNameW(module, name, size);
}

// CE gives the file's handle itself.
void* ce__fileno(FILE* file)
{
    return (void*)_get_osfhandle(_fileno(file));
}

FILE* ce__getstdfilex(int number)
{
    switch (number) {
    case 0:
        return stdin;
    case 1:
        return stdout;
    case 2:
        return stderr;
    default:
        return NULL;
    }
}

}  // extern "C"

// CE's loader, once the program is mapped and its imports bound, calls its
// entry with the program's four arguments and ends the process with what it
// returns. The desktop's loader would call the same address with one
// argument of its own, so this does CE's step before it gets there.
BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason != DLL_PROCESS_ATTACH) {
        return TRUE;
    }
    BYTE* program = (BYTE*)GetModuleHandleW(NULL);
    IMAGE_NT_HEADERS* headers = (IMAGE_NT_HEADERS*)(program + ((IMAGE_DOS_HEADER*)program)->e_lfanew);
    CeEntry entry = (CeEntry)(program + headers->OptionalHeader.AddressOfEntryPoint);
    int status = entry((HINSTANCE)(UINT_PTR)GetCurrentProcessId(), NULL, arguments_of(GetCommandLineW()), SW_SHOW);
    ExitProcess((UINT)status);
}
