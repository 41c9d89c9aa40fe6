// Registry files as people write them: exported by the Windows registry
// editor, or taken from a device platform build.
#include <gtest/gtest.h>

#include "emulator.h"
#include "registry_file.h"

namespace {

using ce::Registry;

std::string wide_bytes(const std::u16string& text)
{
    std::string bytes;
    for (char16_t c : text) {
        bytes += static_cast<char>(c & 0xFF);
        bytes += static_cast<char>(c >> 8);
    }
    return bytes;
}

std::string sz(const std::u16string& text)
{
    return wide_bytes(text) + std::string(2, '\0');
}

Registry parsed(const std::string& text)
{
    Registry registry;
    std::string error;
    EXPECT_TRUE(ce::parse_registry(text, registry, error)) << error;
    return registry;
}

const ce::RegistryValue& value(const Registry& registry, const std::u16string& key, const std::u16string& name)
{
    static const ce::RegistryValue none;
    const ce::RegistryKey* k = ce::find_key(registry, ce::fold(key));
    if (k == nullptr) {
        ADD_FAILURE() << "no key " << ce::to_utf8(key);
        return none;
    }
    auto v = k->values.find(ce::fold(name));
    if (v == k->values.end()) {
        ADD_FAILURE() << "no value " << ce::to_utf8(name);
        return none;
    }
    return v->second;
}

const std::u16string TCPIP = u"Comm\\PCI\\RTCENIC1\\Parms\\TcpIp";

TEST(RegistryFile, PlatformBuildFormWithIndentedValuesAndMultiStrings)
{
    Registry r = parsed(
        "; LAN 1\n"
        "[HKEY_LOCAL_MACHINE\\Comm\\PCI\\RTCENIC1\\Parms\\TcpIp]\n"
        "    \"EnableDHCP\"=dword:0\n"
        "    \"IpAddress\"=multi_sz:\"192.168.3.127\",\"10.1.1.1\"\n"
        "    \"DNS\"=multi_sz:\"192.168.3.10\",\\\n"
        "                    \"192.168.3.11\"\n"
        "\t\"Domain\"=\"plant \\\"A\\\" \\\\ north\"   ; trailing comment\n");
    EXPECT_EQ(value(r, TCPIP, u"EnableDHCP").type, 4u);
    EXPECT_EQ(value(r, TCPIP, u"EnableDHCP").data, std::string(4, '\0'));
    EXPECT_EQ(value(r, TCPIP, u"IpAddress").type, 7u);
    EXPECT_EQ(value(r, TCPIP, u"IpAddress").data, sz(u"192.168.3.127") + sz(u"10.1.1.1") + std::string(2, '\0'));
    EXPECT_EQ(value(r, TCPIP, u"dns").data, sz(u"192.168.3.10") + sz(u"192.168.3.11") + std::string(2, '\0'));
    EXPECT_EQ(value(r, TCPIP, u"Domain").type, 1u);
    EXPECT_EQ(value(r, TCPIP, u"Domain").data, sz(u"plant \"A\" \\ north"));
    // Parents exist with their children.
    EXPECT_NE(ce::find_key(r, ce::fold(u"comm\\pci")), nullptr);
    EXPECT_EQ(ce::find_key(r, u""), &r.root);
}

TEST(RegistryFile, RegistryEditorExportInUtf16WithCrLf)
{
    std::u16string text =
        u"\uFEFFWindows Registry Editor Version 5.00\r\n\r\n"
        u"[HKEY_LOCAL_MACHINE\\Comm\\PCI\\RTCENIC1\\Parms\\TcpIp]\r\n"
        u"\"EnableDHCP\"=dword:00000001\r\n"
        u"\"IpAddress\"=hex(7):31,00,30,00,2e,00,30,00,2e,00,30,00,2e,00,31,00,00,00,32,00,\\\r\n"
        u"  00,00,00,00\r\n"
        u"\"Blob\"=hex:de,ad,BE,ef\r\n"
        u"\"Empty\"=hex:\r\n"
        u"@=\"default \u00e9\"\r\n"
        u"[HKEY_CURRENT_USER\\Software\\Other]\r\n"
        u"\"Ignored\"=\"x\"\r\n";
    std::string bytes = wide_bytes(text);
    Registry r = parsed(bytes);
    EXPECT_EQ(value(r, TCPIP, u"ENABLEDHCP").data, std::string("\x01\0\0\0", 4));
    EXPECT_EQ(value(r, TCPIP, u"IpAddress").type, 7u);
    EXPECT_EQ(value(r, TCPIP, u"IpAddress").data, sz(u"10.0.0.1") + sz(u"2") + std::string(2, '\0'));
    EXPECT_EQ(value(r, TCPIP, u"Blob").type, 3u);
    EXPECT_EQ(value(r, TCPIP, u"Blob").data, "\xde\xad\xbe\xef");
    EXPECT_EQ(value(r, TCPIP, u"Empty").data, "");
    EXPECT_EQ(value(r, TCPIP, u"").data, sz(u"default \u00e9"));
    EXPECT_EQ(ce::find_key(r, ce::fold(u"software\\other")), nullptr);
}

TEST(RegistryFile, Regedit4HoldsTextTypesAsEightBitCharacters)
{
    Registry r = parsed(
        "REGEDIT4\n\n"
        "[HKEY_LOCAL_MACHINE\\Comm\\PCI\\RTCENIC1\\Parms\\TcpIp]\n"
        "\"IpAddress\"=hex(7):31,2e,32,00,33,00,00\n"
        "\"Raw\"=hex(3):31,00\n"
        "\"Name\"=hex(1):e9,00\n");
    EXPECT_EQ(value(r, TCPIP, u"IpAddress").data, sz(u"1.2") + sz(u"3") + std::string(2, '\0'));
    EXPECT_EQ(value(r, TCPIP, u"Raw").data, std::string("1\0", 2));
    EXPECT_EQ(value(r, TCPIP, u"Name").data, sz(u"\u00e9"));
}

TEST(RegistryFile, RegistryEditorFilesEndUnterminatedTextWithAZero)
{
    const std::string values =
        "[HKEY_LOCAL_MACHINE\\Comm\\PCI\\RTCENIC1\\Parms\\TcpIp]\r\n"
        "\"Sz\"=hex(1):41,00,42,00\r\n"
        "\"Expand\"=hex(2):41,00\r\n"
        "\"Multi\"=hex(7):61,00,00,00,62,00\r\n"
        "\"Done\"=hex(1):41,00,00,00\r\n"
        "\"Empty\"=hex(1):\r\n"
        "\"Odd\"=hex(1):41,00,42\r\n"
        "\"Binary\"=hex:41,00\r\n";
    Registry v5 = parsed(wide_bytes(u"\uFEFFWindows Registry Editor Version 5.00\r\n\r\n") +
                         wide_bytes(std::u16string(values.begin(), values.end())));
    EXPECT_EQ(value(v5, TCPIP, u"Sz").data, sz(u"AB"));
    EXPECT_EQ(value(v5, TCPIP, u"Expand").data, sz(u"A"));
    EXPECT_EQ(value(v5, TCPIP, u"Multi").data, sz(u"a") + sz(u"b"));
    EXPECT_EQ(value(v5, TCPIP, u"Done").data, sz(u"A"));
    EXPECT_EQ(value(v5, TCPIP, u"Empty").data, "");
    EXPECT_EQ(value(v5, TCPIP, u"Odd").data, std::string("A\0B", 3));
    EXPECT_EQ(value(v5, TCPIP, u"Binary").data, std::string("A\0", 2));

    Registry r4 = parsed(
        "REGEDIT4\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\Comm\\PCI\\RTCENIC1\\Parms\\TcpIp]\r\n"
        "\"Sz\"=hex(1):41,42,43\r\n"
        "\"Multi\"=hex(7):61,00,62\r\n"
        "\"Done\"=hex(7):61,00,00\r\n");
    EXPECT_EQ(value(r4, TCPIP, u"Sz").data, sz(u"ABC"));
    EXPECT_EQ(value(r4, TCPIP, u"Multi").data, sz(u"a") + sz(u"b"));
    EXPECT_EQ(value(r4, TCPIP, u"Done").data, sz(u"a") + std::string(2, '\0'));

    // A platform build's file keeps the bytes as given.
    Registry platform = parsed(values);
    EXPECT_EQ(value(platform, TCPIP, u"Sz").data, wide_bytes(u"AB"));
    EXPECT_EQ(value(platform, TCPIP, u"Multi").data, sz(u"a") + wide_bytes(u"b"));
}

TEST(RegistryFile, LaterLinesReplaceAndRemove)
{
    Registry r = parsed(
        "[HKEY_LOCAL_MACHINE\\A\\B]\n\"x\"=\"1\"\n\"y\"=\"2\"\n"
        "[HKEY_LOCAL_MACHINE\\a\\b]\n\"X\"=\"3\"\n\"y\"=-\n"
        "[HKEY_LOCAL_MACHINE\\A\\C\\D]\n"
        "[-HKEY_LOCAL_MACHINE\\A\\C]\n");
    EXPECT_EQ(value(r, u"A\\B", u"x").data, sz(u"3"));
    EXPECT_EQ(value(r, u"A\\B", u"x").name, u"X");
    ASSERT_NE(ce::find_key(r, ce::fold(u"a\\b")), nullptr);
    EXPECT_EQ(ce::find_key(r, ce::fold(u"a\\b"))->values.count(ce::fold(u"y")), 0u);
    EXPECT_EQ(ce::find_key(r, ce::fold(u"a\\c")), nullptr);
    EXPECT_EQ(ce::find_key(r, ce::fold(u"a\\c\\d")), nullptr);
    EXPECT_EQ(ce::find_key(r, ce::fold(u"a"))->name, u"A");
    EXPECT_EQ(ce::find_key(r, ce::fold(u"a\\b"))->name, u"B");
}

TEST(RegistryFile, EmptyFilesAndUtf8ByteOrderMarks)
{
    EXPECT_TRUE(parsed("").root.subkeys.empty());
    EXPECT_TRUE(parsed("\xEF\xBB\xBFREGEDIT4\r\n; nothing\r\n").root.subkeys.empty());
    Registry r = parsed("[HKEY_LOCAL_MACHINE\\K]\n\"\xC3\xA9t\xC3\xA9\"=\"\xE2\x82\xAC\"");
    EXPECT_EQ(value(r, u"K", u"\u00e9t\u00e9").data, sz(u"\u20ac"));
}

TEST(RegistryFile, AKeyIsAtMost512LevelsDeep)
{
    std::string path = "k";
    for (int level = 2; level <= 512; ++level) {
        path += "\\k";
    }
    Registry deepest = parsed("[HKEY_LOCAL_MACHINE\\" + path + "]\n\"v\"=\"x\"\n");
    EXPECT_EQ(value(deepest, ce::to_utf16(path), u"v").data, sz(u"x"));
    Registry registry;
    std::string error;
    EXPECT_FALSE(ce::parse_registry("\n[HKEY_LOCAL_MACHINE\\" + path + "\\k]\n", registry, error));
    EXPECT_EQ(error, "2: a key more than 512 levels deep");
}

TEST(RegistryFile, FaultsNameTheirLine)
{
    const std::pair<std::string, std::string> cases[] = {
        {"\"x\"=\"1\"\n", "1: "},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\nREGEDIT4\n", "3: "},
        {"\n\n[HKEY_LOCAL_MACHINE\\K\n", "3: "},
        {"[HKEY_LOCAL_MAGIC\\K]\n", "1: "},
        {"[HKEY_LOCAL_MACHINE\\K\\\\L]\n", "1: "},
        {"[HKEY_LOCAL_MACHINE\\K]\n\"x\"=dword:123456789\n", "2: "},
        {"[HKEY_LOCAL_MACHINE\\K]\n\"x\"=dword:\n", "2: "},
        {"[HKEY_LOCAL_MACHINE\\K]\n\"x\"=dword:12 34\n", "2: "},
        {"[HKEY_LOCAL_MACHINE\\K]\n\"x\"=hex:0g\n", "2: "},
        {"[HKEY_LOCAL_MACHINE\\K]\n\"x\"=hex:00,\n", "2: "},
        {"[HKEY_LOCAL_MACHINE\\K]\n\"x\"=hex:00,\\\n", "3: "},
        {"[HKEY_LOCAL_MACHINE\\K]\n\"x\"=hex:00,\\", "2: "},
        {"[HKEY_LOCAL_MACHINE\\K]\n\"x\"=hex:00,\\\n  zz\n", "3: "},
        {"[HKEY_LOCAL_MACHINE\\K]\n\"x\"=hex(7:00\n", "2: "},
        {"[HKEY_LOCAL_MACHINE\\K]\n\"x\"=\"open\n", "2: "},
        {"[HKEY_LOCAL_MACHINE\\K]\n\"x\"=\"a\\tb\"\n", "2: "},
        {"[HKEY_LOCAL_MACHINE\\K]\n\"x\"=\"a\" b\n", "2: "},
        {"[HKEY_LOCAL_MACHINE\\K]\n\"x\"=multi_sz:\"a\",b\n", "2: "},
        {"[HKEY_LOCAL_MACHINE\\K]\n\"x\"=expand_sz:\"a\"\n", "2: "},
        {"[HKEY_LOCAL_MACHINE\\K]\n\"x\"\n", "2: "},
        {"[HKEY_LOCAL_MACHINE\\K]\n\"\"=\"a\"\n", "2: "},
        {"[HKEY_LOCAL_MACHINE\\K]\nIpAddress=\"a\"\n", "2: "},
        {"[-HKEY_LOCAL_MACHINE\\K]\n\"x\"=\"a\"\n", "2: "},
        {"[HKEY_LOCAL_MACHINE\\K]\n\n\n\"x\"=\"\xFF\"\n", "4: "},
        {std::string("[HKEY_LOCAL_MACHINE\\K]\n\"x\"=\"a\0\"\n", 28), "2: "},
        {"\xFF\xFE[\0", "1: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        Registry registry;
        registry.root.subkeys[u"untouched"].reset(new ce::RegistryKey);
        std::string error;
        EXPECT_FALSE(ce::parse_registry(c.first, registry, error));
        EXPECT_EQ(error.substr(0, c.second.size()), c.second) << error;
        EXPECT_GT(error.size(), c.second.size());
        EXPECT_NE(ce::find_key(registry, u"untouched"), nullptr);
    }
}

}  // namespace

namespace {

// Keys that a file removes again give their room back; only what it holds
// at once counts against the limit.
TEST(RegistryFile, AFileHoldsAtMostTheMostKeysAtOnce)
{
    std::string text;
    for (size_t k = 0; k < ce::MOST_KEYS; ++k) {
        text += "[HKEY_LOCAL_MACHINE\\k" + std::to_string(k) + "]\n";
    }
    std::string again = text + "[-HKEY_LOCAL_MACHINE\\k0]\n[HKEY_LOCAL_MACHINE\\new]\n";
    EXPECT_NE(ce::find_key(parsed(again), ce::fold(u"new")), nullptr);
    Registry registry;
    std::string error;
    EXPECT_FALSE(ce::parse_registry(text + "[HKEY_LOCAL_MACHINE\\k0\\one_more]\n", registry, error));
    EXPECT_EQ(error, std::to_string(ce::MOST_KEYS + 1) + ": more than " + std::to_string(ce::MOST_KEYS) + " keys");
}

}  // namespace
