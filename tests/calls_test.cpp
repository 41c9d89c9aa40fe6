// The rows of tests/call_rows.h on an emulated device: names in another case,
// path forms, and the calls where the emulation used to go its own way; the
// console's input; the device's faults.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>

#include "emulator.h"
#include "call_rows.h"
#include "device_fixture.h"
#include "input_rows.h"
#include "resource_table.h"

namespace {

TEST(Calls, EachRowGivesTheDevicesResult)
{
    TempDevice device;
    std::string registry = "Windows Registry Editor Version 5.00\n";
    for (const CallRow& row : CALL_ROWS) {
        if (row.kind == MAKE_FOLDER) {
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
        EXPECT_EQ(call_row(row, ce::to_utf16(row.name).c_str(), ce::to_utf16(row.other).c_str()), row.device)
            << row.name << " " << row.other;
    }
    // A name of another case found the file, and a new one keeps its spelling.
    EXPECT_EQ(device.files().count("\xC3\xA4rger4.txt"), 0u);
    EXPECT_EQ(device.read("root/flushed.txt"), "x");
}

TEST(Calls, TheConsoleReadsTypedTextAsTheDevicesRunTime)
{
    TempDevice device;
    int kept = dup(STDIN_FILENO);
    for (const InputRow& row : INPUT_ROWS) {
        int ends[2];
        ASSERT_EQ(pipe(ends), 0);
        ASSERT_EQ(write(ends[1], row.typed, std::strlen(row.typed)), static_cast<ssize_t>(std::strlen(row.typed)));
        close(ends[1]);
        dup2(ends[0], STDIN_FILENO);
        close(ends[0]);
        ASSERT_EQ(ce::boot(device.path()), "");
        std::u16string read;
        for (wint_t unit; read.size() < 16 && (unit = ce_getwchar()) != WEOF;) {
            read += static_cast<char16_t>(unit);
        }
        EXPECT_EQ(ce::to_utf8(read), row.read) << ce::quoted(row.typed);
    }
    dup2(kept, STDIN_FILENO);
    close(kept);
}

// Where the device follows a pointer unchecked, or meets what the emulation
// does not model, the run ends with one trace line and its own status.
TEST(CallsDeathTest, WhereTheDeviceFaultsTheRunEnds)
{
    TempDevice device;
    device.write("root/x.txt", "x");
    const struct {
        void (*call)();
        const char* trace;
        int status;
    } rows[] = {
        {[] { ce_wfopen(u"\\x.txt", nullptr); }, "_wfopen fault mode NULL", ce::FAULT_STATUS},
        {[] { ce_wfopen(nullptr, u"r"); }, "_wfopen fault name NULL", ce::FAULT_STATUS},
        {[] { ce_fwrite("x", 1, 1, nullptr); }, "fwrite fault stream NULL", ce::FAULT_STATUS},
        {[] { ce_fwrite(nullptr, 1, 1, ce_wfopen(u"y", u"w")); }, "fwrite fault data NULL", ce::FAULT_STATUS},
        {[] { ce_fwprintf(nullptr, u"x"); }, "fwprintf fault stream NULL", ce::FAULT_STATUS},
        {[] { ce_fclose(nullptr); }, "fclose fault stream NULL", ce::FAULT_STATUS},
        {[] { ce_fileno(nullptr); }, "_fileno fault stream NULL", ce::FAULT_STATUS},
        {[] { ce_snwprintf(nullptr, 4, u"x"); }, "_snwprintf fault buffer NULL", ce::FAULT_STATUS},
        {[] { CreateProcessW(u"x.exe", nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, nullptr, nullptr); },
         "CreateProcessW fault process information NULL", ce::FAULT_STATUS},
        {[] { ce_fwprintf(ce_wfopen(u"y", u"w"), u"%s%hhd", u"", 1); },
         "fwprintf fault conversion %hh (not a conversion of the device's run-time)", ce::FAULT_STATUS},
        {[] { ce_wfopen(u"x.txt", u"r+"); }, "_wfopen x.txt r+ not modelled", ce::EMULATION_ERROR_STATUS},
        {[] { ce_wfopen(u"x.txt", u"wb+"); }, "_wfopen x.txt wb+ not modelled", ce::EMULATION_ERROR_STATUS},
        {[] { ce_wfopen(u"x.txt", u"a+t"); }, "_wfopen x.txt a+t not modelled", ce::EMULATION_ERROR_STATUS},
        {[] { CreateFileW(u"\\x.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr); },
         "CreateFileW \\x.txt not modelled", ce::EMULATION_ERROR_STATUS},
        {[] {
             char bytes[4];
             ce_fclose(ce_wfopen(u"t.txt", u"w"));
             ce_fread(bytes, 1, 4, ce_wfopen(u"t.txt", u"r"));
         },
         "fread of a text stream t.txt not modelled", ce::EMULATION_ERROR_STATUS},
        {[] { ce_fread(nullptr, 1, 4, ce_wfopen(u"y", u"wb")); }, "fread fault data NULL", ce::FAULT_STATUS},
        {[] {
             char16_t name[260];
             GetModuleFileNameW(nullptr, name, 260);
         },
         "GetModuleFileNameW of a program outside the device's root/: /proc/self/exe not modelled",
         ce::EMULATION_ERROR_STATUS},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.trace);
        std::remove((device.path() + "/trace.log").c_str());
        ASSERT_EQ(ce::boot(device.path()), "");
        EXPECT_EXIT(row.call(), ::testing::ExitedWithCode(row.status), "");
        EXPECT_EQ(lines_of(device.trace()).back(), row.trace);
    }
    // A stream closed before: on the device its memory may be anything; the
    // trace names it as the tool opened it, never by a host address.
    ASSERT_EQ(ce::boot(device.path()), "");
    EXPECT_EXIT(
        {
            FILE* file = ce_wfopen(u"y", u"w");
            ce_fclose(file);
            ce_fclose(file);
        },
        ::testing::ExitedWithCode(ce::FAULT_STATUS), "device fault: fclose stream y closed");
    // An invalid mode is refused as the run-time refuses it, and the run goes on.
    EXPECT_EQ(ce_wfopen(u"x.txt", u"rw"), nullptr);
    EXPECT_EQ(ce_wfopen(u"x.txt", u"r+b+"), nullptr);
}

// The calls the device probe makes besides the tool's: a binary stream read
// on from where it stopped, and the program's own name as the device gives it.
TEST(Calls, TheProbesReadsAndItsOwnNameAreTheDevicesOnes)
{
    TempDevice device;
    device.write("root/data.bin", "0123456789");
    device.write("root/sub/p.exe", "MZ");
    ASSERT_EQ(ce::boot(device.path()), "");
    FILE* file = ce_wfopen(u"\\data.bin", u"rb");
    ASSERT_NE(file, nullptr);
    char bytes[16] = {};
    EXPECT_EQ(ce_fread(bytes, 2, 2, file), 2u);
    EXPECT_EQ(ce_fread(bytes + 4, 4, 2, file), 1u);  // 6 bytes left: one whole element of 4
    EXPECT_EQ(ce_fread(bytes + 8, 1, 4, file), 0u);
    EXPECT_EQ(std::string(bytes, 8), "01234567");
    ce_fclose(file);
    FILE* written = ce_wfopen(u"out.bin", u"wb");
    EXPECT_EQ(ce_fread(bytes, 1, 4, written), 0u);
    ce_fclose(written);
    EXPECT_EQ(lines_of(device.trace()), (std::vector<std::string>{
                                            "_wfopen \\data.bin rb ok", "fread \\data.bin 2 2 ok",
                                            "fread \\data.bin 4 2 short 1", "fread \\data.bin 1 4 short 0",
                                            "fclose \\data.bin ok", "_wfopen out.bin wb ok", "fread out.bin 1 4 short 0",
                                            "fclose out.bin ok"}));

    ce_use_module_file((device.root() + "/sub/p.exe").c_str());
    char16_t name[16];
    EXPECT_EQ(GetModuleFileNameW(nullptr, name, 16), 10u);
    EXPECT_EQ(std::u16string(name), u"\\sub\\p.exe");
    EXPECT_EXIT(GetModuleFileNameW(nullptr, name, 10), ::testing::ExitedWithCode(ce::EMULATION_ERROR_STATUS), "");
    ce_use_module_file("/proc/self/exe");
}

}  // namespace
