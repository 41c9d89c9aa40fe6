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

// One way to spoil a file of the device folder ("" the folder itself).
enum class Spoil { Fifo, Socket, Folder, Link, Mode, Sparse, Text };
struct BadFile {
    std::string file;
    Spoil how;
    long long size_or_mode;
    std::string text;
    std::string complaint;  // after the device folder's path
};

void spoil(const UpgradeDevice& device, const BadFile& bad)
{
    std::string at = bad.file.empty() ? device.path() : device.at(bad.file);
    if (bad.how == Spoil::Fifo || bad.how == Spoil::Socket || bad.how == Spoil::Folder || bad.how == Spoil::Link) {
        fs::remove_all(at);
    }
    sockaddr_un address = {};
    switch (bad.how) {
    case Spoil::Fifo: mkfifo(at.c_str(), 0644); break;
    case Spoil::Socket: {
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        address.sun_family = AF_UNIX;
        at.copy(address.sun_path, sizeof address.sun_path - 1);
        bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        close(fd);
        break;
    }
    case Spoil::Folder: fs::create_directory(at); break;
    case Spoil::Link: device.write("elsewhere", "accept"); fs::create_symlink(device.at("elsewhere"), at); break;
    case Spoil::Mode:
        if (!fs::exists(at)) {
            device.write(bad.file, bad.text);
        }
        chmod(at.c_str(), static_cast<mode_t>(bad.size_or_mode));
        break;
    case Spoil::Sparse: device.write(bad.file, bad.text); truncate(at.c_str(), bad.size_or_mode); break;
    case Spoil::Text: device.write(bad.file, bad.text); break;
    }
}

TEST(DeviceFault, EveryBadDeviceFileStopsTheRunBeforeAnythingIsPrintedOrTouched)
{
    std::string deep = "[HKEY_LOCAL_MACHINE";
    for (int i = 0; i < 40000; ++i) {
        deep += "\\k";
    }
    const BadFile cases[] = {
        {"ucs1", Spoil::Fifo, 0, "", "/ucs1 is a FIFO"},
        {"registry.reg", Spoil::Fifo, 0, "", "/registry.reg is a FIFO"},
        {"trace.log", Spoil::Fifo, 0, "", "/trace.log is a FIFO"},
        {"root", Spoil::Fifo, 0, "", "/root is a FIFO"},
        {"ucs1", Spoil::Socket, 0, "", "/ucs1 is a socket"},
        {"ucs1", Spoil::Folder, 0, "", "/ucs1 is a folder"},
        {"registry.reg", Spoil::Folder, 0, "", "/registry.reg is a folder"},
        {"trace.log", Spoil::Folder, 0, "", "/trace.log is a folder"},
        {"ucs1", Spoil::Link, 0, "", "/ucs1 is a symbolic link"},
        {"registry.reg", Spoil::Link, 0, "", "/registry.reg is a symbolic link"},
        {"ucs1", Spoil::Mode, 0200, "", "/ucs1 cannot be read"},
        {"registry.reg", Spoil::Mode, 0, "REGEDIT4\n", "/registry.reg cannot be read"},
        {"trace.log", Spoil::Mode, 0444, "", "/trace.log cannot be written"},
        {"", Spoil::Mode, 0300, "", " cannot be read"},
        {"", Spoil::Mode, 0555, "", " cannot be written"},
        {"ucs1", Spoil::Sparse, 2LL << 30, "", "/ucs1: the first word must be accept or refuse"},
        {"registry.reg", Spoil::Sparse, 20 << 20, "REGEDIT4\n", "/registry.reg is larger than 16 MiB"},
        {"registry.reg", Spoil::Text, 0, deep + "]\n", "/registry.reg:1: a key more than 512 levels deep"},
    };
    for (const BadFile& bad : cases) {
        SCOPED_TRACE(bad.complaint);
        UpgradeDevice device;
        spoil(device, bad);
        RunOptions options;
        options.timeout_seconds = 20;  // a FIFO opened for reading would block for ever
        RunResult run = device.run(TOOL_10000, {"-s"}, options);
        chmod(device.path().c_str(), 0700);
        EXPECT_FALSE(run.timed_out);
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(lines_of(run.err).size(), 1u) << run.err;
        EXPECT_NE(run.err.find(device.path() + bad.complaint), std::string::npos) << run.err;
        if (bad.file != "root") {
            EXPECT_TRUE(device.files() == (std::map<std::string, std::string>{{"NK.bin", OLD_IMAGE}}));
        }
        EXPECT_EQ(device.exists("trace.log"), bad.file == "trace.log");
    }
}

