// A boot builds the device afresh, even a second one in the same process.
#include <gtest/gtest.h>

#include <dirent.h>

#include "device_fixture.h"
#include "emulator.h"

namespace {

size_t open_descriptors()
{
    size_t count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (dir != nullptr && readdir(dir) != nullptr) {
        ++count;
    }
    if (dir != nullptr) {
        closedir(dir);
    }
    return count;
}

struct Opened {
    FILE* stream;
    HKEY key;
    HANDLE driver;
};

void make_device(const TempDevice& device)
{
    device.set_driver("accept");
    device.write("root/settings.txt", "kept\n");
    device.write("registry.reg", "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\Comm]\n\"Set\"=\"1\"\n");
}

// A stream, a key and a handle, each used once and left open.
Opened open_one_of_each()
{
    Opened opened = {ce_wfopen(u"\\settings.txt", u"a"), nullptr, nullptr};
    EXPECT_NE(opened.stream, nullptr);
    EXPECT_EQ(ce_fwrite("more\n", 1, 5, opened.stream), 5u);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Comm", 0, 0, &opened.key), ERROR_SUCCESS);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(opened.key, u"Set", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    opened.driver = CreateFileW(u"UCS1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(opened.driver, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(DeviceIoControl(opened.driver, 0x288, nullptr, 0, nullptr, 0, nullptr, nullptr));
    ce::flush_trace();
    return opened;
}

TEST(BootTwice, NothingOpenedBeforeTheSecondBootIsValidAfterItAndARunTracesAsInAFreshProcess)
{
    TempDevice first, second, third;
    make_device(first);
    make_device(second);
    make_device(third);
    ASSERT_EQ(ce::boot(first.path()), "");
    size_t descriptors = open_descriptors();
    Opened stale = open_one_of_each();
    ASSERT_EQ(ce::boot(second.path()), "");
    EXPECT_EQ(open_descriptors(), descriptors);  // the stream's host file and trace.log closed
    EXPECT_EQ(RegCloseKey(stale.key), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(DeviceIoControl(stale.driver, 0x288, nullptr, 0, nullptr, 0, nullptr, nullptr));
    EXPECT_FALSE(CloseHandle(stale.driver));
    EXPECT_DEATH(ce_fflush(stale.stream), "device fault: fflush stream 0x1004 not open");
    EXPECT_EQ(second.trace(),
              "RegCloseKey <not an open key> failed ERROR_INVALID_HANDLE\n"
              "DeviceIoControl <not a handle> 0x288 failed ERROR_INVALID_HANDLE\n"
              "CloseHandle <not a handle> failed ERROR_INVALID_HANDLE\n"
              "fflush fault stream 0x1004 not open\n");
    // What the first device's stream held went with its boot.
    EXPECT_EQ(first.read("root/settings.txt"), "kept\n");
    ASSERT_EQ(ce::boot(third.path()), "");
    EXPECT_EQ(GetLastError(), 0u);  // the stale calls' ERROR_INVALID_HANDLE went with the boot
    open_one_of_each();
    EXPECT_EQ(third.trace(), first.trace());
}

}  // namespace
