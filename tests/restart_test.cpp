// The restart question and the wait for the device's restart program, in runs
// of the whole tool on throwaway emulated devices.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>

#include "device_fixture.h"
#include "transcript.h"

namespace fs = std::filesystem;

namespace {

const std::string PROGRAM = "root/Windows/reboot.exe";
const std::string STARTED = "CreateProcessW \\windows\\reboot.exe \"1\" 0x10 ok";
const std::string STILL_RUNNING = "GetExitCodeProcess \\windows\\reboot.exe ok 259";
const std::string PAUSE = "Sleep 100";

// Restart programs for the device under test. This one records its
// arguments, its working folder, its CE_DEVICE and whatever its standard
// input holds, in root/, the one place it may write.
const std::string RECORDS_ITS_START =
    "#!/bin/sh\n"
    "{ echo \"$#\"; for a in \"$@\"; do echo \"[$a]\"; done; pwd -P; echo \"$CE_DEVICE\"; cat; }"
    " > \"$CE_DEVICE/root/started\"\n";
const std::string RUNS_A_SECOND = "#!/bin/sh\nsleep 1\ntouch ended\n";
const std::string ENDS_AT_ONCE = "#!/bin/sh\nexit 3\n";

struct RestartTest : ::testing::Test {
    TempDevice device;
    void SetUp() override { device.set_driver("accept"); }
    void install(const std::string& script, const std::string& where = PROGRAM)
    {
        device.write(where, script);
        fs::permissions(device.path() + "/" + where, fs::perms::owner_all | fs::perms::group_read |
                                                         fs::perms::group_exec | fs::perms::others_read |
                                                         fs::perms::others_exec);
    }
};

// The trace from the start of the restart program on.
std::vector<std::string> restart_calls(const std::string& trace)
{
    std::vector<std::string> lines = lines_of(trace);
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].rfind("CreateProcessW ", 0) == 0) {
            return std::vector<std::string>(lines.begin() + static_cast<long>(i), lines.end());
        }
    }
    return {};
}

// The looks after a start: each followed by one pause, every one but the
// last finding the program still running, the last finding final_look.
void expect_waiting(const std::vector<std::string>& calls, const std::string& final_look, size_t* looks)
{
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(calls[0], STARTED);
    ASSERT_EQ(calls.size() % 2, 1u) << "a look without its pause";
    *looks = (calls.size() - 1) / 2;
    for (size_t i = 1; i < calls.size(); i += 2) {
        bool last = i + 2 == calls.size();
        EXPECT_EQ(calls[i], last ? final_look : STILL_RUNNING) << "look " << (i + 1) / 2;
        EXPECT_EQ(calls[i + 1], PAUSE);
    }
}

TEST_F(RestartTest, UnattendedRunsAskButNeverReadNorRestart)
{
    install(RECORDS_ITS_START);
    RunOptions options;
    options.keep_input_open = true;  // a read would block until the timeout
    options.timeout_seconds = 20;
    RunResult run = device.run(TOOL_4097, {"-s"}, options);
    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, completed_transcript(4097));
    EXPECT_FALSE(device.exists("root/started"));
    EXPECT_EQ(device.trace().find("CreateProcessW"), std::string::npos);
}

TEST_F(RestartTest, TheAnswerDecidesAndOnlyYAndNAnswerIt)
{
    struct Case {
        const char* keys;
        bool restarts;
    };
    const Case cases[] = {
        {"yyy", true},           {"yy\r\nY", true},   {"yY\nabc ?\n\xC3\xBCy", true}, {"yyn", false},
        {"yy\nN\ny", false},     {"yn\nqq\nNy", false},
        {"yy\n", false},         {"yY\nabc", false},  // the end of input: no restart
    };
    for (const Case& c : cases) {
        TempDevice fresh;
        fresh.set_driver("accept");
        fresh.write(PROGRAM, RECORDS_ITS_START);
        fs::permissions(fresh.path() + "/" + PROGRAM, fs::perms::owner_all);
        RunResult run = fresh.run(TOOL_4097, {}, typed(c.keys));
        SCOPED_TRACE(std::string("keys: ") + c.keys);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out, completed_transcript(4097));
        EXPECT_EQ(fresh.exists("root/started"), c.restarts);
        EXPECT_EQ(fresh.trace().find(STARTED) != std::string::npos, c.restarts);
    }
}

TEST_F(RestartTest, TheProgramGetsTheArgumentOneTheDeviceAndNoneOfTheTypedKeys)
{
    install(RECORDS_ITS_START);
    // Relative, from the folder the tool is started in: the program, started
    // in root/, must still find the device.
    RunOptions options = typed("yyyand then some");
    options.working_dir = fs::path(device.path()).parent_path().string();
    options.env["CE_DEVICE"] = fs::path(device.path()).filename().string();
    RunResult run = device.run(TOOL_4097, {}, options);
    EXPECT_EQ(run.out, completed_transcript(4097));
    EXPECT_EQ(device.read("root/started"), "1\n[1]\n" + fs::canonical(device.root()).string() + "\n" + device.path() + "\n");
}

