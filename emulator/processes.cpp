// Processes: a program on the device is a host program under root/, started
// with root/ as its working folder and CE_DEVICE in its environment.
#include "emulator.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <iterator>
#include <map>
#include <vector>

extern char** environ;

namespace {

// A started program, until it has been reaped and no handle names it.
struct Child {
    HANDLE process = nullptr;
    HANDLE thread = nullptr;
    bool ended = false;
    DWORD exit_code = 0;
};
std::map<pid_t, Child> children;

std::string hex(DWORD value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", value);
    return text;
}

std::string absolute(const std::string& path)
{
    if (!path.empty() && path[0] == '/') {
        return path;
    }
    std::vector<char> here(4096);
    while (getcwd(here.data(), here.size()) == nullptr && errno == ERANGE) {
        here.resize(here.size() * 2);
    }
    return std::string(here.data()) + "/" + path;
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
    for (auto it = children.begin(); it != children.end();) {
        bool held = names(it->second.process, ce::HandleKind::Process, it->first) ||
                    names(it->second.thread, ce::HandleKind::Thread, it->first);
        if (!held) {
            look(it->first, it->second);
        }
        it = !held && it->second.ended ? children.erase(it) : std::next(it);
    }
}

// Starts the host program; on failure returns the error and leaves no child.
DWORD spawn(const std::string& program, const std::vector<std::string>& arguments, pid_t* started)
{
    std::vector<std::string> argv_strings{program};
    argv_strings.insert(argv_strings.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& s : argv_strings) {
        argv.push_back(&s[0]);
    }
    argv.push_back(nullptr);

    std::string device_entry = "CE_DEVICE=" + absolute(ce::device().folder);
    std::vector<char*> envp;
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::string(*e).compare(0, 10, "CE_DEVICE=") != 0) {
            envp.push_back(*e);
        }
    }
    envp.push_back(&device_entry[0]);
    envp.push_back(nullptr);
    std::string folder = absolute(ce::device().root);

    // The host must keep exit statuses for the emulation to read.
    struct sigaction child_signal;
    if (sigaction(SIGCHLD, nullptr, &child_signal) == 0 && child_signal.sa_handler == SIG_IGN) {
        signal(SIGCHLD, SIG_DFL);
    }
    long last_fd = sysconf(_SC_OPEN_MAX);
    last_fd = last_fd < 0 || last_fd > 65536 ? 65536 : last_fd;

    // The child reports a failure to start through this pipe; a successful
    // exec closes it.
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        return start_error(errno);
    }
    pid_t pid = fork();
    if (pid < 0) {
        int error = errno;
        close(report[0]);
        close(report[1]);
        return start_error(error);
    }
    if (pid == 0) {
        // Only async-signal-safe calls from here to exec. The program gets
        // none of the tool's open files.
#ifdef CLOSE_RANGE_CLOEXEC
        if (close_range(3, ~0u, CLOSE_RANGE_CLOEXEC) != 0)
#endif
        {
            for (long fd = 3; fd < last_fd; ++fd) {
                fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
            }
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
        } else if (chdir(folder.c_str()) != 0) {
            error = errno;
        } else {
            execve(program.c_str(), argv.data(), envp.data());
            error = errno;
        }
        ssize_t ignored = write(report[1], &error, sizeof error);
        (void)ignored;
        _exit(127);
    }
    close(report[1]);
    int error = 0;
    ssize_t got;
    do {
        got = read(report[0], &error, sizeof error);
    } while (got < 0 && errno == EINTR);
    close(report[0]);
    if (got > 0) {
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        return start_error(error);
    }
    *started = pid;
    return ERROR_SUCCESS;
}

}  // namespace

