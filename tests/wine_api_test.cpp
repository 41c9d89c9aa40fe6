// The rows of the emulation's tables against the real API and run-time: each
// row that tests/windows/api_probe.cpp calls under Wine must give the result
// the row says the device gives.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "call_rows.h"
#include "format_rows.h"
#include "input_rows.h"
#include "wine_prefix.h"

namespace {

const char* const API_PROBE = "tests/windows/tools/api_probe.exe";

class WineApiTest : public WinePrefixSuite {
protected:
    static std::vector<std::string> probe(const std::string& table)
    {
        RunResult run = prefix->run(windows_program(API_PROBE), {table});
        EXPECT_EQ(run.status, 0) << run.err;
        return lines_of(fold_crlf(run.out));
    }
};

// The line the probe prints for a row with this result: the row, what the
// call returned, the units of the buffer up to its terminator, in hex.
std::string probe_line(size_t row, int returned, const std::string& text)
{
    std::string line = std::to_string(row) + " " + std::to_string(returned);
    char unit[8];
    for (unsigned char c : text) {
        std::snprintf(unit, sizeof unit, " %x", c);
        line += unit;
    }
    return line;
}

TEST_F(WineApiTest, TheRunTimeFormatsEachRowAsTheDeviceDoes)
{
    std::vector<std::string> lines = probe("format");
    const size_t rows = sizeof FORMAT_ROWS / sizeof FORMAT_ROWS[0];
    ASSERT_EQ(lines.size(), rows + 1);
    bool pointers_as_the_device = lines[0] == "pointer bits 32";
    lines.erase(lines.begin());
    for (size_t r = 0; r < rows; ++r) {
        const FormatRow& row = FORMAT_ROWS[r];
        if (row.pointer_sized && !pointers_as_the_device) {
            continue;  // a 64-bit run-time's pointers have 16 digits
        }
        int returned = row.returns == TEXT_LENGTH ? static_cast<int>(std::strlen(row.text)) : row.returns;
        EXPECT_EQ(lines[r], probe_line(r, returned, row.text)) << row.format;
    }
}

TEST_F(WineApiTest, EachCallGivesWhatWin32Gives)
{
    prefix->clean_drive_c();
    std::vector<std::string> lines = probe("calls");
    const size_t rows = sizeof CALL_ROWS / sizeof CALL_ROWS[0];
    ASSERT_EQ(lines.size(), rows);
    for (size_t r = 0; r < rows; ++r) {
        const CallRow& row = CALL_ROWS[r];
        long win32 = row.win32 == SAME_AS_DEVICE ? row.device : row.win32;
        EXPECT_EQ(lines[r], std::to_string(r) + " " + std::to_string(win32)) << row.name << " " << row.other;
    }
}

TEST_F(WineApiTest, TheRunTimeReadsTypedTextAsTheDevicesDoes)
{
    for (const InputRow& row : INPUT_ROWS) {
        RunResult run = prefix->run(windows_program(API_PROBE), {"input"}, typed(row.typed));
        std::string units;
        char unit[8];
        for (unsigned char c : std::string(row.read)) {
            std::snprintf(unit, sizeof unit, " %x", c);
            units += unit;
        }
        EXPECT_EQ(run.out, units + "\r\n") << row.typed;
    }
}

}  // namespace

int main(int argc, char** argv)
{
    return run_wine_tests(argc, argv, WINDOWS_BUILDS);
}
