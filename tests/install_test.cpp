// Runs of the whole tool on throwaway emulated devices: the transcript byte
// for byte, the files left in root/ and the calls the device saw.
#include <gtest/gtest.h>

#include "device_fixture.h"
#include "image_pattern.h"
#include "transcript.h"

namespace {

struct InstallTest : ::testing::Test {
    TempDevice device;
    void SetUp() override
    {
        device.set_driver("accept\n");
        device.write("root/NK.bin", OLD_IMAGE);
    }
    void expect_old_image_only()
    {
        EXPECT_EQ(device.files(), (std::map<std::string, std::string>{{"NK.bin", OLD_IMAGE}}));
    }
};

TEST_F(InstallTest, ChunkBoundariesShowInTheProgressLineAndTheImageLandsWhole)
{
    const std::pair<const char*, size_t> builds[] = {{TOOL_1, 1}, {TOOL_4096, 4096}, {TOOL_4097, 4097}};
    for (const auto& build : builds) {
        TempDevice fresh;
        fresh.set_driver("accept");
        fresh.write("root/NK.bin", OLD_IMAGE);
        RunResult run = fresh.run(build.first, {}, typed("y"));
        SCOPED_TRACE(build.first);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out, completed_transcript(build.second));
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(fresh.read("root/NK.bin"), image_pattern(build.second));
        EXPECT_FALSE(fresh.exists("root/NK1.bin"));
    }
}

TEST_F(InstallTest, TheProgressLineForTwoChunksReadsAsWritten)
{
    RunResult run = device.run(TOOL_4097, {}, typed("y"));
    EXPECT_EQ(run.out, BANNER + WELCOME + WAIT + "\n\r0 / 4097\r4096 / 4097\r4097 / 4097\n" + COMPLETE + rest_of_run());
}

TEST_F(InstallTest, TheDeviceSeesTheInstallationBetweenTheTwoRequests)
{
    device.run(TOOL_4097, {}, typed("y"));
    std::string trace = device.trace();
    EXPECT_EQ(trace.substr(0, trace.find("RegOpenKeyExW")),
              "CreateFileW UCS1: 0xc0000000 0 3 ok\n"
              "DeviceIoControl UCS1: 0x284 ok\n"
              "MoveFileW NK1.bin NK.bin failed ERROR_FILE_NOT_FOUND\n"
              "_wfopen \\NK.bin rb ok\n"
              "fclose \\NK.bin ok\n"
              "_wfopen \\NK1.bin wb ok\n"
              "fwrite \\NK1.bin 1 4096 ok\n"
              "fwrite \\NK1.bin 1 1 ok\n"
              "fflush \\NK1.bin ok\n"
              "FlushFileBuffers \\NK1.bin ok\n"
              "fclose \\NK1.bin ok\n"
              "DeleteFileW NK.bin ok\n"
              "MoveFileW NK1.bin NK.bin ok\n"
              "DeviceIoControl UCS1: 0x288 ok\n"
              "CloseHandle UCS1: ok\n");
}

TEST_F(InstallTest, WithoutAnOldImageTheNewOneStillBecomesTheBootImage)
{
    TempDevice bare;
    bare.set_driver("accept");
    RunResult run = bare.run(TOOL_4096, {}, typed("Y"));
    EXPECT_EQ(run.out, installed_transcript(4096) + rest_of_run());
    EXPECT_EQ(bare.read("root/NK.bin"), image_pattern(4096));
    EXPECT_NE(bare.trace().find("DeleteFileW NK.bin failed ERROR_FILE_NOT_FOUND\nMoveFileW NK1.bin NK.bin ok\n"),
              std::string::npos);
}

TEST_F(InstallTest, TheBootImageIsFoundWhateverTheCaseOfItsName)
{
    TempDevice other;
    other.set_driver("accept");
    other.write("root/nk.BIN", OLD_IMAGE);
    other.run(TOOL_1, {}, typed("y"));
    EXPECT_EQ(other.read("root/NK.bin"), image_pattern(1));
    EXPECT_FALSE(other.exists("root/nk.BIN"));
}

