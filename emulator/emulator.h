// Internals shared by the parts of the emulated device.
#ifndef CE_EMULATOR_H
#define CE_EMULATOR_H

// The emulation calls the host's printf, fwrite, fflush ... by their names.
#define CE_EMULATION_ITSELF
#include <windows.h>

#include "device.h"
#include "hex.h"

#include <csignal>
#include <cstdint>
#include <string>
#include <vector>
#include <string_view>

namespace ce {

// The parts of a boot that the signal handlers read, kept at file level in
// their own files: the standard streams opened and the ending signals taken
// (signals.cpp), trace.log closed so that the next line opens the new
// device's (trace.cpp). The console's waiting output is written out at a
// boot, as at the end of a process: it is the same screen.
void open_standard_streams();
void take_signals();
// A run that has not ended after `seconds` of wall-clock time is stopped as
// a signal stops it: the trace's waiting lines and "stopped at the time
// limit", the console's waiting output, then `said` on standard error, and
// exit status 124, as timeout(1) ends one. What the device holds is left as
// it is at that moment; the programs it started end with it.
void limit_time(unsigned seconds, const std::string& said);
void start_trace();
// For the signal handler only, async-signal-safe: the lines that wait,
// then this one, to trace.log.
void trace_at_signal(const char* line);

// Checks CE_DEVICE, everything the device is made of and the fault knobs
// (CE_POWER_CUT, CE_FAIL, CE_STORAGE_BYTES). On a fault, prints one line on
// standard error and exits with status 2: nothing is touched.
void boot_or_exit();
// The command line the device hands a program: its arguments from argv[first]
// on, joined by blanks, without the program's own name.
std::u16string command_line_of(int argc, char** argv, int first);

struct Registry;
// Reads the registry that a device folder boots with: registry.reg and the
// files it includes, with the build variables of registry.env; a missing
// registry.reg is an empty registry. The complaint "FILE:LINE: what" (or one
// naming the file) for a fault; registry is then left as it was.
std::string read_device_registry(const std::string& folder, Registry& registry);

// For the emulation's own tests: boots on the given folder with the knobs of
// the environment, or returns the one-line complaint without exiting.
std::string boot(const std::string& folder);

// A runner that can run the device's own programs (ce-run) says so before
// its boot: a CE program that the device starts then runs under the same
// runner. Such a program is booted with as_started_program: the device it
// shares with the tool is the tool's, read-only but for root/, and its calls
// are the tool's to trace and to fail, not its own.
void runs_device_programs();
void as_started_program();

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

// The console's buffer: what the tool prints waits here, in order, and is
// written out when it is full, before every console read, program start,
// pause and flush to storage, once its oldest byte has waited 50 ms, and at
// the end of the process, a power cut included.
const size_t CONSOLE_BYTES = 4096;
void write_console(const char* bytes, size_t size);
void flush_console();

// The variadic functions' parts after the formatting, for a caller that
// formats elsewhere (a runner, from a guest's stack; printf's and wprintf's
// text goes to write_console as UTF-8): fwprintf's to a stream, with its
// result; _snwprintf's into the buffer of count characters, with its result.
int print_to_stream(FILE* stream, const std::u16string& text);
// What fwprintf checks before it reads its format: a stream that is not
// open (NULL, closed, made up) is a fault, as at any other call on it.
void check_stream(const char* call, FILE* stream);
int copy_formatted(char16_t* buffer, size_t count, const std::u16string& text);

// What a stream holds before it hands it to the file system: 1 MiB, so that
// the 21 MB image reaches the host in 21 writes.
const size_t STREAM_BYTES = 1024 * 1024;
// At the end of the process the run-time hands every open stream's buffer
// to the file system, as exit() does on the device.
void hand_over_open_streams();

// Writes bytes to fd as far as fd takes them; the count written. A write
// that blocks gives way to a signal that ends the process.
size_t write_all(int fd, const char* bytes, size_t size);

// SIGHUP, SIGINT, SIGQUIT and SIGTERM write out the waiting trace lines, the
// line "killed by SIGINT" (or the signal's name) and the console's waiting
// output, then end the process as the signal does. While the console's or
// the trace's buffers change, such a signal waits for the change to finish.
// Inline: every traced call holds them, once per chunk of the image.
extern volatile sig_atomic_t signals_held;
extern volatile sig_atomic_t waiting_signal;
extern volatile sig_atomic_t ending;
[[noreturn]] void end_by_waiting_signal();
struct SignalsHeld {
    SignalsHeld() { signals_held = signals_held + 1; }
    ~SignalsHeld()
    {
        signals_held = signals_held - 1;
        if (signals_held == 0 && waiting_signal != 0 && !ending) {
            end_by_waiting_signal();
        }
    }
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;
};
// True once a signal waits to end the process.
bool signal_waits();

// Opens a file of the device folder for reading after checking what it is:
// a regular file (no link, FIFO, folder, ...) that may be read. -1 with an
// empty complaint when it does not exist; -1 with the one-line complaint,
// naming the file and what is wrong, otherwise. The role names the file in it.
int open_device_file(const std::string& path, const std::string& role, std::string& complaint);
// The same for the file `name` in the folder open as `folder`, named `path`
// in the complaint.
int open_device_file_at(int folder, const std::string& name, const std::string& path, const std::string& role,
                        std::string& complaint);
// What a host file is, by its mode, as a complaint names it: "a FIFO".
const char* kind_of(unsigned mode);
// At most `most` bytes from fd.
std::string read_at_most(int fd, size_t most);

// Decodes the UTF-8 sequence at text[at] into c and its length; false for a
// malformed sequence, whose length is then the bytes to skip (at least one).
// The length a UTF-8 sequence has by its lead byte; 0 for a byte that
// cannot lead one.
size_t utf8_length(unsigned char lead);
bool decode_utf8(const std::string& text, size_t at, char32_t& c, size_t& length);
void append_utf16(std::u16string& out, char32_t c);

// The pieces of text between any of the separators, empty pieces dropped.
std::vector<std::string> split(const std::string& text, const char* separators);

// A zero-ended text up to its end (nothing for NULL); a string whole, any
// NUL in it included.
std::string to_utf8(const char16_t* text);
std::string to_utf8(const std::u16string& text);
std::u16string to_utf16(const std::string& text);
// The 16-bit units as the device stores them, low byte first.
std::string utf16le(const std::u16string& text);
// The 16-bit units of such bytes from `from` on; an odd last byte is none.
std::u16string from_utf16le(const std::string& bytes, size_t from = 0);
// Control characters escaped (\n, \r, \t, \xNN) so that a trace entry stays one line.
std::string quoted(const std::string& text);

// Exit statuses the emulation ends with besides the tool's own: 2 for its
// own errors (a faulty device folder or knob, something not modelled), 3
// for a fault of the device (what on the device is a page fault).
const int EMULATION_ERROR_STATUS = 2;
const int FAULT_STATUS = 3;

// Ends the run as a fault on the device: the call dereferenced a pointer the
// tool passed (or met what the device's run-time cannot do). Writes the
// trace line "CALL fault ARGUMENT", then the waiting trace lines and the
// console go out as at an exit; what the streams' buffers hold is lost, as
// the run-time's buffers are when the device stops a program. One line on
// standard error, exit status FAULT_STATUS.
[[noreturn]] void device_fault(std::string_view call, std::string_view argument);
// Ends the run where the tool asks for what the device does and the
// emulation does not model: the trace line "CALL WHAT not modelled", the
// same flushes, one line on standard error, exit status 2. Never taken for
// one of the device's refusals.
[[noreturn]] void not_modelled(std::string_view call, std::string_view what);

// Every call that trace.log records passes through here before it acts, with
// its name as the trace spells it (one of TRACED_CALLS). It counts the call:
// the power fails here when CE_POWER_CUT names it, and the process never
// returns. True when CE_FAIL names this call: the caller then acts on
// nothing, fails the way that function fails on the device, and traces the
// failure with injected() or the word "injected".
bool call_fails(const char* function);

// One traced call on its way through the gate: its trace line is the
// call's name and arguments, then the result it ends with. A handler asks
// fails() first; on true it acts on nothing and ends with injected() (or
// the words its function's injected failure has).
class CallLine {
public:
    // A line the caller keeps, already "NAME ARGUMENTS ": the call appends
    // its result there, so that a line made once serves many calls.
    CallLine(const char* name, std::string& line) : name_(name), line_(&line) {}
    CallLine(const CallLine&) = delete;
    CallLine& operator=(const CallLine&) = delete;

