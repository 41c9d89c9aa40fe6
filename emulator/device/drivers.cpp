// Stream devices: the upgrade-control driver "UCS1:", and CloseHandle for
// the device and process handles the emulation hands out.
#include "emulator.h"
#include "guest.h"
#include "case_fold.h"

#include <cstdio>

namespace {

bool is_device_name(const std::string& name)
{
    // Device names are three letters, a digit and a colon, as "UCS1:".
    if (name.size() != 5 || name[4] != ':' || name[3] < '0' || name[3] > '9') {
        return false;
    }
    for (int i = 0; i < 3; ++i) {
        char c = name[i];
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                              DWORD disposition, DWORD flags, HANDLE template_file)
{
    (void)security;
    (void)flags;
    (void)template_file;
    std::string shown = name == nullptr ? "NULL" : ce::to_utf8(name);
    ce::Call call("CreateFileW", shown, ce::hex(access), std::to_string(share), std::to_string(disposition));
    bool no_name = name == nullptr || name[0] == 0;
    if (!no_name && !is_device_name(shown)) {
        // The tool opens only devices this way; its files go through streams.
        ce::not_modelled("CreateFileW", shown);
    }
    if (call.fails()) {
        return call.injected(INVALID_HANDLE_VALUE);
    }
    if (no_name) {
        return call.failed(ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);
    }
    if (ce::fold(name) != u"UCS1:" || !ce::device().has_upgrade_driver) {
        return call.failed(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
    }
    if (disposition != OPEN_EXISTING) {
        return call.failed(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    }
    if (ce::handle_of_kind_open(ce::HandleKind::Device)) {
        return call.failed(ERROR_SHARING_VIOLATION, INVALID_HANDLE_VALUE);
    }
    HANDLE driver = ce::new_handle(ce::HandleKind::Device, "UCS1:");
    call.ok();
    return driver;
}

extern "C" BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD in_size, LPVOID out,
                                DWORD out_size, LPDWORD returned, LPOVERLAPPED overlapped)
{
    (void)in;
    (void)out;
    (void)overlapped;
    ce::Call call("DeviceIoControl", ce::handle_name(device), ce::hex(code));
    if (call.fails()) {
        return call.injected(FALSE);
    }
    ce::HandleEntry* entry = ce::find_handle(device);
    if (entry == nullptr || entry->kind != ce::HandleKind::Device) {
        return call.failed(ERROR_INVALID_HANDLE, FALSE);
    }
    if (returned != nullptr) {
        *returned = 0;
    }
    bool known = (code == 0x284 || code == 0x288) && in_size == 0 && out_size == 0;
    if (!known) {
        return call.failed(ERROR_INVALID_PARAMETER, FALSE);
    }
    if (code == 0x284 && !ce::device().upgrade_driver_accepts) {
        return call.failed(ERROR_GEN_FAILURE, FALSE);
    }
    call.ok();
    return TRUE;
}

extern "C" BOOL CloseHandle(HANDLE handle)
{
    ce::Call call("CloseHandle", ce::handle_name(handle));
    if (call.fails()) {
        return call.injected(FALSE);
    }
    ce::HandleEntry* entry = ce::find_handle(handle);
    // A stream's file handle belongs to the stream: fclose closes it.
    if (entry == nullptr || entry->kind == ce::HandleKind::File) {
        return call.failed(ERROR_INVALID_HANDLE, FALSE);
    }
    ce::forget_handle(handle);
    call.ok();
    return TRUE;
}

// For a runner's guest.
namespace ce::guest {

uint32_t CreateFileW_()
{
    return guest_value(CreateFileW(text(0), argument(1), argument(2), opaque<struct CeSecurityAttributes>(3),
                                              argument(4), argument(5), handle(6)));
}

uint32_t DeviceIoControl_()
{
    void* in = source->memory_or_null(2, argument(2), argument(3), false);
    void* out = source->memory_or_null(4, argument(4), argument(5), true);
    return DeviceIoControl(handle(0), argument(1), in, argument(3), out, argument(5), pointer<DWORD>(6, true),
                           opaque<struct CeOverlapped>(7));
}

uint32_t CloseHandle_()
{
    return CloseHandle(handle(0));
}

}  // namespace ce::guest