TEST_F(InstallTest, TheSampleBuildCarriesTheSampleImage)
{
    RunResult run = device.run(TOOL_SAMPLE, {"-s"});
    std::string image = read_file(SAMPLE_IMAGE);
    EXPECT_EQ(image.compare(0, 7, "B000FF\n"), 0);
    EXPECT_LE(image.size(), 64u * 1024);
    EXPECT_EQ(run.out, completed_transcript(image.size()));
    EXPECT_EQ(device.read("root/NK.bin"), image);
}

TEST_F(InstallTest, ModelAndVersionComeFromTheBuild)
{
    RunResult run = device.run(TOOL_10000, {"-s"});
    EXPECT_EQ(run.out.substr(0, run.out.find('\n') + 2), "The new firmware is QL-310 \xC3\x9C V2.3b\n\n");
    EXPECT_EQ(device.read("root/NK.bin"), image_pattern(10000));
}

// The mode rule and the first answer.

TEST_F(InstallTest, UnattendedRunsReadNothing)
{
    // Any read from this console would block until the timeout.
    RunResult run = device.run(TOOL_4097, {"-s"}, typed("", true));
    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, completed_transcript(4097));
    EXPECT_NE(run.out.find("Continue the process? (y/n)The firmware upgrade procedure"), std::string::npos);
}

TEST_F(InstallTest, OnlyTheExactCommandLineDashSIsUnattended)
{
    const std::vector<std::vector<std::string>> interactive = {
        {}, {"-S"}, {" -s"}, {"-s "}, {"/s"}, {"-s", "x"}, {"-", "s"}, {"--s"}, {"-sx"}};
    for (const auto& args : interactive) {
        TempDevice fresh;
        fresh.set_driver("accept");
        RunResult run = fresh.run(TOOL_1, args, typed("n"));
        std::string shown;
        for (const auto& a : args) {
            shown += "[" + a + "]";
        }
        SCOPED_TRACE(shown);
        EXPECT_EQ(run.out, BANNER + WELCOME);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(fresh.trace(), "");
    }
}

TEST_F(InstallTest, AnythingButYAtTheFirstQuestionEndsTheRunUntouched)
{
    for (const std::string keys : {"n", "N", "\n", "\r\n", "x", "", " y", "\xC3\xBF", "\xF0\x9F\x98\x80y"}) {
        TempDevice fresh;
        fresh.set_driver("accept");
        fresh.write("root/NK.bin", OLD_IMAGE);
        RunResult run = fresh.run(TOOL_1, {}, typed(keys));
        SCOPED_TRACE("keys: " + keys);
        EXPECT_EQ(run.out, BANNER + WELCOME);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(fresh.trace(), "");
        EXPECT_EQ(fresh.read("root/NK.bin"), OLD_IMAGE);
    }
}

TEST_F(InstallTest, TheFirstAnswerConsumesOneCharacterOnly)
{
    // A console that stays open: had the first question read past its key,
    // the later questions would find nothing left and wait for ever.
    RunResult run = device.run(TOOL_1, {}, typed("ynn", true));
    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(run.out, completed_transcript(1));
    // The first "n" left behind answered the carry-over question: the defaults were written.
    EXPECT_EQ(device.read("root/lan1"), "0\n192.168.3.127\n255.255.255.0\n\n\n\n");
}

// Where the run ends early.

TEST_F(InstallTest, ADeviceThatRefusesTheBeginRequestStopsTheRunBeforeAnythingIsWritten)
{
    device.set_driver("refuse\n");
    RunResult run = device.run(TOOL_4097, {}, typed("y"));
    EXPECT_EQ(run.out, BANNER + WELCOME + WAIT + FAILED);
    EXPECT_EQ(run.status, 0);
    expect_old_image_only();
    EXPECT_EQ(device.trace(),
              "CreateFileW UCS1: 0xc0000000 0 3 ok\n"
              "DeviceIoControl UCS1: 0x284 failed ERROR_GEN_FAILURE\n"
              "CloseHandle UCS1: ok\n");
}

TEST_F(InstallTest, ADeviceWithoutTheUpgradeDriverFailsLikeARefusal)
{
    TempDevice no_driver;
    no_driver.write("root/NK.bin", OLD_IMAGE);
    RunResult run = no_driver.run(TOOL_4097, {"-s"});
    EXPECT_EQ(run.out, BANNER + WELCOME + WAIT + FAILED);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(no_driver.trace(), "CreateFileW UCS1: 0xc0000000 0 3 failed ERROR_FILE_NOT_FOUND\n");
    EXPECT_EQ(no_driver.read("root/NK.bin"), OLD_IMAGE);
}

