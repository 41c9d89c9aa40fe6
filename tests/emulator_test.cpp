// The emulated device's own rules, called as the tool calls them.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <filesystem>

#include "device_fixture.h"
#include "emulator.h"

namespace {

struct EmulatorTest : ::testing::Test {
    TempDevice device;
    void SetUp() override
    {
        device.set_driver("accept");
        ASSERT_EQ(ce::boot(device.path()), "");
    }
    std::string host(const char16_t* path)
    {
        ce::HostPath where = ce::resolve(path);
        return where.ok ? where.host.substr(device.root().size()) : "<fails>";
    }
};

TEST_F(EmulatorTest, PathsResolveInsideRootWithoutRegardToCase)
{
    device.make_folder("root/Windows");
    device.write("root/Windows/Reboot.exe", "x");
    EXPECT_EQ(host(u"\\windows\\reboot.exe"), "/Windows/Reboot.exe");
    EXPECT_EQ(host(u"windows\\REBOOT.EXE"), "/Windows/Reboot.exe");
    EXPECT_TRUE(ce::resolve(u"\\windows\\reboot.exe").exists);
    EXPECT_FALSE(ce::resolve(u"\\windows\\new.txt").exists);
    EXPECT_TRUE(ce::resolve(u"\\windows").is_folder);
}

TEST_F(EmulatorTest, PathsThatWouldLeaveTheDeviceFail)
{
    std::filesystem::create_directory_symlink("/", device.root() + "/outside");
    device.write("root/file", "x");
    // .. stops at the root, as Win32's stops at the drive's.
    for (const char16_t* path : {u"..\\x", u"\\a\\..\\..\\x", u"\\.\\x"}) {
        EXPECT_EQ(host(path), "/x");
    }
    for (const char16_t* path : {u"\\..", u"\\outside\\etc\\passwd", u"\\outside",
                                 u"\\file\\below", u"\\missing\\x", u"", u"\\", u"a:b", u"a*", u"\\outside\\..\\..\\outside\\etc"}) {
        SCOPED_TRACE(ce::to_utf8(path));
        EXPECT_EQ(host(path), "<fails>");
    }
}

TEST_F(EmulatorTest, PathsWin32RefusesFailWithItsErrors)
{
    device.make_folder("root/Windows");
    device.write("root/NK.bin", "x");
    const std::pair<const char16_t*, DWORD> refused[] = {
        {u"\\NK.bin\\", ERROR_INVALID_NAME}, {u"\\new/", ERROR_INVALID_NAME}, {u"\\/NK.bin", ERROR_PATH_NOT_FOUND}};
    for (const auto& path : refused) {
        EXPECT_FALSE(ce::resolve(path.first).ok);
        EXPECT_EQ(ce::resolve(path.first).error, path.second) << ce::to_utf8(path.first);
    }
    EXPECT_TRUE(ce::resolve(u"\\windows\\").is_folder);
}

TEST_F(EmulatorTest, TheUpgradeDriverIsHeldByOneOpenerAtATime)
{
    HANDLE first = CreateFileW(u"UCS1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    EXPECT_EQ(CreateFileW(u"ucs1:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    DWORD returned = 7;
    EXPECT_TRUE(DeviceIoControl(first, 0x284, nullptr, 0, nullptr, 0, &returned, nullptr));
    EXPECT_FALSE(DeviceIoControl(first, 0x123, nullptr, 0, nullptr, 0, &returned, nullptr));
    EXPECT_TRUE(CloseHandle(first));
    EXPECT_FALSE(CloseHandle(first));
    EXPECT_FALSE(DeviceIoControl(first, 0x288, nullptr, 0, nullptr, 0, &returned, nullptr));
    HANDLE again = CreateFileW(u"UCS1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(again));
    EXPECT_EQ(CreateFileW(u"COM1:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(CreateFileW(u"", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

// The two requests take no buffer either way: one given is refused as the
// device refuses it, and the driver stays as it was.
TEST_F(EmulatorTest, TheUpgradeDriverRefusesItsRequestsWithABuffer)
{
    HANDLE driver = CreateFileW(u"UCS1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(driver, INVALID_HANDLE_VALUE);
    char buffer[8] = {};
    const struct {
        DWORD code;
        void* in;
        DWORD in_size;
        void* out;
        DWORD out_size;
    } requests[] = {
        {0x284, buffer, 8, nullptr, 0}, {0x284, nullptr, 0, buffer, 8},
        {0x288, buffer, 8, nullptr, 0}, {0x288, nullptr, 0, buffer, 8},
    };
    for (const auto& r : requests) {
        SCOPED_TRACE(r.code);
        SetLastError(0);
        DWORD returned = 7;
        EXPECT_FALSE(DeviceIoControl(driver, r.code, r.in, r.in_size, r.out, r.out_size, &returned, nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    EXPECT_TRUE(DeviceIoControl(driver, 0x284, nullptr, 0, nullptr, 0, nullptr, nullptr));
    EXPECT_TRUE(CloseHandle(driver));
    std::vector<std::string> trace = lines_of(device.trace());
    ASSERT_EQ(trace.size(), 7u) << device.trace();
    EXPECT_EQ(trace[1], "DeviceIoControl UCS1: 0x284 failed ERROR_INVALID_PARAMETER");
}

TEST_F(EmulatorTest, StreamsStoreWhatTheDevicesRunTimeStoresInEachMode)
{
    FILE* file = ce_wfopen(u"\\lan1", u"w");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(ce_fwprintf(file, u"%s\n", u"192.168.3.127"), 14);
    EXPECT_EQ(ce_fwprintf(file, u"%d\n", -5), 3);
    EXPECT_EQ(ce_fwprintf(file, u"\u00fc%s\n", u"\U0001F600"), 4);
    EXPECT_EQ(ce_fwrite("\0\r\n", 1, 3, file), 3u);
    EXPECT_EQ(ce_fclose(file), 0);
    // Text mode: wide text in the settings files' host form, bytes with each
    // line feed as CR LF.
    EXPECT_EQ(device.read("root/lan1"), std::string("192.168.3.127\n-5\n\xC3\xBC\xF0\x9F\x98\x80\n\0\r\r\n", 28));
    EXPECT_EQ(device.trace(),
              "_wfopen \\lan1 w ok\n"
              "fwprintf \\lan1 \"192.168.3.127\\n\" ok\n"
              "fwprintf \\lan1 \"-5\\n\" ok\n"
              "fwprintf \\lan1 \"\xC3\xBC\xF0\x9F\x98\x80\\n\" ok\n"
              "fwrite \\lan1 1 3 ok\n"
              "fclose \\lan1 ok\n");

    // The image opened in the wrong mode would differ on the device.
    const HRSRC image = FindResourceW(nullptr, MAKEINTRESOURCEW(183), u"FIRMWARE");
    const std::string bytes(static_cast<const char*>(LoadResource(nullptr, image)), SizeofResource(nullptr, image));
    for (const char16_t* mode : {u"wb", u"w", u"wt"}) {
        SCOPED_TRACE(ce::to_utf8(mode));
        FILE* nk = ce_wfopen(u"\\NK1.bin", mode);
        EXPECT_EQ(ce_fwrite(bytes.data(), 1, bytes.size(), nk), bytes.size());
        EXPECT_EQ(ce_fclose(nk), 0);
        std::string stored = device.read("root/NK1.bin");
        if (mode[1] == 'b') {
            EXPECT_EQ(stored, bytes);
        } else {
            EXPECT_EQ(stored.substr(0, 8), "B000FF\r\n");
            EXPECT_EQ(stored.size(), bytes.size() + std::count(bytes.begin(), bytes.end(), '\n'));
        }
    }

    // A binary stream takes the wide characters as they are: UTF-16LE.
    FILE* wide = ce_wfopen(u"\\lan2", u"wb");
    EXPECT_EQ(ce_fwprintf(wide, u"%s\n", u"N\u00fc"), 3);
    EXPECT_EQ(ce_fclose(wide), 0);
    EXPECT_EQ(device.read("root/lan2"), std::string("N\0\xFC\0\n\0", 6));
}

TEST_F(EmulatorTest, TraceLinesKeepTheOrderOfTheCallsWhateverTheirLength)
{
    // The lines of writes may wait in memory; a longer line than all that
    // waiting holds, and more writes than it holds, still come in call order.
    FILE* file = ce_wfopen(u"\\image.bin", u"wb");
    ASSERT_NE(file, nullptr);
    std::string expected = "_wfopen \\image.bin wb ok\n";
    EXPECT_EQ(ce_fwrite("ab", 1, 2, file), 2u);
    expected += "fwrite \\image.bin 1 2 ok\n";
    std::string name = "\\missing\\" + std::string(70000, 'n');
    std::u16string wide = ce::to_utf16(name);
    EXPECT_EQ(ce_wfopen(wide.c_str(), u"wb"), nullptr);
    expected += "_wfopen " + name + " wb failed ERROR_PATH_NOT_FOUND\n";
    std::string bytes;
    for (int i = 0; i < 5000; ++i) {
        std::string chunk(1 + i % 3, static_cast<char>('a' + i % 26));
        EXPECT_EQ(ce_fwrite(chunk.data(), 1, chunk.size(), file), chunk.size());
        expected += "fwrite \\image.bin 1 " + std::to_string(chunk.size()) + " ok\n";
        bytes += chunk;
    }
    EXPECT_EQ(ce_fclose(file), 0);
    expected += "fclose \\image.bin ok\n";
    EXPECT_EQ(device.read("root/image.bin"), "ab" + bytes);
    EXPECT_EQ(device.trace(), expected);
}

TEST_F(EmulatorTest, WaitingTraceLinesAreWrittenBeforeAConsoleReadAndAtTheEnd)
{
    FILE* file = ce_wfopen(u"\\image.bin", u"wb");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(ce_fwrite("abc", 1, 3, file), 3u);
    int keys[2];
    ASSERT_EQ(pipe(keys), 0);
    ASSERT_EQ(write(keys[1], "y", 1), 1);
    close(keys[1]);
    int saved_in = dup(0);
    dup2(keys[0], 0);
    close(keys[0]);
    wint_t key = ce_getwchar();
    std::string trace_at_the_read = device.trace();
    dup2(saved_in, 0);
    close(saved_in);
    EXPECT_EQ(key, static_cast<wint_t>('y'));
    EXPECT_EQ(trace_at_the_read, "_wfopen \\image.bin wb ok\nfwrite \\image.bin 1 3 ok\n");

    // A process that ends after a write, with no call after it.
    EXPECT_EXIT(
        {
            ce_fwrite("d", 1, 1, file);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(device.trace(), trace_at_the_read + "fwrite \\image.bin 1 1 ok\n");
    EXPECT_EQ(ce_fclose(file), 0);
}

TEST_F(EmulatorTest, FilesFollowTheDevicesRulesForDeleteAndMove)
{
    device.write("root/a.bin", "a");
    device.write("root/b.bin", "b");
    EXPECT_FALSE(MoveFileW(u"a.bin", u"\\B.BIN"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_FALSE(MoveFileW(u"missing", u"c.bin"));
    FILE* held = ce_wfopen(u"a.bin", u"rb");
    ASSERT_NE(held, nullptr);
    EXPECT_FALSE(DeleteFileW(u"A.bin"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    ce_fclose(held);
    EXPECT_TRUE(MoveFileW(u"a.bin", u"\\c.bin"));
    EXPECT_TRUE(MoveFileW(u"c.bin", u"C.BIN"));
    EXPECT_EQ(device.files(), (std::map<std::string, std::string>{{"C.BIN", "a"}, {"b.bin", "b"}}));
    EXPECT_TRUE(DeleteFileW(u"\\b.BIN"));
    EXPECT_FALSE(DeleteFileW(u"\\b.bin"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(ce_wfopen(u"\\x", u"wx"), nullptr);
    EXPECT_EQ(ce_wfopen(u"\\missing", u"r"), nullptr);
}

TEST_F(EmulatorTest, FilesTheDevicesFileSystemCannotHoldAreNeverWritten)
{
    // A FIFO is never opened, so nothing blocks; a read-only file and one
    // with a second hard link are never written, deleted or replaced.
    ASSERT_EQ(mkfifo((device.root() + "/pipe").c_str(), 0644), 0);
    device.write("root/locked", "read-only");
    chmod((device.root() + "/locked").c_str(), 0444);
    device.write("root/linked", "two names");
    std::filesystem::create_hard_link(device.root() + "/linked", device.root() + "/other name");
    const std::pair<const char16_t*, bool> files[] = {{u"\\pipe", false}, {u"\\locked", true}, {u"\\linked", true}};
    for (const auto& file : files) {
        for (const char16_t* mode : {u"r", u"w", u"ab"}) {
            SCOPED_TRACE(ce::to_utf8(file.first) + " " + ce::to_utf8(mode));
            FILE* opened = ce_wfopen(file.first, mode);
            EXPECT_EQ(opened != nullptr, file.second && mode[0] == 'r');
            if (opened != nullptr) {
                EXPECT_EQ(ce_fclose(opened), 0);
            }
        }
    }
    EXPECT_FALSE(DeleteFileW(u"linked"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(MoveFileW(u"locked", u"linked"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(MoveFileW(u"locked", u"Locked.txt"));  // renaming stays allowed
    EXPECT_EQ(device.read("root/Locked.txt"), "read-only");
    EXPECT_EQ(device.read("root/other name"), "two names");
}

TEST_F(EmulatorTest, TheEmbeddedResourceIsFoundByIdAndTypeOnly)
{
    HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(183), u"firmware");
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(SizeofResource(nullptr, found), 4097u);
    const unsigned char* bytes = static_cast<const unsigned char*>(LoadResource(nullptr, found));
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes), 7), "B000FF\n");
    EXPECT_EQ(LoadResource(nullptr, found), bytes);
    EXPECT_EQ(FindResourceW(nullptr, u"#183", u"FIRMWARE"), found);
    EXPECT_EQ(FindResourceW(nullptr, MAKEINTRESOURCEW(184), u"FIRMWARE"), nullptr);
    EXPECT_EQ(FindResourceW(nullptr, MAKEINTRESOURCEW(183), u"FIRMWAR"), nullptr);
    EXPECT_EQ(FindResourceW(nullptr, MAKEINTRESOURCEW(183), MAKEINTRESOURCEW(10)), nullptr);
}

// The console, with standard input and output swapped for pipes.
struct ConsoleTest : ::testing::Test {
    int saved_in = -1, saved_out = -1, in[2], out[2];
    void SetUp() override
    {
        ASSERT_EQ(pipe(in), 0);
        ASSERT_EQ(pipe(out), 0);
        saved_in = dup(0);
        saved_out = dup(1);
        dup2(in[0], 0);
        dup2(out[1], 1);
        close(in[0]);
        close(out[1]);
    }
    void TearDown() override
    {
        dup2(saved_in, 0);
        dup2(saved_out, 1);
        close(saved_in);
        close(saved_out);
        close(in[1]);
        close(out[0]);
    }
    std::string output()
    {
        ce::flush_console();
        dup2(saved_out, 1);
        std::string text;
        char buffer[4096];
        for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) {
            text.append(buffer, static_cast<size_t>(n));
        }
        return text;
    }
};

TEST_F(ConsoleTest, EightBitAndWideOutputArriveInOrderAsUtf8)
{
    ce_printf("lan:%d\n", 6);
    ce_wprintf(u"LAN%d Interface %s:\n", 1, u"\u00c4rger");
    ce_printf("\r%d / %d", 0, 4097);
    ce_wprintf(u"100%% %c\n", u'x');
    EXPECT_EQ(output(), "lan:6\nLAN1 Interface \xC3\x84rger:\n\r0 / 4097100% x\n");
}

TEST_F(ConsoleTest, EightBitPrintsOfAnyLengthArriveWhole)
{
    // Around the size that is formatted on the stack, and far beyond it.
    std::string expected;
    for (size_t length : {500u, 509u, 510u, 511u, 512u, 2000u}) {
        std::string text(length, 'x');
        EXPECT_EQ(ce_printf("%s%d", text.c_str(), 42), static_cast<int>(length + 2));
        expected += text + "42";
    }
    EXPECT_EQ(ce_printf("%s", ""), 0);
    EXPECT_EQ(output(), expected);
}

TEST_F(ConsoleTest, EightBitPrintsMatchTheCLibrarysFormatting)
{
    // Text, %% and %d, as the progress line is made; then the conversions it
    // does not use; then %d where the line reaches the size formatted on the
    // stack. Each against snprintf.
    std::string near_the_end(500, 'x');
    std::string formats[] = {"\r%d / %d|%d|%d%%|100%%", "%5d|%s|%c|%x", near_the_end + "%d%d"};
    std::string expected;
    char bytes[1024];
    int length = std::snprintf(bytes, sizeof bytes, formats[0].c_str(), 0, 21133911, INT_MIN, INT_MAX);
    expected.append(bytes, static_cast<size_t>(length));
    EXPECT_EQ(ce_printf(formats[0].c_str(), 0, 21133911, INT_MIN, INT_MAX), length);
    length = std::snprintf(bytes, sizeof bytes, formats[1].c_str(), -42, "text", 'c', 255u);
    expected.append(bytes, static_cast<size_t>(length));
    EXPECT_EQ(ce_printf(formats[1].c_str(), -42, "text", 'c', 255u), length);
    for (int number : {7, -2147483647}) {
        length = std::snprintf(bytes, sizeof bytes, formats[2].c_str(), number, number);
        expected.append(bytes, static_cast<size_t>(length));
        EXPECT_EQ(ce_printf(formats[2].c_str(), number, number), length);
    }
    EXPECT_EQ(output(), expected);
}

TEST_F(ConsoleTest, InputIsReadAsUtf16UnitsOneAtATime)
{
    std::string typed = "y\r\n\xC3\xBC\xF0\x9F\x98\x80\xC3n";
    ASSERT_EQ(write(in[1], typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
    close(in[1]);
    in[1] = -1;
    std::vector<wint_t> units;
    for (int i = 0; i < 8; ++i) {
        units.push_back(ce_getwchar());
    }
    EXPECT_EQ(units, (std::vector<wint_t>{'y', '\n', 0xFC, 0xD83D, 0xDE00, 0xFFFD, 'n', WEOF}));
    EXPECT_EQ(ce_getwchar(), WEOF);
}

}  // namespace