extern "C" BOOL CreateProcessW(LPCWSTR application, LPWSTR command_line, LPSECURITY_ATTRIBUTES process_attributes,
                               LPSECURITY_ATTRIBUTES thread_attributes, BOOL inherit_handles, DWORD flags,
                               LPVOID environment, LPCWSTR current_directory, LPSTARTUPINFOW startup_info,
                               LPPROCESS_INFORMATION process_information)
{
    std::string shown = application == nullptr ? "NULL" : ce::to_utf8(application);
    std::string arguments = command_line == nullptr ? std::string() : ce::to_utf8(command_line);
    std::string line = "CreateProcessW " + shown + " " + (command_line == nullptr ? "NULL" : ce::quoted(arguments)) +
                       " " + hex(flags) + " ";
    if (process_information == nullptr) {
        // The device writes the handles there unchecked.
        ce::device_fault("CreateProcessW", "process information NULL");
    }
    if (ce::call_fails("CreateProcessW")) {
        ce::trace(line + ce::injected());
        return FALSE;
    }
    reap_released();
    // The device supports none of these; the program is named by application.
    bool supported = application != nullptr && process_attributes == nullptr && thread_attributes == nullptr &&
                     !inherit_handles && (flags & ~CREATE_NEW_CONSOLE) == 0 && environment == nullptr &&
                     current_directory == nullptr && startup_info == nullptr;
    if (!supported) {
        ce::trace(line + ce::fail(ERROR_INVALID_PARAMETER));
        return FALSE;
    }
    ce::HostPath where = ce::resolve(application);
    if (!where.ok) {
        ce::trace(line + ce::fail(where.error));
        return FALSE;
    }
    if (!where.exists) {
        ce::trace(line + ce::fail(ERROR_FILE_NOT_FOUND));
        return FALSE;
    }
    if (where.is_folder) {
        ce::trace(line + ce::fail(ERROR_ACCESS_DENIED));
        return FALSE;
    }
    pid_t pid = 0;
    // The program writes to the same console: what the tool printed comes first.
    ce::flush_console();
    // Absolute: the program starts in root/, away from the tool's own folder.
    // The command line as arguments: split at blanks, no quoting.
    DWORD error = spawn(absolute(where.host), ce::split(arguments, " \t"), &pid);
    if (error != ERROR_SUCCESS) {
        ce::trace(line + ce::fail(error));
        return FALSE;
    }
    Child& child = children[pid];
    child.process = ce::new_handle(ce::HandleKind::Process, shown, pid);
    child.thread = ce::new_handle(ce::HandleKind::Thread, shown, pid);
    process_information->hProcess = child.process;
    process_information->hThread = child.thread;
    process_information->dwProcessId = static_cast<DWORD>(pid);
    process_information->dwThreadId = static_cast<DWORD>(pid);
    ce::trace(line + "ok");
    return TRUE;
}

extern "C" BOOL GetExitCodeProcess(HANDLE process, LPDWORD exit_code)
{
    std::string line = "GetExitCodeProcess " + ce::handle_name(process) + " ";
    if (ce::call_fails("GetExitCodeProcess")) {
        ce::trace(line + ce::injected());
        return FALSE;
    }
    reap_released();
    ce::HandleEntry* entry = ce::find_handle(process);
    if (entry == nullptr || entry->kind != ce::HandleKind::Process) {
        ce::trace(line + ce::fail(ERROR_INVALID_HANDLE));
        return FALSE;
    }
    if (exit_code == nullptr) {
        ce::trace(line + ce::fail(ERROR_INVALID_PARAMETER));
        return FALSE;
    }
    pid_t pid = static_cast<pid_t>(entry->pid);
    Child& child = children[pid];
    look(pid, child);
    *exit_code = child.ended ? child.exit_code : STILL_ACTIVE;
    ce::trace(line + "ok " + std::to_string(*exit_code));
    return TRUE;
}

extern "C" void Sleep(DWORD milliseconds)
{
    // Sleep cannot fail on the device: the call counts, and pauses all the same.
    ce::call_fails("Sleep");
    ce::flush_console();
    timespec left;
    left.tv_sec = static_cast<time_t>(milliseconds / 1000);
    left.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
    ce::trace("Sleep " + std::to_string(milliseconds));
}
