// Registry sets in the platform build's form: registry.reg, the files it
// includes and registry.env. Each either boots, and the tool reports what
// the selected blocks hold, exactly as it does from the REGEDIT4 file that
// ce-registry prints for the set; or is refused naming the file and line.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "device_fixture.h"
#include "transcript.h"

namespace fs = std::filesystem;

namespace {

struct Lan {
    int number;
    std::string values[5];  // as the report shows them
};

// A file's content, or what stands in its place: "<folder>", "<fifo>",
// "<link>" (a link to a folder holding x.reg) or "<tree>" (the example
// tree of tests/fixtures/platform-build, at the device folder).
using Files = std::vector<std::pair<std::string, std::string>>;

struct Set {
    const char* name;
    Files files;
    std::vector<Lan> lans;   // for a set that boots
    std::string error;       // for one refused: after the device folder and "/"; "@/" stands for it
};

void PrintTo(const Set& set, std::ostream* out)
{
    *out << set.name;
}

// Each file includes the next; the last is past the deepest nesting.
Files chain(int files)
{
    Files chain;
    for (int i = 1; i < files; ++i) {
        chain.push_back({i == 1 ? "registry.reg" : std::to_string(i) + ".reg", "#include \"" + std::to_string(i + 1) + ".reg\"\n"});
    }
    chain.push_back({std::to_string(files) + ".reg", ""});
    return chain;
}

const std::string NINE_MIB = "; " + std::string(9 << 20, 'x') + "\n";

const Set SETS[] = {
    {"PlatformBuildTree", {{"<tree>", ""}},
     {{5, {"172.16.0.50", "255.255.255.0", "172.16.0.1", "172.16.0.1", ""}}, {6, {"0.0.0.0", "0.0.0.0", "", "", ""}}}},
    {"ValuesNegationAndNesting",
     {{"registry.env", "rem values compare exactly\nMode=fixed\nset ports=2 \nGone=1\nGone=\n"},
      {"registry.reg",
       "[HKEY_LOCAL_MACHINE\\Comm\\PCI\\RTCENIC1\\Parms\\TcpIp]\n"
       "IF MODE = fixed\n\"IpAddress\"=\"10.0.0.1\"\nENDIF\n"
       "IF mode = FIXED\n\"IpAddress\"=\"case differs\"\nENDIF\n"
       "IF MODE = dhcp !\n  \"Subnetmask\"=\"255.0.0.0\"\n"
       "  IF GONE\n  \"DNS\"=\"unset by Gone=\"\n  ENDIF\n"
       "  IF GONE !\n  \"DNS\"=\"10.0.0.53\"\n  ENDIF\nENDIF\n"
       "IF PORTS = 2\n\"WINS\"=\"the value is 2 and a blank\"\nENDIF\n"
       "IF UNSET\n  IF MODE\n  \"DefaultGateway\"=\"in a block not selected\"\n  ENDIF\n"
       "  #include \"never read.reg\"\nENDIF\n"}},
     {{1, {"10.0.0.1", "255.0.0.0", "", "10.0.0.53", ""}}}},
    {"IncludedLinesStandInPlace",
     {{"registry.reg",
       "[HKEY_LOCAL_MACHINE\\Comm\\PCI\\RTCENIC2\\Parms\\TcpIp]\n#include \"sub/values.reg\"\n\"DNS\"=\"after\"\n"
       "IF NOTHING_IS_SET !\n#include \"\\sub\\.\\more\\..\\more\\gateway.reg\"\nENDIF\n"},
      {"sub/values.reg", "\"IpAddress\"=\"1.2.3.4\"\n#include \"more\\gateway.reg\"\n"},
      {"sub/more/gateway.reg", "\"DefaultGateway\"=\"1.2.3.1\"\n[HKEY_LOCAL_MACHINE\\Comm\\PCI\\RTCENIC3\\Parms\\TcpIp]\n"}},
     {{2, {"1.2.3.4", "", "1.2.3.1", "", ""}}, {3, {"", "", "1.2.3.1", "after", ""}}}},

    {"SixteenFilesDeep", chain(16), {}},

    {"IfNeverClosed", {{"registry.reg", "#include \"a.reg\"\n"}, {"a.reg", "IF A\nIF B\nENDIF\n"}}, {},
     "a.reg:1: this IF is never closed: no ENDIF for it in its file"},
    {"EndifOfAnotherFile", {{"registry.reg", "IF A !\n#include \"a.reg\"\nENDIF\n"}, {"a.reg", "\nENDIF\n"}}, {},
     "a.reg:2: an ENDIF with no IF open in this file"},
    {"IfWithoutName", {{"registry.reg", "IF = 1\n"}}, {},
     "registry.reg:1: an IF line is IF NAME, IF NAME !, IF NAME = value or IF NAME = value !, NAME of letters, digits and _"},
    {"IfWithTwoNames", {{"registry.reg", "IF A\nIF A B\nENDIF\nENDIF\n"}}, {},
     "registry.reg:2: an IF line is IF NAME, IF NAME !, IF NAME = value or IF NAME = value !, NAME of letters, digits and _"},
    {"IncludeMissing", {{"registry.reg", "\n#include \"drivers\\x.reg\"\n"}, {"drivers", "<folder>"}}, {},
     "registry.reg:2: @/drivers/x.reg, which this line includes, does not exist"},
    {"IncludeAFolder", {{"registry.reg", "#include \"drivers\"\n"}, {"drivers", "<folder>"}}, {},
     "registry.reg:1: @/drivers is a folder: an included registry file must be a regular file"},
    {"IncludeAFifo", {{"registry.reg", "#include \"x.reg\"\n"}, {"x.reg", "<fifo>"}}, {},
     "registry.reg:1: @/x.reg is a FIFO: an included registry file must be a regular file"},
    {"IncludeThroughALink", {{"registry.reg", "#include \"bsp/x.reg\"\n"}, {"bsp", "<link>"}}, {},
     "registry.reg:1: @/bsp is a symbolic link: an include is read only through folders of the device folder"},
    {"UndefinedName", {{"registry.env", "A=1\n"}, {"registry.reg", "#include \"$(A)$(B)\\x.reg\"\n"}}, {},
     "registry.reg:1: $(B) in the #include path is not set in registry.env"},
    {"ClimbsOutOfTheFolder", {{"registry.reg", "#include \"sub\\a.reg\"\n"}, {"sub/a.reg", "#include \"..\\..\\x.reg\"\n"}},
     {}, "sub/a.reg:1: an #include path that climbs above the device folder: includes are read only inside it"},
    {"ADrive", {{"registry.reg", "#include \"C:\\WINCE600\\platform.reg\"\n"}}, {},
     "registry.reg:1: an #include path with a drive (C:) names a place outside the device folder: includes are read "
     "only inside it, and a path that begins with \\ starts at the device folder"},
    {"NestedTooDeep", chain(17), {}, "16.reg:1: an #include nested deeper than 16 files"},
    {"ACycle", {{"registry.reg", "#include \"a.reg\"\n"}, {"a.reg", "#include \"sub/b.reg\"\n"}, {"sub/b.reg", "\n#include \"../A.REG\"\n"}},
     {}, "sub/b.reg:2: an include cycle: a.reg includes sub/b.reg includes a.reg"},
    {"MalformedEnvironmentLine", {{"registry.env", "set A=1\nremark\n"}, {"registry.reg", ""}}, {},
     "registry.env:2: a line is NAME=value or set NAME=value, NAME of letters, digits and _; or blank, or a "
     "comment that starts with rem, @rem, ::, ; or #"},
    {"Regedit4HasNoDirectives", {{"registry.reg", "REGEDIT4\nIF A\n"}}, {},
     "registry.reg:2: neither a [key], a \"value\"=..., nor a ; comment"},
    {"IncludedExport", {{"registry.reg", "#include \"x.reg\"\n"}, {"x.reg", "; export\nREGEDIT4\n"}}, {},
     "x.reg:2: an included file holds the platform form, without a REGEDIT4 or \"Windows Registry Editor Version 5.00\" line"},
    {"TooLargeTogether", {{"registry.reg", "#include \"big.reg\"\n#include \"big.reg\"\n"}, {"big.reg", NINE_MIB}}, {},
     "registry.reg:2: the registry's files together are larger than 16 MiB"},
};

void make(const TempDevice& device, const Files& files)
{
    device.set_driver("accept");
    for (const auto& file : files) {
        std::string path = device.path() + "/" + file.first;
        if (file.first == "<tree>") {
            fs::copy(std::string(FIXTURE_DIR) + "/platform-build", device.path(), fs::copy_options::recursive);
        } else if (file.second == "<folder>") {
            device.make_folder(file.first);
        } else if (file.second == "<fifo>") {
            ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
        } else if (file.second == "<link>") {
            device.write("elsewhere/x.reg", "");
            fs::create_directory_symlink(device.path() + "/elsewhere", path);
        } else {
            device.write(file.first, file.second);
        }
    }
}

std::string report_of(const std::vector<Lan>& lans)
{
    std::string report = "lan:6\n";
    for (int n = 1; n <= 6; ++n) {
        const std::string none[5];
        const Lan* lan = nullptr;
        for (const Lan& l : lans) {
            lan = l.number == n ? &l : lan;
        }
        report += lan_block(n, lan != nullptr ? lan->values : none);
    }
    return report;
}

struct RegistrySetTest : ::testing::TestWithParam<Set> {};

TEST_P(RegistrySetTest, BootsAsItsRegedit4FileOrIsRefusedAtItsLine)
{
    const Set& set = GetParam();
    TempDevice device;
    make(device, set.files);
    RunResult run = device.run(TOOL_1, {"-s"});
    RunResult shown = run_program(CE_REGISTRY, {device.path()}, {});
    if (!set.error.empty()) {
        std::string error = set.error;
        for (size_t at; (at = error.find("@/")) != std::string::npos;) {
            error.replace(at, 2, device.path() + "/");
        }
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, device.path() + "/" + error + "\n");
        EXPECT_EQ(device.trace(), "");
        EXPECT_EQ(shown.status, 2);
        EXPECT_EQ(shown.out, "");
        EXPECT_EQ(shown.err, run.err);
        return;
    }
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, installed_transcript(1) + report_of(set.lans) + CARRY_OVER_QUESTION + REBOOT_QUESTION);
    ASSERT_EQ(shown.status, 0) << shown.err;
    EXPECT_EQ(shown.err, "");
    EXPECT_EQ(shown.out.rfind("REGEDIT4\n", 0), 0u);
    TempDevice flat;
    flat.set_driver("accept");
    flat.write("registry.reg", shown.out);
    RunResult again = flat.run(TOOL_1, {"-s"});
    EXPECT_EQ(again.out, run.out);
    EXPECT_EQ(again.err, "");
    EXPECT_EQ(flat.trace(), device.trace());
    EXPECT_EQ(flat.files(), device.files());
}

INSTANTIATE_TEST_SUITE_P(Sets, RegistrySetTest, ::testing::ValuesIn(SETS),
                         [](const ::testing::TestParamInfo<Set>& info) { return std::string(info.param.name); });

}  // namespace