    bool fails() const { return call_fails(name_); }
    // The trace line ends with these words.
    void ends(std::string_view result);
    // The same, the line waiting as trace_deferred's do.
    void ends_deferred(std::string_view result)
    {
        line_->append(result);
        trace_deferred(*line_);
    }
    // A call that has no result to show, as a pause: the line is its name and arguments.
    void returns();
    void ok() { ends("ok"); }
    // "failed ERROR_...", the thread's last error set.
    void failed(DWORD error);
    // "failed ERROR_GEN_FAILURE injected", the last error set.
    void injected();
    // The same, returning what the function returns when it fails.
    template <class Result>
    Result failed(DWORD error, Result result)
    {
        failed(error);
        return result;
    }
    template <class Result>
    Result injected(Result result)
    {
        injected();
        return result;
    }

private:
    const char* name_;
    std::string* line_;
};

// The same with a line of its own, made from the arguments as the trace
// shows them, joined by blanks.
class Call : public CallLine {
public:
    template <class... Arguments>
    Call(const char* name, const Arguments&... arguments) : CallLine(name, own_)
    {
        own_ = name;
        (add(arguments), ...);
        own_ += ' ';
    }

private:
    // Text only: a number is shown as the trace wants it (hex, decimal) by its caller.
    void add(std::string_view argument)
    {
        own_ += ' ';
        own_ += argument;
    }
    std::string own_;
};

// The names of every traced call; CE_FAIL accepts these only.
extern const char* const TRACED_CALLS[];
bool is_traced_call(const std::string& function);

// The error an injected failure reports. Sets the thread's last error and
// returns the result for the trace: "failed ERROR_GEN_FAILURE injected".
const DWORD INJECTED_ERROR = ERROR_GEN_FAILURE;
std::string injected();

// Name of a Win32 error code as written in the trace.
std::string error_name(DWORD error);
// "ok", or "failed ERROR_..." after setting the thread's last error.
std::string fail(DWORD error);

// Confinement of the programs the device starts (sandbox.cpp).
//
// A start reports on a pipe: START_IN_SANDBOX once bwrap has set the sandbox
// up; START_FAILED with the errno of a failed exec (bwrap's, or the
// program's after START_IN_SANDBOX), START_MESSAGE_BYTES in all. A pipe
// that ends with neither was closed by the program's exec.
const char START_IN_SANDBOX = 'S';
const char START_FAILED = 'F';
const size_t START_MESSAGE_BYTES = 1 + sizeof(int);
void report_start(int fd, char tag, int error);
// Marks every descriptor from first on to be closed on exec.
void close_on_exec_from(int first);
// "R C": the report pipe and the console's standard error, in the
// environment of the start inside the sandbox.
extern const char* const SANDBOX_START;
// The bwrap on an absolute entry of PATH; empty when there is none.
std::string find_bwrap();
// bwrap's arguments: root/ (its path without links, open as root_fd) the
// only writable place and the working folder, the system-call filter read
// from seccomp_fd, then the start, this executable open as start_fd, and the
// program's own argument vector. With folder_fd, the device's folder open,
// the program sees that folder read-only around root/.
std::vector<std::string> sandbox_arguments(const std::string& root, int root_fd, int seccomp_fd, int start_fd,
                                           const std::vector<std::string>& program, int folder_fd = -1);
// The calls the sandbox's filter looks at, by their numbers for one ABI.
struct SyscallNumbers {
    int chmod, fchmod, fchmodat, fchmodat2, open, openat, creat, mknod, mknodat, openat2, io_uring_setup;
};
extern const SyscallNumbers I386_CALLS;
// A sealed file holding the compiled filter bwrap installs, read from its
// start; -1 with errno on failure. It refuses a setuid or setgid mode to
// every call that sets one, openat2 and io_uring_setup (whose modes and
// requests it cannot see) with ENOSYS so that callers fall back, x32 calls,
// and kills a program of any ABI other than x86-64 and i386.
int seccomp_filter_fd();

// Handles, streams, keys and resources are small ids, issued here and
// valid until the next boot, which issues them afresh: the same values for
// the host build and for a runner's guest.
uintptr_t issue_id();
HANDLE new_handle(HandleKind kind, const std::string& name, long pid = 0);
bool handle_of_kind_open(HandleKind kind);
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
    bool is_regular = false;  // a regular file, not a FIFO, socket or device node
    // The device's FAT has neither: a file with a second hard link, or one
    // whose mode lets no one write it, is never written nor deleted.
    bool hard_linked = false;
    bool read_only = false;
    std::string host;       // the host path, when ok
};
HostPath resolve(const char16_t* device_path);