TEST_F(InstallTest, BuildsWithoutAnImageSaySoAndNothingElse)
{
    RunResult none = device.run(TOOL_NONE, {}, typed("y"));
    EXPECT_EQ(none.out, "FindResource failed\n");
    EXPECT_EQ(none.status, 0);
    RunResult empty = device.run(TOOL_EMPTY, {"-s"});
    EXPECT_EQ(empty.out, "SizeofResource failed\n");
    EXPECT_EQ(empty.status, 0);
    EXPECT_EQ(device.trace(), "");
    expect_old_image_only();
}

TEST_F(InstallTest, ANewImageThatCannotBeOpenedLeavesTheOldOneAndEndsTheUpgrade)
{
    device.make_folder("root/NK1.bin");
    RunResult run = device.run(TOOL_4097, {"-s"});
    EXPECT_EQ(run.out, BANNER + WELCOME + WAIT + "\n" + FAILED);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(device.read("root/NK.bin"), OLD_IMAGE);
    EXPECT_EQ(device.trace(),
              "CreateFileW UCS1: 0xc0000000 0 3 ok\n"
              "DeviceIoControl UCS1: 0x284 ok\n"
              "MoveFileW NK1.bin NK.bin failed ERROR_ALREADY_EXISTS\n"
              "_wfopen \\NK.bin rb ok\n"
              "fclose \\NK.bin ok\n"
              "_wfopen \\NK1.bin wb failed ERROR_ACCESS_DENIED\n"
              "DeleteFileW \\NK1.bin failed ERROR_ACCESS_DENIED\n"
              "DeviceIoControl UCS1: 0x288 ok\n"
              "CloseHandle UCS1: ok\n");
}

TEST_F(InstallTest, AMoveThatFailsIsReportedAndKeepsTheNewImage)
{
    // A folder named NK.bin can be neither deleted nor replaced.
    TempDevice stuck;
    stuck.set_driver("accept");
    stuck.make_folder("root/NK.bin");
    RunResult run = stuck.run(TOOL_4097, {"-s"});
    EXPECT_EQ(run.out, BANNER + WELCOME + WAIT + progress(4097) + FAILED);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(stuck.read("root/NK1.bin"), image_pattern(4097));
    EXPECT_NE(stuck.trace().find("MoveFileW NK1.bin NK.bin failed ERROR_ALREADY_EXISTS\n"
                                 "DeviceIoControl UCS1: 0x288 ok\nCloseHandle UCS1: ok\n"),
              std::string::npos);
}

TEST_F(InstallTest, AMissingOrBrokenDeviceStopsTheEmulationBeforeTheTool)
{
    RunOptions unset;
    unset.unset = {"CE_DEVICE"};
    RunResult missing = run_program(TOOL_1, {"-s"}, unset);
    EXPECT_EQ(missing.status, 2);
    EXPECT_EQ(missing.out, "");
    EXPECT_EQ(lines_of(missing.err).size(), 1u);
    EXPECT_NE(missing.err.find("CE_DEVICE"), std::string::npos);

    RunOptions file;
    file.env["CE_DEVICE"] = device.path() + "/ucs1";
    RunResult not_folder = run_program(TOOL_1, {"-s"}, file);
    EXPECT_EQ(not_folder.status, 2);
    EXPECT_EQ(not_folder.out, "");
    EXPECT_EQ(lines_of(not_folder.err).size(), 1u);
    EXPECT_NE(not_folder.err.find("CE_DEVICE"), std::string::npos);

    device.set_driver("maybe");
    RunResult bad_driver = device.run(TOOL_1, {"-s"});
    EXPECT_EQ(bad_driver.status, 2);
    EXPECT_EQ(bad_driver.out, "");
    EXPECT_NE(bad_driver.err.find("ucs1"), std::string::npos);
    expect_old_image_only();
    EXPECT_FALSE(device.exists("trace.log"));
}

}  // namespace