TEST_F(RestartTest, AProgramThatCannotBeStartedCostsOnePauseAndEndsTheRunQuietly)
{
    struct Case {
        const char* what;
        void (*make)(const TempDevice&);
        const char* error;
    };
    const Case cases[] = {
        {"no Windows folder", [](const TempDevice&) {}, "ERROR_PATH_NOT_FOUND"},
        {"no program", [](const TempDevice& d) { d.make_folder("root/Windows"); }, "ERROR_FILE_NOT_FOUND"},
        {"a folder", [](const TempDevice& d) { d.make_folder(PROGRAM); }, "ERROR_ACCESS_DENIED"},
        {"not executable", [](const TempDevice& d) { d.write(PROGRAM, ENDS_AT_ONCE); }, "ERROR_ACCESS_DENIED"},
        {"not a program",
         [](const TempDevice& d) {
             d.write(PROGRAM, "MZ\x90\x00 a Windows CE executable");
             fs::permissions(d.path() + "/" + PROGRAM, fs::perms::owner_all);
         },
         "ERROR_BAD_EXE_FORMAT"},
    };
    for (const Case& c : cases) {
        TempDevice fresh;
        fresh.set_driver("accept");
        c.make(fresh);
        RunResult run = fresh.run(TOOL_4097, {}, typed("yyy"));
        SCOPED_TRACE(c.what);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out, completed_transcript(4097));
        EXPECT_EQ(run.err, "");
        // The look finds the zeroed handle, never a stale one.
        std::string tail = std::string("fclose \\lan6 ok\n"
                                       "CreateProcessW \\windows\\reboot.exe \"1\" 0x10 failed ") +
                           c.error + "\nGetExitCodeProcess NULL failed ERROR_INVALID_HANDLE\nSleep 100\n";
        std::string trace = fresh.trace();
        ASSERT_GE(trace.size(), tail.size());
        EXPECT_EQ(trace.substr(trace.size() - tail.size()), tail);
    }
}

// A pause lasts at least its 100 ms, however slow the machine: a run of
// `seconds` has room for no more looks than this.
size_t most_looks_in(double seconds)
{
    return 1 + static_cast<size_t>(seconds / 0.1);
}

TEST_F(RestartTest, AProgramThatEndsAtOnceIsLookedAtUntilItHasEnded)
{
    install(ENDS_AT_ONCE);
    auto begin = std::chrono::steady_clock::now();
    RunResult run = device.run(TOOL_4097, {}, typed("yyy"));
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    EXPECT_EQ(run.out, completed_transcript(4097));
    // Once or twice on an idle machine; a slow start of the program adds looks.
    size_t looks = 0;
    expect_waiting(restart_calls(device.trace()), "GetExitCodeProcess \\windows\\reboot.exe ok 3", &looks);
    std::printf("looks at a program that ends at once: %zu, run took %.2f s\n", looks, seconds);
    EXPECT_GE(looks, 1u);
    EXPECT_LE(looks, most_looks_in(seconds));
}

TEST_F(RestartTest, AProgramThatRunsASecondIsLookedAtAfterEachPauseUntilItHasEnded)
{
    install(RUNS_A_SECOND);
    auto begin = std::chrono::steady_clock::now();
    RunResult run = device.run(TOOL_4097, {}, typed("y\ny\ny\n"));
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    EXPECT_EQ(run.out, completed_transcript(4097));
    EXPECT_TRUE(device.exists("root/ended")) << "the run ended before the restart program";
    EXPECT_GE(seconds, 1.0);
    size_t looks = 0;
    expect_waiting(restart_calls(device.trace()), "GetExitCodeProcess \\windows\\reboot.exe ok 0", &looks);
    // About eleven on an idle machine; a loaded one stretches the pauses and the start.
    std::printf("looks at a program that runs 1 s: %zu, run took %.2f s\n", looks, seconds);
    EXPECT_GE(looks, 2u);
    EXPECT_LE(looks, most_looks_in(seconds));
}

