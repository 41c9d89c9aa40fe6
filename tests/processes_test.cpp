// The emulated device's processes, called as the tool calls them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "device_fixture.h"
#include "emulator.h"

namespace fs = std::filesystem;

namespace {

struct ProcessTest : ::testing::Test {
    TempDevice device;
    PROCESS_INFORMATION started = {nullptr, nullptr, 0, 0};
    void SetUp() override { ASSERT_EQ(ce::boot(device.path()), ""); }
    void program(const std::string& relative, const std::string& script, fs::perms perms = fs::perms::owner_all)
    {
        device.write("root/" + relative, script);
        fs::permissions(device.root() + "/" + relative, perms);
    }
    BOOL start(const char16_t* path, const char16_t* command_line = u"1")
    {
        std::u16string line = command_line;
        return CreateProcessW(path, &line[0], nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE, nullptr, nullptr, nullptr,
                              &started);
    }
    // Looks until the program has ended, as the tool does but quicker.
    DWORD exit_code_at_the_end()
    {
        DWORD code = STILL_ACTIVE;
        for (int i = 0; i < 1000 && code == STILL_ACTIVE; ++i) {
            EXPECT_TRUE(GetExitCodeProcess(started.hProcess, &code));
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return code;
    }
    void wait_for_file(const std::string& relative)
    {
        for (int i = 0; i < 1000 && !device.exists(relative); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_TRUE(device.exists(relative));
    }
};

bool has_children()
{
    return !(waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD);
}

char process_state(pid_t pid)
{
    std::string stat;
    try {
        stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    } catch (const std::exception&) {
        return 0;
    }
    size_t close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() ? 0 : stat[close + 2];
}

TEST_F(ProcessTest, TheProgramRunsInRootWithTheCommandLineSplitIntoArguments)
{
    // A device folder named to break a shell or bwrap's options: the sandbox takes it as it is.
    std::string name = "-d $(touch x) --bind / / ;'\"\n*";
    std::string folder = device.path() + "/" + name;
    device.write(name + "/root/Windows/Reboot.exe",
               "#!/bin/sh\n{ echo \"$#\"; for a in \"$@\"; do echo \"[$a]\"; done; pwd -P; echo \"$CE_DEVICE\"; }"
               " > \"$CE_DEVICE/root/record\"\n");
    fs::permissions(folder + "/root/Windows/Reboot.exe", fs::perms::owner_all);
    ASSERT_EQ(ce::boot(folder), "");
    ASSERT_TRUE(start(u"\\WINDOWS\\reboot.EXE", u" 1  two\tthree "));
    EXPECT_NE(started.hProcess, nullptr);
    EXPECT_NE(started.hThread, nullptr);
    EXPECT_NE(started.hProcess, started.hThread);
    EXPECT_NE(started.dwProcessId, 0u);
    EXPECT_EQ(exit_code_at_the_end(), 0u);
    EXPECT_EQ(read_file(folder + "/root/record"),
              "3\n[1]\n[two]\n[three]\n" + fs::canonical(folder + "/root").string() + "\n" + folder + "\n");
    std::vector<std::string> trace = lines_of(read_file(folder + "/trace.log"));
    EXPECT_EQ(trace[0], "CreateProcessW \\WINDOWS\\reboot.EXE \" 1  two\\tthree \" 0x10 ok");
    EXPECT_EQ(trace.back(), "GetExitCodeProcess \\WINDOWS\\reboot.EXE ok 0");
    EXPECT_TRUE(CloseHandle(started.hThread));
    EXPECT_TRUE(CloseHandle(started.hProcess));
    EXPECT_FALSE(has_children());
}

TEST_F(ProcessTest, TheProgramGetsNoneOfTheToolsOpenFiles)
{
    program("fd.exe", "#!/bin/sh\n[ -e /proc/$$/fd/$1 ] && exit 1\nexit 0\n");
    FILE* held = ce_wfopen(u"\\held", u"w");
    ASSERT_NE(held, nullptr);
    // The descriptor the emulation holds the file by.
    std::string descriptor;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code unreadable;
        if (fs::read_symlink(entry.path(), unreadable) == fs::path(device.root()) / "held") {
            descriptor = entry.path().filename().string();
        }
    }
    ASSERT_NE(descriptor, "");
    std::u16string number = ce::to_utf16(descriptor);
    ASSERT_TRUE(start(u"fd.exe", number.c_str()));
    EXPECT_EQ(exit_code_at_the_end(), 0u);
    ce_fclose(held);
}

TEST_F(ProcessTest, TheExitCodeIsStillActiveWhileTheProgramRunsThenItsOwn)
{
    program("wait.exe", "#!/bin/sh\nwhile [ ! -e go ]; do sleep 0.01; done\nexit 42\n");
    ASSERT_TRUE(start(u"wait.exe"));
    // The program cannot end before the file exists: a look that blocked
    // would hang here.
    for (int i = 0; i < 3; ++i) {
        DWORD code = 0;
        EXPECT_TRUE(GetExitCodeProcess(started.hProcess, &code));
        EXPECT_EQ(code, STILL_ACTIVE);
    }
    DWORD untouched = 7;
    EXPECT_FALSE(GetExitCodeProcess(started.hThread, &untouched));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(GetExitCodeProcess(nullptr, &untouched));
    EXPECT_EQ(untouched, 7u);
    device.write("root/go", "");
    EXPECT_EQ(exit_code_at_the_end(), 42u);
    // Asked again after the end, the answer stays.
    DWORD again = 0;
    EXPECT_TRUE(GetExitCodeProcess(started.hProcess, &again));
    EXPECT_EQ(again, 42u);
    std::vector<std::string> trace = lines_of(device.trace());
    EXPECT_EQ(trace[1], "GetExitCodeProcess wait.exe ok 259");
    EXPECT_EQ(trace[4], "GetExitCodeProcess wait.exe failed ERROR_INVALID_HANDLE");
    EXPECT_EQ(trace[5], "GetExitCodeProcess NULL failed ERROR_INVALID_HANDLE");
    EXPECT_EQ(trace.back(), "GetExitCodeProcess wait.exe ok 42");
}

TEST_F(ProcessTest, AProgramKilledByASignalEndsWith128PlusItsNumber)
{
    program("killed.exe", "#!/bin/sh\nkill -9 $$\n");
    ASSERT_TRUE(start(u"\\killed.exe"));
    EXPECT_EQ(exit_code_at_the_end(), 128u + 9u);
}

TEST_F(ProcessTest, WhatCannotBeRunFailsAsOnTheDeviceAndLeavesNoChild)
{
    program("plain.txt", "#!/bin/sh\nexit 0\n", fs::perms::owner_read | fs::perms::owner_write);
    program("garbage.exe", "MZ\x90 not a host program\n");
    program("lost.exe", "#!/no/such/interpreter\n");
    device.make_folder("root/Windows");
    ASSERT_EQ(mkfifo((device.root() + "/pipe.exe").c_str(), 0755), 0);
    fs::create_symlink("/bin/true", device.root() + "/link.exe");
    const std::pair<const char16_t*, DWORD> cases[] = {
        {u"\\Windows\\reboot.exe", ERROR_FILE_NOT_FOUND}, {u"\\nowhere\\reboot.exe", ERROR_PATH_NOT_FOUND},
        {u"\\windows", ERROR_ACCESS_DENIED},              {u"plain.txt", ERROR_ACCESS_DENIED},
        {u"\\pipe.exe", ERROR_ACCESS_DENIED},             {u"garbage.exe", ERROR_BAD_EXE_FORMAT},
        {u"lost.exe", ERROR_BAD_EXE_FORMAT},              {u"\\link.exe", ERROR_ACCESS_DENIED},
        {u"..\\..\\bin\\true", ERROR_PATH_NOT_FOUND},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(ce::to_utf8(c.first));
        SetLastError(0);
        EXPECT_FALSE(start(c.first));
        EXPECT_EQ(GetLastError(), c.second);
        EXPECT_FALSE(has_children());
    }
    EXPECT_EQ(lines_of(device.trace())[0],
              "CreateProcessW \\Windows\\reboot.exe \"1\" 0x10 failed ERROR_FILE_NOT_FOUND");
}

TEST_F(ProcessTest, WithoutConfinementNothingStartsAndTheTraceSaysWhy)
{
    program("reboot.exe", "#!/bin/sh\ntouch ran\n");
    TempDevice bin;
    bin.make_folder("empty");
    // Where namespaces are refused, bwrap says so and ends before the program.
    bin.write("refusing/bwrap", "#!/bin/sh\necho 'bwrap: Creating new namespace failed: Operation not permitted' >&2\n"
                                "echo 'a second line' >&2\nexit 1\n");
    fs::permissions(bin.path() + "/refusing/bwrap", fs::perms::owner_all);
    struct Path {
        const char* was = std::getenv("PATH");
        std::string saved = was != nullptr ? was : "";
        ~Path() { was != nullptr ? setenv("PATH", saved.c_str(), 1) : unsetenv("PATH"); }
    } path;
    const std::pair<std::string, std::string> cases[] = {
        {"", "no bwrap on PATH"},
        {bin.path() + "/empty:", "no bwrap on PATH"},
        // A relative entry names the folder the tool runs in, maybe a device's: never searched.
        {fs::relative(bin.path() + "/refusing").string(), "no bwrap on PATH"},
        {bin.path() + "/refusing", "\"bwrap: Creating new namespace failed: Operation not permitted\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        setenv("PATH", c.first.c_str(), 1);
        SetLastError(0);
        EXPECT_FALSE(start(u"reboot.exe"));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        EXPECT_EQ(started.hProcess, nullptr);
        EXPECT_FALSE(has_children());
        EXPECT_EQ(lines_of(device.trace()).back(),
                  "CreateProcessW reboot.exe \"1\" 0x10 failed ERROR_ACCESS_DENIED cannot confine: " + c.second);
    }
    EXPECT_FALSE(device.exists("root/ran"));
}

#ifdef __x86_64__
// A call by the i386 ABI, which int 0x80 takes from a 64-bit program too.
long i386_call(long call, long a, long b, long c, long d)
{
    long got;
    asm volatile("int $0x80" : "=a"(got) : "a"(call), "b"(a), "c"(b), "d"(c), "S"(d) : "memory");
    return got < 0 && got > -4096 ? (errno = static_cast<int>(-got), -1) : got;
}

// Why this kernel takes no i386 call from a 64-bit program, found out by a
// child making a harmless one (getpid); "" when it takes them.
std::string why_no_i386_calls()
{
    const long i386_getpid = 20;
    pid_t child = fork();
    if (child == 0) {
        signal(SIGSEGV, SIG_DFL);  // a sanitizer's handler would make the fault an exit
        long got = i386_call(i386_getpid, 0, 0, 0, 0);
        _exit(got == getpid() ? 0 : got < 0 && errno == ENOSYS ? 1 : 2);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child) {
        return "";  // the rows run then, and fail saying so
    }
    if (WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV) {
        return "this kernel has no i386 system-call ABI: int $0x80 is killed by SIGSEGV";
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 1) {
        return "this kernel takes no i386 system call: int $0x80 returns ENOSYS";
    }
    return "";
}

struct FilterCase {
    bool by_i386;
    long call, a, b, c, d;
    int error;
};

// The device's root/ and root/f, where the i386 ABI's 32-bit pointers reach them.
struct LowNames {
    char* low = static_cast<char*>(
        mmap(nullptr, 8192, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0));
    long at = AT_FDCWD & 0xffffffff, f = reinterpret_cast<long>(low), n = f + 4096;
    explicit LowNames(const std::string& root)
    {
        if (low != MAP_FAILED) {
            std::snprintf(low, 4096, "%s", root.c_str());
            std::snprintf(low + 4096, 4096, "%s/f", low);
        }
    }
    ~LowNames()
    {
        if (low != MAP_FAILED) {
            munmap(low, 8192);
        }
    }
};

// What went wrong in a child that made the cases under the filter; "" when nothing did.
template <size_t N>
std::string fault_under_filter(const FilterCase (&cases)[N])
{
    int fd = ce::seccomp_filter_fd();
    sock_filter program[512];
    ssize_t bytes = fd < 0 ? -1 : read(fd, program, sizeof program);
    close(fd);
    sock_fprog filter = {static_cast<unsigned short>(bytes > 0 ? bytes / sizeof program[0] : 0), program};
    pid_t child = fork();
    if (child == 0) {
        if (bytes <= 0 || prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
            prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) != 0) {
            _exit(100);
        }
        for (const FilterCase& c : cases) {
            long got = c.by_i386 ? i386_call(c.call, c.a, c.b, c.c, c.d) : syscall(c.call, c.a, c.b, c.c, c.d);
            if ((got < 0 ? errno : 0) != c.error) {
                _exit(static_cast<int>(&c - cases) + 1);
            }
        }
        _exit(0);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child) {
        return "no child";
    }
    if (!WIFEXITED(status)) {
        return "the child was killed by signal " + std::to_string(WTERMSIG(status));
    }
    int code = WEXITSTATUS(status);
    return code == 0 ? "" : code == 100 ? "the filter was not installed" : "case " + std::to_string(code) + " (from 1)";
}

// The sandbox's filter installed in a child, on calls a shell script cannot
// make: a mode left unused, high bits, x32, i386, openat2, io_uring.
TEST_F(ProcessTest, TheSystemCallFilterRefusesOnlyTheSettingOfASetuidOrSetgidBit)
{
    LowNames names(device.root());
    ASSERT_NE(names.low, MAP_FAILED);
    long f = names.f, n = names.n;
    const FilterCase cases[] = {
        {false, SYS_openat, AT_FDCWD, f, O_RDONLY | O_DIRECTORY, 06000, 0},  // the mode unused
        {false, SYS_open, f, O_RDONLY | O_DIRECTORY, 04000, 0, 0},
        {false, SYS_open, n, O_CREAT | O_WRONLY, (06000L << 32) | 0644, 0, 0},  // only the low 32 bits count
        {false, SYS_openat, AT_FDCWD, f, O_TMPFILE | O_WRONLY, 04600, EPERM},
        {false, SYS_creat, n, 02644, 0, 0, EPERM},
        {false, SYS_mknodat, AT_FDCWD, n, S_IFIFO | 06644, 0, EPERM},
        {false, SYS_chmod | 0x40000000, n, 0755, 0, 0, EPERM},  // x32
        {false, SYS_openat2, AT_FDCWD, n, 0, 0, ENOSYS},
        {false, SYS_io_uring_setup, 1, 0, 0, 0, ENOSYS},
    };
    EXPECT_EQ(fault_under_filter(cases), "");
    mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(fs::status(names.low + 4096).permissions(), static_cast<fs::perms>(0644 & ~mask));
}

// Apart, so that a kernel without the i386 ABI skips them alone, saying so.
TEST_F(ProcessTest, TheSystemCallFilterRefusesTheSameByI386Calls)
{
    std::string why_not = why_no_i386_calls();
    if (!why_not.empty()) {
        GTEST_SKIP() << "the i386 rows cannot run: " << why_not;
    }
    LowNames names(device.root());
    ASSERT_NE(names.low, MAP_FAILED);
    device.write("root/f", "");
    long at = names.at, f = names.f, n = names.n;
    const ce::SyscallNumbers& i386 = ce::I386_CALLS;
    const FilterCase cases[] = {
        {true, i386.openat, at, f, O_RDONLY | O_DIRECTORY, 06000, 0},
        {true, i386.open, n, O_CREAT | O_WRONLY, 02644, 0, EPERM},
        {true, i386.fchmod, -1, 02755, 0, 0, EPERM},
        {true, i386.chmod, n, 04755, 0, 0, EPERM},
        {true, i386.chmod, n, 0700, 0, 0, 0},
        {true, i386.openat2, at, n, 0, 0, ENOSYS},
    };
    EXPECT_EQ(fault_under_filter(cases), "");
    EXPECT_EQ(fs::status(names.low + 4096).permissions(), static_cast<fs::perms>(0700));
}

// The ways a kernel without the i386 ABI ends an i386 call, made here by a
// filter that refuses them; this machine's own answer decides the test above.
TEST_F(ProcessTest, AMissingI386AbiIsFoundByTrying)
{
    std::string why_not = why_no_i386_calls();
    if (!why_not.empty()) {
        // Such a kernel ends the call before any filter sees it.
        GTEST_SKIP() << "a missing i386 ABI cannot be made here, where it is missing already: " << why_not;
    }
    const std::pair<uint32_t, std::string> cases[] = {
        // No int 0x80 gate: the fault's SIGSEGV, made here from the filter's SIGSYS.
        {SECCOMP_RET_TRAP, "this kernel has no i386 system-call ABI: int $0x80 is killed by SIGSEGV"},
        {SECCOMP_RET_ERRNO | ENOSYS, "this kernel takes no i386 system call: int $0x80 returns ENOSYS"},
    };
    for (const auto& c : cases) {
        sock_filter refusing[] = {BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
                                  BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_I386, 0, 1),
                                  BPF_STMT(BPF_RET | BPF_K, c.first), BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW)};
        sock_fprog filter = {4, refusing};
        int said[2];
        ASSERT_EQ(pipe(said), 0);
        pid_t child = fork();
        if (child == 0) {
            signal(SIGSYS, [](int) { raise(SIGSEGV); });
            if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
                prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) != 0) {
                _exit(100);
            }
            std::string why_not = why_no_i386_calls();
            _exit(write(said[1], why_not.data(), why_not.size()) == static_cast<ssize_t>(why_not.size()) ? 0 : 101);
        }
        close(said[1]);
        char reason[200];
        ssize_t bytes = read(said[0], reason, sizeof reason);
        close(said[0]);
        int status = -1;
        EXPECT_EQ(waitpid(child, &status, 0), child);
        EXPECT_EQ(status, 0);
        EXPECT_EQ(std::string(reason, bytes > 0 ? bytes : 0), c.second);
    }
}
#endif

