// ce-campaign: a fixed seed keeps every promise on the host build and on
// both builds; deliberately broken builds are caught, each by the promise it
// breaks, and the reported command line replays the run; a seed makes the
// same draws every time; a restart program that never ends is ended.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>

#include "device_fixture.h"

namespace fs = std::filesystem;

namespace {

// A folder for a campaign's own (TMPDIR): what it keeps lands there.
struct Scratch : TempDevice {
    RunResult campaign(const std::vector<std::string>& args, double timeout = 300) const
    {
        RunOptions options;
        options.timeout_seconds = timeout;
        options.env["TMPDIR"] = path();
        return run_program(CE_CAMPAIGN, args, options);
    }
    // What the campaign left in TMPDIR.
    std::vector<std::string> left() const
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(path())) {
            if (entry.path().filename() != "root") {
                names.push_back(entry.path().filename().string());
            }
        }
        return names;
    }
};

// The text after the first line that begins with head, to its end.
std::string line_after(const std::string& text, const std::string& head)
{
    for (const std::string& line : lines_of(text)) {
        size_t at = line.find(head);
        if (at != std::string::npos && line.find_first_not_of(' ') == at) {
            return line.substr(at + head.size());
        }
    }
    return "";
}

// Everything but the lines that differ between two campaigns of one seed:
// the time taken and the folders kept.
std::string without_time_and_folders(const std::string& out)
{
    std::string kept;
    for (const std::string& line : lines_of(out)) {
        if (line.rfind("time: ", 0) != 0 && line.find("  kept: ") != 0) {
            kept += line + "\n";
        }
    }
    return kept;
}

std::vector<std::string> draw_lines(const std::string& out)
{
    std::vector<std::string> draws;
    for (const std::string& line : lines_of(out)) {
        if (line.rfind("draws: ", 0) == 0) {
            draws.push_back(line);
        }
    }
    return draws;
}

// Every kind of draw was drawn at least once: the campaign covered them all.
void expect_every_kind_drawn(const std::string& out)
{
    std::vector<std::string> draws = draw_lines(out);
    EXPECT_EQ(draws.size(), 11u) << out;
    for (const std::string& line : draws) {
        std::string rest = line.substr(7);
        size_t start = 0;
        while (start < rest.size()) {
            size_t end = rest.find(", ", start);
            std::string item = rest.substr(start, end == std::string::npos ? std::string::npos : end - start);
            EXPECT_NE(item.substr(item.rfind(' ') + 1), "0") << item;
            start = end == std::string::npos ? rest.size() : end + 2;
        }
    }
}

TEST(Campaign, AFixedSeedKeepsEveryPromiseOnTheHostBuild)
{
    Scratch scratch;
    std::string runs = std::to_string(HOST_RUNS);
    RunResult run = scratch.campaign({"--seed", "suite-host", "--runs", runs, TOOL_SAMPLE}, 900);
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_NE(run.out.find("\nruns: " + runs + "\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\nbroken promises: 0\n"), std::string::npos) << run.out;
    expect_every_kind_drawn(run.out);
    // Progress is for a terminal only.
    EXPECT_EQ(run.out.find('\r'), std::string::npos);
    EXPECT_EQ(scratch.left(), std::vector<std::string>{});
    std::cout << line_after(run.out, "time: ") << "\n";
}

TEST(Campaign, BothBuildsKeepEveryPromiseAndAgree)
{
    std::string missing = std::string(CE_RUN_MISSING) != "" ? CE_RUN_MISSING : DEVICE_MISSING;
    if (!missing.empty() || std::string(CE_RUN).empty()) {
        GTEST_SKIP() << "Skipped: the device build is not run on the emulated CPU: "
                     << (missing.empty() ? "ce-run was not built" : missing);
    }
    Scratch scratch;
    std::string runs = std::to_string(BOTH_RUNS);
    RunResult run = scratch.campaign(
        {"--seed", "suite-both", "--runs", runs, "--both", TOOL_SAMPLE, DEVICE_DIR "/fwupgrade.exe", CE_RUN}, 900);
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("\nruns: " + runs + "\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\nbroken promises: 0\n"), std::string::npos) << run.out;
    EXPECT_EQ(scratch.left(), std::vector<std::string>{});
    std::cout << line_after(run.out, "time: ") << "\n";
}

