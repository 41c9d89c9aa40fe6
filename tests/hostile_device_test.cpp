// Whole runs on devices set up as an adversary would: files of the wrong
// kind, links out of the device, closed or vanishing standard streams,
// signals, read-only boot images.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "device_fixture.h"
#include "image_pattern.h"
#include "transcript.h"

namespace fs = std::filesystem;

namespace {

const std::string NEW_IMAGE = image_pattern(10000);
const std::string QUESTION = "Continue the process? (y/n)";

struct UpgradeDevice : TempDevice {
    UpgradeDevice()
    {
        set_driver("accept\n");
        write("root/NK.bin", OLD_IMAGE);
    }
    std::string at(const std::string& relative) const { return path() + "/" + relative; }
};

void make_socket(const std::string& path)
{
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << path;
    close(fd);
}

void make_sparse(const std::string& path, const std::string& head, off_t size)
{
    std::ofstream(path, std::ios::binary) << head;
    ASSERT_EQ(truncate(path.c_str(), size), 0);
}

TEST(DeviceFault, EveryBadDeviceFileStopsTheRunBeforeAnythingIsPrintedOrTouched)
{
    struct Case {
        const char* what;
        std::function<void(const UpgradeDevice&)> spoil;
        std::string named;  // in the complaint, after the device folder's path
    };
    const std::string deep = "[HKEY_LOCAL_MACHINE" + [] {
        std::string levels;
        for (int i = 0; i < 40000; ++i) {
            levels += "\\k";
        }
        return levels;
    }() + "]\n";
    const Case cases[] = {
        {"ucs1 a FIFO", [](const UpgradeDevice& d) { fs::remove(d.at("ucs1")); mkfifo(d.at("ucs1").c_str(), 0644); },
         "/ucs1 is a FIFO"},
        {"registry.reg a FIFO", [](const UpgradeDevice& d) { mkfifo(d.at("registry.reg").c_str(), 0644); },
         "/registry.reg is a FIFO"},
        {"trace.log a FIFO", [](const UpgradeDevice& d) { mkfifo(d.at("trace.log").c_str(), 0644); },
         "/trace.log is a FIFO"},
        {"ucs1 a socket", [](const UpgradeDevice& d) { fs::remove(d.at("ucs1")); make_socket(d.at("ucs1")); },
         "/ucs1 is a socket"},
        {"ucs1 a folder", [](const UpgradeDevice& d) { fs::remove(d.at("ucs1")); d.make_folder("ucs1"); },
         "/ucs1 is a folder"},
        {"registry.reg a folder", [](const UpgradeDevice& d) { d.make_folder("registry.reg"); },
         "/registry.reg is a folder"},
        {"trace.log a folder", [](const UpgradeDevice& d) { d.make_folder("trace.log"); }, "/trace.log is a folder"},
        {"ucs1 a link", [](const UpgradeDevice& d) {
             d.write("accept", "accept");
             fs::remove(d.at("ucs1"));
             fs::create_symlink(d.at("accept"), d.at("ucs1"));
         }, "/ucs1 is a symbolic link"},
        {"registry.reg a link", [](const UpgradeDevice& d) { fs::create_symlink("/dev/zero", d.at("registry.reg")); },
         "/registry.reg is a symbolic link"},
        {"root/ a file", [](const UpgradeDevice& d) { fs::remove_all(d.root()); d.write("root", "x"); },
         "/root is a regular file"},
        {"root/ a FIFO", [](const UpgradeDevice& d) { fs::remove_all(d.root()); mkfifo(d.root().c_str(), 0644); },
         "/root is a FIFO"},
        {"ucs1 unreadable", [](const UpgradeDevice& d) { chmod(d.at("ucs1").c_str(), 0200); }, "/ucs1 cannot be read"},
        {"registry.reg unreadable", [](const UpgradeDevice& d) {
             d.write("registry.reg", "REGEDIT4\n");
             chmod(d.at("registry.reg").c_str(), 0);
         }, "/registry.reg cannot be read"},
        {"trace.log read-only", [](const UpgradeDevice& d) {
             d.write("trace.log", "");
             chmod(d.at("trace.log").c_str(), 0444);
         }, "/trace.log cannot be written"},
        {"the device folder unreadable", [](const UpgradeDevice& d) { chmod(d.path().c_str(), 0300); },
         " cannot be read"},
        {"the device folder read-only", [](const UpgradeDevice& d) { chmod(d.path().c_str(), 0555); },
         " cannot be written"},
        {"a 2 GB ucs1", [](const UpgradeDevice& d) { make_sparse(d.at("ucs1"), "", 2LL << 30); },
         "/ucs1: the first word must be accept or refuse"},
        {"a 20 MB registry", [](const UpgradeDevice& d) { make_sparse(d.at("registry.reg"), "REGEDIT4\n", 20 << 20); },
         "/registry.reg is larger than 16 MiB"},
        {"a key 40,000 levels deep", [&](const UpgradeDevice& d) { d.write("registry.reg", deep); },
         "/registry.reg:1: a key more than 512 levels deep"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        UpgradeDevice device;
        c.spoil(device);
        RunOptions options;
        options.timeout_seconds = 5;  // a FIFO opened for reading would block for ever
        RunResult run = device.run(TOOL_10000, {"-s"}, options);
        chmod(device.path().c_str(), 0700);
        EXPECT_FALSE(run.timed_out);
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(lines_of(run.err).size(), 1u) << run.err;
        EXPECT_NE(run.err.find(device.path() + c.named), std::string::npos) << run.err;
        if (fs::is_directory(fs::symlink_status(device.root()))) {
            EXPECT_TRUE(device.files() == (std::map<std::string, std::string>{{"NK.bin", OLD_IMAGE}}));
        }
        if (c.named.find("trace.log") == std::string::npos) {
            EXPECT_FALSE(device.exists("trace.log"));
        }
    }
}

TEST(DeviceFault, NoLinkLeadsAWriteOutOfTheDevice)
{
    TempDevice outside;
    outside.write("victim", "outside, untouched");
    outside.write("root/NK.bin", OLD_IMAGE);
    const std::map<std::string, std::string> outside_files = {{"NK.bin", OLD_IMAGE}};
    {
        UpgradeDevice device;
        fs::create_symlink(outside.path() + "/victim", device.at("trace.log"));
        EXPECT_EQ(device.run(TOOL_10000, {"-s"}).status, 2);
    }
    {
        UpgradeDevice device;
        fs::remove_all(device.root());
        fs::create_directory_symlink(outside.root(), device.root());
        EXPECT_EQ(device.run(TOOL_10000, {"-s"}).status, 2);
    }
    {
        // The device's file system has no hard links: such a file is never written.
        UpgradeDevice device;
        fs::create_hard_link(outside.path() + "/victim", device.root() + "/lan3");
        RunResult run = device.run(TOOL_10000, {"-s"});
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(device.read("root/NK.bin"), NEW_IMAGE);
        EXPECT_NE(device.trace().find("_wfopen \\lan3 w failed ERROR_ACCESS_DENIED\n"), std::string::npos);
        EXPECT_EQ(device.read("root/lan2"), "N\n\n\n\n\n\n");
    }
    {
        UpgradeDevice device;
        fs::create_hard_link(device.root() + "/NK.bin", device.root() + "/NK1.bin");
        RunResult run = device.run(TOOL_10000, {"-s"}, [] {
            RunOptions cut;
            cut.env["CE_POWER_CUT"] = "5";
            return cut;
        }());
        EXPECT_EQ(run.signal, SIGKILL);
        EXPECT_EQ(device.read("root/NK.bin"), OLD_IMAGE);
        EXPECT_NE(device.trace().find("_wfopen \\NK1.bin wb failed ERROR_ACCESS_DENIED\n"), std::string::npos);
    }
    EXPECT_EQ(outside.read("victim"), "outside, untouched");
    EXPECT_EQ(outside.files(), outside_files);
}

// Each trace line is a traced call, a power cut or a signal's end; nothing
// the console printed.
void expect_only_calls(const std::string& trace)
{
    for (const std::string& line : lines_of(trace)) {
        std::string name = line.substr(0, line.find(' '));
        EXPECT_TRUE(name == "CreateFileW" || name == "DeviceIoControl" || name == "CloseHandle" || name == "_wfopen" ||
                    name == "fwrite" || name == "fwprintf" || name == "fflush" || name == "FlushFileBuffers" ||
                    name == "fclose" || name == "DeleteFileW" || name == "MoveFileW" || name == "RegOpenKeyExW" ||
                    name == "CreateProcessW" || name == "GetExitCodeProcess" || name == "Sleep")
            << line;
    }
}

TEST(ConsoleGone, AClosedStandardOutputReceivesNeitherTheTraceNorAnError)
{
    UpgradeDevice device;
    device.write("root/Windows/reboot.exe", "#!/bin/sh\necho restarting\n");
    fs::permissions(device.root() + "/Windows/reboot.exe", fs::perms::owner_all);
    RunOptions options = typed("yyy");
    options.stdout_closed = true;
    RunResult run = device.run(TOOL_10000, {}, options);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(device.read("root/NK.bin"), NEW_IMAGE);
    EXPECT_NE(device.trace().find("CreateProcessW \\windows\\reboot.exe \"1\" 0x10 ok\n"), std::string::npos);
    expect_only_calls(device.trace());
}

TEST(ConsoleGone, AReaderThatGoesAwayLeavesTheRunToItsEnd)
{
    UpgradeDevice twin;
    twin.run(TOOL_10000, {}, typed("yyn"));

    // As `| head -c 100`: the reader takes the first bytes and leaves while
    // the tool waits for its first key.
    UpgradeDevice device;
    RunOptions options = typed("", true);
    Started child = start_program(TOOL_10000, {}, [&] {
        RunOptions on_device = options;
        on_device.env["CE_DEVICE"] = device.path();
        return on_device;
    }());
    char head[100];
    size_t got = 0;
    for (ssize_t n; got < sizeof head && (n = read(child.out, head + got, sizeof head - got)) > 0;) {
        got += static_cast<size_t>(n);
    }
    EXPECT_EQ(std::string(head, got), ("The new firmware is QL-310 \xC3\x9C V2.3b\n\n" + WELCOME).substr(0, 100));
    close(child.out);
    child.out = -1;
    ASSERT_EQ(write(child.in, "yyn", 3), 3);
    close(child.in);
    child.in = -1;
    RunResult run = finish_program(child, options);
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(device.read("root/NK.bin"), NEW_IMAGE);
    EXPECT_EQ(device.trace(), twin.trace());
}

TEST(Signal, AnInterruptDuringTheWritesKeepsEveryTracedCallAndTheOldImage)
{
    // A console pipe of one page that nobody reads: the tool blocks on it
    // with a quarter of the 4 MiB image written.
    UpgradeDevice device;
    RunOptions options;
    options.env["CE_DEVICE"] = device.path();
    options.stdout_pipe_bytes = 4096;
    Started child = start_program(TOOL_4M, {"-s"}, options);
    close(child.in);
    child.in = -1;
    int waiting = 0;
    for (int i = 0; i < 2000 && waiting < 4096; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_EQ(ioctl(child.out, FIONREAD, &waiting), 0);
    }
    ASSERT_EQ(waiting, 4096) << "the console never filled";
    kill(child.pid, SIGINT);
    RunResult run = finish_program(child, options);
    EXPECT_EQ(run.signal, SIGINT);
    EXPECT_EQ(run.err, "");

    std::vector<std::string> trace = lines_of(device.trace());
    ASSERT_GE(trace.size(), 5u);
    EXPECT_EQ(std::vector<std::string>(trace.begin(), trace.begin() + 3),
              (std::vector<std::string>{"CreateFileW UCS1: 0xc0000000 0 3 ok", "DeviceIoControl UCS1: 0x284 ok",
                                        "_wfopen \\NK1.bin wb ok"}));
    EXPECT_EQ(trace.back(), "killed by SIGINT");
    size_t writes = static_cast<size_t>(std::count(trace.begin(), trace.end(), "fwrite \\NK1.bin 1 4096 ok"));
    EXPECT_EQ(writes, trace.size() - 4) << device.trace();
    // Every chunk whose progress the console shows was traced; at most the
    // one being printed has no progress yet.
    size_t shown = static_cast<size_t>(std::count(run.out.begin(), run.out.end(), '\r'));
    EXPECT_GE(writes, shown);
    EXPECT_LE(writes, shown + 1);
    EXPECT_GT(shown, 100u);
    EXPECT_LT(writes, 1024u);
    EXPECT_EQ(run.out.find("Firmware upgrade"), std::string::npos);
    EXPECT_EQ(device.read("root/NK.bin"), OLD_IMAGE);
}

TEST(ReadOnly, AReadOnlyBootImageStaysAndTheNewOneWaitsInNK1)
{
    UpgradeDevice device;
    chmod(device.at("root/NK.bin").c_str(), 0444);
    RunResult run = device.run(TOOL_10000, {"-s"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out.substr(run.out.find(QUESTION) + QUESTION.size()), WAIT + progress(10000) + FAILED);
    EXPECT_EQ(device.read("root/NK.bin"), OLD_IMAGE);
    EXPECT_EQ(device.read("root/NK1.bin"), NEW_IMAGE);
    EXPECT_NE(device.trace().find("DeleteFileW NK.bin failed ERROR_ACCESS_DENIED\n"
                                  "MoveFileW NK1.bin NK.bin failed ERROR_ALREADY_EXISTS\n"),
              std::string::npos);
}

}  // namespace