// Restart programs that try to leave the device: each ends with status 0 if
// it could, and the host shows what each did.
TEST_F(RestartTest, TheRestartProgramCanWriteOnlyInsideRootAndReachesNoNetwork)
{
    TempDevice elsewhere;  // a folder of the user's
    elsewhere.write("secret", "the user's secret");
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size), 0);
    struct Case {
        const char* what;
        const char* program;
        int status;
        const char* result;  // what it leaves in root/result
    };
    const Case cases[] = {
        {"writes outside root/",
         "#!/bin/sh\nfor f in \"$CE_DEVICE/escaped\" \"$ELSEWHERE/escaped\"; do echo x 2>/dev/null > \"$f\" && exit 0; done\n"
         "exit 1\n",
         1, ""},
        {"reads the user's files", "#!/bin/sh\ncat \"$ELSEWHERE/secret\" \"$CE_DEVICE/ucs1\" \"$CHECKOUT\" > result 2>/dev/null\n",
         1, ""},
        {"connects to 127.0.0.1", "#!/bin/bash\n{ : > \"/dev/tcp/127.0.0.1/$PORT\"; } 2>/dev/null\n", 1, ""},
        {"writes inside root/", "#!/bin/sh\necho kept > result\n", 0, "kept\n"},
        {"sets a setuid or setgid bit",
         "#!/bin/sh\ntouch f\nchmod 755 f && stat -c %a f > result\n"
         "for m in 4755 2755 u+s g+s; do chmod $m f 2>/dev/null && exit 0; done\nexit 1\n",
         1, "755\n"},
        {"makes a setuid or setgid file",
         "#!/bin/sh\nperl -MFcntl -e 'sysopen(F, \"result\", O_CREAT | O_WRONLY, 0755) && print F \"made\\n\";"
         " exit !sysopen(G, \"s\", O_CREAT | O_WRONLY, 06755)' && exit 0\n"
         "install -m 4755 /dev/null i 2>/dev/null && exit 0\nmknod -m 2755 p p 2>/dev/null && exit 0\nexit 1\n",
         1, "made\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDevice fresh;
        fresh.set_driver("accept");
        fresh.write(PROGRAM, c.program);
        fs::permissions(fresh.path() + "/" + PROGRAM, fs::perms::owner_all);
        RunOptions options = typed("yyy");
        options.env = {{"ELSEWHERE", elsewhere.path()},
                       {"CHECKOUT", std::string(SAMPLE_DEVICE) + "/registry.reg"},
                       {"PORT", std::to_string(ntohs(address.sin_port))}};
        RunResult run = fresh.run(TOOL_4097, {}, options);
        EXPECT_EQ(run.out, completed_transcript(4097));
        EXPECT_EQ(run.err, "");
        size_t looks = 0;
        expect_waiting(restart_calls(fresh.trace()),
                       "GetExitCodeProcess \\windows\\reboot.exe ok " + std::to_string(c.status), &looks);
        EXPECT_FALSE(fresh.exists("escaped"));
        EXPECT_FALSE(elsewhere.exists("escaped"));
        EXPECT_LT(accept(listener, nullptr, nullptr), 0) << "a connection reached the host";
        EXPECT_EQ(fresh.exists("root/result") ? fresh.read("root/result") : "", c.result);
        for (const fs::directory_entry& e : fs::recursive_directory_iterator(fresh.root())) {
            fs::perms set_id = fs::perms::set_uid | fs::perms::set_gid;
            EXPECT_EQ(e.symlink_status().permissions() & set_id, fs::perms::none) << e.path();
        }
    }
    close(listener);
}

// A whole interactive run on a copy of the sample device, made as the README
// makes it: the console byte for byte, the device's files and calls.
TEST_F(RestartTest, ACompleteInteractiveRunOnTheSampleDevice)
{
    TempDevice sample;
    RunResult copy = run_program("/bin/cp", {"-R", std::string(SAMPLE_DEVICE) + "/.", sample.path()}, {});
    ASSERT_EQ(copy.status, 0) << copy.err;
    RunResult run = sample.run(TOOL_SAMPLE, {}, typed("y\ny\ny\n"));
    const std::string image = read_file(SAMPLE_IMAGE);
    const std::string restart_line = "reboot.exe 1: the device would restart now.\n";
    const std::string report =
        "lan:6\n" + lan_block(1, {"192.168.3.127", "255.255.255.0", "192.168.3.1", "192.168.3.10", ""}) +
        lan_block(2, {"0.0.0.0", "0.0.0.0", "", "", ""}) + lan_block(3, {"10.0.5.20", "255.255.0.0", "", "", ""}) +
        lan_block(4, {"", "", "", "", ""}) +
        lan_block(5, {"172.16.0.50", "255.255.255.0", "172.16.0.1", "172.16.0.1", ""}) +
        lan_block(6, {"", "", "", "", ""});
    EXPECT_EQ(run.out, BANNER + WELCOME + WAIT + progress(image.size()) + COMPLETE + report + CARRY_OVER_QUESTION +
                           REBOOT_QUESTION + restart_line);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(sample.read("root/NK.bin"), image);

    std::string installation = "CreateFileW UCS1: 0xc0000000 0 3 ok\nDeviceIoControl UCS1: 0x284 ok\n"
                               "MoveFileW NK1.bin NK.bin failed ERROR_FILE_NOT_FOUND\n_wfopen \\NK.bin rb ok\n"
                               "fclose \\NK.bin ok\n_wfopen \\NK1.bin wb ok\n";
    for (size_t done = 0; done < image.size(); done += 4096) {
        installation += "fwrite \\NK1.bin 1 " + std::to_string(std::min<size_t>(4096, image.size() - done)) + " ok\n";
    }
    installation += "fflush \\NK1.bin ok\nFlushFileBuffers \\NK1.bin ok\nfclose \\NK1.bin ok\nDeleteFileW NK.bin ok\nMoveFileW NK1.bin NK.bin ok\n"
                    "DeviceIoControl UCS1: 0x288 ok\nCloseHandle UCS1: ok\n";
    std::string trace = sample.trace();
    EXPECT_EQ(trace.substr(0, installation.size()), installation);
    size_t looks = 0;
    expect_waiting(restart_calls(trace), "GetExitCodeProcess \\windows\\reboot.exe ok 0", &looks);
}

}  // namespace
