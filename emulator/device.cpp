#include "emulator.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

namespace ce {
namespace {

Device the_device;
int trace_fd = -1;
// Lines that may wait (trace_deferred), and the line that ends their wait,
// go out to trace.log together in one write.
char pending[65536];
size_t pending_size = 0;
thread_local DWORD last_error = 0;

// Calls counted by the gate since boot: all of them, and per name.
uint64_t calls_made = 0;
std::map<std::string, uint64_t> calls_of;

bool is_folder(const std::string& path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The upgrade-control driver: "$CE_DEVICE/ucs1" whose first word says how it
// answers the begin request.
std::string load_upgrade_driver(Device& dev)
{
    std::string path = dev.folder + "/ucs1";
    struct stat info;
    if (lstat(path.c_str(), &info) != 0) {
        dev.has_upgrade_driver = false;
        return "";
    }
    std::ifstream in(path, std::ios::binary);
    std::string word;
    if (!S_ISREG(info.st_mode) || !(in >> word) || (word != "accept" && word != "refuse")) {
        return path + ": the first word must be accept or refuse";
    }
    dev.has_upgrade_driver = true;
    dev.upgrade_driver_accepts = word == "accept";
    return "";
}

// A whole decimal number: digits only, no sign, no blank, within 64 bits.
bool parse_count(const std::string& text, uint64_t* value)
{
    if (text.empty() || text.size() > 20) {
        return false;
    }
    uint64_t number = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        uint64_t digit = static_cast<uint64_t>(c - '0');
        if (number > (UINT64_MAX - digit) / 10) {
            return false;
        }
        number = number * 10 + digit;
    }
    *value = number;
    return true;
}

// A process that ends through exit(): the run-time's buffers go out, as on
// the device.
void end_of_process()
{
    hand_over_open_streams();
    flush_console();
    flush_trace();
}

std::string traced_call_names()
{
    std::string names;
    for (const char* const* name = TRACED_CALLS; *name != nullptr; ++name) {
        names += names.empty() ? "" : " ";
        names += *name;
    }
    return names;
}

// CE_POWER_CUT, CE_FAIL and CE_STORAGE_BYTES from the environment.
std::string load_fault_knobs(Device& dev)
{
    if (const char* cut = std::getenv("CE_POWER_CUT")) {
        if (!parse_count(cut, &dev.power_cut_at) || dev.power_cut_at == 0) {
            return std::string("CE_POWER_CUT=") + cut +
                   ": it must be a whole number from 1 up, the traced call that the power fails before";
        }
    }
    if (const char* fail = std::getenv("CE_FAIL")) {
        std::string knob = fail;
        size_t at = knob.find('@');
        std::string name = knob.substr(0, at);
        if (!is_traced_call(name)) {
            return "CE_FAIL=" + knob + ": " + (name.empty() ? std::string("no function named") : name + " is not a traced call") +
                   "; it must be NAME or NAME@K with NAME one of " + traced_call_names();
        }
        dev.fail_call = name;
        dev.fail_nth = 1;
        if (at != std::string::npos && (!parse_count(knob.substr(at + 1), &dev.fail_nth) || dev.fail_nth == 0)) {
            return "CE_FAIL=" + knob + ": the K of NAME@K must be a whole number from 1 up, which call of " + name +
                   " fails";
        }
    }
    if (const char* bytes = std::getenv("CE_STORAGE_BYTES")) {
        if (!parse_count(bytes, &dev.storage_bytes)) {
            return std::string("CE_STORAGE_BYTES=") + bytes +
                   ": it must be a whole number of bytes, what the storage holds in root/";
        }
        dev.storage_limited = true;
    }
    return "";
}

}  // namespace

// The one list of traced calls, in the order of their parts of the platform.
const char* const TRACED_CALLS[] = {
    "CreateFileW", "DeviceIoControl", "CloseHandle", "DeleteFileW", "MoveFileW", "FlushFileBuffers",
    "_wfopen", "fwrite", "fwprintf", "fflush", "fclose",
    "RegOpenKeyExW", "RegQueryValueExW", "RegCloseKey",
    "CreateProcessW", "GetExitCodeProcess", "Sleep",
    nullptr};

bool is_traced_call(const std::string& function)
{
    for (const char* const* name = TRACED_CALLS; *name != nullptr; ++name) {
        if (function == *name) {
            return true;
        }
    }
    return false;
}

std::string boot(const std::string& folder)
{
    Device dev;
    dev.folder = folder;
    while (dev.folder.size() > 1 && dev.folder.back() == '/') {
        dev.folder.pop_back();
    }
    dev.root = dev.folder + "/root";
    if (folder.empty() || !is_folder(dev.folder)) {
        return "CE_DEVICE=" + folder + " is not a folder: it must name the emulated device's folder";
    }
    if (!is_folder(dev.root)) {
        return "CE_DEVICE=" + folder + " has no root/ folder: the device's file system";
    }
    if (access(dev.folder.c_str(), W_OK) != 0) {
        return "CE_DEVICE=" + folder + " is not writable: trace.log could not be kept";
    }
    std::string complaint = load_upgrade_driver(dev);
    if (complaint.empty()) {
        complaint = load_fault_knobs(dev);
    }
    if (complaint.empty()) {
        complaint = load_registry(dev.folder + "/registry.reg");
    }
    if (!complaint.empty()) {
        return complaint;
    }
    flush_trace();
    the_device = dev;
    if (trace_fd >= 0) {
        close(trace_fd);
        trace_fd = -1;
    }
    calls_made = 0;
    calls_of.clear();
    start_storage();
    static bool ended_at_exit = std::atexit(end_of_process) == 0;
    (void)ended_at_exit;
    return "";
}

void boot_or_exit()
{
    const char* folder = std::getenv("CE_DEVICE");
    std::string complaint = folder == nullptr
        ? std::string("CE_DEVICE is not set: it must name the emulated device's folder")
        : boot(folder);
    if (!complaint.empty()) {
        std::fprintf(stderr, "%s\n", complaint.c_str());
        std::exit(2);
    }
}

const Device& device()
{
    return the_device;
}

namespace {

void open_trace()
{
    if (trace_fd >= 0) {
        return;
    }
    std::string path = the_device.folder + "/trace.log";
    trace_fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (trace_fd < 0) {
        flush_console();
        std::fprintf(stderr, "%s: %s\n", path.c_str(), std::strerror(errno));
        std::_Exit(2);
    }
}

bool fits_pending(std::string_view line)
{
    return pending_size + line.size() + 1 <= sizeof pending;
}

void add_pending(std::string_view line)
{
    std::memcpy(pending + pending_size, line.data(), line.size());
    pending_size += line.size();
    pending[pending_size++] = '\n';
}

}  // namespace

void trace(std::string_view line)
{
    open_trace();
    if (!fits_pending(line)) {
        flush_trace();
    }
    if (fits_pending(line)) {
        add_pending(line);
        flush_trace();
        return;
    }
    std::string longer(line);
    longer += '\n';
    write_all(trace_fd, longer.data(), longer.size());
}

void trace_deferred(std::string_view line)
{
    open_trace();
    if (!fits_pending(line)) {
        flush_trace();
    }
    if (!fits_pending(line)) {
        trace(line);
        return;
    }
    add_pending(line);
}

void flush_trace()
{
    if (pending_size > 0 && trace_fd >= 0) {
        write_all(trace_fd, pending, pending_size);
    }
    pending_size = 0;
}

size_t write_all(int fd, const char* at, size_t left)
{
    size_t written = 0;
    while (left > 0) {
        ssize_t done = write(fd, at, left);
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done <= 0) {
            break;
        }
        at += done;
        left -= static_cast<size_t>(done);
        written += static_cast<size_t>(done);
    }
    return written;
}

