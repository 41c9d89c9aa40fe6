// Processes: a program on the device is a host program under root/, started
// confined to the device (sandbox.cpp), with root/ as its working folder and
// CE_DEVICE in its environment.
#include "emulator.h"
#include "guest.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iterator>
#include <map>
#include <vector>

extern char** environ;

namespace {

using ce::Child;

// Set by a runner that runs CE programs: ce-run.
bool device_programs = false;

// A CE program (a PE file) rather than a host program: it begins with "MZ".
bool is_ce_program(const std::string& host)
{
    int fd = open(host.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    char head[2] = {0, 0};
    bool pe = fd >= 0 && pread(fd, head, 2, 0) == 2 && head[0] == 'M' && head[1] == 'Z';
    if (fd >= 0) {
        close(fd);
    }
    return pe;
}

DWORD start_error(int error)
{
    switch (error) {
    case EACCES:
    case EPERM:
    case EISDIR:
        return ERROR_ACCESS_DENIED;
    case ENOMEM:
    case EAGAIN:
        return ERROR_NOT_ENOUGH_MEMORY;
    default:
        // ENOEXEC, a missing interpreter (ENOENT), ELIBBAD and the like: the
        // file is there but is no program.
        return ERROR_BAD_EXE_FORMAT;
    }
}

bool names(HANDLE handle, ce::HandleKind kind, pid_t pid)
{
    ce::HandleEntry* entry = ce::find_handle(handle);
    return entry != nullptr && entry->kind == kind && entry->pid == pid;
}

// Collects the exit status once the program has ended. A program killed by
// signal N reads as exit code 128 + N, as the shell reports it.
void look(pid_t pid, Child& child)
{
    if (child.ended) {
        return;
    }
    int status = 0;
    pid_t done;
    do {
        done = waitpid(pid, &status, WNOHANG);
    } while (done < 0 && errno == EINTR);
    if (done == 0) {
        return;
    }
    // Gone without a status (collected elsewhere): ended, with code 0.
    child.ended = true;
    if (done == pid && WIFEXITED(status)) {
        child.exit_code = static_cast<DWORD>(WEXITSTATUS(status));
    } else if (done == pid && WIFSIGNALED(status)) {
        child.exit_code = 128u + static_cast<DWORD>(WTERMSIG(status));
    }
}

// Programs whose handles the tool has closed keep running; once ended they
// are reaped here, so that none stays a zombie while the tool runs on.
void reap_released()
{
    for (auto it = ce::device().children.begin(); it != ce::device().children.end();) {
        bool held = names(it->second.process, ce::HandleKind::Process, it->first) ||
                    names(it->second.thread, ce::HandleKind::Thread, it->first);
        if (!held) {
            look(it->first, it->second);
        }
        it = !held && it->second.ended ? ce::device().children.erase(it) : std::next(it);
    }
}

// A descriptor closed when it goes out of scope.
struct Descriptor {
    int fd = -1;
    explicit Descriptor(int opened = -1) : fd(opened) {}
    ~Descriptor()
    {
        if (fd >= 0) {
            close(fd);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
};

// The host path of an open folder, without links.
std::string path_of(int fd)
{
    char path[PATH_MAX];
    ssize_t length = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), path, sizeof path);
    return length > 0 && static_cast<size_t>(length) < sizeof path ? std::string(path, static_cast<size_t>(length))
                                                                    : std::string();
}

int wait_for(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

// Why bwrap ended before the program started: the first line it wrote, or
// how it ended.
std::string bwrap_failure(int errors, int status)
{
    char said[512];
    ssize_t length = pread(errors, said, sizeof said, 0);
    std::string line = length > 0 ? std::string(said, static_cast<size_t>(length)) : std::string();
    line = line.substr(0, line.find('\n'));
    if (!line.empty()) {
        return ce::quoted(line);
    }
    return WIFSIGNALED(status) ? "bwrap killed by signal " + std::to_string(WTERMSIG(status))
                               : "bwrap ended with status " + std::to_string(WEXITSTATUS(status)) +
                                     " before the program started";
}

// Starts the program at `inside` (its path under root/), confined unless
// CE_PROGRAMS=unconfined; a CE program under this runner, which reads the
// device's folder. On failure returns the error and leaves no child; `why`
// then says why confinement could not be had.
DWORD spawn(const std::string& inside, const std::vector<std::string>& arguments, bool ce_program, pid_t* started,
            std::string& why)
{
    bool confined = !ce::device().programs_unconfined;
    // The folder booted, opened once: what is bound and searched is what was checked.
    Descriptor root_fd(open(ce::device().root.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    std::string root = root_fd.fd < 0 ? std::string() : path_of(root_fd.fd);
    if (root.empty() || root[0] != '/') {
        return root_fd.fd < 0 ? start_error(errno) : ERROR_ACCESS_DENIED;
    }
    std::string folder = root.substr(0, root.rfind('/'));
    Descriptor folder_fd(ce_program ? open(folder.empty() ? "/" : folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC) : -1);
    if (ce_program && folder_fd.fd < 0) {
        return start_error(errno);
    }
    std::vector<std::string> program{root + inside};
    program.insert(program.end(), arguments.begin(), arguments.end());
    if (ce_program) {
        char runner[PATH_MAX];
        ssize_t length = readlink("/proc/self/exe", runner, sizeof runner);
        if (length <= 0 || static_cast<size_t>(length) >= sizeof runner) {
            return ERROR_ACCESS_DENIED;
        }
        program.insert(program.begin(), {std::string(runner, static_cast<size_t>(length)), "--started-program"});
    }

    // The program reports through this pipe: it ends at the program's exec.
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        return start_error(errno);
    }
    Descriptor report_in(report[0]);
    Descriptor report_out(report[1]);
    std::string device_entry = "CE_DEVICE=" + (folder.empty() ? std::string("/") : folder);
    std::vector<std::string> exec_args = program;
    std::vector<int> passed;
    Descriptor start, console, errors, filter;
    std::string start_entry;
    if (confined) {
        std::string bwrap = ce::find_bwrap();
        if (bwrap.empty()) {
            why = "no bwrap on PATH";
            return ERROR_ACCESS_DENIED;
        }
        start.fd = open("/proc/self/exe", O_PATH | O_CLOEXEC);
        console.fd = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
        // bwrap's own complaints, kept from the console for the trace.
        errors.fd = memfd_create("bwrap", MFD_CLOEXEC);
        if (start.fd < 0 || console.fd < 0 || errors.fd < 0) {
            why = std::string("no sandbox: ") + std::strerror(errno);
            return ERROR_ACCESS_DENIED;
        }
        filter.fd = ce::seccomp_filter_fd();
        if (filter.fd < 0) {
            why = std::string("no system-call filter: ") + std::strerror(errno);
            return ERROR_ACCESS_DENIED;
        }
        if (ce_program) {
            // The runner as the sandbox holds it: its host path may not be there.
            program[0] = "/proc/self/fd/" + std::to_string(start.fd);
        }
        exec_args = ce::sandbox_arguments(root, root_fd.fd, filter.fd, start.fd, program, folder_fd.fd);
        exec_args.insert(exec_args.begin(), bwrap);
        passed = {report[1], root_fd.fd, start.fd, console.fd, filter.fd};
        if (ce_program) {
            passed.push_back(folder_fd.fd);
        }
        start_entry = std::string(ce::SANDBOX_START) + "=" + std::to_string(report[1]) + " " +
                      std::to_string(console.fd);
    }
    std::vector<char*> argv;
    for (std::string& s : exec_args) {
        argv.push_back(&s[0]);
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry = *e;
        if (entry.compare(0, 10, "CE_DEVICE=") != 0 && entry.compare(0, 17, "CE_SANDBOX_START=") != 0) {
            envp.push_back(*e);
        }
    }
    envp.push_back(&device_entry[0]);
    if (confined) {
        envp.push_back(&start_entry[0]);
    }
    envp.push_back(nullptr);

    // The host must keep exit statuses for the emulation to read.
    struct sigaction child_signal;
    if (sigaction(SIGCHLD, nullptr, &child_signal) == 0 && child_signal.sa_handler == SIG_IGN) {
        signal(SIGCHLD, SIG_DFL);
    }
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) {
        return start_error(errno);
    }
    if (pid == 0) {
        // Only async-signal-safe calls from here to exec. The program gets
        // none of the tool's open files, and ends when the emulation does
        // (confined, bwrap sees to the program's own children too).
        if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) {
            ce::report_start(report[1], ce::START_FAILED, errno);
            _exit(127);
        }
        if (getppid() != parent) {
            _exit(127);
        }
        ce::close_on_exec_from(3);
        for (int fd : passed) {
            fcntl(fd, F_SETFD, 0);
        }
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int s = 1; s < NSIG; ++s) {
            signal(s, SIG_DFL);
        }
        // A console of its own: the program does not read the tool's keys.
        int nothing = open("/dev/null", O_RDONLY | O_CLOEXEC);
        int error = 0;
        if (nothing < 0 ||
            (nothing == STDIN_FILENO ? fcntl(nothing, F_SETFD, 0) : dup2(nothing, STDIN_FILENO)) < 0) {
            error = errno;
        } else if (confined ? dup2(errors.fd, STDERR_FILENO) < 0 : chdir(root.c_str()) != 0) {
            error = errno;
        } else {
            execve(argv[0], argv.data(), envp.data());
            error = errno;
        }
        ce::report_start(report[1], ce::START_FAILED, error);
        _exit(127);
    }
    close(report_out.fd);
    report_out.fd = -1;
    char said[2 * ce::START_MESSAGE_BYTES];
    size_t got = 0;
    for (;;) {
        ssize_t n = read(report_in.fd, said + got, sizeof said - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0 || (got += static_cast<size_t>(n)) == sizeof said) {
            break;
        }
    }
    // Unconfined the message comes first; confined, after bwrap's "up".
    size_t at = confined && got > 0 && said[0] == ce::START_IN_SANDBOX ? 1 : 0;
    bool up = !confined || at == 1;
    if (up && got == at) {
        *started = pid;
        return ERROR_SUCCESS;
    }
    int status = wait_for(pid);
    int error = 0;
    if (got >= at + ce::START_MESSAGE_BYTES && said[at] == ce::START_FAILED) {
        std::memcpy(&error, said + at + 1, sizeof error);
    }
    if (up) {
        return error != 0 ? start_error(error) : ERROR_BAD_EXE_FORMAT;
    }
    why = error != 0 ? argv[0] + std::string(": ") + std::strerror(error) : bwrap_failure(errors.fd, status);
    return ERROR_ACCESS_DENIED;
}

}  // namespace

