// Whole runs on the shared registry fixtures of tests/fixtures/, each copied
// as the device's registry.reg: the files that Wine's registry importer loads
// for the conformance tests of the Windows build, in the two forms of the
// Windows registry editor.
#include <gtest/gtest.h>

#include "device_fixture.h"
#include "transcript.h"

namespace {

// What one LAN shows: the first line of its kept settings file, then the five
// text values as the report prints them and the file holds them.
struct Lan {
    std::string dhcp;
    std::string values[5];
};

struct Fixture {
    const char* name;
    const char* file;
    Lan lans[6];
};

void PrintTo(const Fixture& fixture, std::ostream* out)
{
    *out << fixture.file;
}

std::string digits(size_t count)
{
    std::string text;
    for (size_t i = 0; i < count; ++i) {
        text += static_cast<char>('0' + (i + 1) % 10);
    }
    return text;
}

const Fixture FIXTURES[] = {
    {"Regedit4", "regedit4.reg",
     {
         {"N", {"192.168.3.127", "255.255.255.0", "192.168.3.1", "192.168.3.10", "192.168.3.12"}},
         {"Y", {"0.0.0.0", "0.0.0.0", "", "", ""}},
         {"N", {"10.0.0.3", "255.0.0.0", "10.0.0.1", "", ""}},
         {"N", {"", "", "", "", ""}},
         // 129 characters and the terminator are 260 bytes; the DNS of 130 is not read.
         {"N", {digits(129), "255.255.0.0", "", "", "172.16.0.44"}},
         // EnableDHCP stored as one byte: 1.
         {"Y", {"172.17.0.6", "", "", "172.17.0.1", ""}},
     }},
    {"Regedit5Utf16", "regedit5-utf16.reg",
     {
         {"Y", {"0.0.0.0", "0.0.0.0", "", "10.1.0.53", ""}},
         {"N", {"192.168.4.20", "255.255.255.0", "192.168.4.1", "192.168.4.10", "192.168.4.11"}},
         // EnableDHCP as two bytes of binary data: 1.
         {"Y", {"10.0.3.30", "", "", "", ""}},
         {"N", {"", "", "", "", ""}},
         // Multi-strings of 260 bytes (read whole, its first string shown) and 262.
         {"N", {"10.5.0.1", "", "", "", ""}},
         // Texts stored without a terminator get one on import: 129
         // characters make 260 bytes and are read, 130 make 262 and are not.
         {"N", {"172.17.0.6", "", "", "", digits(129)}},
     }},
};

std::string report_of(const Fixture& fixture)
{
    std::string report = "lan:6\n";
    for (int n = 1; n <= 6; ++n) {
        report += lan_block(n, fixture.lans[n - 1].values);
    }
    return report;
}

std::string kept_file(const Lan& lan)
{
    std::string file = lan.dhcp + "\n";
    for (const std::string& value : lan.values) {
        file += value + "\n";
    }
    return file;
}

std::string default_file(int n)
{
    return "0\n192.168." + std::to_string(n + 2) + ".127\n255.255.255.0\n\n\n\n";
}

struct RegistryFixturesTest : ::testing::TestWithParam<Fixture> {
    TempDevice device;
    void SetUp() override
    {
        device.set_driver("accept");
        device.write("registry.reg", read_file(std::string(FIXTURE_DIR) + "/" + GetParam().file));
    }
};

TEST_P(RegistryFixturesTest, KeptSettingsAreTheReportedOnes)
{
    const Fixture& fixture = GetParam();
    RunResult run = device.run(TOOL_1, {"-s"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, installed_transcript(1) + report_of(fixture) + CARRY_OVER_QUESTION + REBOOT_QUESTION);
    for (int n = 1; n <= 6; ++n) {
        EXPECT_EQ(device.read("root/lan" + std::to_string(n)), kept_file(fixture.lans[n - 1])) << "lan" << n;
    }
}

TEST_P(RegistryFixturesTest, DefaultsReplaceTheKeptSettings)
{
    device.run(TOOL_1, {"-s"});
    RunResult run = device.run(TOOL_1, {}, typed("yn"));
    EXPECT_EQ(run.out, installed_transcript(1) + report_of(GetParam()) + CARRY_OVER_QUESTION + REBOOT_QUESTION);
    for (int n = 1; n <= 6; ++n) {
        EXPECT_EQ(device.read("root/lan" + std::to_string(n)), default_file(n)) << "lan" << n;
    }
}

INSTANTIATE_TEST_SUITE_P(Fixtures, RegistryFixturesTest, ::testing::ValuesIn(FIXTURES),
                         [](const ::testing::TestParamInfo<Fixture>& info) { return std::string(info.param.name); });

// The reads at the 260-byte budget, as the registry answers them.
TEST(RegistryFixtureBoundaries, DataOverTheBudgetIsAskedForAndNotRead)
{
    const std::pair<const char*, std::vector<std::string>> cases[] = {
        {"regedit4.reg",
         {"RegQueryValueExW HKEY_LOCAL_MACHINE\\Comm\\PCI\\RTL81391\\Parms\\TcpIp IpAddress 260 ok REG_SZ 260",
          "RegQueryValueExW HKEY_LOCAL_MACHINE\\Comm\\PCI\\RTL81391\\Parms\\TcpIp DNS 260 failed ERROR_MORE_DATA REG_SZ 262",
          "RegQueryValueExW HKEY_LOCAL_MACHINE\\Comm\\PCI\\RTL81392\\Parms\\TcpIp EnableDHCP 4 ok REG_DWORD 1"}},
        {"regedit5-utf16.reg",
         {"RegQueryValueExW HKEY_LOCAL_MACHINE\\Comm\\PCI\\RTL81391\\Parms\\TcpIp IpAddress 260 ok REG_MULTI_SZ 260",
          "RegQueryValueExW HKEY_LOCAL_MACHINE\\Comm\\PCI\\RTL81391\\Parms\\TcpIp DNS 260 failed ERROR_MORE_DATA REG_MULTI_SZ 262",
          "RegQueryValueExW HKEY_LOCAL_MACHINE\\Comm\\PCI\\RTL81392\\Parms\\TcpIp DNS 260 failed ERROR_MORE_DATA REG_SZ 262",
          "RegQueryValueExW HKEY_LOCAL_MACHINE\\Comm\\PCI\\RTL81392\\Parms\\TcpIp WINS 260 ok REG_SZ 260",
          "RegQueryValueExW HKEY_LOCAL_MACHINE\\Comm\\PCI\\RTCENIC3\\Parms\\TcpIp EnableDHCP 4 ok REG_BINARY 2"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        TempDevice device;
        device.set_driver("accept");
        device.write("registry.reg", read_file(std::string(FIXTURE_DIR) + "/" + c.first));
        device.run(TOOL_1, {"-s"});
        std::string trace = device.trace();
        for (const std::string& line : c.second) {
            EXPECT_NE(trace.find(line + "\n"), std::string::npos) << line;
        }
    }
}

}  // namespace