bool call_fails(const char* function)
{
    if (!is_traced_call(function)) {
        // A fault of the emulation itself, never of the tool.
        std::fprintf(stderr, "emulation: %s is not in the list of traced calls\n", function);
        std::abort();
    }
    ++calls_made;
    uint64_t nth = ++calls_of[function];
    if (calls_made == the_device.power_cut_at) {
        // What was printed before the cut is on the screen.
        flush_console();
        trace("power cut");
        lose_what_is_not_durable();
        // As if the power went: no handler, no exit code, nothing flushed.
        std::raise(SIGKILL);
        std::_Exit(137);
    }
    return function == the_device.fail_call && nth == the_device.fail_nth;
}

std::string injected()
{
    return fail(INJECTED_ERROR) + " injected";
}

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
std::map<HANDLE, std::unique_ptr<HandleEntry>> handles;
}

HANDLE new_handle(HandleKind kind, const std::string& name, long pid)
{
    std::unique_ptr<HandleEntry> entry(new HandleEntry{kind, name, pid});
    HANDLE handle = entry.get();
    handles[handle] = std::move(entry);
    return handle;
}

HandleEntry* find_handle(HANDLE handle)
{
    auto found = handles.find(handle);
    return found == handles.end() ? nullptr : found->second.get();
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