// Each build breaks one promise on purpose: a short campaign must name it,
// keep the run's device, and the replay must break it again in that run.
TEST(Campaign, BrokenBuildsAreCaughtAndTheirRunsReplayed)
{
    struct Broken {
        const char* what;
        const char* program;
        const char* promise;
    };
    const Broken builds[] = {
        {"a flush that makes nothing durable", FLUSH_KEEPS_NOTHING, "the device holds a whole image"},
        {"\"complete\" decided before the move", COMPLETE_BEFORE_MOVE,
         "\"Firmware upgrade complete!\" is printed only when NK.bin is then the new image"},
        {"a settings write that stores a wrong byte", SETTINGS_BYTE, "every settings file holds its old content"},
        {"an exit status of 1", EXIT_ONE, "the exit status is 0, except for a run ended by the power cut"},
    };
    for (const Broken& build : builds) {
        SCOPED_TRACE(build.what);
        Scratch scratch;
        RunResult run = scratch.campaign({"--seed", "broken-builds", "--runs", "400", "--stop-at-first", build.program});
        EXPECT_EQ(run.status, 1) << run.out << run.err;
        EXPECT_NE(run.out.find("  broken: " + std::string(build.promise)), std::string::npos) << run.out;
        std::string first = line_after(run.out, "run ");
        ASSERT_NE(first.find(" of seed broken-builds: "), std::string::npos) << run.out;
        std::string run_number = first.substr(0, first.find(' '));
        EXPECT_NE(run.out.find("  replay: "), std::string::npos);
        std::string kept = line_after(run.out, "kept: ");
        kept = kept.substr(0, kept.find(" ("));
        EXPECT_TRUE(fs::exists(kept + "/device/trace.log")) << kept;

        RunOptions replaying;
        replaying.timeout_seconds = 120;
        replaying.env["TMPDIR"] = scratch.path();
        RunResult again = run_program("/bin/sh", {"-c", line_after(run.out, "replay: ")}, replaying);
        EXPECT_EQ(again.status, 1) << again.out << again.err;
        EXPECT_NE(again.out.find("run " + run_number + " of seed broken-builds: "), std::string::npos) << again.out;
        EXPECT_NE(again.out.find("  broken: " + std::string(build.promise)), std::string::npos) << again.out;
        EXPECT_NE(again.out.find("\nruns: 1\n"), std::string::npos) << again.out;
    }
}

TEST(Campaign, ASeedMakesTheSameDrawsWhateverRunsAtOnce)
{
    Scratch scratch;
    std::vector<std::string> args = {"--seed", "same-seed", "--runs", "80", COMPLETE_BEFORE_MOVE};
    std::vector<std::string> one_at_a_time = args;
    one_at_a_time.insert(one_at_a_time.begin(), {"--jobs", "1"});
    std::vector<std::string> four_at_once = args;
    four_at_once.insert(four_at_once.begin(), {"--jobs", "4"});
    RunResult first = scratch.campaign(one_at_a_time);
    RunResult second = scratch.campaign(four_at_once);
    EXPECT_EQ(first.status, 1) << first.err;
    EXPECT_NE(first.out.find("  broken: "), std::string::npos);
    EXPECT_EQ(without_time_and_folders(first.out), without_time_and_folders(second.out));
    RunResult other = scratch.campaign({"--seed", "another-seed", "--runs", "80", COMPLETE_BEFORE_MOVE});
    EXPECT_NE(draw_lines(other.out), draw_lines(first.out));
}

