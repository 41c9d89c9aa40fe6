// The device build itself, the bytes that go to the device, run on an
// emulated CPU by ce-run against the same emulation as the host build: each
// case of the table on both, on devices made alike, must show the same
// console bytes, leave the same files under root/ and trace the same calls.
// Then power cuts before every traced call, the loader's refusals and a
// fault.
#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "device_fixture.h"
#include "rom_image_builder.h"

namespace fs = std::filesystem;

namespace {

std::string missing()
{
    if (std::string(CE_RUN_MISSING) != "") {
        return CE_RUN_MISSING;
    }
    if (std::string(DEVICE_MISSING) != "") {
        return DEVICE_MISSING;
    }
    return std::string(CE_RUN) == "" ? "ce-run was not built" : "";
}

#define SKIP_WITHOUT_RUNNER()                             \
    if (!missing().empty()) {                             \
        GTEST_SKIP() << "Skipped: the device build is not run on the emulated CPU: " << missing(); \
    }

std::string device_build(const std::string& name)
{
    return std::string(DEVICE_DIR) + "/" + name;
}

// The sample device: the driver accepting, an old NK.bin, the registry of a
// mix of LANs and a reboot.exe that ends at once.
void sample(const TempDevice& device)
{
    fs::copy(SAMPLE_DEVICE, device.path(), fs::copy_options::recursive | fs::copy_options::overwrite_existing);
}

void refusing_driver(const TempDevice& device)
{
    sample(device);
    device.set_driver("refuse");
}

void no_reboot_program(const TempDevice& device)
{
    sample(device);
    fs::remove_all(device.root() + "/Windows");
}

template <const char* file>
void registry_fixture(const TempDevice& device)
{
    device.set_driver("accept");
    device.write("registry.reg", read_file(std::string(FIXTURE_DIR) + "/" + file));
}
// A registry.reg that includes a BSP's files, with a registry.env.
void platform_build(const TempDevice& device)
{
    fs::copy(std::string(FIXTURE_DIR) + "/platform-build", device.path(), fs::copy_options::recursive);
    device.set_driver("accept");
}

const char REGEDIT4[] = "regedit4.reg";
const char REGEDIT5[] = "regedit5-utf16.reg";

// What a probe's run shows, on both builds alike.
struct Expected {
    int status;
    std::string out;
    std::string trace;
    std::map<std::string, std::string> files;
};

struct Case {
    const char* name;
    const char* host;    // the host build
    const char* device;  // the device build of the same image, in the device build's folder
    std::vector<std::string> args;
    const char* keys;
    void (*make)(const TempDevice&);
    const Expected* expected = nullptr;
};

const char* const SAMPLE = "fwupgrade.exe";
const char* const IMAGE_1 = "tests/device/tools/fwupgrade_1.exe";
const char* const PROBE = "tests/device/tools/call_probe.exe";

void empty_device(const TempDevice&) {}

using namespace std::string_literals;
const std::string PROBED = "probe\n";
const Expected PRINTF_NULL = {3, PROBED, "printf fault format NULL\n", {}};
const Expected WPRINTF_NULL = {3, PROBED, "wprintf fault format NULL\n", {}};
const Expected FWPRINTF_NULL = {3, PROBED, "_wfopen \\t.txt w ok\nfwprintf fault format NULL\n", {{"t.txt", ""}}};
const Expected SNWPRINTF_NULL = {3, PROBED, "_snwprintf fault format NULL\n", {}};
// The console's input takes no writes, as a stream open for reading.
const Expected STDIN = {0, PROBED + "0 0 -1\nthe end\n",
                        "fwrite stdin 1 3 short 0\nfflush stdin ok\nfwprintf stdin \"x1\" failed\n", {}};
// Named by what the program handed over, never by a host address.
const Expected MADE_UP_STREAM = {3, PROBED, "fwrite fault stream 0x1234 not open\n", {}};
const Expected CLOSED_STREAM = {3, PROBED, "_wfopen \\c.txt w ok\nfclose \\c.txt ok\nfwrite fault stream \\c.txt closed\n",
                                {{"c.txt", ""}}};
const Expected NUL_TEXT = {0, PROBED + "a\0b\na\0b\n4 4 4 2 0 122 0\nthe end\n"s,
                           "_wfopen \\nul.txt w ok\nfwprintf \\nul.txt \"a\\x00b\\n\" ok\nfclose \\nul.txt ok\n",
                           {{"nul.txt", "a\0b\n"s}}};
// Only the units written need room, whatever the count says.
const Expected SNWPRINTF_COUNT = {0, PROBED + "2 97 98 0 9\nthe end\n", "", {}};
const Expected TERMINATE = {2, PROBED, "TerminateProcess INVALID_HANDLE_VALUE 7 not modelled\n", {}};

const Case CASES[] = {
    {"No", TOOL_SAMPLE, SAMPLE, {}, "n\n", sample},
    {"AnotherKeyThenTheEnd", TOOL_SAMPLE, SAMPLE, {}, "x\n", sample},
    {"EndAtTheFirstQuestion", TOOL_SAMPLE, SAMPLE, {}, "", sample},
    {"EndAtTheSecondQuestion", TOOL_SAMPLE, SAMPLE, {}, "y\n", sample},
    {"EndAtTheLastQuestion", TOOL_SAMPLE, SAMPLE, {}, "y\nY\n", sample},
    {"DefaultsAndNoRestart", TOOL_SAMPLE, SAMPLE, {}, "y\nN\nN\n", sample},
    {"KeptAndRestarted", TOOL_SAMPLE, SAMPLE, {}, "y\nY\nY\n", sample},
    {"RestartWithoutRebootProgram", TOOL_SAMPLE, SAMPLE, {}, "y\nN\nY\n", no_reboot_program},
    {"Unattended", TOOL_SAMPLE, SAMPLE, {"-s"}, "", sample},
    {"Image1", TOOL_1, IMAGE_1, {"-s"}, "", sample},
    {"Image4096", TOOL_4096, "tests/device/tools/fwupgrade_4096.exe", {"-s"}, "", sample},
    {"Image4097", TOOL_4097, "tests/device/tools/fwupgrade_4097.exe", {"-s"}, "", sample},
    {"Image12293", TOOL_12293, "tests/device/tools/fwupgrade_12293.exe", {"-s"}, "", sample},
    {"DriverRefuses", TOOL_SAMPLE, SAMPLE, {}, "y\n", refusing_driver},
    {"Regedit4Kept", TOOL_1, IMAGE_1, {"-s"}, "", registry_fixture<REGEDIT4>},
    {"Regedit4Defaults", TOOL_1, IMAGE_1, {}, "y\nN\nN\n", registry_fixture<REGEDIT4>},
    {"Regedit5Kept", TOOL_1, IMAGE_1, {"-s"}, "", registry_fixture<REGEDIT5>},
    {"Regedit5Defaults", TOOL_1, IMAGE_1, {}, "y\nN\nN\n", registry_fixture<REGEDIT5>},
    {"PlatformBuildRegistry", TOOL_1, IMAGE_1, {"-s"}, "", platform_build},
    {"PrintfNull", CALL_PROBE, PROBE, {"printf-null"}, "", empty_device, &PRINTF_NULL},
    {"WprintfNull", CALL_PROBE, PROBE, {"wprintf-null"}, "", empty_device, &WPRINTF_NULL},
    {"FwprintfNull", CALL_PROBE, PROBE, {"fwprintf-null"}, "", empty_device, &FWPRINTF_NULL},
    {"SnwprintfNull", CALL_PROBE, PROBE, {"snwprintf-null"}, "", empty_device, &SNWPRINTF_NULL},
    {"WritesToStdin", CALL_PROBE, PROBE, {"stdin"}, "", empty_device, &STDIN},
    {"MadeUpStream", CALL_PROBE, PROBE, {"made-up-stream"}, "", empty_device, &MADE_UP_STREAM},
    {"ClosedStream", CALL_PROBE, PROBE, {"closed-stream"}, "", empty_device, &CLOSED_STREAM},
    {"NulInWideText", CALL_PROBE, PROBE, {"nul-text"}, "", empty_device, &NUL_TEXT},
    {"SnwprintfCountPastBuffer", CALL_PROBE, PROBE, {"snwprintf-count"}, "", empty_device, &SNWPRINTF_COUNT},
    {"TerminateProcess", CALL_PROBE, PROBE, {"terminate"}, "", empty_device, &TERMINATE},
};

void PrintTo(const Case& c, std::ostream* out)
{
    *out << c.name;
}

struct Outcome {
    RunResult run;
    std::map<std::string, std::string> files;
    std::string trace;
};

// How long the restart program takes is the host's: the looks at it while
// it runs (STILL_ACTIVE and the pause after) are left out of the comparison.
std::string without_waiting(const std::string& trace)
{
    std::string kept;
    bool after_look = false;
    for (const std::string& line : lines_of(trace)) {
        bool look = line.rfind("GetExitCodeProcess ", 0) == 0 && line.size() > 8 &&
                    line.compare(line.size() - 7, 7, " ok 259") == 0;
        if (!look && !(after_look && line.rfind("Sleep ", 0) == 0)) {
            kept += line + "\n";
        }
        after_look = look;
    }
    return kept;
}

Outcome run_case(const Case& c, bool on_cpu, const std::map<std::string, std::string>& env = {})
{
    TempDevice device;
    c.make(device);
    RunOptions options = typed(c.keys);
    options.env = env;
    std::vector<std::string> args = c.args;
    if (on_cpu) {
        args.insert(args.begin(), device_build(c.device));
    }
    Outcome outcome;
    outcome.run = device.run(on_cpu ? CE_RUN : c.host, args, options);
    outcome.files = device.files();
    outcome.trace = without_waiting(device.trace());
    return outcome;
}

void expect_same(const Outcome& host, const Outcome& cpu)
{
    EXPECT_FALSE(host.run.timed_out || cpu.run.timed_out);
    EXPECT_EQ(cpu.run.status, host.run.status);
    EXPECT_EQ(cpu.run.signal, host.run.signal);
    EXPECT_EQ(cpu.run.out, host.run.out);
    EXPECT_EQ(cpu.run.err, host.run.err);
    EXPECT_EQ(cpu.trace, host.trace);
    EXPECT_EQ(cpu.files, host.files);
}

struct ParityTest : ::testing::TestWithParam<Case> {};

TEST_P(ParityTest, TheDeviceBuildOnTheCpuDoesWhatTheHostBuildDoes)
{
    SKIP_WITHOUT_RUNNER();
    Outcome host = run_case(GetParam(), false);
    Outcome cpu = run_case(GetParam(), true);
    EXPECT_NE(host.run.out, "");
    expect_same(host, cpu);
    if (const Expected* expected = GetParam().expected) {
        EXPECT_EQ(host.run.status, expected->status);
        EXPECT_EQ(host.run.out, expected->out);
        EXPECT_EQ(host.trace, expected->trace);
        EXPECT_EQ(host.files, expected->files);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, ParityTest, ::testing::ValuesIn(CASES),
                         [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST(PowerCutOnTheCpu, EachCutEndsAsTheHostBuildsCutAtTheSameCall)
{
    SKIP_WITHOUT_RUNNER();
    const Case run = {"", TOOL_4097, "tests/device/tools/fwupgrade_4097.exe", {}, "y\nY\nN\n", sample};
    size_t calls = lines_of(run_case(run, false).trace).size();
    ASSERT_GT(calls, 20u);
    for (size_t cut = 1; cut <= calls + 1; ++cut) {
        SCOPED_TRACE("CE_POWER_CUT=" + std::to_string(cut));
        std::map<std::string, std::string> env = {{"CE_POWER_CUT", std::to_string(cut)}};
        Outcome host = run_case(run, false, env);
        EXPECT_EQ(host.run.signal, cut <= calls ? SIGKILL : 0);
        expect_same(host, run_case(run, true, env));
    }
}

// Copies of the device build, each with one thing CE's loader refuses.
struct Patched {
    std::string bytes;
    explicit Patched(const std::string& program) : bytes(read_file(program)) {}
    uint32_t u32(size_t at) const
    {
        uint32_t value;
        std::memcpy(&value, bytes.data() + at, 4);
        return value;
    }
    void put(size_t at, const void* data, size_t size) { bytes.replace(at, size, static_cast<const char*>(data), size); }
    size_t optional_header() const { return u32(0x3c) + 24; }
    // The file offset of an address of the image, through the section table.
    size_t offset_of(uint32_t rva) const
    {
        size_t pe = u32(0x3c);
        size_t table = optional_header() + (static_cast<unsigned char>(bytes[pe + 20]) | bytes[pe + 21] << 8);
        for (size_t s = table;; s += 40) {
            uint32_t begin = u32(s + 12);
            if (rva >= begin && rva < begin + u32(s + 8)) {
                return rva - begin + u32(s + 20);
            }
        }
    }
    uint32_t rva_at(size_t field) const { return u32(optional_header() + field); }
    // The file offset of the named section's header.
    size_t section(const std::string& name) const
    {
        size_t pe = u32(0x3c);
        size_t table = optional_header() + (static_cast<unsigned char>(bytes[pe + 20]) | bytes[pe + 21] << 8);
        size_t s = table;
        while (bytes.compare(s, name.size() + 1, name.c_str(), name.size() + 1) != 0) {
            s += 40;
        }
        return s;
    }
    void put_u32(size_t at, uint32_t value) { put(at, &value, 4); }
    // Where the loader puts the address of an imported function.
    uint32_t import_slot(const std::string& function) const
    {
        size_t descriptor = offset_of(rva_at(96 + 8));
        for (uint32_t i = 0;; ++i) {
            uint32_t lookup = u32(offset_of(u32(descriptor) + 4 * i));
            if (lookup == 0 || bytes.compare(offset_of(lookup + 2), function.size() + 1, function.c_str(), function.size() + 1) == 0) {
                return lookup == 0 ? 0 : u32(descriptor + 16) + 4 * i;
            }
        }
    }
    std::string write(const std::string& folder, const std::string& name) const
    {
        std::string path = folder + "/" + name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
};

TEST(LoaderOnTheCpu, RefusesWhatCeRefusesAndTheProgramNeverStarts)
{
    SKIP_WITHOUT_RUNNER();
    TempDevice programs;
    Patched version(device_build(SAMPLE));
    uint16_t minor = 1;
    version.put(version.optional_header() + 50, &minor, 2);

    Patched import(device_build(SAMPLE));
    size_t name = import.bytes.find(std::string("CloseHandle\0", 12));
    ASSERT_NE(name, std::string::npos);
    import.put(name, "CloseHandlX", 11);

    // The DLL's name is the last of its section: the longer one goes into
    // the headers' unused end, and the import's descriptor points there.
    Patched dll(device_build(SAMPLE));
    uint32_t descriptor = static_cast<uint32_t>(dll.offset_of(dll.u32(dll.optional_header() + 96 + 8)));
    uint32_t spare = 0x3e0;
    ASSERT_EQ(dll.bytes.substr(spare, 16), std::string(16, '\0'));
    dll.put(spare, "KERNEL32.dll", 13);
    dll.put(descriptor + 12, &spare, 4);

    // Sizes near 4 GiB, whose sums and roundings wrap in 32 bits (the
    // resources' raw data then running to the end of the file), and raw data
    // that is shorter in memory than in the file, where it runs past the end.
    const uint32_t all = 0xffffffff;
    Patched resources(device_build(SAMPLE)), relocations(device_build(SAMPLE)), raw(device_build(SAMPLE)),
        stack(device_build(SAMPLE));
    size_t resource_section = resources.section(".rsrc");
    resources.put_u32(resource_section + 8, all);
    resources.put_u32(resource_section + 16, static_cast<uint32_t>(resources.bytes.size() - resources.u32(resource_section + 20)));
    relocations.put_u32(relocations.section(".reloc") + 8, all);
    size_t rsrc = raw.section(".rsrc");
    raw.put_u32(rsrc + 8, 0x100);
    raw.put_u32(rsrc + 16, 0x200);
    raw.put_u32(rsrc + 20, static_cast<uint32_t>(raw.bytes.size() - 0x100));
    stack.put_u32(stack.optional_header() + 72, all);

    const std::pair<std::string, std::string> cases[] = {
        {resources.write(programs.root(), "resources.exe"), "section .rsrc: VirtualSize 0xffffffff at VirtualAddress 0x"},
        {relocations.write(programs.root(), "relocations.exe"), "section .reloc: VirtualSize 0xffffffff at VirtualAddress 0x"},
        {raw.write(programs.root(), "raw.exe"), "section .rsrc: SizeOfRawData 0x200 at PointerToRawData 0x"},
        {stack.write(programs.root(), "stack.exe"), "SizeOfStackReserve 0xffffffff is over 256 MiB"},
        {version.write(programs.root(), "version.exe"),
         "the program needs Windows CE 6.01, above this device's 6.00 (ERROR_OLD_WIN_VERSION)"},
        {import.write(programs.root(), "import.exe"), "it imports COREDLL.dll!CloseHandlX, which COREDLL.dll does not export"},
        {dll.write(programs.root(), "dll.exe"), "it imports KERNEL32.dll!"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        TempDevice device;
        sample(device);
        auto before = device.files();
        RunResult run = device.run(CE_RUN, {c.first, "-s"});
        EXPECT_EQ(run.status, 4);
        EXPECT_EQ(run.out, "");
        EXPECT_NE(run.err.find(c.first + ": not loaded: " + c.second), std::string::npos) << run.err;
        EXPECT_EQ(device.trace(), "");
        EXPECT_EQ(device.files(), before);
    }
}

// The records' checksums made right again after their bytes were changed.
std::string with_checksums(std::string image)
{
    for (size_t at = 15; at + 12 <= image.size();) {
        uint32_t address, length, sum = 0;
        std::memcpy(&address, image.data() + at, 4);
        std::memcpy(&length, image.data() + at + 4, 4);
        if (address == 0) {
            break;
        }
        for (size_t i = 0; i < length; ++i) {
            sum += static_cast<unsigned char>(image[at + 12 + i]);
        }
        std::memcpy(&image[at + 8], &sum, 4);
        at += 12 + length;
    }
    return image;
}

// With --image, the imports bind to what that image's coredll.dll exports:
// the device build starts on the sample image, and on no image that lacks
// one of its imports.
TEST(LoaderOnTheCpu, WithAnImageBindsOnlyWhatItsCoredllExports)
{
    SKIP_WITHOUT_RUNNER();
    TempDevice images;
    const std::string program = device_build(SAMPLE);
    {
        TempDevice device;
        sample(device);
        RunResult run = device.run(CE_RUN, {"--image", SAMPLE_IMAGE, program, "-s"});
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_NE(run.out.find("Firmware upgrade complete!\n"), std::string::npos) << run.out;
    }
    std::string renamed = read_file(SAMPLE_IMAGE);
    size_t name = renamed.find(std::string("\0CloseHandle\0", 13));
    ASSERT_NE(name, std::string::npos);
    renamed[name + 11] = 'X';
    rom_builder::Layout compressed;
    compressed.modules = {rom_builder::coredll({"CloseHandle"})};
    compressed.modules[0].exports_compressed = true;
    rom_builder::Layout no_coredll;
    no_coredll.modules = {rom_builder::Module{"nk.exe", 4096, {}, false}};
    auto write = [&](const std::string& file, const std::string& bytes) {
        std::ofstream(images.root() + "/" + file, std::ios::binary) << bytes;
        return images.root() + "/" + file;
    };
    const struct {
        std::string image;
        int status;
        std::string says;
    } cases[] = {
        {write("renamed.bin", with_checksums(renamed)), 4, "not loaded: it imports COREDLL.dll!CloseHandle, which the coredll.dll of the image "},
        {write("no-coredll.bin", rom_builder::make_image(no_coredll)), 4, ": it has no coredll.dll"},
        {write("compressed.bin", rom_builder::make_image(compressed)), 2,
         "compressed.bin: the imports cannot be checked against it: the export table of coredll.dll lies in its section 1 of 1"},
        {write("text.bin", "B000FF\n"), 2, "text.bin: not a Windows CE BIN image"},
        {images.root(), 2, ": not a regular file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.image);
        TempDevice device;
        sample(device);
        auto before = device.files();
        RunResult run = device.run(CE_RUN, {"--image", c.image, program, "-s"});
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.out, "");
        EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
        EXPECT_EQ(device.trace(), "");
        EXPECT_EQ(device.files(), before);
    }
}

// The processes whose command line holds the text, by id.
std::vector<std::string> processes_holding(const std::string& text)
{
    std::vector<std::string> found;
    DIR* proc = opendir("/proc");
    for (dirent* entry; proc != nullptr && (entry = readdir(proc)) != nullptr;) {
        std::string id = entry->d_name;
        if (id.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        // A process may end between the listing and the read.
        std::ifstream in("/proc/" + id + "/cmdline", std::ios::binary);
        std::string command((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (command.find(text) != std::string::npos && id != std::to_string(getpid())) {
            found.push_back(id);
        }
    }
    if (proc != nullptr) {
        closedir(proc);
    }
    return found;
}

// A restart program that never ends, and the run that starts it stopped by
// SIGTERM or by ce-run's time limit: no program outlives the run.
TEST(RunEnds, NoProgramTheRunStartedOutlivesIt)
{
    SKIP_WITHOUT_RUNNER();
    const std::string marker = "86399." + std::to_string(getpid());
    const struct {
        const char* name;
        std::vector<std::string> command;  // the program, then its arguments
        bool terminate;                    // SIGTERM once the restart program runs; else the time limit ends it
        int status, signal;
        std::string err, last_trace;
    } cases[] = {
        {"host build, SIGTERM", {TOOL_SAMPLE}, true, -1, SIGTERM, "", "killed by SIGTERM"},
        {"ce-run, SIGTERM", {CE_RUN, device_build(SAMPLE)}, true, -1, SIGTERM, "", "killed by SIGTERM"},
        {"ce-run, its time limit", {CE_RUN, "--time-limit", "2", device_build(SAMPLE)}, false, 124, 0,
         "ce-run: " + device_build(SAMPLE) + ": stopped: it did not end within the time limit of 2 seconds\n",
         "stopped at the time limit"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDevice device;
        sample(device);
        device.write("root/Windows/reboot.exe", "#!/bin/sh\nexec sleep " + marker + "\n");
        chmod((device.root() + "/Windows/reboot.exe").c_str(), 0755);
        RunOptions options = typed("y\nn\ny\n", true);
        options.env["CE_DEVICE"] = device.path();
        Started child = start_program(c.command[0], std::vector<std::string>(c.command.begin() + 1, c.command.end()),
                                      options);
        ASSERT_EQ(write(child.in, options.input.data(), options.input.size()),
                  static_cast<ssize_t>(options.input.size()));
        bool running = false;
        for (int i = 0; i < 400 && !running; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
            running = !processes_holding(marker).empty();
        }
        ASSERT_TRUE(running) << "the restart program never ran";
        if (c.terminate) {
            kill(child.pid, SIGTERM);
        }
        RunResult run = finish_program(child, options);
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.signal, c.signal);
        EXPECT_EQ(run.err, c.err);
        EXPECT_EQ(lines_of(device.trace()).back(), c.last_trace);
        std::vector<std::string> left;
        for (int i = 0; i < 200 && !(left = processes_holding(marker)).empty(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_EQ(left, std::vector<std::string>()) << "the restart program outlived the run";
    }
}

// The device build with its entry's first instructions replaced: each kind
// of fault ends the run with status 3 and says what and where.
TEST(FaultOnTheCpu, EachKindOfFaultEndsTheRunSayingWhatAndWhere)
{
    SKIP_WITHOUT_RUNNER();
    Patched program(device_build(SAMPLE));
    uint32_t printf_slot = 0x10000 + program.import_slot("printf");
    ASSERT_NE(printf_slot, 0x10000u);
    std::string call_printf = std::string("\x68\x10\0\0\0\xff\x15", 7) + std::string(reinterpret_cast<char*>(&printf_slot), 4);
    // printf's entry point + 1 and + 2, from its slot: mov eax, [slot]; add eax, N; push 0x10; call eax.
    auto into_printf = [&](char by) {
        return "\xa1"s + std::string(reinterpret_cast<char*>(&printf_slot), 4) + "\x83\xc0"s + by +
               "\x68\x10\0\0\0\xff\xd0"s;
    };
    // A format whose units run to the end of the command line's page, the
    // last of the stack's region: mov dword [0x7fe0fffc], UNITS; push 0x7fe0fffc; call [slot].
    uint32_t wprintf_slot = 0x10000 + program.import_slot("wprintf");
    auto format_to_the_end = [](const std::string& units, uint32_t slot) {
        return "\xc7\x05\xfc\xff\xe0\x7f"s + units + "\x68\xfc\xff\xe0\x7f\xff\x15"s +
               std::string(reinterpret_cast<char*>(&slot), 4);
    };
    // The entry's address as the trace writes it, and the one after it.
    uint32_t entry = 0x10000 + program.rva_at(16);
    char at[2][16];
    std::snprintf(at[0], sizeof at[0], "0x%08x", entry);
    std::snprintf(at[1], sizeof at[1], "0x%08x", entry + 1);
    const std::string start = std::string(at[0]) + " (_fwupgrade_device_start+0x0)";
    const std::pair<std::string, std::string> cases[] = {
        {std::string("\x64\xa1\0\0\0\0", 6), "CPU fault a use of the FS segment by the instruction at " + start},
        {std::string("\x65\x8b\x05\x10\0\0\0", 7), "CPU fault a use of the GS segment by the instruction at " + start},
        {"\x0f\x0b", "CPU fault an invalid instruction at " + start},
        {"\x89\xe0\xff\xe0", "CPU fault execution outside the program's code at 0x7fd"},
        {std::string("\xa1\x10\0\0\0", 5), "CPU fault a read of unmapped memory of 4 bytes at 0x00000010 by the instruction at " + start},
        {"\xe8\xfb\xff\xff\xff", "CPU fault a stack overflow into the guard page of 4 bytes at 0x7fbffffc"},
        {"\xcc", "CPU fault interrupt 3 raised by the instruction before " + std::string(at[1])},
        {call_printf, "printf fault argument 1 0x00000010 (1 bytes) outside the guest's memory"},
        {into_printf(1), "CPU fault execution inside COREDLL.dll (printf+1) at 0x"},
        {into_printf(2), "CPU fault execution inside COREDLL.dll (printf+2) at 0x"},
        {format_to_the_end("AAAA", printf_slot), "printf fault argument 1 0x7fe0fffc (5 bytes) outside the guest's memory"},
        {format_to_the_end("A\0A\0"s, wprintf_slot), "wprintf fault argument 1 0x7fe0fffc (6 bytes) outside the guest's memory"},
    };
    TempDevice programs;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.second);
        Patched faulting = program;
        faulting.put(faulting.offset_of(faulting.rva_at(16)), c.first.data(), c.first.size());
        TempDevice device;
        RunResult run = device.run(CE_RUN, {faulting.write(programs.root(), "faulting.exe")});
        EXPECT_EQ(run.status, 3);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(device.trace().rfind(c.second, 0), 0u) << device.trace();
    }
}

TEST(FaultOnTheCpu, AWriteToTheProgramsOwnCodeEndsTheRunNamingTheAddress)
{
    SKIP_WITHOUT_RUNNER();
    TempDevice device;
    RunResult run = device.run(CE_RUN, {device_build("tests/device/tools/writes_own_code.exe")});
    EXPECT_EQ(run.status, 3);
    std::vector<std::string> trace = lines_of(device.trace());
    ASSERT_EQ(trace.size(), 1u);
    EXPECT_TRUE(std::regex_search(
        trace[0], std::regex("^CPU fault a write to read-only memory of 1 bytes at 0x000[0-9a-f]{5} \\(_WinMain\\+0x0\\) by ")))
        << trace[0];
}

}  // namespace
