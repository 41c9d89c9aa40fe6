// Builds of the tool in temporary folders, as a release engineer (or an
// adversary) makes them: hostile names and texts, settings that configure
// must refuse.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "device_fixture.h"
#include "emulator.h"

namespace fs = std::filesystem;

namespace {

struct TempFolder {
    fs::path path;
    TempFolder()
    {
        std::string pattern = (fs::temp_directory_path() / "fwupgrade-build-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        path = pattern;
    }
    ~TempFolder()
    {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
};

void write_bytes(const fs::path& file, const std::string& bytes)
{
    std::ofstream(file, std::ios::binary) << bytes;
}

RunResult cmake(const std::vector<std::string>& args, const fs::path& from = fs::path())
{
    RunOptions options;
    options.timeout_seconds = 900;
    options.working_dir = from.string();
    return run_program(CMAKE_COMMAND, args, options);
}

RunResult configure(const fs::path& build, const std::vector<std::string>& settings,
                    const fs::path& source = SOURCE_DIR, const fs::path& from = fs::path())
{
    std::vector<std::string> args = {"-S", source.string(), "-B", build.string(), "-DFWUPGRADE_TESTS=OFF"};
    args.insert(args.end(), settings.begin(), settings.end());
    return cmake(args, from);
}

RunResult build(const fs::path& folder)
{
    return cmake({"--build", folder.string(), "-j", "2"});
}

// Every character here once reached a shell, make, CMake's list splitting or
// its generator expressions.
const std::string HOSTILE_IMAGE = "in;&touch INJECTED&$HOME$(touch INJECTED)`touch INJECTED` (\"q'\\z)#*.bin";
const std::string HOSTILE_BUILD = "b(dir) $HOME 'x' & `touch INJECTED` co:lon";
const std::string HOSTILE_MODEL = "Q\"L\\;$(PWD)$<1:X>%s<>\xC3\x9C\xF0\x9F\x98\x80";
const std::string HOSTILE_VERSION = "V1;V2 $HOME \\\\ 'x' ?\?/ ${x}";

// The source reached through a folder with a hostile name; the image given
// relative to the folder cmake starts in, beside a file named as its name
// split at ";" would name.
struct HostileNames : ::testing::Test {
    TempFolder temp;
    fs::path source = temp.path / "src (copy) & 'it' $HOME";
    std::string image = read_file(SAMPLE_IMAGE);
    void SetUp() override
    {
        fs::create_directory_symlink(SOURCE_DIR, source);
        write_bytes(temp.path / HOSTILE_IMAGE, image);
        write_bytes(temp.path / "in", "B000FF\nthe decoy");
    }
    void build_in(const fs::path& folder, std::vector<std::string> settings = {})
    {
        settings.insert(settings.end(), {"-DFIRMWARE_IMAGE=" + HOSTILE_IMAGE, "-DFIRMWARE_MODEL=" + HOSTILE_MODEL,
                                         "-DFIRMWARE_VERSION=" + HOSTILE_VERSION});
        RunResult configured = configure(folder, settings, source, temp.path);
        ASSERT_EQ(configured.status, 0) << configured.out << configured.err;
        RunResult built = build(folder);
        ASSERT_EQ(built.status, 0) << built.out << built.err;
    }
    void expect_nothing_injected(const std::set<std::string>& made)
    {
        std::set<std::string> top;
        for (const auto& entry : fs::directory_iterator(temp.path)) {
            top.insert(entry.path().filename().string());
        }
        std::set<std::string> expected = {source.filename().string(), HOSTILE_IMAGE, "in"};
        expected.insert(made.begin(), made.end());
        EXPECT_EQ(top, expected);
        for (const auto& entry : fs::recursive_directory_iterator(temp.path)) {
            EXPECT_NE(entry.path().filename(), "INJECTED") << entry.path();
        }
        EXPECT_FALSE(fs::exists("INJECTED"));
    }
};

TEST_F(HostileNames, TheHostBuildShowsAndInstallsExactlyWhatWasNamed)
{
    build_in(temp.path / HOSTILE_BUILD);
    TempDevice device;
    device.set_driver("accept");
    RunResult run = device.run((temp.path / HOSTILE_BUILD / "fwupgrade").string(), {"-s"});
    EXPECT_EQ(run.out.substr(0, run.out.find('\n') + 1),
              "The new firmware is " + HOSTILE_MODEL + " " + HOSTILE_VERSION + "\n");
    EXPECT_EQ(device.read("root/NK.bin"), image);
    expect_nothing_injected({HOSTILE_BUILD});
}

TEST_F(HostileNames, TheWindowsBuildCarriesExactlyWhatWasNamed)
{
    if (std::string(WINDOWS_TOOLCHAIN).empty()) {
        GTEST_SKIP() << "no MinGW-w64 cross compiler and windres";
    }
    build_in(temp.path / HOSTILE_BUILD, {"-DCMAKE_TOOLCHAIN_FILE=" WINDOWS_TOOLCHAIN});
    std::string program = read_file((temp.path / HOSTILE_BUILD / "fwupgrade.exe").string());
    EXPECT_NE(program.find(image), std::string::npos);
    // The banner's texts as the program holds them: UTF-16LE, each ended by a zero.
    for (const std::string& text : {HOSTILE_MODEL, HOSTILE_VERSION}) {
        std::u16string wide = ce::to_utf16(text) + u'\0';
        std::string bytes;
        for (char16_t c : wide) {
            bytes += {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
        }
        EXPECT_NE(program.find(bytes), std::string::npos) << text;
    }
    expect_nothing_injected({HOSTILE_BUILD});
}

// Configure refuses, naming the variable, before anything is built.
struct Refusal {
    const char* name;
    std::vector<std::string> settings;
    std::string says;
};

void PrintTo(const Refusal& refusal, std::ostream* out)
{
    *out << refusal.name;
}

// CMake folds its messages into lines of 80 characters.
std::string unfolded(const std::string& text)
{
    std::string out;
    for (char c : text) {
        bool blank = c == ' ' || c == '\n';
        if (!blank || (!out.empty() && out.back() != ' ')) {
            out += blank ? ' ' : c;
        }
    }
    return out;
}

class ConfigureRefuses : public ::testing::TestWithParam<Refusal> {};

TEST_P(ConfigureRefuses, NamingTheVariable)
{
    TempFolder temp;
    fs::create_directory(temp.path / "folder");
    mkfifo((temp.path / "fifo").c_str(), 0600);
    // Sparse: it takes no room.
    write_bytes(temp.path / "huge.bin", "B000FF\n");
    fs::resize_file(temp.path / "huge.bin", 2147483648u);
    RunResult run = configure(temp.path / "build", GetParam().settings, SOURCE_DIR, temp.path);
    EXPECT_NE(run.status, 0);
    EXPECT_NE(unfolded(run.err).find(GetParam().says), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(temp.path / "build" / "Makefile"));
}

INSTANTIATE_TEST_SUITE_P(
    Settings, ConfigureRefuses,
    ::testing::Values(
        Refusal{"MissingImage", {"-DFIRMWARE_IMAGE=missing.bin"}, "/missing.bin: no such file"},
        Refusal{"FolderAsImage", {"-DFIRMWARE_IMAGE=folder"}, "is a folder"},
        Refusal{"DeviceAsImage", {"-DFIRMWARE_IMAGE=/dev/null"}, "FIRMWARE_IMAGE=/dev/null: not a regular file"},
        Refusal{"FifoAsImage", {"-DFIRMWARE_IMAGE=fifo"}, "/fifo: not a regular file"},
        Refusal{"ImageOver2GiB", {"-DFIRMWARE_IMAGE=huge.bin"}, "2147483648 bytes; an image can have at most 2147483647"},
        Refusal{"EmptyModel", {"-DFIRMWARE_MODEL="}, "FIRMWARE_MODEL is empty"},
        Refusal{"EmptyVersion", {"-DFIRMWARE_VERSION="}, "FIRMWARE_VERSION is empty"},
        Refusal{"LineBreakInModel", {"-DFIRMWARE_MODEL=QL\n305"}, "FIRMWARE_MODEL has a control character"},
        Refusal{"TabInVersion", {"-DFIRMWARE_VERSION=V1\tV2"}, "FIRMWARE_VERSION has a control character"},
        Refusal{"NotUtf8Version", {"-DFIRMWARE_VERSION=V\xFF"}, "FIRMWARE_VERSION is not UTF-8 text"}),
    [](const ::testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

}  // namespace
