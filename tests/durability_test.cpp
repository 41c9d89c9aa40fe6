// The device is never left without a complete boot image: power cuts before
// every traced call, a full volume, and each call of the installation failing
// the way it fails on the device.
#include <gtest/gtest.h>

#include <csignal>
#include <iostream>

#include "device_fixture.h"
#include "image_pattern.h"
#include "transcript.h"

namespace {

// fwupgrade_10000 carries a 10000-byte image: three chunks.
const size_t NEW_SIZE = 10000;
const std::string NEW_IMAGE = image_pattern(NEW_SIZE);
const std::string QUESTION = "Continue the process? (y/n)";

// The progress line as far as the chunks starting before `upto` went.
std::string progress_until(size_t upto)
{
    std::string line = "\n";
    for (size_t done = 0; done < upto; done += 4096) {
        line += "\r" + std::to_string(done) + " / " + std::to_string(NEW_SIZE);
    }
    return line;
}
const std::string PROGRESS = progress_until(NEW_SIZE) + "\r10000 / 10000\n";

// What the run printed after the welcome text (the banner and the welcome
// are the installation tests' business).
std::string after_welcome(const RunResult& run)
{
    size_t at = run.out.find(QUESTION);
    return at == std::string::npos ? "<no welcome text>" : run.out.substr(at + QUESTION.size());
}

bool starts_with(const std::string& text, const std::string& head)
{
    return text.compare(0, head.size(), head) == 0;
}

std::string file_or_missing(const TempDevice& device, const std::string& name)
{
    return device.exists("root/" + name) ? device.read("root/" + name) : "<missing>";
}

struct UpgradeDevice : TempDevice {
    UpgradeDevice()
    {
        set_driver("accept\n");
        write("root/NK.bin", OLD_IMAGE);
    }
    RunResult upgrade(const std::map<std::string, std::string>& knobs) const
    {
        RunOptions options;
        options.env = knobs;
        return run(TOOL_10000, {"-s"}, options);
    }
};

enum class EndState { OldImage, NewImage, Window, Broken };

const char* name_of(EndState state)
{
    switch (state) {
    case EndState::OldImage: return "old image intact";
    case EndState::NewImage: return "new image intact as NK.bin";
    case EndState::Window: return "NK.bin missing, \\NK1.bin holds the new image";
    default: return "broken";
    }
}

std::ostream& operator<<(std::ostream& out, EndState state)
{
    return out << name_of(state);
}

EndState classify(const TempDevice& device)
{
    std::string boot = file_or_missing(device, "NK.bin");
    if (boot == OLD_IMAGE) {
        return EndState::OldImage;
    }
    if (boot == NEW_IMAGE) {
        return EndState::NewImage;
    }
    if (boot == "<missing>" && file_or_missing(device, "NK1.bin") == NEW_IMAGE) {
        return EndState::Window;
    }
    return EndState::Broken;
}

TEST(PowerCut, NoCutBeforeAnyTracedCallLeavesTheDeviceWithoutACompleteImage)
{
    std::map<EndState, int> count;
    bool completed = false;
    int cut = 1;
    for (; cut <= 1000 && !completed; ++cut) {
        UpgradeDevice device;
        RunResult run = device.upgrade({{"CE_POWER_CUT", std::to_string(cut)}});
        std::vector<std::string> calls = lines_of(device.trace());
        SCOPED_TRACE("CE_POWER_CUT=" + std::to_string(cut) + "\n" + device.trace());
        EndState state = classify(device);
        if (calls.empty() || calls.back() != "power cut") {
            // The run made fewer calls than the cut waits for.
            completed = true;
            EXPECT_EQ(run.status, 0);
            EXPECT_EQ(calls.size(), static_cast<size_t>(cut - 1));
            EXPECT_EQ(state, EndState::NewImage);
            EXPECT_TRUE(starts_with(after_welcome(run), WAIT + PROGRESS + COMPLETE));
            break;
        }
        ++count[state];
        EXPECT_EQ(run.signal, SIGKILL);
        EXPECT_EQ(calls.size(), static_cast<size_t>(cut)) << "the cut comes just before the N-th call";
        EXPECT_NE(state, EndState::Broken) << "NK.bin: " << file_or_missing(device, "NK.bin").size()
                                           << " bytes, NK1.bin: " << file_or_missing(device, "NK1.bin").size();
        if (run.out.find(COMPLETE) != std::string::npos) {
            EXPECT_EQ(state, EndState::NewImage) << "\"complete\" was printed";
        }
        // A settings file is never half written, and once closed it is on
        // the storage whole.
        for (int n = 1; n <= 6; ++n) {
            std::string name = "lan" + std::to_string(n);
            if (device.exists("root/" + name)) {
                std::string kept = device.read("root/" + name);
                bool closed = device.trace().find("fclose \\" + name + " ok\n") != std::string::npos;
                EXPECT_EQ(kept, closed ? "N\n\n\n\n\n\n" : kept.empty() ? "" : "N\n\n\n\n\n\n") << name;
            }
        }
    }
    ASSERT_TRUE(completed) << "no run got past its last call";
    std::cout << "power cuts before calls 1 to " << cut - 1 << ", then a run that completes:\n";
    for (EndState state : {EndState::OldImage, EndState::Window, EndState::NewImage, EndState::Broken}) {
        std::cout << "  " << name_of(state) << ": " << count[state] << "\n";
    }
    RecordProperty("cuts", cut - 1);
    RecordProperty("old_image_intact", count[EndState::OldImage]);
    RecordProperty("window", count[EndState::Window]);
    RecordProperty("new_image_intact", count[EndState::NewImage]);
    RecordProperty("broken", count[EndState::Broken]);
    EXPECT_EQ(count[EndState::Broken], 0);
    // The delete and the move are the design's one window: a cut between them.
    EXPECT_EQ(count[EndState::Window], 1);
    EXPECT_GT(count[EndState::OldImage], 0);
    EXPECT_GT(count[EndState::NewImage], 0);
}

// What the run-time and the console hold in memory at a cut: the screen
// shows everything printed before it; the image is durable once flushed.
TEST(PowerCut, TheScreenShowsEverythingPrintedBeforeTheCut)
{
    // Calls 7 to 9 are the three writes, 10 the flush.
    const std::pair<int, std::string> cuts[] = {
        {7, "\n"}, {8, progress_until(4096)}, {9, progress_until(8192)}, {10, PROGRESS}};
    for (const auto& cut : cuts) {
        SCOPED_TRACE("CE_POWER_CUT=" + std::to_string(cut.first));
        UpgradeDevice device;
        RunResult run = device.upgrade({{"CE_POWER_CUT", std::to_string(cut.first)}});
        EXPECT_EQ(run.signal, SIGKILL);
        EXPECT_EQ(after_welcome(run), WAIT + cut.second);
    }
}

TEST(PowerCut, TheNewImageIsDurableFromItsFlushToStorageOn)
{
    // 11 is FlushFileBuffers, 12 fclose, 13 the delete of the old image.
    const std::pair<int, std::string> cuts[] = {{11, ""}, {12, NEW_IMAGE}, {13, NEW_IMAGE}};
    for (const auto& cut : cuts) {
        SCOPED_TRACE("CE_POWER_CUT=" + std::to_string(cut.first));
        UpgradeDevice device;
        device.upgrade({{"CE_POWER_CUT", std::to_string(cut.first)}});
        EXPECT_EQ(device.files(), (std::map<std::string, std::string>{{"NK.bin", OLD_IMAGE}, {"NK1.bin", cut.second}}));
    }
}

// The volume: what it holds at boot counts, emptying and deleting free room.

// An earlier run's new image goes in place first, when it was left in
// \NK1.bin; there is none, and NK.bin is there.
const std::string NO_RECOVERY = "MoveFileW NK1.bin NK.bin failed ERROR_FILE_NOT_FOUND\n";
const std::string BOOT_IMAGE_SEEN = "_wfopen \\NK.bin rb ok\nfclose \\NK.bin ok\n";
const std::string RECOVERY = NO_RECOVERY + BOOT_IMAGE_SEEN;
const std::string INSTALL_START =
    "CreateFileW UCS1: 0xc0000000 0 3 ok\n"
    "DeviceIoControl UCS1: 0x284 ok\n" + RECOVERY +
    "_wfopen \\NK1.bin wb ok\n";
const std::string WRITE_FULL = "fwrite \\NK1.bin 1 4096 ok\n";
const std::string WRITE_LAST = "fwrite \\NK1.bin 1 1808 ok\n";
const std::string FLUSHED = "fflush \\NK1.bin ok\nFlushFileBuffers \\NK1.bin ok\n";
const std::string CLOSED = "fclose \\NK1.bin ok\n";
const std::string REPLACED = "DeleteFileW NK.bin ok\nMoveFileW NK1.bin NK.bin ok\n";
const std::string REMOVED = "DeleteFileW \\NK1.bin ok\n";
const std::string END = "DeviceIoControl UCS1: 0x288 ok\nCloseHandle UCS1: ok\n";
const std::string INSTALLED_TRACE = INSTALL_START + WRITE_FULL + WRITE_FULL + WRITE_LAST + FLUSHED + CLOSED + REPLACED + END;

TEST(FullVolume, RoomForTheOldImageAndHalfTheNewOneKeepsTheOldImage)
{
    UpgradeDevice device;
    RunResult run = device.upgrade({{"CE_STORAGE_BYTES", std::to_string(OLD_IMAGE.size() + NEW_SIZE / 2)}});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(after_welcome(run), WAIT + progress_until(8192) + "\n" + FAILED);
    EXPECT_EQ(device.files(), (std::map<std::string, std::string>{{"NK.bin", OLD_IMAGE}}));
    EXPECT_EQ(device.trace(),
              INSTALL_START + WRITE_FULL + "fwrite \\NK1.bin 1 4096 short 904\n" + CLOSED + REMOVED + END);
}

TEST(FullVolume, EveryByteAtBootCountsAndAnEmptiedFileGivesItsRoomBack)
{
    struct Case {
        const char* what;
        long extra_room;             // beyond the old image and the new one
        std::string stale_nk1;       // a \NK1.bin left by an earlier run
        bool completes;
        std::string short_write;
    };
    const Case cases[] = {
        {"exactly enough", 0, "", true, ""},
        {"one byte short", -1, "", false, "fwrite \\NK1.bin 1 1808 short 1807\n"},
        {"a stale \\NK1.bin is emptied first", 0, std::string(NEW_SIZE, 'x'), true, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        UpgradeDevice device;
        if (!c.stale_nk1.empty()) {
            device.write("root/NK1.bin", c.stale_nk1);
        }
        long room = static_cast<long>(OLD_IMAGE.size() + NEW_SIZE) + c.extra_room;
        RunResult run = device.upgrade({{"CE_STORAGE_BYTES", std::to_string(room)}});
        if (c.completes) {
            EXPECT_TRUE(starts_with(after_welcome(run), WAIT + PROGRESS + COMPLETE));
            EXPECT_EQ(file_or_missing(device, "NK.bin"), NEW_IMAGE);
            // Beside an NK.bin, a stale \NK1.bin is no earlier run's image to put in place.
            std::string installed = INSTALLED_TRACE;
            if (!c.stale_nk1.empty()) {
                installed.replace(installed.find(NO_RECOVERY), NO_RECOVERY.size(),
                                  "MoveFileW NK1.bin NK.bin failed ERROR_ALREADY_EXISTS\n");
            }
            EXPECT_TRUE(starts_with(device.trace(), installed)) << device.trace();
        } else {
            EXPECT_EQ(after_welcome(run), WAIT + progress_until(NEW_SIZE) + "\n" + FAILED);
            EXPECT_EQ(device.files(), (std::map<std::string, std::string>{{"NK.bin", OLD_IMAGE}}));
            EXPECT_EQ(device.trace(), INSTALL_START + WRITE_FULL + WRITE_FULL + c.short_write + CLOSED + REMOVED + END);
        }
    }
}

TEST(FullVolume, AVolumeWithNoRoomStoresNothing)
{
    UpgradeDevice device;
    RunResult run = device.upgrade({{"CE_STORAGE_BYTES", "0"}});
    EXPECT_EQ(after_welcome(run), WAIT + "\n\r0 / 10000\n" + FAILED);
    EXPECT_EQ(device.files(), (std::map<std::string, std::string>{{"NK.bin", OLD_IMAGE}}));
    EXPECT_NE(device.trace().find("fwrite \\NK1.bin 1 4096 short 0\n"), std::string::npos);
}

// Each call of the installation failing as it fails on the device.

TEST(InjectedFailure, EachCallOfTheInstallationLeavesABootableDevice)
{
    const std::string injected = " failed ERROR_GEN_FAILURE injected\n";
    const std::map<std::string, std::string> old_only = {{"NK.bin", OLD_IMAGE}};
    struct Case {
        std::string knob;
        std::string output;   // after the welcome text
        std::map<std::string, std::string> files;
        std::string trace;
        bool completes;       // the run goes on after the installation
    };
    const Case cases[] = {
        {"CreateFileW", WAIT + FAILED, old_only, "CreateFileW UCS1: 0xc0000000 0 3" + injected, false},
        {"DeviceIoControl", WAIT + FAILED, old_only,
         "CreateFileW UCS1: 0xc0000000 0 3 ok\nDeviceIoControl UCS1: 0x284" + injected + "CloseHandle UCS1: ok\n",
         false},
        // NK.bin cannot be seen: with no \NK1.bin beside it, no image can be lost.
        {"_wfopen", WAIT + PROGRESS + COMPLETE, {{"NK.bin", NEW_IMAGE}},
         "CreateFileW UCS1: 0xc0000000 0 3 ok\nDeviceIoControl UCS1: 0x284 ok\n" + NO_RECOVERY + "_wfopen \\NK.bin rb" +
             injected + "_wfopen \\NK1.bin rb failed ERROR_FILE_NOT_FOUND\n_wfopen \\NK1.bin wb ok\n" + WRITE_FULL,
         true},
        {"_wfopen@2", WAIT + "\n" + FAILED, old_only,
         "CreateFileW UCS1: 0xc0000000 0 3 ok\nDeviceIoControl UCS1: 0x284 ok\n" + RECOVERY + "_wfopen \\NK1.bin wb" + injected +
             "DeleteFileW \\NK1.bin failed ERROR_FILE_NOT_FOUND\n" + END,
         false},
        {"fwrite", WAIT + progress_until(1) + "\n" + FAILED, old_only,
         INSTALL_START + "fwrite \\NK1.bin 1 4096 short 0 injected\n" + CLOSED + REMOVED + END, false},
        {"fwrite@3", WAIT + progress_until(NEW_SIZE) + "\n" + FAILED, old_only,
         INSTALL_START + WRITE_FULL + WRITE_FULL + "fwrite \\NK1.bin 1 1808 short 0 injected\n" + CLOSED + REMOVED + END,
         false},
        {"fflush", WAIT + PROGRESS + FAILED, old_only,
         INSTALL_START + WRITE_FULL + WRITE_FULL + WRITE_LAST + "fflush \\NK1.bin failed injected\n" + CLOSED + REMOVED +
             END,
         false},
        {"FlushFileBuffers", WAIT + PROGRESS + FAILED, old_only,
         INSTALL_START + WRITE_FULL + WRITE_FULL + WRITE_LAST + "fflush \\NK1.bin ok\nFlushFileBuffers \\NK1.bin" +
             injected + CLOSED + REMOVED + END,
         false},
        // The first close is of NK.bin, only looked at: its failure changes nothing.
        {"fclose", WAIT + PROGRESS + COMPLETE, {{"NK.bin", NEW_IMAGE}},
         "CreateFileW UCS1: 0xc0000000 0 3 ok\nDeviceIoControl UCS1: 0x284 ok\n" + NO_RECOVERY +
             "_wfopen \\NK.bin rb ok\nfclose \\NK.bin failed injected\n_wfopen \\NK1.bin wb ok\n" + WRITE_FULL,
         true},
        {"fclose@2", WAIT + PROGRESS + FAILED, old_only,
         INSTALL_START + WRITE_FULL + WRITE_FULL + WRITE_LAST + FLUSHED + "fclose \\NK1.bin failed injected\n" + REMOVED +
             END,
         false},
        // The old image cannot be deleted: the move finds it in the way.
        {"DeleteFileW", WAIT + PROGRESS + FAILED, {{"NK.bin", OLD_IMAGE}, {"NK1.bin", NEW_IMAGE}},
         INSTALL_START + WRITE_FULL + WRITE_FULL + WRITE_LAST + FLUSHED + CLOSED + "DeleteFileW NK.bin" + injected +
             "MoveFileW NK1.bin NK.bin failed ERROR_ALREADY_EXISTS\n" + END,
         false},
        // The first move finds no earlier run's image to put in place: a
        // failure there changes nothing.
        {"MoveFileW", WAIT + PROGRESS + COMPLETE, {{"NK.bin", NEW_IMAGE}},
         "CreateFileW UCS1: 0xc0000000 0 3 ok\nDeviceIoControl UCS1: 0x284 ok\nMoveFileW NK1.bin NK.bin" + injected +
             BOOT_IMAGE_SEEN + "_wfopen \\NK1.bin wb ok\n" + WRITE_FULL + WRITE_FULL + WRITE_LAST + FLUSHED + CLOSED + REPLACED + END,
         true},
        // The design's window, for good: the new image waits whole in \NK1.bin.
        {"MoveFileW@2", WAIT + PROGRESS + FAILED, {{"NK1.bin", NEW_IMAGE}},
         INSTALL_START + WRITE_FULL + WRITE_FULL + WRITE_LAST + FLUSHED + CLOSED + "DeleteFileW NK.bin ok\n" +
             "MoveFileW NK1.bin NK.bin" + injected + END,
         false},
        // The end request's result is not examined.
        {"DeviceIoControl@2", WAIT + PROGRESS + COMPLETE, {{"NK.bin", NEW_IMAGE}},
         INSTALL_START + WRITE_FULL + WRITE_FULL + WRITE_LAST + FLUSHED + CLOSED + REPLACED +
             "DeviceIoControl UCS1: 0x288" + injected + "CloseHandle UCS1: ok\n",
         true},
        {"CloseHandle", WAIT + PROGRESS + COMPLETE, {{"NK.bin", NEW_IMAGE}},
         INSTALL_START + WRITE_FULL + WRITE_FULL + WRITE_LAST + FLUSHED + CLOSED + REPLACED +
             "DeviceIoControl UCS1: 0x288 ok\nCloseHandle UCS1:" + injected,
         true},
        // Only the K-th call fails: there is no fourth write.
        {"fwrite@4", WAIT + PROGRESS + COMPLETE, {{"NK.bin", NEW_IMAGE}}, INSTALLED_TRACE, true},
        // A settings line that cannot be written ends its file: the lines
        // after it would stand in its place (ce-campaign drew CE_FAIL=fwprintf@2).
        {"fwprintf@2", WAIT + PROGRESS + COMPLETE, {{"NK.bin", NEW_IMAGE}, {"lan1", "N\n"}, {"lan2", "N\n\n\n\n\n\n"}},
         INSTALLED_TRACE, true},
        {"fwprintf@3,fwprintf@12", WAIT + PROGRESS + COMPLETE, {{"lan1", "N\n\n"}, {"lan2", "N\n\n\n\n\n\n"}, {"lan3", "N\n\n"}},
         INSTALLED_TRACE, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("CE_FAIL=" + c.knob);
        UpgradeDevice device;
        RunResult run = device.upgrade({{"CE_FAIL", c.knob}});
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.err, "");
        if (c.completes) {
            // Later steps may follow the installation and leave files of their own.
            EXPECT_TRUE(starts_with(after_welcome(run), c.output)) << after_welcome(run);
            EXPECT_TRUE(starts_with(device.trace(), c.trace)) << device.trace();
            for (const auto& file : c.files) {
                EXPECT_EQ(file_or_missing(device, file.first), file.second) << file.first;
            }
            EXPECT_FALSE(device.exists("root/NK1.bin"));
        } else {
            EXPECT_EQ(after_welcome(run), c.output);
            EXPECT_EQ(device.trace(), c.trace);
            EXPECT_EQ(device.files(), c.files);
        }
    }
}

// A run cut or failed between the delete and the move leaves no NK.bin and
// the whole new image in \NK1.bin; the technician starts the tool again.
// That run puts the image in place before it writes \NK1.bin afresh, so
// that neither a cut nor a failure loses the device's one image (ce-campaign
// drew such devices with CE_FAIL=_wfopen, a cut at the first write, a short
// storage, and the move failing with a short storage).
TEST(Rerun, ADeviceLeftBetweenTheDeleteAndTheMoveKeepsAWholeImage)
{
    const std::string start = "CreateFileW UCS1: 0xc0000000 0 3 ok\nDeviceIoControl UCS1: 0x284 ok\n";
    const std::string put_in_place = start + "MoveFileW NK1.bin NK.bin ok\n";
    struct Case {
        const char* what;
        std::map<std::string, std::string> knobs;
        std::map<std::string, std::string> files;
        std::string output;  // after the welcome text, up to the installation's end
        std::string trace;   // its start
    };
    const Case cases[] = {
        {"cut before the first write", {{"CE_POWER_CUT", "5"}}, {{"NK.bin", NEW_IMAGE}, {"NK1.bin", ""}}, WAIT + "\n",
         put_in_place + "_wfopen \\NK1.bin wb ok\npower cut\n"},
        {"cut before the flush", {{"CE_POWER_CUT", "8"}}, {{"NK.bin", NEW_IMAGE}, {"NK1.bin", ""}}, WAIT + PROGRESS,
         put_in_place},
        {"\\NK1.bin cannot be opened", {{"CE_FAIL", "_wfopen"}}, {{"NK.bin", NEW_IMAGE}}, WAIT + "\n" + FAILED,
         put_in_place + "_wfopen \\NK1.bin wb failed ERROR_GEN_FAILURE injected\n"},
        {"a storage with room for half an image more",
         {{"CE_STORAGE_BYTES", std::to_string(NEW_SIZE + NEW_SIZE / 2)}}, {{"NK.bin", NEW_IMAGE}},
         WAIT + progress_until(8192) + "\n" + FAILED, put_in_place},
        // The image cannot be put in place: then nothing is touched.
        {"the move fails", {{"CE_FAIL", "MoveFileW"}, {"CE_STORAGE_BYTES", std::to_string(NEW_SIZE + NEW_SIZE / 2)}},
         {{"NK1.bin", NEW_IMAGE}}, WAIT + FAILED,
         start + "MoveFileW NK1.bin NK.bin failed ERROR_GEN_FAILURE injected\n"
                 "_wfopen \\NK.bin rb failed ERROR_FILE_NOT_FOUND\n_wfopen \\NK1.bin rb ok\nfclose \\NK1.bin ok\n" + END},
        {"no fault", {}, {{"NK.bin", NEW_IMAGE}}, WAIT + PROGRESS + COMPLETE, put_in_place},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDevice device;
        device.set_driver("accept\n");
        device.write("root/NK1.bin", NEW_IMAGE);
        RunOptions options;
        options.env = c.knobs;
        RunResult run = device.run(TOOL_10000, {"-s"}, options);
        EXPECT_TRUE(starts_with(after_welcome(run), c.output)) << after_welcome(run);
        std::map<std::string, std::string> images;
        for (const auto& file : device.files()) {
            if (file.first.rfind("NK", 0) == 0) {
                images.insert(file);
            }
        }
        EXPECT_EQ(images, c.files);
        EXPECT_TRUE(starts_with(device.trace(), c.trace)) << device.trace();
    }
}

// The knobs themselves: a malformed one stops the emulation before the tool.

TEST(FaultKnobs, AMalformedKnobIsAFaultOfTheEmulationAndTouchesNothing)
{
    const std::pair<const char*, const char*> malformed[] = {
        {"CE_POWER_CUT", "0"},          {"CE_POWER_CUT", "-3"},        {"CE_POWER_CUT", "3x"},
        {"CE_POWER_CUT", ""},           {"CE_POWER_CUT", " 3"},        {"CE_POWER_CUT", "99999999999999999999"},
        {"CE_FAIL", "fopen"},           {"CE_FAIL", "FWRITE"},         {"CE_FAIL", ""},
        {"CE_FAIL", "@2"},              {"CE_FAIL", "fwrite@"},        {"CE_FAIL", "fwrite@0"},
        {"CE_FAIL", "fwrite@2@3"},      {"CE_FAIL", "fwrite@-1"},      {"CE_FAIL", "fwrite 2"},
        {"CE_FAIL", "fwrite,"},         {"CE_FAIL", ",fwrite"},        {"CE_FAIL", "fwrite,fopen"},
        {"CE_FAIL", "fwrite,fclose@0"}, {"CE_FAIL", "fwrite,fwrite,fwrite"},
        {"CE_STORAGE_BYTES", "-1"},     {"CE_STORAGE_BYTES", "1k"},    {"CE_STORAGE_BYTES", ""},
        {"CE_STORAGE_BYTES", "1e6"},    {"CE_STORAGE_BYTES", "0x100"}, {"CE_STORAGE_BYTES", "18446744073709551616"},
        {"CE_PROGRAMS", ""},            {"CE_PROGRAMS", "Unconfined"}, {"CE_PROGRAMS", "confined"},
    };
    for (const auto& knob : malformed) {
        SCOPED_TRACE(std::string(knob.first) + "=" + knob.second);
        UpgradeDevice device;
        RunResult run = device.upgrade({{knob.first, knob.second}});
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(lines_of(run.err).size(), 1u);
        EXPECT_TRUE(starts_with(run.err, std::string(knob.first) + "=" + knob.second + ": ")) << run.err;
        EXPECT_FALSE(device.exists("trace.log"));
        EXPECT_EQ(device.files(), (std::map<std::string, std::string>{{"NK.bin", OLD_IMAGE}}));
    }
}

TEST(FaultKnobs, EveryTracedCallCanBeNamedEvenWhenThisRunNeverMakesIt)
{
    for (const char* name : {"CreateFileW@2", "fwprintf", "RegOpenKeyExW", "RegQueryValueExW@7", "RegCloseKey",
                             "CreateProcessW", "GetExitCodeProcess", "Sleep", "FlushFileBuffers@2"}) {
        SCOPED_TRACE(name);
        UpgradeDevice device;
        RunResult run = device.upgrade({{"CE_FAIL", name}, {"CE_POWER_CUT", "1000000"},
                                        {"CE_STORAGE_BYTES", "18446744073709551615"}});
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.err, "");
        EXPECT_TRUE(starts_with(after_welcome(run), WAIT + PROGRESS + COMPLETE));
        EXPECT_TRUE(starts_with(device.trace(), INSTALLED_TRACE));
    }
}

}  // namespace
