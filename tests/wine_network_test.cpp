// The tool's network steps and restart launcher, built for Windows from the
// same sources, against Wine's real registry, file system and processes. For
// each registry fixture, imported by Wine's registry importer, the report and
// the settings files must equal the host build's on an emulated device that
// has the same file as its registry.reg, once CRLF line ends are folded.
#include <gtest/gtest.h>

#include <filesystem>

#include "device_fixture.h"
#include "transcript.h"
#include "wine_prefix.h"

namespace {

const char* const FIXTURES[] = {"regedit4.reg", "regedit5-utf16.reg"};
const char* const NETWORK_STEPS = "tests/windows/tools/network_steps.exe";

std::string fixture(const std::string& name)
{
    return read_file(std::string(FIXTURE_DIR) + "/" + name);
}

struct HostRun {
    RunResult run;
    std::string report;                         // from the count line to the carry-over question
    std::map<std::string, std::string> files;   // under root/, the installed image left out
};

// A run of the host build on an emulated device with the given registry file
// ("" for none) and files already under root/.
HostRun host_run(const std::string& registry, const std::vector<std::string>& args, const RunOptions& options,
                 const std::map<std::string, std::string>& earlier = {}, const std::string& restart_program = "")
{
    TempDevice device;
    device.set_driver("accept");
    if (!registry.empty()) {
        device.write("registry.reg", registry);
    }
    for (const auto& file : earlier) {
        device.write("root/" + file.first, file.second);
    }
    if (!restart_program.empty()) {
        device.write("root/Windows/reboot.exe", restart_program);
        std::filesystem::permissions(device.root() + "/Windows/reboot.exe", std::filesystem::perms::owner_all);
    }
    HostRun host;
    host.run = device.run(TOOL_1, args, options);
    EXPECT_EQ(host.run.status, 0);
    EXPECT_EQ(host.run.err, "");
    size_t begin = host.run.out.find(COMPLETE);
    size_t end = host.run.out.find(CARRY_OVER_QUESTION);
    EXPECT_NE(begin, std::string::npos) << host.run.out;
    EXPECT_NE(end, std::string::npos) << host.run.out;
    if (begin != std::string::npos && end != std::string::npos && end > begin) {
        host.report = host.run.out.substr(begin + COMPLETE.size(), end - begin - COMPLETE.size());
    }
    host.files = device.files();
    host.files.erase("NK.bin");
    return host;
}

class WineNetworkTest : public WinePrefixSuite {
protected:
    // Wine's registry with the keys of `registry` (a fixture's bytes, or ""
    // for none) where the previous case's were, and C:\ clean.
    void load_registry(const std::string& registry)
    {
        prefix->clean_drive_c();
        prefix->write("reset.reg", "REGEDIT4\r\n\r\n[-HKEY_LOCAL_MACHINE\\Comm]\r\n");
        import("reset.reg");
        if (!registry.empty()) {
            prefix->write("registry.reg", registry);
            import("registry.reg");
        }
        prefix->clean_drive_c();
    }

    void import(const std::string& name)
    {
        RunResult imported = prefix->run_builtin({"reg", "import", name});
        EXPECT_EQ(imported.status, 0) << "reg import " << name << ": " << imported.out << imported.err;
    }

    // One step of the Windows program in C:\: it prints nothing on standard
    // error and ends with status 0.
    RunResult step(const std::string& word)
    {
        RunResult run = prefix->run(windows_program(NETWORK_STEPS), {word});
        EXPECT_FALSE(run.timed_out) << word;
        EXPECT_EQ(run.status, 0) << word << ": " << run.out;
        EXPECT_EQ(run.err, "") << word;
        return run;
    }

    // What the Windows program left on C:\, line ends folded.
    std::map<std::string, std::string> windows_files() const
    {
        std::map<std::string, std::string> files = prefix->added_files();
        for (auto& file : files) {
            file.second = fold_crlf(file.second);
        }
        return files;
    }
};

TEST_F(WineNetworkTest, TheReportAndTheKeptSettingsAreTheHostBuildsForEachFixture)
{
    for (const char* name : FIXTURES) {
        SCOPED_TRACE(name);
        const std::string registry = fixture(name);
        HostRun host = host_run(registry, {"-s"}, {});
        ASSERT_NE(host.report, empty_report()) << "the host build read nothing from " << name;

        load_registry(registry);
        RunResult report = step("report");
        EXPECT_EQ(fold_crlf(report.out), host.report);
        EXPECT_EQ(windows_files(), (std::map<std::string, std::string>{})) << "the report wrote a file";

        RunResult kept = step("kept");
        EXPECT_EQ(kept.out, "");
        EXPECT_EQ(windows_files(), host.files);
    }
}

TEST_F(WineNetworkTest, WithoutTheKeysEveryValueIsEmpty)
{
    load_registry("");
    EXPECT_EQ(fold_crlf(step("report").out), empty_report());
    step("kept");
    std::map<std::string, std::string> files = windows_files();
    EXPECT_EQ(files, host_run("", {"-s"}, {}).files);
    EXPECT_EQ(files["lan4"], "N\n\n\n\n\n\n");
}

TEST_F(WineNetworkTest, TheDefaultsReplaceEarlierFiles)
{
    // Longer than any settings file: what is left must be the new file only.
    const std::map<std::string, std::string> earlier = {{"lan1", "Y\n10.0.0.1\n\n\n\n\n"},
                                                        {"lan6", std::string(500, '#')}};
    load_registry(fixture(FIXTURES[0]));
    for (const auto& file : earlier) {
        prefix->write(file.first, file.second);
    }
    RunResult defaults = step("defaults");
    EXPECT_EQ(defaults.out, "");
    HostRun host = host_run(fixture(FIXTURES[0]), {}, typed("yn"), earlier);
    EXPECT_EQ(windows_files(), host.files);
    EXPECT_EQ(host.files["lan6"], "0\n192.168.8.127\n255.255.255.0\n\n\n\n");
}

TEST_F(WineNetworkTest, TheRestartProgramGetsTheCommandLineOneAndIsWaitedFor)
{
    prefix->clean_drive_c();
    const std::string stand_in = prefix->drive_c() + "/windows/reboot.exe";
    std::filesystem::copy_file(windows_program("tests/windows/tools/reboot_stand_in.exe"), stand_in,
                               std::filesystem::copy_options::overwrite_existing);
    RunResult restart = step("restart");
    std::map<std::string, std::string> files = windows_files();
    std::filesystem::remove(stand_in);
    EXPECT_EQ(fold_crlf(restart.out), "restart_device returned after the restart program ended\n");
    EXPECT_EQ(files, (std::map<std::string, std::string>{{"reboot-started", "1\n"}, {"reboot-ended", ""}}));

    // The host build's launcher with a restart program that does the same.
    const std::string program =
        "#!/bin/sh\necho \"$*\" > reboot-started\nsleep 0.3\n: > reboot-ended\nexit 3\n";
    HostRun host = host_run("", {}, typed("yyy"), {}, program);
    EXPECT_EQ(host.run.out.substr(host.run.out.size() - REBOOT_QUESTION.size()), REBOOT_QUESTION);
    EXPECT_EQ(host.files["reboot-started"], files["reboot-started"]);
    EXPECT_EQ(host.files.count("reboot-ended"), 1u) << "the host build returned before its restart program ended";
}

}  // namespace

int main(int argc, char** argv)
{
    return run_wine_tests(argc, argv, WINDOWS_BUILDS);
}
