// The rows of tests/call_rows.h on an emulated device: names in another case,
// path forms, and the calls where the emulation used to go its own way.
#include <gtest/gtest.h>

#include "call_rows.h"
#include "device_fixture.h"
#include "emulator.h"

namespace {

long failure(bool ok)
{
    DWORD error = GetLastError();
    return ok ? 0 : error != 0 ? static_cast<long>(error) : 1;
}

long call(const CallRow& row)
{
    std::u16string name = ce::to_utf16(row.name), other = ce::to_utf16(row.other);
    HKEY key = nullptr;
    SetLastError(0);
    switch (row.kind) {
    case MAKE_FILE: case MAKE_FOLDER: case MAKE_KEY: case MAKE_VALUE:
        return 0;  // made before the boot
    case OPEN_TO_READ: {
        FILE* file = ce_wfopen(name.c_str(), u"r");
        long result = failure(file != nullptr);
        if (file != nullptr) {
            ce_fclose(file);
        }
        return result;
    }
    case MOVE:
        return failure(MoveFileW(name.c_str(), other.c_str()) != 0);
    case DELETE_FILE:
        return failure(DeleteFileW(name.c_str()) != 0);
    case OPEN_KEY: {
        LONG opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, name.c_str(), 0, 0, &key);
        if (opened == 0) {
            RegCloseKey(key);
        }
        return opened;
    }
    case QUERY_VALUE: {
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, name.c_str(), 0, 0, &key) != 0) {
            return 1;
        }
        DWORD size = 0;
        LONG queried = RegQueryValueExW(key, other.c_str(), nullptr, nullptr, nullptr, &size);
        RegCloseKey(key);
        return queried;
    }
    case FLUSH_ALL: {
        FILE* file = ce_wfopen(name.c_str(), u"w");
        bool ok = file != nullptr && ce_fwrite("x", 1, 1, file) == 1 && ce_fflush(nullptr) == 0;
        if (file != nullptr) {
            ce_fclose(file);
        }
        return failure(ok);
    }
    case FLUSH_CONSOLE:
        return failure(ce_fflush(stdout) == 0);
    case WRITE_NOTHING: {
        FILE* file = ce_wfopen(name.c_str(), u"wb");
        size_t written = file == nullptr ? 1 : ce_fwrite("x", 0, 5, file);
        if (file != nullptr) {
            ce_fclose(file);
        }
        return written == 0 ? static_cast<long>(GetLastError()) : 1;
    }
    case FLUSH_READ_ONLY: {
        FILE* file = ce_wfopen(name.c_str(), u"r");
        if (file == nullptr) {
            return 1;
        }
        long result = failure(FlushFileBuffers(ce_fileno(file)) != 0);
        ce_fclose(file);
        return result;
    }
    case CLOSE_ROOT_KEY:
        return RegCloseKey(HKEY_LOCAL_MACHINE);
    case CLOSE_INVALID:
        return failure(CloseHandle(INVALID_HANDLE_VALUE) != 0);
    case EXIT_CODE_INVALID: {
        DWORD code = 0;
        return failure(GetExitCodeProcess(INVALID_HANDLE_VALUE, &code) != 0);
    }
    }
    return 1;
}

TEST(Calls, EachRowGivesTheDevicesResult)
{
    TempDevice device;
    std::string registry = "Windows Registry Editor Version 5.00\n";
    for (const CallRow& row : CALL_ROWS) {
        if (row.kind == MAKE_FILE) {
            device.write(std::string("root/") + row.name, "made");
        } else if (row.kind == MAKE_FOLDER) {
            device.make_folder(std::string("root/") + row.name);
        } else if (row.kind == MAKE_KEY) {
            registry += std::string("[HKEY_LOCAL_MACHINE\\") + row.name + "]\n";
        } else if (row.kind == MAKE_VALUE) {
            registry += std::string("[HKEY_LOCAL_MACHINE\\") + row.name + "]\n\"" + row.other + "\"=\"1\"\n";
        }
    }
    device.write("registry.reg", registry);
    ASSERT_EQ(ce::boot(device.path()), "");
    for (const CallRow& row : CALL_ROWS) {
        EXPECT_EQ(call(row), row.device) << row.name << " " << row.other;
    }
    // A name of another case found the file, and a new one keeps its spelling.
    EXPECT_EQ(device.files().count("\xC3\xA4rger4.txt"), 0u);
    EXPECT_EQ(device.read("root/flushed.txt"), "x");
}

}  // namespace
