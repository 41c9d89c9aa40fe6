// Internals shared by the parts of the emulated device.
#ifndef CE_EMULATOR_H
#define CE_EMULATOR_H

#include <windows.h>

#include <string>
#include <string_view>

namespace ce {

// The device folder named by CE_DEVICE, checked before the tool runs.
struct Device {
    std::string folder;  // $CE_DEVICE
    std::string root;    // $CE_DEVICE/root
    bool has_upgrade_driver = false;
    bool upgrade_driver_accepts = false;
};

// Checks CE_DEVICE and everything the device is made of. On a fault, prints
// one line on standard error and exits with status 2: nothing is touched.
void boot_or_exit();
const Device& device();

// For the emulation's own tests: boots on the given folder, or returns the
// one-line complaint without exiting.
std::string boot(const std::string& folder);

// One line of trace.log: the call, its arguments as passed, its result.
// Written at once, after the lines that wait.
void trace(std::string_view line);
// The same for a call that a run makes once per chunk of the image: the line
// waits in memory, in order, until the next trace(), a console read, the end
// of the process (exit) or 64 KiB of waiting lines.
void trace_deferred(std::string_view line);
// Writes out the lines that wait. Whatever ends the process without exit(),
// or lets another program read trace.log, calls this first.
void flush_trace();

std::string to_utf8(const char16_t* text);
std::string to_utf8(const std::u16string& text);
std::u16string to_utf16(const std::string& text);
// Control characters escaped (\n, \r, \t, \xNN) so that a trace entry stays one line.
std::string quoted(const std::string& text);

// Every call that trace.log records passes through here before it acts, with
// its name as the trace spells it. True when the fault knobs make this call
// fail; the caller then fails the way that function fails on the device.
bool call_fails(const char* function);

// Name of a Win32 error code as written in the trace.
std::string error_name(DWORD error);
// "ok", or "failed ERROR_..." after setting the thread's last error.
std::string fail(DWORD error);

// Handles of devices and processes.
enum class HandleKind { Device, Process, Thread };
struct HandleEntry {
    HandleKind kind;
    std::string name;
    long pid;
};
HANDLE new_handle(HandleKind kind, const std::string& name, long pid = 0);
HandleEntry* find_handle(HANDLE handle);
bool forget_handle(HANDLE handle);
std::string handle_name(HANDLE handle);

// A device path resolved inside root/. Names match case-insensitively; a
// name that does not exist yet keeps the spelling given.
struct HostPath {
    bool ok = false;        // false: the path leaves the device or is malformed
    DWORD error = 0;        // why not, when !ok
    bool exists = false;
    bool is_folder = false;
    std::string host;       // the host path, when ok
};
HostPath resolve(const char16_t* device_path);

// True while the tool holds the host file open through a stream.
bool is_open_stream(const std::string& host_path);

}  // namespace ce

HINSTANCE ce_executable_instance();

#endif