TEST(DeviceFault, NoLinkLeadsAWriteOutOfTheDevice)
{
    TempDevice outside;
    outside.write("victim", "outside, untouched");
    UpgradeDevice trace_linked, root_linked, lan_linked, images_linked;
    fs::create_symlink(outside.path() + "/victim", trace_linked.at("trace.log"));
    EXPECT_EQ(trace_linked.run(TOOL_10000, {"-s"}).status, 2);
    fs::remove_all(root_linked.root());
    fs::create_directory_symlink(outside.root(), root_linked.root());
    EXPECT_EQ(root_linked.run(TOOL_10000, {"-s"}).status, 2);
    // The device's file system has no hard links: such a file is never written.
    fs::create_hard_link(outside.path() + "/victim", lan_linked.root() + "/lan3");
    EXPECT_EQ(lan_linked.run(TOOL_10000, {"-s"}).status, 0);
    EXPECT_NE(lan_linked.trace().find("_wfopen \\lan3 w failed ERROR_ACCESS_DENIED\n"), std::string::npos);
    EXPECT_EQ(lan_linked.read("root/lan4"), "N\n\n\n\n\n\n");
    EXPECT_EQ(outside.read("victim"), "outside, untouched");
    EXPECT_TRUE(outside.files().empty());

    fs::create_hard_link(images_linked.root() + "/NK.bin", images_linked.root() + "/NK1.bin");
    RunOptions cut;
    cut.env["CE_POWER_CUT"] = "8";
    EXPECT_EQ(images_linked.run(TOOL_10000, {"-s"}, cut).signal, SIGKILL);
    EXPECT_EQ(images_linked.read("root/NK.bin"), OLD_IMAGE);
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
    // Every line of the trace is a call; none is console output.
    const std::string calls = " CreateFileW DeviceIoControl CloseHandle _wfopen fwrite fwprintf fflush FlushFileBuffers "
                              "fclose DeleteFileW MoveFileW RegOpenKeyExW CreateProcessW GetExitCodeProcess Sleep ";
    for (const std::string& line : lines_of(device.trace())) {
        EXPECT_NE(calls.find(" " + line.substr(0, line.find(' ')) + " "), std::string::npos) << line;
    }
}

TEST(ConsoleGone, AReaderThatGoesAwayLeavesTheRunToItsEnd)
{
    UpgradeDevice twin;
    twin.run(TOOL_10000, {}, typed("yyn"));

    // As `| head -c 100`: the reader takes the first bytes and leaves while
    // the tool waits for its first key.
    UpgradeDevice device;
    RunOptions options = typed("", true);
    options.env["CE_DEVICE"] = device.path();
    Started child = start_program(TOOL_10000, {}, options);
    char head[100];
    size_t got = 0;
    for (ssize_t n; got < sizeof head && (n = read(child.out, head + got, sizeof head - got)) > 0;) {
        got += static_cast<size_t>(n);
    }
    EXPECT_EQ(std::string(head, got), ("The new firmware is QL-310 \xC3\x9C V2.3b\n\n" + WELCOME).substr(0, 100));
    close(child.out);
    child.out = -1;
    ASSERT_EQ(write(child.in, "yyn", 3), 3);
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
    ASSERT_GE(trace.size(), 8u);
    EXPECT_EQ(std::vector<std::string>(trace.begin(), trace.begin() + 6),
              (std::vector<std::string>{"CreateFileW UCS1: 0xc0000000 0 3 ok", "DeviceIoControl UCS1: 0x284 ok",
                                        "MoveFileW NK1.bin NK.bin failed ERROR_FILE_NOT_FOUND", "_wfopen \\NK.bin rb ok",
                                        "fclose \\NK.bin ok", "_wfopen \\NK1.bin wb ok"}));
    EXPECT_EQ(trace.back(), "killed by SIGINT");
    size_t writes = static_cast<size_t>(std::count(trace.begin(), trace.end(), "fwrite \\NK1.bin 1 4096 ok"));
    EXPECT_EQ(writes, trace.size() - 7) << device.trace();
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
