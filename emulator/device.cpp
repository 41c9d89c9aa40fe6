#include "emulator.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>

namespace ce {
namespace {

Device the_device;
int trace_fd = -1;
// Lines that may wait (trace_deferred), and the line that ends their wait,
// go out to trace.log together in one write.
char pending[65536];
size_t pending_size = 0;
thread_local DWORD last_error = 0;

// Calls counted by the gate since boot: all of them, and per name, by the
// name's place in TRACED_CALLS.
uint64_t calls_made = 0;
uint64_t calls_of[32];

std::string mode_text(mode_t mode)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// Whether the host lets this user read or write the file, and its mode lets
// someone: a file nobody may write is read-only whoever runs the emulation.
// The file is `name` in the folder open as `folder`, or the path itself.
std::string refused(const std::string& path, const struct stat& info, bool write, int folder = AT_FDCWD,
                    const char* name = nullptr)
{
    mode_t bits = write ? 0222 : 0444;
    const char* how = write ? "written" : "read";
    if ((info.st_mode & bits) == 0) {
        return path + " cannot be " + how + ": its mode " + mode_text(info.st_mode) + " lets no one";
    }
    if (S_ISDIR(info.st_mode) && (info.st_mode & 0111) == 0) {
        return path + " cannot be searched: its mode " + mode_text(info.st_mode) + " lets no one";
    }
    int wanted = (write ? W_OK : R_OK) | (S_ISDIR(info.st_mode) ? X_OK : 0);
    if (faccessat(folder, name != nullptr ? name : path.c_str(), wanted, 0) != 0) {
        return path + " cannot be " + how + ": " + std::strerror(errno);
    }
    return "";
}

// A folder of the device. CE_DEVICE itself may be named through a link
// (follow); root/ must be a folder of its own, or writes would leave it.
std::string check_folder(const std::string& path, const std::string& shown, bool follow, bool write,
                         const char* must)
{
    struct stat info;
    if ((follow ? stat(path.c_str(), &info) : lstat(path.c_str(), &info)) != 0) {
        return shown + (errno == ENOENT ? std::string(" does not exist") : ": " + std::string(std::strerror(errno))) +
               ": " + must;
    }
    if (!S_ISDIR(info.st_mode)) {
        return shown + " is " + kind_of(info.st_mode) + ", not a folder: " + must;
    }
    std::string complaint = refused(path, info, false);
    if (complaint.empty() && write) {
        complaint = refused(path, info, true);
    }
    return complaint;
}

// The upgrade-control driver: "$CE_DEVICE/ucs1" whose first word says how it
// answers the begin request. Only as much is read as holds that word.
std::string load_upgrade_driver(Device& dev)
{
    std::string path = dev.folder + "/ucs1";
    std::string complaint;
    int fd = open_device_file(path, "the upgrade-control driver ucs1", complaint);
    if (fd < 0) {
        dev.has_upgrade_driver = false;
        return complaint;
    }
    const size_t most = 4096;
    std::string head = read_at_most(fd, most + 1);
    close(fd);
    size_t first = head.find_first_not_of(" \t\n\r\v\f");
    size_t end = first == std::string::npos ? first : head.find_first_of(" \t\n\r\v\f", first);
    std::string word = first == std::string::npos || first >= most ? "" : head.substr(first, end - first);
    if (word != "accept" && word != "refuse") {
        return path + ": the first word must be accept or refuse";
    }
    dev.has_upgrade_driver = true;
    dev.upgrade_driver_accepts = word == "accept";
    return "";
}

// trace.log, if it is there already: the emulation appends to it.
std::string check_trace_file(const std::string& path)
{
    struct stat info;
    if (lstat(path.c_str(), &info) != 0) {
        return errno == ENOENT ? "" : path + ": " + std::strerror(errno);
    }
    if (!S_ISREG(info.st_mode)) {
        return path + " is " + kind_of(info.st_mode) + ": the trace must be a regular file";
    }
    if (info.st_nlink > 1) {
        return path + " has " + std::to_string(info.st_nlink) + " hard links: the trace must be a file of its own";
    }
    return refused(path, info, true);
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

// CE_POWER_CUT, CE_FAIL, CE_STORAGE_BYTES and CE_PROGRAMS from the environment.
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
    if (const char* programs = std::getenv("CE_PROGRAMS")) {
        if (std::string(programs) != "unconfined") {
            return std::string("CE_PROGRAMS=") + programs +
                   ": it must be unconfined, to run the device's programs with the user's full rights, or unset";
        }
        dev.programs_unconfined = true;
    }
    return "";
}

}  // namespace

const char* kind_of(unsigned mode)
{
    return S_ISREG(mode) ? "a regular file" : S_ISDIR(mode) ? "a folder" : S_ISLNK(mode) ? "a symbolic link"
         : S_ISFIFO(mode) ? "a FIFO" : S_ISSOCK(mode) ? "a socket" : S_ISCHR(mode) ? "a character device"
         : S_ISBLK(mode) ? "a block device" : "a file of an unknown kind";
}

// The traced rows of the one table of COREDLL's functions, in its order.
#define CE_TRACED_NAME_TRACED(name) name,
#define CE_TRACED_NAME_UNTRACED(name)
#define COREDLL_CALL(name, ordinal, kind, traced) CE_TRACED_NAME_##traced(#name)
const char* const TRACED_CALLS[] = {
#include "coredll_calls.h"
    nullptr};
#undef COREDLL_CALL
#undef CE_TRACED_NAME_UNTRACED
#undef CE_TRACED_NAME_TRACED
static_assert(std::size(TRACED_CALLS) <= std::size(calls_of), "a count for every traced call");

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
    if (folder.empty()) {
        return "CE_DEVICE is empty: it must name the emulated device's folder";
    }
    std::string complaint = check_folder(dev.folder, "CE_DEVICE=" + folder, true, true,
                                         "it must name the emulated device's folder");
    if (complaint.empty()) {
        complaint = check_folder(dev.root, dev.root, false, false, "the device's file system must be a folder");
    }
    if (complaint.empty()) {
        complaint = load_upgrade_driver(dev);
    }
    if (complaint.empty()) {
        complaint = check_trace_file(dev.folder + "/trace.log");
    }
    if (complaint.empty()) {
        complaint = load_fault_knobs(dev);
    }
    if (complaint.empty()) {
        complaint = load_registry(dev.folder);
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
    std::fill(std::begin(calls_of), std::end(calls_of), 0);
    start_storage();
    start_console();
    static bool ended_at_exit = std::atexit(end_of_process) == 0;
    (void)ended_at_exit;
    return "";
}

int open_device_file(const std::string& path, const std::string& role, std::string& complaint)
{
    return open_device_file_at(AT_FDCWD, path, path, role, complaint);
}

int open_device_file_at(int folder, const std::string& name, const std::string& path, const std::string& role,
                        std::string& complaint)
{
    complaint.clear();
    struct stat info;
    if (fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT) {
            complaint = path + ": " + std::strerror(errno);
        }
        return -1;
    }
    if (!S_ISREG(info.st_mode)) {
        complaint = path + " is " + kind_of(info.st_mode) + ": " + role + " must be a regular file";
        return -1;
    }
    complaint = refused(path, info, false, folder, name.c_str());
    if (!complaint.empty()) {
        return -1;
    }
    // Never blocks, never follows a link that took the file's place meanwhile.
    int fd = openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat opened;
    if (fd < 0 || fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
        complaint = path + " cannot be read: " + (fd < 0 ? std::strerror(errno) : "it is no longer a regular file");
        if (fd >= 0) {
            close(fd);
        }
        return -1;
    }
    return fd;
}

