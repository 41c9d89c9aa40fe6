// Confinement: a program the device starts runs under bubblewrap, which shows
// it the host's system folders read-only, root/ as the only writable place, a
// private /tmp, and no network. Inside, the emulation's own executable starts
// it, so that a start that fails is told apart from a program that ran.
#include "emulator.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace ce {

const char* const SANDBOX_START = "CE_SANDBOX_START";

void report_start(int fd, char tag, int error)
{
    char message[START_MESSAGE_BYTES] = {tag};
    std::memcpy(message + 1, &error, sizeof error);
    ssize_t ignored = write(fd, message, sizeof message);
    (void)ignored;
}

void close_on_exec_from(int first)
{
#ifdef CLOSE_RANGE_CLOEXEC
    if (close_range(static_cast<unsigned>(first), ~0u, CLOSE_RANGE_CLOEXEC) == 0) {
        return;
    }
#endif
    long last = sysconf(_SC_OPEN_MAX);
    last = last < 0 || last > 65536 ? 65536 : last;
    for (long fd = first; fd < last; ++fd) {
        fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
    }
}

std::string find_bwrap()
{
    const char* path = std::getenv("PATH");
    // Only absolute entries: an empty or relative one names the folder the
    // tool was started in, which may be a device's.
    for (const std::string& folder : split(path != nullptr ? path : "/bin:/usr/bin", ":")) {
        std::string candidate = folder + "/bwrap";
        struct stat info;
        if (folder[0] == '/' && stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
            access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return "";
}

std::vector<std::string> sandbox_arguments(const std::string& root, int root_fd, int start_fd,
                                           const std::vector<std::string>& program)
{
    std::vector<std::string> a = {"--unshare-all", "--new-session"};
    // bwrap keeps root's capabilities unless told, and drops everyone else's
    // itself (a setuid bwrap refuses the option from them).
    if (getuid() == 0 || geteuid() == 0) {
        a.insert(a.end(), {"--cap-drop", "ALL"});
    }
    // The system folders, so that a script's interpreter runs; merged-/usr
    // hosts have links for some.
    for (const char* folder : {"/usr", "/bin", "/sbin", "/lib", "/lib32", "/lib64", "/libx32"}) {
        struct stat info;
        char target[PATH_MAX];
        ssize_t length;
        if (lstat(folder, &info) != 0) {
            continue;
        }
        if (S_ISLNK(info.st_mode) && (length = readlink(folder, target, sizeof target - 1)) > 0) {
            a.insert(a.end(), {"--symlink", std::string(target, static_cast<size_t>(length)), folder});
        } else if (S_ISDIR(info.st_mode)) {
            a.insert(a.end(), {"--ro-bind", folder, folder});
        }
    }
    // Of /etc only what programs need to load and name users: no keys, no
    // passwords, nothing of the user's.
    for (const char* file : {"/etc/ld.so.cache", "/etc/ld.so.conf", "/etc/ld.so.conf.d", "/etc/alternatives",
                             "/etc/passwd", "/etc/group", "/etc/nsswitch.conf", "/etc/localtime"}) {
        a.insert(a.end(), {"--ro-bind-try", file, file});
    }
    a.insert(a.end(), {"--proc", "/proc", "--dev", "/dev", "--tmpfs", "/tmp"});
    // The device folder empty but for root/, wherever it lies, even under a
    // folder bound above.
    std::string folder = root.substr(0, root.rfind('/'));
    if (!folder.empty()) {
        a.insert(a.end(), {"--tmpfs", folder});
    }
    // By the folder checked, not its name: a name can be changed meanwhile.
    a.insert(a.end(), {"--bind-fd", std::to_string(root_fd), root});
    if (!folder.empty()) {
        a.insert(a.end(), {"--remount-ro", folder});
    }
    a.insert(a.end(), {"--remount-ro", "/", "--chdir", root, "--", "/proc/self/fd/" + std::to_string(start_fd)});
    a.insert(a.end(), program.begin(), program.end());
    return a;
}

}  // namespace ce

namespace {

// Inside the sandbox, bwrap runs this executable from the file the emulation
// holds open, with the program after it. It gives the program the console's
// standard error back (bwrap's own went to the emulation), reports that the
// sandbox is up, and execs the program, with no fallback to a shell for a
// file that is no program. A failed exec reports its error.
__attribute__((constructor(101))) void start_in_sandbox(int argc, char** argv, char**)
{
    const char* fds = std::getenv(ce::SANDBOX_START);
    if (fds == nullptr || argc < 2 || std::strncmp(argv[0], "/proc/self/fd/", 14) != 0) {
        return;
    }
    int report = -1;
    int console = -1;
    if (std::sscanf(fds, "%d %d", &report, &console) != 2) {
        _exit(127);
    }
    unsetenv(ce::SANDBOX_START);
    char up = ce::START_IN_SANDBOX;
    if (dup2(console, STDERR_FILENO) < 0 || write(report, &up, 1) != 1) {
        _exit(127);
    }
    ce::close_on_exec_from(3);
    execve(argv[1], argv + 1, environ);
    ce::report_start(report, ce::START_FAILED, errno);
    _exit(127);
}

}  // namespace
