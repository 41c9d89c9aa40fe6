// Whole runs through the settings report and the settings files, on devices
// whose registry files are written as people write them.
#include <gtest/gtest.h>

#include <filesystem>

#include "device_fixture.h"
#include "transcript.h"

namespace {

// A platform-build registry: LAN 1 fixed, LAN 2 on DHCP, LAN 3 with
// multi-strings, LAN 4 missing, LAN 5 and 6 on the RTL8139 driver.
const std::string PLATFORM_REGISTRY =
    "; network settings\n"
    "[HKEY_LOCAL_MACHINE\\Comm\\PCI\\RTCENIC1\\Parms\\TcpIp]\n"
    "    \"EnableDHCP\"=dword:0\n"
    "    \"IpAddress\"=\"192.168.3.127\"\n"
    "    \"Subnetmask\"=\"255.255.255.0\"\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\Comm\\PCI\\RTCENIC2\\Parms\\TcpIp]\n"
    "    \"EnableDHCP\"=dword:1\n"
    "    \"IpAddress\"=multi_sz:\"0.0.0.0\"\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\Comm\\PCI\\RTCENIC3\\Parms\\TcpIp]\n"
    "    \"EnableDHCP\"=dword:2\n"
    "    \"IpAddress\"=multi_sz:\"10.0.0.3\",\"10.0.0.4\"\n"
    "    \"Subnetmask\"=multi_sz:\"255.0.0.0\"\n"
    "    \"DefaultGateway\"=multi_sz:\"10.0.0.1\"\n"
    "    \"DNS\"=multi_sz:\"10.0.0.53\",\"10.0.1.53\"\n"
    "    \"WINS\"=multi_sz:\"10.0.0.44\"\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\Comm\\PCI\\RTL81391\\Parms\\TcpIp]\n"
    "    \"EnableDHCP\"=dword:1\n"
    "    \"IpAddress\"=\"172.16.0.5\"\n"
    "[HKEY_LOCAL_MACHINE\\Comm\\PCI\\RTL81392\\Parms\\TcpIp]\n"
    "    \"IpAddress\"=\"172.17.0.6\"\n"
    "; not one of the six\n"
    "[HKEY_LOCAL_MACHINE\\Comm\\PCI\\RTL81393\\Parms\\TcpIp]\n"
    "    \"IpAddress\"=\"172.18.0.7\"\n";

const std::string PLATFORM_REPORT =
    "lan:6\n" + lan_block(1, {"192.168.3.127", "255.255.255.0", "", "", ""}) +
    lan_block(2, {"0.0.0.0", "", "", "", ""}) +
    lan_block(3, {"10.0.0.3", "255.0.0.0", "10.0.0.1", "10.0.0.53", "10.0.0.44"}) +
    lan_block(4, {"", "", "", "", ""}) + lan_block(5, {"172.16.0.5", "", "", "", ""}) +
    lan_block(6, {"172.17.0.6", "", "", "", ""});

const std::string KEPT[6] = {
    "N\n192.168.3.127\n255.255.255.0\n\n\n\n",
    "Y\n0.0.0.0\n\n\n\n\n",
    "N\n10.0.0.3\n255.0.0.0\n10.0.0.1\n10.0.0.53\n10.0.0.44\n",
    "N\n\n\n\n\n\n",
    "Y\n172.16.0.5\n\n\n\n\n",
    "N\n172.17.0.6\n\n\n\n\n",
};

std::string defaults(int n)
{
    return "0\n192.168." + std::to_string(n + 2) + ".127\n255.255.255.0\n\n\n\n";
}

struct NetworkRunTest : ::testing::Test {
    TempDevice device;
    void SetUp() override
    {
        device.set_driver("accept");
        device.write("registry.reg", PLATFORM_REGISTRY);
    }
    void expect_kept()
    {
        for (int n = 1; n <= 6; ++n) {
            EXPECT_EQ(device.read("root/lan" + std::to_string(n)), KEPT[n - 1]) << "lan" << n;
        }
        EXPECT_FALSE(device.exists("root/lan7"));
    }
    void expect_defaults()
    {
        for (int n = 1; n <= 6; ++n) {
            EXPECT_EQ(device.read("root/lan" + std::to_string(n)), defaults(n)) << "lan" << n;
        }
    }
};

TEST_F(NetworkRunTest, UnattendedRunsReportAndKeepTheCurrentSettings)
{
    RunResult run = device.run(TOOL_1, {"-s"}, typed("", true));
    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, installed_transcript(1) + PLATFORM_REPORT + CARRY_OVER_QUESTION + REBOOT_QUESTION);
    expect_kept();
}

TEST_F(NetworkRunTest, AnsweringNoWritesTheDefaultsOverEarlierFiles)
{
    device.run(TOOL_1, {"-s"});
    expect_kept();
    // Longer than any settings file: what is left must be the new file only.
    device.write("root/lan6", std::string(500, '#'));
    RunResult run = device.run(TOOL_1, {}, typed("y\r\nxqz N"));
    EXPECT_EQ(run.out, installed_transcript(1) + PLATFORM_REPORT + CARRY_OVER_QUESTION + REBOOT_QUESTION);
    expect_defaults();
    EXPECT_EQ(device.read("root/lan6"), "0\n192.168.8.127\n255.255.255.0\n\n\n\n");
}

TEST_F(NetworkRunTest, LettersOtherThanTheAnswersAreSkipped)
{
    // "y" answers the first question; "es", the line end and "q" are
    // skipped; "Y" keeps the settings; "n" declines the restart.
    RunResult run = device.run(TOOL_1, {}, typed("yes\nqYn", true));
    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(run.out, installed_transcript(1) + PLATFORM_REPORT + CARRY_OVER_QUESTION + REBOOT_QUESTION);
    expect_kept();
}

