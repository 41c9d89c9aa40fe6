// The Windows build of the tool under Wine, case by case against the host
// build on an emulated device that, like desktop Windows, has no "UCS1:"
// driver: the same transcript, byte for byte once the console's CRLF line
// ends are folded, and the boot image left alone.
#include <gtest/gtest.h>

#include "device_fixture.h"
#include "transcript.h"
#include "wine_prefix.h"

namespace {

// A build of the tool: the host program, and the Windows one by its path
// inside the chosen Windows build.
struct Build {
    const char* host;
    const char* windows;
};
const Build SAMPLE = {TOOL_SAMPLE, "fwupgrade.exe"};
const Build RENAMED = {TOOL_RENAMED, "tests/windows/tools/fwupgrade_renamed.exe"};
const Build EMPTY = {TOOL_EMPTY, "tests/windows/tools/fwupgrade_empty.exe"};
const Build NONE = {TOOL_NONE, "tests/windows/tools/fwupgrade_none.exe"};

struct Runs {
    RunResult host;
    RunResult windows;
};

class WineToolTest : public WinePrefixSuite {
protected:
    // Every case starts from a C:\ that holds nothing but the old boot image.
    void SetUp() override
    {
        prefix->clean_drive_c();
        prefix->write("NK.bin", OLD_IMAGE);
    }

    // The same case on both builds: the host one on a fresh device with the
    // same old boot image and no upgrade driver.
    Runs run_both(const Build& build, const std::vector<std::string>& args, const RunOptions& options)
    {
        TempDevice device;
        device.write("root/NK.bin", OLD_IMAGE);
        Runs runs{device.run(build.host, args, options), prefix->run(windows_program(build.windows), args, options)};
        EXPECT_EQ(device.files(), (std::map<std::string, std::string>{{"NK.bin", OLD_IMAGE}}));
        return runs;
    }

    // Both transcripts equal to `expected`, nothing else printed, status 0,
    // and C:\ as it was.
    void expect_same(const Runs& runs, const std::string& expected)
    {
        EXPECT_EQ(runs.host.out, expected);
        EXPECT_EQ(fold_crlf(runs.windows.out), runs.host.out);
        EXPECT_EQ(runs.host.err, "");
        EXPECT_EQ(runs.windows.err, "");
        EXPECT_EQ(runs.host.status, 0);
        EXPECT_EQ(runs.windows.status, 0);
        EXPECT_FALSE(runs.windows.timed_out);
        EXPECT_EQ(prefix->added_files(), (std::map<std::string, std::string>{{"NK.bin", OLD_IMAGE}}));
    }
};

RunOptions typed(const std::string& keys)
{
    RunOptions options;
    options.input = keys;
    return options;
}

std::string banner(const std::string& model, const std::string& version)
{
    return "The new firmware is " + model + " " + version + "\n\n";
}

TEST_F(WineToolTest, TheEmbeddedImageIsFoundAndAnnouncedAndAnythingButYEndsTheRun)
{
    for (const std::string keys : {"n", "N", "x", "\n", ""}) {
        SCOPED_TRACE("keys: [" + keys + "]");
        Runs runs = run_both(SAMPLE, {}, typed(keys));
        expect_same(runs, banner(FIRMWARE_MODEL, FIRMWARE_VERSION) + WELCOME);
    }
}

TEST_F(WineToolTest, ModelAndVersionComeFromTheBuild)
{
    Runs runs = run_both(RENAMED, {}, typed("n"));
    expect_same(runs, banner("QL-310", "V2.3b") + WELCOME);
}

TEST_F(WineToolTest, WithoutAnUpgradeDriverYesEndsInFailureAndTheBootImageStays)
{
    Runs runs = run_both(SAMPLE, {}, typed("y"));
    expect_same(runs, banner(FIRMWARE_MODEL, FIRMWARE_VERSION) + WELCOME + WAIT + FAILED);
}

TEST_F(WineToolTest, DashSRunsUnattendedThroughTheWindowsEntryPoint)
{
    // A console that never ends: any read would block until the timeout.
    RunOptions options;
    options.keep_input_open = true;
    options.timeout_seconds = 20;
    Runs runs = run_both(SAMPLE, {"-s"}, options);
    expect_same(runs, banner(FIRMWARE_MODEL, FIRMWARE_VERSION) + WELCOME + WAIT + FAILED);
}

TEST_F(WineToolTest, OtherCommandLinesAreInteractive)
{
    const std::vector<std::vector<std::string>> interactive = {{"-S"}, {"/s"}, {"-sx"}, {"-s", "x"}};
    for (const auto& args : interactive) {
        std::string shown;
        for (const auto& a : args) {
            shown += "[" + a + "]";
        }
        SCOPED_TRACE(shown);
        Runs runs = run_both(SAMPLE, args, typed("n"));
        expect_same(runs, banner(FIRMWARE_MODEL, FIRMWARE_VERSION) + WELCOME);
    }
}

TEST_F(WineToolTest, BuildsWithoutAnImageSaySoAndNothingElse)
{
    expect_same(run_both(NONE, {}, typed("y")), "FindResource failed\n");
    expect_same(run_both(EMPTY, {"-s"}, {}), "SizeofResource failed\n");
}

}  // namespace

int main(int argc, char** argv)
{
    return run_wine_tests(argc, argv, WINDOWS_BUILDS);
}