extern "C" BOOL CreateProcessW(LPCWSTR application, LPWSTR command_line, LPSECURITY_ATTRIBUTES process_attributes,
                               LPSECURITY_ATTRIBUTES thread_attributes, BOOL inherit_handles, DWORD flags,
                               LPVOID environment, LPCWSTR current_directory, LPSTARTUPINFOW startup_info,
                               LPPROCESS_INFORMATION process_information)
{
    std::string shown = application == nullptr ? "NULL" : ce::to_utf8(application);
    std::string arguments = command_line == nullptr ? std::string() : ce::to_utf8(command_line);
    ce::Call call("CreateProcessW", shown, command_line == nullptr ? "NULL" : ce::quoted(arguments), ce::hex(flags));
    if (process_information == nullptr) {
        // The device writes the handles there unchecked.
        ce::device_fault("CreateProcessW", "process information NULL");
    }
    if (call.fails()) {
        return call.injected(FALSE);
    }
    reap_released();
    // The device supports none of these; the program is named by application.
    bool supported = application != nullptr && process_attributes == nullptr && thread_attributes == nullptr &&
                     !inherit_handles && (flags & ~CREATE_NEW_CONSOLE) == 0 && environment == nullptr &&
                     current_directory == nullptr && startup_info == nullptr;
    if (!supported) {
        return call.failed(ERROR_INVALID_PARAMETER, FALSE);
    }
    ce::HostPath where = ce::resolve(application);
    if (!where.ok) {
        return call.failed(where.error, FALSE);
    }
    if (!where.exists) {
        return call.failed(ERROR_FILE_NOT_FOUND, FALSE);
    }
    if (where.is_folder) {
        return call.failed(ERROR_ACCESS_DENIED, FALSE);
    }
    pid_t pid = 0;
    // The program writes to the same console: what the tool printed comes first.
    ce::flush_console();
    // The command line as arguments: split at blanks, no quoting.
    std::string why;
    DWORD error = spawn(where.host.substr(ce::device().root.size()), ce::split(arguments, " \t"),
                        device_programs && is_ce_program(where.host), &pid, why);
    if (error != ERROR_SUCCESS) {
        call.ends(ce::fail(error) + (why.empty() ? "" : " cannot confine: " + why));
        return FALSE;
    }
    Child& child = ce::device().children[pid];
    child.process = ce::new_handle(ce::HandleKind::Process, shown, pid);
    child.thread = ce::new_handle(ce::HandleKind::Thread, shown, pid);
    process_information->hProcess = child.process;
    process_information->hThread = child.thread;
    process_information->dwProcessId = static_cast<DWORD>(pid);
    process_information->dwThreadId = static_cast<DWORD>(pid);
    call.ok();
    return TRUE;
}

