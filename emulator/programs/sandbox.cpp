// Confinement: a program the device starts runs under bubblewrap, which shows
// it the host's system folders read-only, root/ as the only writable place, a
// private /tmp, no network, and no way to make a setuid or setgid file.
// Inside, the emulation's own executable starts it, so that a start that
// fails is told apart from a program that ran.
#include "emulator.h"

#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern char** environ;

#ifdef __x86_64__
namespace {

// New in Linux 6.6: older headers lack it.
#ifndef __NR_fchmodat2
#define __NR_fchmodat2 452
#endif

const ce::SyscallNumbers X86_64_CALLS = {__NR_chmod, __NR_fchmod,  __NR_fchmodat, __NR_fchmodat2,
                                         __NR_open,  __NR_openat,  __NR_creat,    __NR_mknod,
                                         __NR_mknodat, __NR_openat2, __NR_io_uring_setup};
const uint32_t X32_CALL = __X32_SYSCALL_BIT;
const uint32_t ALLOW = SECCOMP_RET_ALLOW;
const uint32_t REFUSE = SECCOMP_RET_ERRNO | EPERM;
const uint32_t ABSENT = SECCOMP_RET_ERRNO | ENOSYS;
const uint32_t SET_ID = S_ISUID | S_ISGID;
// The flags that make open use its mode; glibc's O_TMPFILE includes O_DIRECTORY.
const uint32_t USES_MODE = O_CREAT | (O_TMPFILE & ~O_DIRECTORY);
const int NONE = -1;

sock_filter load(uint32_t offset) { return BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offset); }
sock_filter give(uint32_t action) { return BPF_STMT(BPF_RET | BPF_K, action); }
sock_filter test(uint16_t how, uint32_t k, size_t yes, size_t no)
{
    return BPF_JUMP(BPF_JMP | how | BPF_K, k, static_cast<uint8_t>(yes), static_cast<uint8_t>(no));
}
// The low half of argument i: a mode is an unsigned int, flags an int.
uint32_t argument(int i) { return static_cast<uint32_t>(offsetof(seccomp_data, args) + 8 * i); }

// One ABI's rules, for its calls as numbered in n; ends allowing the rest.
std::vector<sock_filter> rules_for(const ce::SyscallNumbers& n)
{
    struct Rule {
        int call;
        int mode;   // the argument that holds it; NONE: the call is absent
        int flags;  // the argument whose flags say the mode is used, or NONE
    };
    const Rule rules[] = {{n.chmod, 1, NONE},   {n.fchmod, 1, NONE},  {n.fchmodat, 2, NONE},
                          {n.fchmodat2, 2, NONE}, {n.open, 2, 1},     {n.openat, 3, 2},
                          {n.creat, 1, NONE},   {n.mknod, 1, NONE},   {n.mknodat, 2, NONE},
                          {n.openat2, NONE, NONE}, {n.io_uring_setup, NONE, NONE}};
    std::vector<sock_filter> p;
    for (const Rule& r : rules) {
        std::vector<sock_filter> then = {give(ABSENT)};
        if (r.mode != NONE) {
            then = {load(argument(r.mode)), test(BPF_JSET, SET_ID, 0, 1), give(REFUSE), give(ALLOW)};
        }
        if (r.flags != NONE) {
            then.insert(then.begin(), {load(argument(r.flags)), test(BPF_JSET, USES_MODE, 0, then.size() - 1)});
        }
        p.insert(p.end(), {load(offsetof(seccomp_data, nr)),
                           test(BPF_JEQ, static_cast<uint32_t>(r.call), 0, then.size())});
        p.insert(p.end(), then.begin(), then.end());
    }
    p.push_back(give(ALLOW));
    return p;
}

}  // namespace
#endif

namespace ce {

#ifdef __x86_64__
int seccomp_filter_fd()
{
    std::vector<sock_filter> x86_64 = {load(offsetof(seccomp_data, nr)), test(BPF_JSET, X32_CALL, 0, 1),
                                       give(REFUSE)};
    std::vector<sock_filter> rest = rules_for(X86_64_CALLS);
    x86_64.insert(x86_64.end(), rest.begin(), rest.end());
    std::vector<sock_filter> i386 = rules_for(I386_CALLS);
    if (x86_64.size() > 255 || i386.size() > 255) {
        errno = EOVERFLOW;  // farther than a jump reaches
        return -1;
    }
    std::vector<sock_filter> p = {load(offsetof(seccomp_data, arch)),
                                  test(BPF_JEQ, AUDIT_ARCH_X86_64, 0, x86_64.size())};
    p.insert(p.end(), x86_64.begin(), x86_64.end());
    // On a kernel without the i386 ABI a 64-bit program can make no i386 call at all: nothing is lost.
    p.push_back(test(BPF_JEQ, AUDIT_ARCH_I386, 0, i386.size()));
    p.insert(p.end(), i386.begin(), i386.end());
    p.push_back(give(SECCOMP_RET_KILL_PROCESS));

    int fd = memfd_create("seccomp", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    size_t bytes = p.size() * sizeof p[0];
    if (fd < 0) {
        return -1;
    }
    errno = 0;  // a short write sets none
    if (write(fd, p.data(), bytes) != static_cast<ssize_t>(bytes) || lseek(fd, 0, SEEK_SET) != 0 ||
        fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0) {
        int error = errno != 0 ? errno : EIO;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}
#else
// Its rules know the x86-64 and i386 calls only.
int seccomp_filter_fd()
{
    errno = ENOSYS;
    return -1;
}
#endif

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

std::vector<std::string> sandbox_arguments(const std::string& root, int root_fd, int seccomp_fd, int start_fd,
                                           const std::vector<std::string>& program, int folder_fd)
{
    // The program and all it starts end with the emulation, however it ends:
    // on the device a power cut or a restart ends them too.
    std::vector<std::string> a = {"--unshare-all", "--new-session", "--die-with-parent", "--seccomp",
                                  std::to_string(seccomp_fd)};
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
    // folder bound above; for a CE program, which the runner boots on the
    // same device, the folder as it is, read-only.
    std::string folder = root.substr(0, root.rfind('/'));
    if (folder_fd >= 0) {
        a.insert(a.end(), {"--ro-bind-fd", std::to_string(folder_fd), folder.empty() ? "/" : folder});
    } else if (!folder.empty()) {
        a.insert(a.end(), {"--tmpfs", folder});
    }
    // By the folder checked, not its name: a name can be changed meanwhile.
    a.insert(a.end(), {"--bind-fd", std::to_string(root_fd), root});
    if (!folder.empty() && folder_fd < 0) {
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
