// Each of COREDLL's functions for the guest: its arguments from the guest's
// stack, pointers checked against the guest's memory, handles as ids, then
// the emulation's own function, which traces and fails as on the host.
#include "coredll.h"

#include <cstring>
#include <string>

#include "emulator.h"
#include "resource_table.h"
#include "runner.h"

namespace ce_run {
namespace {

// A module handle that is neither NULL nor the program's own.
char other_module;
struct CeModule* const OTHER_MODULE = reinterpret_cast<struct CeModule*>(&other_module);

const char16_t* text(int n)
{
    return guest_wide_text(n, argument(n));
}

// A pointer the emulation only tells from NULL (security attributes, an
// environment, start-up information): checked to lie in guest memory.
template <typename T>
T* opaque(int n)
{
    return static_cast<T*>(guest_memory_or_null(n, argument(n), 1, false));
}

HANDLE handle(int n)
{
    return static_cast<HANDLE>(host_value(argument(n)));
}

FILE* stream(int n)
{
    return host_stream(argument(n));
}

HKEY key(int n)
{
    return static_cast<HKEY>(host_value(argument(n)));
}

HMODULE module(int n)
{
    uint32_t value = argument(n);
    return value == 0 ? nullptr : value == process_id() ? ce_executable_instance() : OTHER_MODULE;
}

// A resource's name or type: a number up to 0xFFFF, or a wide text.
LPCWSTR resource_name(int n)
{
    uint32_t value = argument(n);
    return value <= 0xFFFF ? MAKEINTRESOURCEW(value) : text(n);
}

uint32_t FindResourceW_()
{
    return guest_value(FindResourceW(module(0), resource_name(1), resource_name(2)));
}

uint32_t SizeofResource_()
{
    return SizeofResource(module(0), static_cast<HRSRC>(host_value(argument(1))));
}

uint32_t LoadResource_()
{
    // The bytes lie in the mapped image, where the guest reads them.
    return guest_address(LoadResource(module(0), static_cast<HRSRC>(host_value(argument(1)))));
}

uint32_t CreateFileW_()
{
    return guest_value(CreateFileW(text(0), argument(1), argument(2), opaque<struct CeSecurityAttributes>(3),
                                              argument(4), argument(5), handle(6)));
}

uint32_t DeviceIoControl_()
{
    void* in = guest_memory_or_null(2, argument(2), argument(3), false);
    void* out = guest_memory_or_null(4, argument(4), argument(5), true);
    return DeviceIoControl(handle(0), argument(1), in, argument(3), out, argument(5), guest_pointer<DWORD>(6, true),
                           opaque<struct CeOverlapped>(7));
}

uint32_t CloseHandle_()
{
    return CloseHandle(handle(0));
}

uint32_t DeleteFileW_()
{
    return DeleteFileW(text(0));
}

uint32_t MoveFileW_()
{
    return MoveFileW(text(0), text(1));
}

uint32_t FlushFileBuffers_()
{
    return FlushFileBuffers(handle(0));
}

uint32_t RegOpenKeyExW_()
{
    uint32_t* result = guest_pointer<uint32_t>(4, true);
    HKEY opened = nullptr;
    LONG status = RegOpenKeyExW(key(0), text(1), argument(2), argument(3), result == nullptr ? nullptr : &opened);
    if (result != nullptr) {
        *result = guest_value(opened);
    }
    return static_cast<uint32_t>(status);
}

uint32_t RegQueryValueExW_()
{
    DWORD* size = guest_pointer<DWORD>(5, true);
    // The data buffer is as large as the size offered says.
    void* data = guest_memory_or_null(4, argument(4), size == nullptr || *size == 0 ? 1 : *size, true);
    return static_cast<uint32_t>(RegQueryValueExW(key(0), text(1), opaque<DWORD>(2), guest_pointer<DWORD>(3, true),
                                                  static_cast<LPBYTE>(data), size));
}

uint32_t RegCloseKey_()
{
    return static_cast<uint32_t>(RegCloseKey(key(0)));
}

uint32_t CreateProcessW_()
{
    // PROCESS_INFORMATION in the guest's layout: two handles, two ids.
    uint32_t* information = guest_pointer<uint32_t>(9, true, 4);
    PROCESS_INFORMATION started = {nullptr, nullptr, 0, 0};
    BOOL ok = CreateProcessW(text(0), const_cast<LPWSTR>(text(1)), opaque<struct CeSecurityAttributes>(2),
                             opaque<struct CeSecurityAttributes>(3), argument(4), argument(5), opaque<void>(6), text(7),
                             opaque<struct _STARTUPINFOW>(8), information == nullptr ? nullptr : &started);
    if (ok && information != nullptr) {
        information[0] = guest_value(started.hProcess);
        information[1] = guest_value(started.hThread);
        information[2] = started.dwProcessId;
        information[3] = started.dwThreadId;
    }
    return ok;
}

uint32_t GetExitCodeProcess_()
{
    return GetExitCodeProcess(handle(0), guest_pointer<DWORD>(1, true));
}

uint32_t Sleep_()
{
    Sleep(argument(0));
    return 0;
}

uint32_t TerminateProcess_()
{
    return TerminateProcess(handle(0), argument(1));
}

uint32_t getwchar_()
{
    // The device's wint_t is 16 bits wide, its WEOF 0xFFFF.
    wint_t unit = ce_getwchar();
    return unit == WEOF ? 0xFFFF : unit & 0xFFFF;
}

uint32_t _wfopen_()
{
    return guest_stream(ce_wfopen(text(0), text(1)));
}

uint32_t fwrite_()
{
    // Nothing to write reads nothing: the emulation then never looks at it.
    uint64_t bytes = static_cast<uint64_t>(argument(1)) * argument(2);
    const void* data = bytes == 0 ? nullptr : guest_memory_or_null(0, argument(0), bytes, false);
    return static_cast<uint32_t>(ce_fwrite(data, argument(1), argument(2), stream(3)));
}

uint32_t fflush_()
{
    return static_cast<uint32_t>(ce_fflush(stream(0)));
}

uint32_t fclose_()
{
    return static_cast<uint32_t>(ce_fclose(stream(0)));
}

uint32_t _fileno_()
{
    return guest_value(ce_fileno(stream(0)));
}

uint32_t _getstdfilex_()
{
    // The emulation's console is the host's standard output and errors.
    FILE* const standard[] = {stdin, stdout, stderr};
    uint32_t number = argument(0);
    return number < 3 ? guest_stream(standard[number]) : 0;
}

uint32_t memcpy_()
{
    // Nothing to copy touches neither pointer.
    uint32_t size = argument(2);
    if (size != 0) {
        void* to = guest_memory(0, argument(0), size, true);
        std::memmove(to, guest_memory(1, argument(1), size, false), size);
    }
    return argument(0);
}

uint32_t memset_()
{
    uint32_t size = argument(2);
    if (size != 0) {
        std::memset(guest_memory(0, argument(0), size, true), static_cast<int>(argument(1) & 0xff), size);
    }
    return argument(0);
}

}  // namespace

uint32_t printf_();
uint32_t wprintf_();
uint32_t fwprintf_();
uint32_t _snwprintf_();

CoredllFunction COREDLL[] = {
#define COREDLL_CALL(name, ordinal, kind, traced) {#name, ordinal, name##_, 0},
#include "coredll_calls.h"
#undef COREDLL_CALL
};
const size_t COREDLL_COUNT = sizeof COREDLL / sizeof COREDLL[0];

const CoredllFunction* find_coredll_function(const char* name, uint32_t ordinal)
{
    for (const CoredllFunction& f : COREDLL) {
        if (name[0] != 0 ? std::strcmp(f.name, name) == 0 : f.ordinal == ordinal) {
            return &f;
        }
    }
    return nullptr;
}

}  // namespace ce_run