extern "C" BOOL GetExitCodeProcess(HANDLE process, LPDWORD exit_code)
{
    ce::Call call("GetExitCodeProcess", ce::handle_name(process));
    if (call.fails()) {
        return call.injected(FALSE);
    }
    reap_released();
    ce::HandleEntry* entry = ce::find_handle(process);
    if (entry == nullptr || entry->kind != ce::HandleKind::Process) {
        return call.failed(ERROR_INVALID_HANDLE, FALSE);
    }
    if (exit_code == nullptr) {
        return call.failed(ERROR_INVALID_PARAMETER, FALSE);
    }
    pid_t pid = static_cast<pid_t>(entry->pid);
    Child& child = ce::device().children[pid];
    look(pid, child);
    *exit_code = child.ended ? child.exit_code : STILL_ACTIVE;
    call.ends("ok " + std::to_string(*exit_code));
    return TRUE;
}

extern "C" void Sleep(DWORD milliseconds)
{
    // Sleep cannot fail on the device: the call counts, and pauses all the same.
    ce::Call call("Sleep", std::to_string(milliseconds));
    (void)call.fails();
    ce::flush_console();
    timespec left;
    left.tv_sec = static_cast<time_t>(milliseconds / 1000);
    left.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
    call.returns();
}

// Ending a started program would have to end its whole sandbox and hand the
// code to GetExitCodeProcess; the tool ends none, so it is refused loudly.
extern "C" BOOL TerminateProcess(HANDLE process, UINT exit_code)
{
    ce::not_modelled("TerminateProcess", ce::handle_name(process) + " " + std::to_string(exit_code));
}

void ce::runs_device_programs()
{
    device_programs = true;
}

// For a runner's guest.
namespace ce::guest {

uint32_t CreateProcessW_()
{
    // PROCESS_INFORMATION in the guest's layout: two handles, two ids.
    uint32_t* information = pointer<uint32_t>(9, true, 4);
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
    return GetExitCodeProcess(handle(0), pointer<DWORD>(1, true));
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

}  // namespace ce::guest
