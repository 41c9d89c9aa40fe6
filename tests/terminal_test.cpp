// A whole interactive run in a real terminal: tmux runs the tool, the test
// types the answers as a person would and reads the screen.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "device_fixture.h"
#include "transcript.h"

namespace fs = std::filesystem;

namespace {

// A word of the shell that stands for the text exactly, whatever it holds.
std::string shell_quoted(const std::string& text)
{
    std::string quoted = "'";
    for (char c : text) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

std::string find_program(const std::string& name)
{
    const char* path = std::getenv("PATH");
    std::string folders = path != nullptr ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= folders.size()) {
        size_t end = folders.find(':', start);
        std::string folder = folders.substr(start, end == std::string::npos ? std::string::npos : end - start);
        std::string candidate = (folder.empty() ? "." : folder) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    return "";
}

// One tmux server of our own, on a socket inside the device folder, so that
// no user's server is ever touched.
struct Terminal {
    std::string tmux;
    std::string socket;
    ~Terminal()
    {
        if (!tmux.empty()) {
            command({"kill-server"});
        }
    }
    RunResult command(const std::vector<std::string>& args) const
    {
        std::vector<std::string> full = {"-S", socket, "-f", "/dev/null", "-u"};
        full.insert(full.end(), args.begin(), args.end());
        RunOptions options;
        options.timeout_seconds = 10;
        return run_program(tmux, full, options);
    }
    // The screen with wrapped lines joined, trailing blank lines dropped.
    std::vector<std::string> screen() const
    {
        std::vector<std::string> lines = lines_of(command({"capture-pane", "-p", "-J", "-t", "run"}).out);
        while (!lines.empty() && lines.back().find_first_not_of(' ') == std::string::npos) {
            lines.pop_back();
        }
        return lines;
    }
    // Waits until the last line of the screen is `last`.
    std::vector<std::string> wait_for(const std::string& last) const
    {
        std::vector<std::string> lines;
        for (int i = 0; i < 200; ++i) {
            lines = screen();
            if (!lines.empty() && lines.back() == last) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return lines;
    }
    void type(const std::string& keys) const { command({"send-keys", "-t", "run", keys, "Enter"}); }
};

std::string joined(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines) {
        text += line + "\n";
    }
    return text;
}

TEST(TerminalTest, APersonAnswersEachQuestionAfterSeeingItAndWatchesTheProgress)
{
    TempDevice device;  // outlives the terminal, whose socket it holds
    Terminal terminal;
    terminal.tmux = find_program("tmux");
    if (terminal.tmux.empty()) {
        GTEST_SKIP() << "tmux is not installed";
    }
    device.set_driver("accept");
    device.write("root/NK.bin", "B000FF\nthe old boot image");
    device.write("root/Windows/reboot.exe", "#!/bin/sh\necho \"restarting with $1\"\n");
    fs::permissions(device.root() + "/Windows/reboot.exe", fs::perms::owner_all);
    device.write("session.sh", "#!/bin/sh\nCE_DEVICE=" + shell_quoted(device.path()) + " " + shell_quoted(TOOL_10000) +
                                   "\necho \"[the tool ended with $?]\"\nexec sleep 600\n");
    fs::permissions(device.path() + "/session.sh", fs::perms::owner_all);
    terminal.socket = device.path() + "/tmux.socket";

    RunResult started = terminal.command(
        {"new-session", "-d", "-s", "run", "-x", "200", "-y", "80", device.path() + "/session.sh"});
    ASSERT_EQ(started.status, 0) << started.err;

    // The first question is on the screen while the tool waits for its key.
    std::vector<std::string> asked = terminal.wait_for("Continue the process? (y/n)");
    ASSERT_EQ(asked.back(), "Continue the process? (y/n)") << joined(asked);
    EXPECT_EQ(asked.front(), "The new firmware is QL-310 \xC3\x9C V2.3b");
    EXPECT_EQ(joined(asked), "The new firmware is QL-310 \xC3\x9C V2.3b\n\n" + WELCOME + "\n");
    EXPECT_FALSE(device.exists("root/NK1.bin"));
    EXPECT_FALSE(device.exists("trace.log"));

    terminal.type("y");
    std::vector<std::string> second = terminal.wait_for(CARRY_OVER_QUESTION);
    ASSERT_EQ(second.back(), CARRY_OVER_QUESTION) << joined(second);
    // Three chunks and the closing line all rewrote one line in place: it
    // ends showing the full size twice.
    std::vector<std::string> after(second.begin() + static_cast<long>(asked.size()), second.end());
    ASSERT_GE(after.size(), 4u + 1 + 36 + 1);
    EXPECT_EQ(joined(std::vector<std::string>(after.begin(), after.begin() + 5)),
              WAIT + "\n10000 / 10000\n" + COMPLETE + "lan:6\n");
    EXPECT_EQ(after[5], "LAN1 Interface Configuration:");
    EXPECT_EQ(after[5 + 30], "LAN6 Interface Configuration:");
    EXPECT_EQ(after.size(), 5u + 36 + 1);
    EXPECT_EQ(second[asked.size() - 1], "Continue the process? (y/n)y");
    EXPECT_FALSE(device.exists("root/lan1"));

    terminal.type("y");
    std::vector<std::string> third = terminal.wait_for(REBOOT_QUESTION);
    ASSERT_EQ(third.back(), REBOOT_QUESTION) << joined(third);
    EXPECT_EQ(third[third.size() - 2], CARRY_OVER_QUESTION + "y");
    EXPECT_EQ(device.read("root/lan1"), "N\n\n\n\n\n\n");
    EXPECT_EQ(device.trace().find("CreateProcessW"), std::string::npos);

    terminal.type("y");
    std::vector<std::string> ended = terminal.wait_for("[the tool ended with 0]");
    ASSERT_EQ(ended.back(), "[the tool ended with 0]") << joined(ended);
    std::vector<std::string> last(ended.end() - 3, ended.end());
    EXPECT_EQ(last, (std::vector<std::string>{REBOOT_QUESTION + "y", "restarting with 1", "[the tool ended with 0]"}));
    EXPECT_NE(device.trace().find("CreateProcessW \\windows\\reboot.exe \"1\" 0x10 ok\n"), std::string::npos);
}

}  // namespace
