// Builds of the tool in temporary folders, as a release engineer (or an
// adversary) makes them: hostile names and texts, settings that configure
// must refuse.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <numeric>

#include "device_fixture.h"
#include "emulator.h"
#include "rom_image_builder.h"

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

std::string sha256sum(const fs::path& file)
{
    return run_program("/usr/bin/env", {"sha256sum", file.string()}, {}).out.substr(0, 64);
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
    void expect_nothing_injected()
    {
        std::set<std::string> top;
        for (const auto& entry : fs::directory_iterator(temp.path)) {
            top.insert(entry.path().filename().string());
        }
        EXPECT_EQ(top, (std::set<std::string>{source.filename().string(), HOSTILE_IMAGE, "in", HOSTILE_BUILD}));
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
    std::string manifest = read_file((temp.path / HOSTILE_BUILD / "fwupgrade-image.txt").string());
    EXPECT_EQ(manifest.substr(0, manifest.find("\nsize: ") + 1), "model: " + HOSTILE_MODEL + "\nversion: " +
                                                                   HOSTILE_VERSION + "\nimage: " +
                                                                   (temp.path / HOSTILE_IMAGE).string() + "\n");
    expect_nothing_injected();
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
    expect_nothing_injected();

    // The image is checked in this build too, whenever it changes.
    write_bytes(temp.path / HOSTILE_IMAGE, image.substr(0, image.size() - 1));
    EXPECT_NE(build(temp.path / HOSTILE_BUILD).status, 0);
    EXPECT_FALSE(fs::exists(temp.path / HOSTILE_BUILD / "fwupgrade.exe"));
}

// The tool built around temp/image.bin, from the sample: a well-formed image.
struct ImageCheck : ::testing::Test {
    TempFolder temp;
    fs::path image = temp.path / "image.bin";
    fs::path folder = temp.path / "build";
    std::string sample = read_file(SAMPLE_IMAGE);
    RunResult build_with(const std::string& bytes, std::vector<std::string> settings = {})
    {
        write_bytes(image, bytes);
        settings.push_back("-DFIRMWARE_IMAGE=" + image.string());
        RunResult configured = configure(folder, settings);
        return configured.status == 0 ? build(folder) : configured;
    }
    void expect_installed_and_described(const std::string& bytes, const std::string& check)
    {
        TempDevice device;
        device.set_driver("accept");
        device.run((folder / "fwupgrade").string(), {"-s"});
        EXPECT_EQ(device.read("root/NK.bin"), bytes);
        EXPECT_EQ(read_file((folder / "fwupgrade-image.txt").string()),
                  "model: QL-305-TX\nversion: V1.0\nimage: " + image.string() + "\nsize: " +
                      std::to_string(bytes.size()) + "\nsha256: " + sha256sum(image) + "\ncheck: " + check +
                      "tool-sha256: " + sha256sum(folder / "fwupgrade") + "\n");
    }
};

TEST_F(ImageCheck, AWellFormedImagePassesByDefaultAndEachKindOfDamageFailsTheBuild)
{
    RunResult built = build_with(sample);
    ASSERT_EQ(built.status, 0) << built.out << built.err;
    expect_installed_and_described(sample, "passed\nentry: 0x80221000\nprocessor: 0x014c (x86)\nromhdr: 0x80227000\n"
                                           "physfirst: 0x80220000\nphyslast: 0x80230016\nnummods: 1\nnumfiles: 1\n"
                                           "kernelflags: 0x00000000\nramstart: 0x80400000\nramend: 0x82000000\n"
                                           "module: coredll.dll 16384\nfile: reboot.exe 49\nrestart-program: found\n"
                                           "next-upgrade-imports: 26 of 26 found\n");
    EXPECT_EQ(unfolded(built.out + built.err).find("Warning"), std::string::npos) << built.out << built.err;

    std::string changed = sample, wrong_span = sample;
    changed[30] ^= 1;  // a data byte of the first record
    wrong_span.replace(11, 4, std::string("\0\1\0\0", 4));
    const std::pair<std::string, std::string> damages[] = {
        {changed, "wrong record checksum"},
        {sample.substr(0, sample.size() - 20), "short input file"},
        {sample.substr(0, sample.size() - 12), "input file is missing the execution start record"},
        {wrong_span, "image length header field is wrong (header = 0x00000100"},
        {sample + "trailing bytes", "the execution start record is not the last record"},
        {sample.substr(7), "does not begin with \"B000FF\""},
    };
    for (const auto& damage : damages) {
        SCOPED_TRACE(damage.second);
        // The same file, changed after the build was configured.
        write_bytes(image, damage.first);
        built = build(folder);
        EXPECT_NE(built.status, 0);
        std::string said = unfolded(built.out + built.err);
        EXPECT_NE(said.find("The image " + image.string() + " is not"), std::string::npos) << said;
        EXPECT_NE(said.find(damage.second), std::string::npos) << said;
        EXPECT_FALSE(fs::exists(folder / "fwupgrade"));
        EXPECT_FALSE(fs::exists(folder / "fwupgrade-image.txt"));
    }
}

// One record at 0x80220000 of `kept` bytes: 0x40 of text, the ROM signature,
// the table's address, the table (ROMHDR), its one module entry, the
// module's name, filler.
struct Toc {
    uint32_t signature = 0x43454345, address = 0x80220048, physfirst = 0x80220000, physlast = 0x80220100;
    uint16_t cpu = 0x014C;
    uint32_t nummods = 1;
    size_t kept = 0x100;
};

std::string le(uint32_t value, int bytes = 4)
{
    std::string out;
    for (int i = 0; i < bytes; ++i) {
        out += static_cast<char>(value >> (8 * i) & 0xFF);
    }
    return out;
}

std::string ce_image(const Toc& toc)
{
    const uint32_t start = 0x80220000;
    std::string data = std::string(0x40, 'x') + le(toc.signature) + le(toc.address);
    for (uint32_t field : {0u, 0u, toc.physfirst, toc.physlast, toc.nummods, 0x80400000u, 0x80400000u, 0x82000000u, 0u,
                           0u, 0u, 0u, 0u, 0x12u, 0u, 0u, 0u}) {
        data += le(field);
    }
    data += le(toc.cpu, 2) + std::string(14, '\0');
    for (uint32_t field : {0u, 0u, 0u, 4096u, start + 0xC0, 0u, 0u, 0u}) {
        data += le(field);
    }
    data += std::string(4, '\0') + "nk.exe" + std::string(2, '\0');
    data.resize(toc.kept, 'y');
    uint32_t sum = std::accumulate(data.begin(), data.end(), 0u, [](uint32_t s, unsigned char c) { return s + c; });
    return "B000FF\n" + le(start) + le(data.size()) + le(start) + le(data.size()) + le(sum) + data + le(0) + le(start) +
           le(0);
}

TEST_F(ImageCheck, OnlyAnImageWhoseTableOfContentsIsForX86Builds)
{
    const std::string x86 = ce_image(Toc());
    RunResult built = build_with(x86);
    ASSERT_EQ(built.status, 0) << built.out << built.err;
    TempDevice device;
    device.set_driver("accept");
    device.run((folder / "fwupgrade").string(), {"-s"});
    EXPECT_EQ(device.read("root/NK.bin"), x86);
    // No coredll.dll and no restart program: the build warns, and goes on.
    std::string described = read_file((folder / "fwupgrade-image.txt").string());
    described = described.substr(described.find("\ncheck: ") + 8);
    described.erase(described.rfind("\ntool-sha256: ") + 1);
    EXPECT_EQ(described.substr(0, described.find("next-upgrade-imports: ")),
              "passed\nentry: 0x80220000\nprocessor: 0x014c (x86)\nromhdr: 0x80220048\n"
              "physfirst: 0x80220000\nphyslast: 0x80220100\nnummods: 1\nnumfiles: 0\n"
              "kernelflags: 0x00000012\nramstart: 0x80400000\nramend: 0x82000000\nmodule: nk.exe 4096\n"
              "restart-program: missing\n");
    EXPECT_EQ(described.substr(described.find("next-upgrade-imports: ")).substr(0, 88),
              "next-upgrade-imports: missing FindResourceW, LoadResource, SizeofResource, CreateFileW, ");
    std::string warned = unfolded(built.out + built.err);
    EXPECT_NE(warned.find("has no reboot.exe among its modules and files. Devices that run it cannot be restarted"),
              std::string::npos) << warned;
    EXPECT_NE(warned.find("Devices that run this image cannot start the next upgrade with this tool"), std::string::npos);
    const std::pair<void (*)(Toc&), std::string> refused[] = {
        {[](Toc& t) { t.signature = 0; }, "has no ROM signature at image start + 0x40 (0x80220040): it holds 0x00000000"},
        {[](Toc& t) { t.address = 0x90000000; }, "(ROMHDR) at 0x90000000, outside its records"},
        {[](Toc& t) { t.cpu = 0x01C2; }, "is for processor 0x01C2 (ARM), not x86 (0x014C): usCPUType"},
        {[](Toc& t) { t.nummods = 0; }, "has no modules: nummods is 0"},
        {[](Toc& t) { t.address = 0xFFFFFFF0; }, "(ROMHDR) at 0xfffffff0, where its 84 bytes would pass the last 32-bit address"},
        {[](Toc& t) { t.physlast = 0x8021FF00; }, "physfirst 0x80220000 above physlast 0x8021ff00"},
        {[](Toc& t) { t.physfirst = 0x80220050; }, "outside the span it gives the image: physfirst 0x80220050"},
        {[](Toc& t) { t.kept = 0x80; }, "(ROMHDR) at 0x80220048 partly outside its records"},
        {[](Toc& t) { t.kept = 0x44; }, "no record holds all of image start + 0x40 to + 0x47"},
    };
    for (const auto& [spoil, says] : refused) {
        SCOPED_TRACE(says);
        Toc toc;
        spoil(toc);
        write_bytes(image, ce_image(toc));
        built = build(folder);
        EXPECT_NE(built.status, 0);
        std::string said = unfolded(built.out + built.err);
        EXPECT_NE(said.find("The image " + image.string() + " "), std::string::npos) << said;
        EXPECT_NE(said.find(says), std::string::npos) << said;
        EXPECT_FALSE(fs::exists(folder / "fwupgrade"));
        EXPECT_FALSE(fs::exists(folder / "fwupgrade-image.txt"));
    }
}

// The functions that device/coredll.def marks as the tool's imports.
std::vector<std::string> tool_imports()
{
    std::vector<std::string> names;
    for (const std::string& line : lines_of(read_file(SOURCE_DIR "/device/coredll.def"))) {
        if (line.size() > 5 && line.compare(line.size() - 5, 5, " tool") == 0) {
            names.push_back(line.substr(0, line.find(' ')));
        }
    }
    return names;
}

TEST_F(ImageCheck, TheManifestListsTheImageAndWhatTheNextUpgradeNeeds)
{
    const std::vector<std::string> imports = tool_imports();
    ASSERT_EQ(imports.size(), 26u);
    struct Row {
        const char* name;
        void (*change)(rom_builder::Layout&);
        std::string lines;   // from the file lines on
        std::string warns;   // "" for none
    } rows[] = {
        {"a ROM offset, its records in the platform build's order, REBOOT.EXE in capitals",
         [](rom_builder::Layout& l) { l.rom_offset = 0x10000000; },
         "file: REBOOT.EXE 4\nrestart-program: found\nnext-upgrade-imports: 26 of 26 found\n", ""},
        {"no restart program, coredll.dll without Sleep",
         [](rom_builder::Layout& l) {
             l.files.clear();
             auto& exports = l.modules[0].exports;
             exports.erase(std::remove_if(exports.begin(), exports.end(),
                                          [](const rom_builder::Export& e) { return e.name == "Sleep"; }),
                           exports.end());
         },
         "restart-program: missing\nnext-upgrade-imports: missing Sleep\n",
         "does not export Sleep, which the tool imports. Devices that run this image cannot start the next upgrade"},
        {"coredll.dll's exports compressed",
         [](rom_builder::Layout& l) { l.modules[0].exports_compressed = true; },
         "file: REBOOT.EXE 4\nrestart-program: found\nnext-upgrade-imports: cannot be checked: the export table of "
         "coredll.dll lies in its section 1 of 1, which the image stores compressed\n",
         "can start the next upgrade with this tool cannot be checked: the export table of coredll.dll lies in its "
         "section 1 of 1"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        rom_builder::Layout layout;
        layout.modules = {rom_builder::coredll(imports)};
        layout.files = {{"REBOOT.EXE", "text"}};
        row.change(layout);
        RunResult built = build_with(rom_builder::make_image(layout));
        ASSERT_EQ(built.status, 0) << built.out << built.err;
        std::string manifest = read_file((folder / "fwupgrade-image.txt").string());
        size_t from = manifest.find(layout.files.empty() ? "restart-program: " : "file: ");
        ASSERT_NE(from, std::string::npos) << manifest;
        EXPECT_EQ(manifest.substr(from, manifest.rfind("tool-sha256: ") - from), row.lines);
        EXPECT_NE(manifest.find("\nmodule: coredll.dll 16384\n"), std::string::npos) << manifest;
        std::string said = unfolded(built.out + built.err);
        if (row.warns.empty()) {
            EXPECT_EQ(said.find("Warning"), std::string::npos) << said;
        } else {
            EXPECT_NE(said.find(row.warns), std::string::npos) << said;
        }
    }
    // A damaged module table refuses the build, as damage elsewhere does.
    rom_builder::Layout layout;
    layout.modules = {rom_builder::coredll(imports)};
    layout.nummods = 5;
    RunResult built = build_with(rom_builder::make_image(layout));
    EXPECT_NE(built.status, 0);
    EXPECT_NE(unfolded(built.out + built.err).find(" is not a well-formed Windows CE BIN image: the 5 module entries"),
              std::string::npos) << built.out << built.err;
    EXPECT_FALSE(fs::exists(folder / "fwupgrade-image.txt"));
}

TEST_F(ImageCheck, WithTheCheckOffAnyFileBuildsAndTheManifestSaysSo)
{
    const std::string raw = "no image at all\n";
    RunResult built = build_with(raw, {"-DFIRMWARE_IMAGE_CHECK=OFF"});
    ASSERT_EQ(built.status, 0) << built.out << built.err;
    expect_installed_and_described(raw, "off\n");
}

// A preset's build made twice, from the source reached through folders of
// two lengths into build folders of two lengths, some seconds apart.
struct Reproduction {
    const char* preset;
    const char* missing;  // why it cannot be built here ("" when it can)
    const char* epoch;    // SOURCE_DATE_EPOCH for both builds, or none
    uint32_t stamp;       // what the executable's header must then hold
};

void PrintTo(const Reproduction& reproduction, std::ostream* out)
{
    *out << reproduction.preset;
}

class ReproducibleBuild : public ::testing::TestWithParam<Reproduction> {};

TEST_P(ReproducibleBuild, GivesTheSameExecutableInAnyFolderAtAnyTime)
{
    const Reproduction& made = GetParam();
    if (*made.missing != '\0') {
        GTEST_SKIP() << made.missing;
    }
    TempFolder temp;
    RunOptions options;
    options.timeout_seconds = 900;
    if (*made.epoch != '\0') {
        options.env["SOURCE_DATE_EPOCH"] = made.epoch;
    }
    options.unset.push_back("SOURCE_DATE_EPOCH");
    std::string programs[2];
    for (int i = 0; i < 2; ++i) {
        fs::path source = temp.path / (i == 0 ? "s" : "a checkout of the same sources");
        fs::path build = temp.path / (i == 0 ? "b" : "a/much/deeper/folder/for/the/build");
        fs::create_directory_symlink(SOURCE_DIR, source);
        RunResult run = run_program(CMAKE_COMMAND, {"-S", source.string(), "--preset", made.preset, "-B", build.string()},
                                    options);
        ASSERT_EQ(run.status, 0) << run.out << run.err;
        run = run_program(CMAKE_COMMAND, {"--build", build.string(), "-j", "2"}, options);
        ASSERT_EQ(run.status, 0) << run.out << run.err;
        programs[i] = read_file((build / "fwupgrade.exe").string());
        std::string manifest = read_file((build / "fwupgrade-image.txt").string());
        EXPECT_EQ(manifest.substr(manifest.rfind('\n', manifest.size() - 2) + 1),
                  "tool-sha256: " + sha256sum(build / "fwupgrade.exe") + "\n");
    }
    ASSERT_GT(programs[0].size(), 0x40u);
    EXPECT_TRUE(programs[0] == programs[1]) << "the two builds differ";
    // A PE file header: the time stamp 8 bytes after where the 32-bit field at 0x3C points.
    uint32_t header = 0, stamp = 0;
    memcpy(&header, programs[0].data() + 0x3C, 4);
    ASSERT_LT(header, programs[0].size() - 12);
    memcpy(&stamp, programs[0].data() + header + 8, 4);
    EXPECT_EQ(stamp, made.stamp);
}

INSTANTIATE_TEST_SUITE_P(
    Presets, ReproducibleBuild,
    ::testing::Values(Reproduction{"device", DEVICE_MISSING, "", 0},
                      Reproduction{"windows", WINDOWS_MISSING, "1700000000", 1700000000}),
    [](const ::testing::TestParamInfo<Reproduction>& info) { return std::string(info.param.preset); });

TEST(SampleImage, IsWhatItsScriptMakes)
{
    TempFolder temp;
    RunResult made = run_program("/usr/bin/env", {"bash", SOURCE_DIR "/resources/make-sample-image",
                                                  (temp.path / "sample.bin").string()}, {});
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_EQ(read_file((temp.path / "sample.bin").string()), read_file(SAMPLE_IMAGE));
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

class ConfigureRefuses : public ::testing::TestWithParam<Refusal> {};

TEST_P(ConfigureRefuses, NamingTheVariable)
{
    TempFolder temp;
    fs::create_directory(temp.path / "folder");
    mkfifo((temp.path / "fifo").c_str(), 0600);
    // Sparse: it takes no room.
    write_bytes(temp.path / "huge.bin", "B000FF\n");
    fs::resize_file(temp.path / "huge.bin", 2147483648u);
    const std::string& setting = GetParam().settings.front();
    RunResult run = configure(temp.path / "build", GetParam().settings, SOURCE_DIR, temp.path);
    EXPECT_NE(run.status, 0);
    EXPECT_NE(run.err.find(setting.substr(2, setting.find('=') - 2)), std::string::npos) << run.err;
    EXPECT_NE(unfolded(run.err).find(GetParam().says), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(temp.path / "build" / "Makefile"));
}

INSTANTIATE_TEST_SUITE_P(
    Settings, ConfigureRefuses,
    ::testing::Values(
        Refusal{"MissingImage", {"-DFIRMWARE_IMAGE=missing.bin"}, "/missing.bin: no such file"},
        Refusal{"FolderAsImage", {"-DFIRMWARE_IMAGE=folder"}, "/folder: is a folder, not an image file"},
        Refusal{"DeviceAsImage", {"-DFIRMWARE_IMAGE=/dev/null"}, "FIRMWARE_IMAGE=/dev/null: not a regular file"},
        Refusal{"FifoAsImage", {"-DFIRMWARE_IMAGE=fifo"}, "/fifo: not a regular file"},
        Refusal{"ImageOver2GiB", {"-DFIRMWARE_IMAGE=huge.bin"}, "2147483648 bytes; an image can have at most 2147483647"},
        Refusal{"EmptyModel", {"-DFIRMWARE_MODEL="}, "FIRMWARE_MODEL is empty"},
        Refusal{"EmptyVersion", {"-DFIRMWARE_VERSION="}, "FIRMWARE_VERSION is empty"},
        Refusal{"LineBreakInModel", {"-DFIRMWARE_MODEL=QL\n305"}, "FIRMWARE_MODEL has a control character"},
        Refusal{"TabInVersion", {"-DFIRMWARE_VERSION=V1\tV2"}, "FIRMWARE_VERSION has a control character"},
        Refusal{"NotUtf8Version", {"-DFIRMWARE_VERSION=V\xFF"}, "FIRMWARE_VERSION is not UTF-8 text"},
        Refusal{"NoSrecInfo", {"-DSREC_INFO=/nowhere/srec_info"}, "srec_info, of the Debian package srecord"}),
    [](const ::testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

}  // namespace
