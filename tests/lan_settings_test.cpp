// Reading the LAN settings through the emulated registry, as the tool does.
#include <gtest/gtest.h>

#include "device_fixture.h"
#include "emulator.h"
#include "../network/lan_settings.h"

namespace {

struct LanSettingsTest : ::testing::Test {
    TempDevice device;
    void load(const std::string& registry)
    {
        device.write("registry.reg", registry);
        ASSERT_EQ(ce::boot(device.path()), "");
    }
    // The text of one value of LAN 1, or "<failed>".
    std::string text_of(const char16_t* name, int lan = 1)
    {
        LanKey key = open_lan_key(lan);
        WCHAR text[LAN_TEXT_CHARS];
        for (WCHAR& c : text) {
            c = 'x';
        }
        bool read = read_lan_text(key, name, text);
        close_lan_key(key);
        return read ? ce::to_utf8(text) : "<failed>";
    }
    std::string dhcp_of(int lan = 1)
    {
        LanKey key = open_lan_key(lan);
        DWORD number = 0xDEADBEEF;
        bool read = read_lan_dhcp(key, &number);
        close_lan_key(key);
        return read ? std::to_string(number) : "<failed>";
    }
};

const std::string LAN1 = "[HKEY_LOCAL_MACHINE\\Comm\\PCI\\RTCENIC1\\Parms\\TcpIp]\n";

std::string hex_bytes(size_t count, const std::string& byte)
{
    std::string list;
    for (size_t i = 0; i < count; ++i) {
        list += (i ? "," : "") + byte;
    }
    return list;
}

TEST(LanKeyPath, LanNumbersMapOntoTheTwoDrivers)
{
    WCHAR path[LAN_TEXT_CHARS];
    const std::pair<int, const char*> mapped[] = {
        {1, "Comm\\PCI\\RTCENIC1\\Parms\\TcpIp"}, {4, "Comm\\PCI\\RTCENIC4\\Parms\\TcpIp"},
        {5, "Comm\\PCI\\RTL81391\\Parms\\TcpIp"}, {6, "Comm\\PCI\\RTL81392\\Parms\\TcpIp"},
        {12, "Comm\\PCI\\RTL81398\\Parms\\TcpIp"}};
    for (const auto& m : mapped) {
        ASSERT_TRUE(lan_key_path(m.first, path));
        EXPECT_EQ(ce::to_utf8(path), m.second);
    }
    for (int outside : {0, -1, 13, 1000}) {
        EXPECT_FALSE(lan_key_path(outside, path)) << outside;
    }
}

TEST_F(LanSettingsTest, TheTextBudgetIs260BytesTerminatorIncluded)
{
    std::string chars129(129, '7');
    load(LAN1 + "\"IpAddress\"=\"" + chars129 + "\"\n" + "\"DNS\"=\"" + chars129 + "8\"\n" +
         "\"WINS\"=hex(1):" + hex_bytes(260, "41") + "\n" +  // 130 wide characters, no terminator
         "\"DefaultGateway\"=hex(1):" + hex_bytes(3, "41") + "\n");
    EXPECT_EQ(text_of(u"IpAddress"), chars129);
    EXPECT_EQ(text_of(u"DNS"), "<failed>");
    EXPECT_EQ(text_of(u"WINS"), ce::to_utf8(std::u16string(130, u'\u4141')));
    EXPECT_EQ(text_of(u"DefaultGateway"), ce::to_utf8(u"\u4141A"));
    EXPECT_NE(device.trace().find("RegQueryValueExW HKEY_LOCAL_MACHINE\\Comm\\PCI\\RTCENIC1\\Parms\\TcpIp DNS 260 "
                                  "failed ERROR_MORE_DATA REG_SZ 262\n"),
              std::string::npos);
}

TEST_F(LanSettingsTest, AnOddLastByteIsACharacterOfItsOwn)
{
    load(LAN1 + "\"IpAddress\"=hex(1):61,00,62,00,63\n" + "\"DNS\"=hex(1):" + hex_bytes(129, "41,00") + ",42\n" +
         "\"WINS\"=hex(1):" + hex_bytes(130, "41,00") + ",42\n");
    EXPECT_EQ(text_of(u"IpAddress"), "abc");
    EXPECT_EQ(text_of(u"DNS"), std::string(129, 'A') + "B");  // 259 bytes: 130 characters
    EXPECT_EQ(text_of(u"WINS"), "<failed>");                  // 261 bytes: more than the budget
}

TEST_F(LanSettingsTest, TextEndsAtItsFirstZeroSoMultiStringsGiveTheirFirst)
{
    load(LAN1 + "\"IpAddress\"=multi_sz:\"192.168.3.127\",\"10.0.0.1\"\n\"DNS\"=multi_sz:\"\",\"10.0.0.2\"\n" +
         "\"WINS\"=dword:00343331\n\"Subnetmask\"=\"\"\n");
    EXPECT_EQ(text_of(u"IpAddress"), "192.168.3.127");
    EXPECT_EQ(text_of(u"DNS"), "");
    EXPECT_EQ(text_of(u"WINS"), ce::to_utf8(u"\u3331\u0034"));  // the four bytes read as wide text
    EXPECT_EQ(text_of(u"Subnetmask"), "");
    EXPECT_EQ(text_of(u"DefaultGateway"), "<failed>");
    EXPECT_EQ(text_of(u"ipaddress"), "192.168.3.127");
}

TEST_F(LanSettingsTest, DhcpIsAThirtyTwoBitNumberWithNothingStray)
{
    load(LAN1 + "\"EnableDHCP\"=dword:0\n" +
         "[HKEY_LOCAL_MACHINE\\Comm\\PCI\\RTCENIC2\\Parms\\TcpIp]\n\"EnableDHCP\"=dword:1\n" +
         "[HKEY_LOCAL_MACHINE\\Comm\\PCI\\RTCENIC3\\Parms\\TcpIp]\n\"EnableDHCP\"=dword:00000002\n" +
         "[HKEY_LOCAL_MACHINE\\Comm\\PCI\\RTCENIC4\\Parms\\TcpIp]\n\"EnableDHCP\"=hex:01\n" +
         "[HKEY_LOCAL_MACHINE\\Comm\\PCI\\RTL81391\\Parms\\TcpIp]\n\"EnableDHCP\"=hex:01,00,00,00,00\n" +
         "[HKEY_LOCAL_MACHINE\\Comm\\PCI\\RTL81392\\Parms\\TcpIp]\n\"IpAddress\"=\"1.2.3.4\"\n");
    EXPECT_EQ(dhcp_of(1), "0");
    EXPECT_EQ(dhcp_of(2), "1");
    EXPECT_EQ(dhcp_of(3), "2");
    EXPECT_EQ(dhcp_of(4), "1");
    EXPECT_EQ(dhcp_of(5), "<failed>");
    EXPECT_EQ(dhcp_of(6), "<failed>");
    EXPECT_EQ(dhcp_of(7), "<failed>");
}

TEST_F(LanSettingsTest, AMissingKeyFailsEveryReadWithoutAQuery)
{
    load(LAN1 + "\"IpAddress\"=\"1.2.3.4\"\n");
    LanKey key = open_lan_key(2);
    EXPECT_FALSE(key.open);
    WCHAR text[LAN_TEXT_CHARS];
    DWORD number = 5;
    EXPECT_FALSE(read_lan_text(key, u"IpAddress", text));
    EXPECT_EQ(text[0], 0);
    EXPECT_FALSE(read_lan_dhcp(key, &number));
    close_lan_key(key);
    EXPECT_FALSE(open_lan_key(0).open);
    EXPECT_EQ(device.trace(),
              "RegOpenKeyExW HKEY_LOCAL_MACHINE Comm\\PCI\\RTCENIC2\\Parms\\TcpIp 0 0 failed ERROR_FILE_NOT_FOUND\n");
}

TEST_F(LanSettingsTest, TheEmulatedRegistryAnswersAsTheRealOne)
{
    load(LAN1 + "\"IpAddress\"=multi_sz:\"a\",\"b\"\n@=\"default\"\n");
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"comm\\pci\\rtcenic1\\PARMS\\tcpip", 0, 0, &key), ERROR_SUCCESS);
    DWORD type = 0, size = 0;
    EXPECT_EQ(RegQueryValueExW(key, u"IpAddress", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
    EXPECT_EQ(size, 10u);  // "a\0b\0\0"
    BYTE small[4] = {9, 9, 9, 9};
    size = sizeof small;
    EXPECT_EQ(RegQueryValueExW(key, u"IpAddress", nullptr, &type, small, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 10u);
    EXPECT_EQ(RegQueryValueExW(key, nullptr, nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 16u);  // "default" and its terminator
    DWORD reserved = 0;
    EXPECT_EQ(RegQueryValueExW(key, u"IpAddress", &reserved, &type, nullptr, &size), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegQueryValueExW(key, u"Missing", nullptr, &type, small, &size), ERROR_FILE_NOT_FOUND);
    HKEY parms = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Comm\\PCI\\RTCENIC1\\Parms", 0, 0, &parms), ERROR_SUCCESS);
    HKEY below = nullptr;
    EXPECT_EQ(RegOpenKeyExW(parms, u"TcpIp", 0, 0, &below), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExW(below, u"IpAddress", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    HKEY none = reinterpret_cast<HKEY>(1);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"\\Comm", 0, 0, &none), 161);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(RegCloseKey(below), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(parms), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegQueryValueExW(key, u"IpAddress", nullptr, &type, nullptr, &size), ERROR_INVALID_HANDLE);
}

TEST_F(LanSettingsTest, AMalformedRegistryFileStopsTheBootWithItsLine)
{
    device.write("registry.reg", "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Comm]\n\"x\"=dword:xyz\n");
    EXPECT_EQ(ce::boot(device.path()).rfind(device.path() + "/registry.reg:4: ", 0), 0u);
}

}  // namespace
