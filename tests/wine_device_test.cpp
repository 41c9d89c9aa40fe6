// The device build under Wine, beside a stand-in COREDLL.dll made of the
// desktop API and msvcrt (tests/device/), case by case against the host build
// on an emulated device without a "UCS1:" driver: the same transcript, byte
// for byte once CRLF line ends are folded. What a header cannot show shows
// here: the calling convention, the undecorated imports, the entry's four
// arguments and the resource lookup through the process id.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "device_fixture.h"
#include "transcript.h"
#include "wine_prefix.h"

namespace fs = std::filesystem;

namespace {

// The copies that Wine runs, beside the stand-in, in a folder outside C:\ so
// that clearing C:\ between cases leaves them.
struct Build {
    const char* host;
    const char* built;   // inside the device build folder
    std::string device;  // the copy
};
Build sample{TOOL_SAMPLE, "fwupgrade.exe", ""};
Build empty{TOOL_EMPTY, "tests/device/tools/fwupgrade_empty.exe", ""};
Build none{TOOL_NONE, "tests/device/tools/fwupgrade_none.exe", ""};
Build* const BUILDS[] = {&sample, &empty, &none};
std::string program_folder;
WinePrefix* prefix = nullptr;

const uint16_t WINDOWS_CE_GUI = 9;
const uint16_t WINDOWS_CONSOLE = 3;

std::string copy_beside_stand_in(const std::string& program)
{
    fs::path copy = fs::path(program_folder) / fs::path(program).filename();
    fs::copy_file(program, copy, fs::copy_options::overwrite_existing);
    return copy.string();
}

// The subsystem field of the optional header, which follows the PE signature
// and the file header (24 bytes) at offset 68.
void set_subsystem(const std::string& program, uint16_t subsystem)
{
    std::fstream file(program, std::ios::in | std::ios::out | std::ios::binary);
    uint32_t pe_header = 0;
    file.seekg(0x3c);
    file.read(reinterpret_cast<char*>(&pe_header), sizeof pe_header);
    file.seekp(pe_header + 24 + 68);
    file.write(reinterpret_cast<const char*>(&subsystem), sizeof subsystem);
    if (!file) {
        throw std::runtime_error("cannot set the subsystem of " + program);
    }
}

// The copies beside the stand-in, in a prefix of the chosen Wine. A Wine
// that refuses subsystem 9 gets copies patched to the console subsystem,
// and the output says so.
void prepare()
{
    std::string pattern = (fs::temp_directory_path() / "device-programs-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    program_folder = pattern;
    prefix = new WinePrefix();
    copy_beside_stand_in(windows_program("tests/device/tools/COREDLL.dll"));
    for (Build* build : BUILDS) {
        build->device = copy_beside_stand_in(windows_program(build->built));
    }
    RunResult probe = prefix->run(none.device, {});
    if (probe.out.empty() && probe.status != 0) {
        for (Build* build : BUILDS) {
            set_subsystem(build->device, WINDOWS_CONSOLE);
        }
        std::printf("Wine refused the subsystem %d of the device build (status %d: %s); the copies run here have "
                    "it patched to %d, the console's.\n",
                    WINDOWS_CE_GUI, probe.status, probe.err.c_str(), WINDOWS_CONSOLE);
    } else {
        std::printf("The device build runs under Wine unchanged, subsystem %d included.\n", WINDOWS_CE_GUI);
    }
}

class WineDeviceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        prefix->clean_drive_c();
        prefix->write("NK.bin", OLD_IMAGE);
    }

    // The case on both builds: transcripts equal to `expected`, nothing on
    // standard error, status 0, and the boot image left alone on both.
    void expect_same(const Build& build, const std::vector<std::string>& args, const RunOptions& options,
                     const std::string& expected)
    {
        TempDevice device;
        device.write("root/NK.bin", OLD_IMAGE);
        RunResult host = device.run(build.host, args, options);
        RunResult on_wine = prefix->run(build.device, args, options);
        EXPECT_EQ(host.out, expected);
        EXPECT_EQ(fold_crlf(on_wine.out), host.out);
        EXPECT_EQ(host.err + on_wine.err, "");
        EXPECT_EQ(host.status, 0);
        EXPECT_EQ(on_wine.status, 0);
        EXPECT_FALSE(on_wine.timed_out);
        EXPECT_EQ(device.files(), (std::map<std::string, std::string>{{"NK.bin", OLD_IMAGE}}));
        EXPECT_EQ(prefix->added_files(), (std::map<std::string, std::string>{{"NK.bin", OLD_IMAGE}}));
    }
};

std::string banner()
{
    return "The new firmware is " + std::string(FIRMWARE_MODEL) + " " + FIRMWARE_VERSION + "\n\n";
}

TEST_F(WineDeviceTest, TheImageIsFoundThroughTheProcessIdAndAnythingButYEndsTheRun)
{
    for (const std::string keys : {"n", "N", "x", ""}) {
        SCOPED_TRACE("keys: [" + keys + "]");
        expect_same(sample, {}, typed(keys), banner() + WELCOME);
    }
}

TEST_F(WineDeviceTest, WithoutAnUpgradeDriverYesEndsInFailure)
{
    expect_same(sample, {}, typed("y"), banner() + WELCOME + WAIT + FAILED);
}

TEST_F(WineDeviceTest, TheEntryGetsTheCommandLineWithoutTheProgramName)
{
    // A console that never ends: any read would block until the timeout.
    expect_same(sample, {"-s"}, typed("", true), banner() + WELCOME + WAIT + FAILED);
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{{"-sx"}, {"-s", "x"}}) {
        SCOPED_TRACE(args.back());
        expect_same(sample, args, typed("n"), banner() + WELCOME);
    }
}

TEST_F(WineDeviceTest, BuildsWithoutAnImageSaySo)
{
    expect_same(none, {}, typed("y"), "FindResource failed\n");
    expect_same(empty, {"-s"}, {}, "SizeofResource failed\n");
}

}  // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    // The device is 32-bit x86: only 32-bit Wine runs its build.
    std::string why_not;
    if (!choose_wine({{32, "the device build", DEVICE_DIR, DEVICE_MISSING}}, why_not)) {
        std::printf("Skipped: the device build is not run under Wine here: %s.\n", why_not.c_str());
        return SKIP_CODE;
    }
    say_which_wine(argv[0]);
    int status = 1;
    try {
        prepare();
        status = RUN_ALL_TESTS();
    } catch (const std::exception& e) {
        std::printf("The device build cannot be set up under Wine: %s\n", e.what());
    }
    delete prefix;
    if (!program_folder.empty()) {
        std::error_code ignored;
        fs::remove_all(program_folder, ignored);
    }
    return status;
}