TEST_F(ProcessTest, OnlyTheFormTheDeviceSupportsIsAccepted)
{
    program("ok.exe", "#!/bin/sh\nexit 0\n");
    char16_t line[] = u"1";
    int attributes = 0;
    auto security = reinterpret_cast<LPSECURITY_ATTRIBUTES>(&attributes);
    EXPECT_FALSE(CreateProcessW(nullptr, line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, nullptr, &started));
    EXPECT_FALSE(CreateProcessW(u"ok.exe", line, security, nullptr, FALSE, 0, nullptr, nullptr, nullptr, &started));
    EXPECT_FALSE(CreateProcessW(u"ok.exe", line, nullptr, nullptr, TRUE, 0, nullptr, nullptr, nullptr, &started));
    EXPECT_FALSE(CreateProcessW(u"ok.exe", line, nullptr, nullptr, FALSE, 0x4, nullptr, nullptr, nullptr, &started));
    EXPECT_FALSE(CreateProcessW(u"ok.exe", line, nullptr, nullptr, FALSE, 0, &attributes, nullptr, nullptr, &started));
    EXPECT_FALSE(CreateProcessW(u"ok.exe", line, nullptr, nullptr, FALSE, 0, nullptr, u"\\", nullptr, &started));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(started.hProcess, nullptr);
    EXPECT_FALSE(has_children());
    // Without the new console, and with no command line at all, it starts.
    EXPECT_TRUE(CreateProcessW(u"ok.exe", nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, nullptr, &started));
    EXPECT_EQ(exit_code_at_the_end(), 0u);
    EXPECT_EQ(lines_of(device.trace())[6], "CreateProcessW ok.exe NULL 0x0 ok");
}

TEST_F(ProcessTest, AProgramWhoseHandlesAreClosedRunsOnAndIsReapedOnceEnded)
{
    program("slow.exe", "#!/bin/sh\nsleep 0.3\ntouch done\n");
    ASSERT_TRUE(start(u"slow.exe"));
    pid_t pid = static_cast<pid_t>(started.dwProcessId);
    EXPECT_TRUE(CloseHandle(started.hProcess));
    EXPECT_TRUE(CloseHandle(started.hThread));
    wait_for_file("root/done");
    for (int i = 0; i < 500 && process_state(pid) != 'Z'; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(process_state(pid), 'Z');
    // The next process call collects it.
    DWORD code = 0;
    EXPECT_FALSE(GetExitCodeProcess(started.hProcess, &code));
    EXPECT_EQ(process_state(pid), 0);
    EXPECT_FALSE(has_children());
}

TEST_F(ProcessTest, SleepReallyPausesAndIsTraced)
{
    auto begin = std::chrono::steady_clock::now();
    Sleep(100);
    Sleep(0);
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(100));
    EXPECT_EQ(device.trace(), "Sleep 100\nSleep 0\n");
}

}  // namespace
