// ce-image on generated images: what it lists, whether a program's imports
// bind against the image's coredll.dll, and what it refuses.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "device_fixture.h"
#include "rom_image_builder.h"

namespace fs = std::filesystem;
using rom_builder::Layout;

namespace {

struct Scratch {
    fs::path path = fs::temp_directory_path() / ("ce-image-test-" + std::to_string(getpid()));
    Scratch() { fs::create_directories(path); }
    ~Scratch()
    {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
    std::string write(const std::string& name, const std::string& bytes) const
    {
        std::ofstream((path / name).string(), std::ios::binary) << bytes;
        return (path / name).string();
    }
};

// A device image as the platform build writes one: coredll.dll with three
// exports, the restart program among its files.
Layout device_image()
{
    Layout layout;
    layout.modules = {rom_builder::Module{"nk.exe", 0x30000, {}, false}, rom_builder::coredll({"CreateFileW", "Sleep", "printf"})};
    layout.files = {{"reboot.exe", "not a program"}};
    return layout;
}

struct Row {
    const char* name;
    std::function<void(Layout&)> change;
    const char* imports;  // --imports, or none
    int status;
    std::string says;     // on standard output, or standard error for status 2
};

void PrintTo(const Row& row, std::ostream* out)
{
    *out << row.name;
}

class ImageRows : public ::testing::TestWithParam<Row> {};

TEST_P(ImageRows, ListAndCheckAsTheLoaderBinds)
{
    const Row& row = GetParam();
    Layout layout = device_image();
    if (row.change) {
        row.change(layout);
    }
    Scratch scratch;
    std::vector<std::string> args = {scratch.write("image.bin", rom_builder::make_image(layout))};
    if (*row.imports != '\0') {
        args.insert(args.end(), {"--imports", row.imports});
    }
    RunResult run = run_program(CE_IMAGE, args, {});
    EXPECT_EQ(run.status, row.status) << run.out << run.err;
    const std::string& said = row.status == 2 ? run.err : run.out;
    EXPECT_NE(said.find(row.says), std::string::npos) << said;
    if (row.status == 2) {
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    } else {
        EXPECT_EQ(run.err, "");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Images, ImageRows,
    ::testing::Values(
        Row{"Listed", nullptr, "", 0,
            "physfirst: 0x80220000\n"
            "physlast: 0x80221280\nnummods: 2\nnumfiles: 1\nkernelflags: 0x00000000\nramstart: 0x80400000\n"
            "ramend: 0x82000000\nmodule: nk.exe 196608\nmodule: coredll.dll 16384\nfile: reboot.exe 13\n"},
        Row{"AllFound", nullptr, "Sleep,CreateFileW", 0, "file: reboot.exe 13\nimports: 2 of 2 found in coredll.dll\n"},
        Row{"OneMissing", nullptr, "Sleep,GetTickCount,printf", 1, "\nimports: missing GetTickCount\n"},
        Row{"NameInAnotherCase", nullptr, "sleep", 1, "\nimports: missing sleep\n"},
        Row{"AddressZero", [](Layout& l) { l.modules[1].exports[1].address = 0; }, "printf,Sleep,CreateFileW", 1,
            "\nimports: missing Sleep\n"},
        Row{"NoCoredll", [](Layout& l) { l.modules.pop_back(); }, "Sleep,printf", 1, "\nimports: missing Sleep, printf\n"},
        Row{"OnlyKernelCoredll", [](Layout& l) { l.modules[1].name = "k.coredll.dll"; }, "Sleep", 1,
            "module: k.coredll.dll 16384\nfile: reboot.exe 13\nimports: missing Sleep\n"},
        Row{"CoredllInCapitals", [](Layout& l) { l.modules[1].name = "COREDLL.DLL"; }, "Sleep", 0,
            "imports: 1 of 1 found in coredll.dll\n"},
        Row{"CompressedExports", [](Layout& l) { l.modules[1].exports_compressed = true; }, "Sleep", 3,
            "\nimports: cannot be checked: the export table of coredll.dll lies in its section 1 of 1, which the image "
            "stores compressed\n"},
        Row{"RomOffset", [](Layout& l) { l.rom_offset = 0x10000000; }, "Sleep", 0,
            "romhdr: 0x802211d0\nphysfirst: 0x80220000\n"},
        Row{"RecordsByAddress", [](Layout& l) { l.by_address = true; }, "Sleep", 0, "imports: 1 of 1 found"},
        Row{"NameRunsPastItsRecord",
            [](Layout& l) {
                l.files.clear();
                l.name_without_zero = true;
            },
            "", 2, "the name of module 2 of 2 at 0x802211a0 runs to the end of its record without a terminating zero"},
        Row{"ModuleCountFarTooLarge", [](Layout& l) { l.nummods = 0x7FFFFFF; }, "", 2,
            "the 134217727 module entries that the ROMHDR at 0x802211d0 counts (4294967264 bytes from 0x80221224) "
            "would pass the last 32-bit address"},
        Row{"ModuleCountBeyondItsRecord", [](Layout& l) { l.nummods = 3; }, "", 2, "the 3 module entries that the ROMHDR at 0x802211d0 counts (96 bytes from 0x80221224) lie partly outside the image's records"},
        Row{"OverlappingRecords", [](Layout& l) { l.overlapping_record = true; }, "", 2,
            "the records at 0x80220000 (64 bytes, file offset "},
        Row{"NameTableOutsideItsSection", [](Layout& l) { l.names_outside_section = true; }, "Sleep", 2,
            "the export name table of coredll.dll (RVA 0x00101000) lies in none of its sections"},
        Row{"ExportNameFarTooLong", [](Layout& l) { l.modules[1].exports[2].name = std::string(1100, 'x'); }, "Sleep", 2,
            "the export name 3 of coredll.dll at RVA 0x"},
        Row{"RomhdrAtPhyslast", [](Layout& l) { l.physlast_after_romhdr = 0; }, "", 2,
            "has its table of contents (ROMHDR) at 0x802211d0, outside the span it gives the image: physfirst 0x80220000 "
            "to physlast 0x802211d0"},
        Row{"RomhdrEndingPastPhyslast", [](Layout& l) { l.physlast_after_romhdr = 83; }, "", 2,
            "outside the span it gives the image"},
        Row{"NotX86ListsAll", [](Layout& l) { l.cpu = 0x01c2; }, "", 0, "processor: 0x01c2 (ARM)\nromhdr: "}),
    [](const ::testing::TestParamInfo<Row>& info) { return std::string(info.param.name); });

// The same table of contents, whatever the ROM offset and the records' order.
TEST(CeImage, ListsTheSameWhereverTheRecordsLieAndInWhateverOrder)
{
    Scratch scratch;
    Layout layout = device_image();
    std::string plain = run_program(CE_IMAGE, {scratch.write("plain", rom_builder::make_image(layout))}, {}).out;
    ASSERT_NE(plain.find("module: coredll.dll"), std::string::npos) << plain;
    layout.rom_offset = 0x10000000;
    EXPECT_EQ(run_program(CE_IMAGE, {scratch.write("offset", rom_builder::make_image(layout))}, {}).out, plain);
    layout.rom_offset = 0xF0000000;  // the records' addresses wrap past 4 GiB
    EXPECT_EQ(run_program(CE_IMAGE, {scratch.write("wrapped", rom_builder::make_image(layout))}, {}).out, plain);
    layout.rom_offset = 0;
    layout.by_address = true;
    EXPECT_EQ(run_program(CE_IMAGE, {scratch.write("sorted", rom_builder::make_image(layout))}, {}).out, plain);
}

// Names that would break a line of the manifest are shown escaped.
TEST(CeImage, ShowsEveryNameOnOneLine)
{
    Scratch scratch;
    Layout layout = device_image();
    layout.files = {{"two\nlines reboot.exe\\", "x"}};
    RunResult run = run_program(CE_IMAGE, {scratch.write("image", rom_builder::make_image(layout))}, {});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("\nfile: two\\x0Alines\\x20reboot.exe\\x5C 1\n"), std::string::npos) << run.out;
}

// What is not an image file is refused at once: a FIFO is not waited on.
TEST(CeImage, RefusesWhatIsNoImageFile)
{
    Scratch scratch;
    fs::create_directory(scratch.path / "folder");
    ASSERT_EQ(mkfifo((scratch.path / "fifo").c_str(), 0600), 0);
    const std::pair<std::string, std::string> refused[] = {
        {(scratch.path / "folder").string(), "not a regular file"},
        {(scratch.path / "fifo").string(), "not a regular file"},
        {(scratch.path / "missing").string(), "No such file or directory"},
        {scratch.write("text", "B000FF\nshort"), "not a Windows CE BIN image: it ends inside its header"},
        {scratch.write("cut", rom_builder::make_image(device_image()).substr(0, 200)), "the record at file offset 167 (address 0x80221080) is cut off: it has 24 bytes, the file 21 after"},
        {scratch.write("empty", ""), "not a Windows CE BIN image: it does not begin with \"B000FF\""},
    };
    for (const auto& [path, says] : refused) {
        SCOPED_TRACE(path);
        RunResult run = run_program(CE_IMAGE, {path}, {});
        EXPECT_EQ(run.status, 2);
        EXPECT_NE(run.err.find("ce-image: " + path + ": " + says), std::string::npos) << run.err;
    }
    std::string image = scratch.write("image", rom_builder::make_image(device_image()));
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {}, {image, "--imports"}, {image, "--imports", "A,,B"}, {image, "--other", "x"}}) {
        RunResult run = run_program(CE_IMAGE, args, {});
        EXPECT_EQ(run.status, 2);
        EXPECT_NE(run.err.find("usage: ce-image IMAGE"), std::string::npos) << run.err;
    }
}

// The device build's own imports, against the sample image and against one
// whose coredll.dll lacks one of them.
TEST(CeImage, ChecksTheDeviceBuildsImports)
{
    if (*DEVICE_MISSING != '\0') {
        GTEST_SKIP() << DEVICE_MISSING;
    }
    const std::string program = DEVICE_DIR "/fwupgrade.exe";
    RunResult run = run_program(CE_IMAGE, {SAMPLE_IMAGE, "--program", program}, {});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("\nimports: 26 of 26 found in coredll.dll\n"), std::string::npos) << run.out;

    Scratch scratch;
    Layout layout = device_image();
    run = run_program(CE_IMAGE, {scratch.write("image", rom_builder::make_image(layout)), "--program", program}, {});
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_NE(run.out.find("\nimports: missing CloseHandle, "), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("CreateFileW"), std::string::npos) << run.out;

    run = run_program(CE_IMAGE, {SAMPLE_IMAGE, "--program", SAMPLE_IMAGE}, {});
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("not a program CE's loader starts"), std::string::npos) << run.err;
}

}  // namespace