std::string read_at_most(int fd, size_t most)
{
    std::string bytes;
    char block[65536];
    while (bytes.size() < most) {
        size_t wanted = most - bytes.size() < sizeof block ? most - bytes.size() : sizeof block;
        ssize_t got = read(fd, block, wanted);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        bytes.append(block, static_cast<size_t>(got));
    }
    return bytes;
}

namespace {

volatile sig_atomic_t signals_held = 0;
volatile sig_atomic_t waiting_signal = 0;
volatile sig_atomic_t ending = 0;

const int ENDING_SIGNALS[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};

const char* killed_line(int signal_number)
{
    switch (signal_number) {
    case SIGHUP: return "killed by SIGHUP\n";
    case SIGINT: return "killed by SIGINT\n";
    case SIGQUIT: return "killed by SIGQUIT\n";
    default: return "killed by SIGTERM\n";
    }
}

// Writes out what was traced and what waits for the console, then ends the
// process as the signal does. Only async-signal-safe calls: it runs in the
// handler, or where a held section ends.
[[noreturn]] void end_by_signal(int signal_number)
{
    ending = 1;
    std::signal(signal_number, SIG_DFL);  // a second one ends it at once
    // The trace first: a console nobody reads may block.
    if (trace_fd >= 0) {
        write_all(trace_fd, pending, pending_size);
        pending_size = 0;
        write_all(trace_fd, killed_line(signal_number), std::strlen(killed_line(signal_number)));
    }
    flush_console();
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal_number);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    raise(signal_number);
    _exit(128 + signal_number);
}

void on_signal(int signal_number)
{
    if (ending) {
        std::signal(signal_number, SIG_DFL);
        raise(signal_number);
        return;
    }
    if (signals_held > 0) {
        waiting_signal = signal_number;
        return;
    }
    end_by_signal(signal_number);
}

// A closed standard stream would be the number the next open takes: the
// trace must never land on the console, nor the console in a device file.
void open_standard_streams()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF &&
            open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY) != fd) {
            std::_Exit(2);
        }
    }
}