// The pids of the processes whose command line holds the word.
std::vector<std::string> processes_with(const std::string& word)
{
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::ifstream in(entry.path() / "cmdline", std::ios::binary);
        std::string line((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (line.find(word) != std::string::npos) {
            found.push_back(name);
        }
    }
    return found;
}

TEST(Campaign, ARestartProgramThatNeverEndsIsEndedAndReported)
{
    Scratch scratch;
    std::string device = scratch.path() + "/hanging";
    fs::copy(SAMPLE_DEVICE, device, fs::copy_options::recursive);
    // A pause no other program takes, to find it by.
    std::string pause = "86399." + std::to_string(getpid());
    std::string program = device + "/root/Windows/reboot.exe";
    std::ofstream(program, std::ios::binary | std::ios::trunc) << "#!/bin/sh\nexec sleep " << pause << "\n";
    chmod(program.c_str(), 0755);
    RunResult run = scratch.campaign(
        {"--seed", "hanging", "--runs", "300", "--stop-at-first", "--time-limit", "2", "--device", device, TOOL_SAMPLE});
    EXPECT_EQ(run.status, 1) << run.out << run.err;
    EXPECT_NE(run.out.find("  broken: the run ends within its time limit"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("had not ended after 2 s"), std::string::npos) << run.out;
    EXPECT_NE(line_after(run.out, "replay: ").find(" --time-limit 2 "), std::string::npos);
    EXPECT_EQ(processes_with(pause), std::vector<std::string>{});
}

TEST(Campaign, ProgressShowsOnATerminal)
{
    Scratch scratch;
    int terminal = -1;
    pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        setenv("TMPDIR", scratch.path().c_str(), 1);
        execl(CE_CAMPAIGN, CE_CAMPAIGN, "--seed", "progress", "--runs", "60", TOOL_SAMPLE, static_cast<char*>(nullptr));
        _exit(127);
    }
    std::string out;
    char block[4096];
    for (;;) {
        ssize_t got = read(terminal, block, sizeof block);
        if (got > 0) {
            out.append(block, static_cast<size_t>(got));
        } else if (got < 0 && errno == EINTR) {
            continue;
        } else {
            break;  // EIO once the campaign has ended and closed the terminal
        }
    }
    close(terminal);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << out;
    EXPECT_NE(out.find("\rruns "), std::string::npos) << out;
    EXPECT_NE(out.find("broken promises: 0"), std::string::npos) << out;
}

TEST(Campaign, ItsOwnErrorsEndWithStatusTwoAndLeaveNothing)
{
    Scratch scratch;
    std::string bare = scratch.path() + "/bare";
    fs::create_directory(bare);
    std::string malformed = scratch.path() + "/malformed";
    fs::copy(SAMPLE_DEVICE, malformed, fs::copy_options::recursive);
    std::ofstream(malformed + "/registry.reg", std::ios::trunc) << "[HKEY_LOCAL_MACHINE\\Comm\n";
    // A copy of the tool whose manifest names another image than it embeds.
    std::string tool = scratch.path() + "/fw";
    fs::copy_file(TOOL_SAMPLE, tool);
    std::ofstream(tool + "-image.txt") << "image: " << SAMPLE_IMAGE << "\nsha256: " << std::string(64, '0') << "\n";
    struct Refused {
        std::vector<std::string> args;
        std::string said;
    };
    const Refused cases[] = {
        {{"--runs", "0", TOOL_SAMPLE}, "--runs 0: "},
        {{"--runs", "many", TOOL_SAMPLE}, "--runs many: "},
        {{"--seed", "a b", TOOL_SAMPLE}, "--seed a b: "},
        {{"--replay", "17", TOOL_SAMPLE}, "--replay 17: it takes SEED:RUN"},
        {{"--replay", "s:1", "--seed", "s", TOOL_SAMPLE}, "no --seed or --runs with it"},
        {{"--time-limit", "0", TOOL_SAMPLE}, "--time-limit 0: "},
        {{"--bogus", TOOL_SAMPLE}, "no such option: --bogus\nusage: ce-campaign "},
        {{"--both", TOOL_SAMPLE, TOOL_SAMPLE}, "--both takes HOST DEVICE RUNNER"},
        {{}, "no PROGRAM"},
        {{scratch.path() + "/none"}, "is not a program that can be run"},
        {{CE_REGISTRY}, "no manifest"},
        {{"--image", SAMPLE_IMAGE, CE_REGISTRY}, "is not the tool"},
        {{"--device", scratch.path() + "/nowhere", TOOL_SAMPLE}, "does not exist"},
        {{"--device", bare, TOOL_SAMPLE}, "has no folder root/"},
        {{"--device", malformed, TOOL_SAMPLE}, "registry.reg:1: "},
        {{tool}, "is not the one the manifest names"},
    };
    for (const Refused& c : cases) {
        std::string args;
        for (const std::string& a : c.args) {
            args += " " + a;
        }
        SCOPED_TRACE(args);
        RunResult run = scratch.campaign(c.args, 60);
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err.rfind("ce-campaign: ", 0), 0u) << run.err;
        EXPECT_NE(run.err.find(c.said), std::string::npos) << run.err;
        std::vector<std::string> left = scratch.left();
        left.erase(std::remove_if(left.begin(), left.end(), [](const std::string& name) {
                       return name.rfind("ce-campaign.", 0) != 0;
                   }),
                   left.end());
        EXPECT_EQ(left, std::vector<std::string>{});
    }
}

}  // namespace