// True while the tool holds the host file open through a stream.
bool is_open_stream(const std::string& host_path);

// The device's storage: what survives a power cut, and how much it holds.
// File contents are written at the end of a file only (the streams have no
// seek), so what is durable of a file is always a prefix: its length says it.
//
// The bytes that root/ holds, as a limited storage counts them at boot.
uint64_t bytes_under(const std::string& folder);
// A stream opened for writing: "w" emptied or created the file (durable at
// once), "a" keeps what it held (durable as it stood).
void storage_opened(const std::string& host, bool emptied);
// The length of the file that is on the storage for good after a flush.
void storage_flushed(const std::string& host, uint64_t durable_length);
void storage_deleted(const std::string& host);
void storage_moved(const std::string& from, const std::string& to);
// Bytes of content that still fit; UINT64_MAX when the storage is not limited.
uint64_t storage_room();
// Content added to or taken from the files in root/.
void storage_grew(uint64_t bytes);
void storage_shrank(uint64_t bytes);
// The power fails: every tracked file falls back to its durable length.
void lose_what_is_not_durable();

// True when the bytes lie wholly in the executable's resources: read-only,
// the same for as long as the process runs.
bool in_resources(const void* bytes, size_t size);

}  // namespace ce

HINSTANCE ce_executable_instance();

#endif