void take_signals()
{
    // A console whose reader has gone swallows the output, as a screen would.
    std::signal(SIGPIPE, SIG_IGN);
    struct sigaction handled = {};
    handled.sa_handler = on_signal;
    sigemptyset(&handled.sa_mask);
    for (int s : ENDING_SIGNALS) {
        sigaddset(&handled.sa_mask, s);
    }
    // No SA_RESTART: a console write that blocks gives way to the signal.
    handled.sa_flags = 0;
    for (int s : ENDING_SIGNALS) {
        struct sigaction now;
        // What the caller ignores stays ignored (nohup, a background job).
        if (sigaction(s, nullptr, &now) == 0 && now.sa_handler == SIG_DFL) {
            sigaction(s, &handled, nullptr);
        }
    }
}

}  // namespace

SignalsHeld::SignalsHeld()
{
    signals_held = signals_held + 1;
}

SignalsHeld::~SignalsHeld()
{
    signals_held = signals_held - 1;
    if (signals_held == 0 && waiting_signal != 0 && !ending) {
        end_by_signal(waiting_signal);
    }
}

bool signal_waits()
{
    return waiting_signal != 0 && !ending;
}

void boot_or_exit()
{
    open_standard_streams();
    take_signals();
    const char* folder = std::getenv("CE_DEVICE");
    std::string complaint = folder == nullptr
        ? std::string("CE_DEVICE is not set: it must name the emulated device's folder")
        : boot(folder);
    if (!complaint.empty()) {
        std::fprintf(stderr, "%s\n", complaint.c_str());
        std::exit(2);
    }
}

std::u16string command_line_of(int argc, char** argv, int first)
{
    std::string joined;
    for (int i = first; i < argc; ++i) {
        if (i > first) {
            joined += ' ';
        }
        joined += argv[i];
    }
    return to_utf16(joined);
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
    // Checked at boot; what took its place since is refused as well.
    trace_fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    struct stat info;
    if (trace_fd < 0 || fstat(trace_fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1) {
        flush_console();
        std::fprintf(stderr, "%s: %s\n", path.c_str(),
                     trace_fd < 0 ? std::strerror(errno) : "no longer a regular file of its own");
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
    SignalsHeld held;
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
    SignalsHeld held;
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
    SignalsHeld held;
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
        if (done < 0 && errno == EINTR && !signal_waits()) {
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

namespace {

// The place of the name in TRACED_CALLS. Called once per chunk of the image:
// the place of the last name asked for is tried first.
size_t place_of_traced_call(const char* function)
{
    static size_t last = 0;
    if (std::strcmp(TRACED_CALLS[last], function) == 0) {
        return last;
    }
    for (size_t place = 0; TRACED_CALLS[place] != nullptr; ++place) {
        if (std::strcmp(TRACED_CALLS[place], function) == 0) {
            last = place;
            return place;
        }
    }
    // A fault of the emulation itself, never of the tool.
    std::fprintf(stderr, "emulation: %s is not in the list of traced calls\n", function);
    std::abort();
}

}  // namespace

bool call_fails(const char* function)
{
    size_t place = place_of_traced_call(function);
    ++calls_made;
    uint64_t nth = ++calls_of[place];
    if (calls_made == the_device.power_cut_at) {
        // What was printed before the cut is on the screen.
        flush_console();
        trace("power cut");
        lose_what_is_not_durable();
        // As if the power went: no handler, no exit code, nothing flushed.
        std::raise(SIGKILL);
        std::_Exit(137);
    }
    return nth == the_device.fail_nth && function == the_device.fail_call;
}

namespace {

[[noreturn]] void end_loudly(const std::string& trace_line, const std::string& complaint, int status)
{
    {
        SignalsHeld held;
        if (!the_device.folder.empty()) {
            trace(trace_line);
        }
        flush_console();
        flush_trace();
    }
    std::fprintf(stderr, "%s\n", complaint.c_str());
    std::fflush(stderr);
    // No exit(): its handlers would hand the streams' buffers to the files.
    std::_Exit(status);
}

}  // namespace

void device_fault(std::string_view call, std::string_view argument)
{
    std::string what = std::string(call) + " fault " + std::string(argument);
    end_loudly(what, "device fault: " + std::string(call) + " " + std::string(argument) +
                         ": the device stops the program here", FAULT_STATUS);
}

void not_modelled(std::string_view call, std::string_view what)
{
    std::string line = std::string(call) + " " + std::string(what) + " not modelled";
    end_loudly(line, "emulation: " + line + ": the emulation cannot tell what the device would do",
               EMULATION_ERROR_STATUS);
}

void Call::ends(std::string_view result)
{
    line_->append(result);
    trace(*line_);
}

void Call::ends_deferred(std::string_view result)
{
    line_->append(result);
    trace_deferred(*line_);
}

void Call::returns()
{
    line_->pop_back();
    trace(*line_);
}

void Call::failed(DWORD error)
{
    ends(fail(error));
}

void Call::injected()
{
    ends(ce::injected());
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