TEST_F(NetworkRunTest, WithoutAnAnswerTheQuestionWaits)
{
    // After "yes" and a line end nothing answers the carry-over question.
    RunResult run = device.run(TOOL_1, {}, RunOptions{"yes\n", true, 2});
    EXPECT_TRUE(run.timed_out);
    EXPECT_EQ(run.out, installed_transcript(1) + PLATFORM_REPORT + CARRY_OVER_QUESTION);
    EXPECT_FALSE(device.exists("root/lan1"));
}

TEST_F(NetworkRunTest, TheEndOfInputKeepsTheCurrentSettings)
{
    RunResult run = device.run(TOOL_1, {}, typed("y\n"));
    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(run.out, installed_transcript(1) + PLATFORM_REPORT + CARRY_OVER_QUESTION + REBOOT_QUESTION);
    expect_kept();
}

TEST_F(NetworkRunTest, TheReportAndTheFilesReadEachLanOnceInTheSameOrder)
{
    device.run(TOOL_1, {"-s"});
    std::vector<std::string> registry_calls;
    for (const std::string& line : lines_of(device.trace())) {
        if (line.rfind("Reg", 0) == 0 && line.find("RTCENIC3") != std::string::npos) {
            registry_calls.push_back(line.substr(0, line.find(" ok")));
        }
    }
    const std::string key = "HKEY_LOCAL_MACHINE\\Comm\\PCI\\RTCENIC3\\Parms\\TcpIp";
    std::vector<std::string> report = {"RegOpenKeyExW HKEY_LOCAL_MACHINE Comm\\PCI\\RTCENIC3\\Parms\\TcpIp 0 0"};
    for (const char* name : {"IpAddress", "Subnetmask", "DefaultGateway", "DNS", "WINS"}) {
        report.push_back("RegQueryValueExW " + key + " " + name + " 260");
    }
    report.push_back("RegCloseKey " + key);
    std::vector<std::string> expected = report;
    expected.insert(expected.end(), report.begin(), report.begin() + 1);
    expected.push_back("RegQueryValueExW " + key + " EnableDHCP 4");
    expected.insert(expected.end(), report.begin() + 1, report.end());
    EXPECT_EQ(registry_calls, expected);
}

TEST_F(NetworkRunTest, RegistryEditorExportsWorkAsWell)
{
    std::u16string exported =
        u"\uFEFFWindows Registry Editor Version 5.00\r\n\r\n"
        u"[HKEY_LOCAL_MACHINE\\Comm\\PCI\\RTL81392\\Parms\\TcpIp]\r\n"
        u"\"EnableDHCP\"=dword:00000001\r\n"
        u"\"IpAddress\"=hex(7):31,00,2e,00,32,00,2e,00,33,00,2e,00,34,00,00,00,35,00,00,00,\\\r\n"
        u"  00,00\r\n"
        u"\"DNS\"=\"\u00fcber.example\"\r\n\r\n";
    std::string bytes;
    for (char16_t c : exported) {
        bytes += static_cast<char>(c & 0xFF);
        bytes += static_cast<char>(c >> 8);
    }
    device.write("registry.reg", bytes);
    RunResult run = device.run(TOOL_1, {"-s"});
    std::string report = "lan:6\n";
    for (int n = 1; n <= 5; ++n) {
        report += lan_block(n, {"", "", "", "", ""});
    }
    report += lan_block(6, {"1.2.3.4", "", "", "\xC3\xBC" "ber.example", ""});
    EXPECT_EQ(run.out, installed_transcript(1) + report + CARRY_OVER_QUESTION + REBOOT_QUESTION);
    EXPECT_EQ(device.read("root/lan6"), "Y\n1.2.3.4\n\n\n\xC3\xBC" "ber.example\n\n");
    EXPECT_EQ(device.read("root/lan5"), "N\n\n\n\n\n\n");
}

TEST_F(NetworkRunTest, AMalformedRegistryStopsTheEmulationBeforeTheTool)
{
    device.write("root/NK.bin", OLD_IMAGE);
    device.write("registry.reg", "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Comm]\r\n\"IpAddress\"=\"1.2.3.4\r\n");
    RunResult run = device.run(TOOL_1, {"-s"});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.rfind(device.path() + "/registry.reg:4: ", 0), 0u) << run.err;
    EXPECT_EQ(lines_of(run.err).size(), 1u);
    EXPECT_EQ(device.files(), (std::map<std::string, std::string>{{"NK.bin", OLD_IMAGE}}));
    EXPECT_FALSE(device.exists("trace.log"));
}

TEST_F(NetworkRunTest, TheSampleDeviceShowsEveryKindOfLan)
{
    TempDevice sample;
    std::filesystem::copy(SAMPLE_DEVICE, sample.path(), std::filesystem::copy_options::recursive |
                                                            std::filesystem::copy_options::overwrite_existing);
    RunResult run = sample.run(TOOL_1, {"-s"});
    EXPECT_NE(run.out.find(lan_block(1, {"192.168.3.127", "255.255.255.0", "192.168.3.1", "192.168.3.10", ""})),
              std::string::npos);
    EXPECT_NE(run.out.find(lan_block(4, {"", "", "", "", ""})), std::string::npos);
    EXPECT_EQ(sample.read("root/lan2").substr(0, 2), "Y\n");
    EXPECT_EQ(sample.read("root/lan4"), "N\n\n\n\n\n\n");
}

}  // namespace
