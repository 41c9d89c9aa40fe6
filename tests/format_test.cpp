// The emulation's formatter against the device run-time's rows: through an
// argument source that is a 32-bit guest's (what each conversion takes, and
// in what width, shows), and through the host's variadic _snwprintf.
#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "format.h"
#include "format_rows.h"
#include "emulator.h"

namespace {

// The row's arguments as a 32-bit guest's stack holds them; text at made-up
// addresses, and an address past them unreadable.
class RowArguments : public ce::FormatArguments {
public:
    explicit RowArguments(const FormatRow& row) : row_(row) {}
    int32_t next_int32() override { return static_cast<int32_t>(take(INT_ARG).value); }
    int64_t next_int64() override { return take(INT64_ARG).value; }
    uint64_t next_pointer() override
    {
        const FormatArg& arg = take(NO_ARG);
        if (arg.kind == NULL_ARG || arg.kind == POINTER_ARG) {
            return static_cast<uint64_t>(arg.value);
        }
        EXPECT_TRUE(arg.kind == NARROW_ARG || arg.kind == WIDE_ARG) << "argument " << next_ << " is no pointer";
        return 0x1000 + 0x100 * next_;
    }
    bool narrow_text(uint64_t address, size_t most, std::string& text) override
    {
        const FormatArg* arg = at(address, NARROW_ARG);
        text = arg == nullptr ? "" : std::string(arg->text).substr(0, most);
        return arg != nullptr;
    }
    bool wide_text(uint64_t address, size_t most, std::u16string& text) override
    {
        const FormatArg* arg = at(address, WIDE_ARG);
        text = arg == nullptr ? u"" : ce::to_utf16(arg->text).substr(0, most);
        return arg != nullptr;
    }
    unsigned pointer_bits() const override { return 32; }
    size_t taken() const { return next_; }

private:
    const FormatArg& take(FormatArgKind kind)
    {
        static const FormatArg none = {NO_ARG, 0, nullptr};
        if (next_ >= 8 || row_.args[next_].kind == NO_ARG) {
            ADD_FAILURE() << "more arguments taken than the row has";
            return none;
        }
        const FormatArg& arg = row_.args[next_++];
        EXPECT_TRUE(kind == NO_ARG || arg.kind == kind) << "argument " << next_ << " taken in another width";
        return arg;
    }
    const FormatArg* at(uint64_t address, FormatArgKind kind)
    {
        size_t index = static_cast<size_t>((address - 0x1000) / 0x100) - 1;
        if (address < 0x1100 || index >= 8 || row_.args[index].kind != kind) {
            return nullptr;
        }
        return &row_.args[index];
    }
    const FormatRow& row_;
    size_t next_ = 0;
};

size_t argument_count(const FormatRow& row)
{
    size_t count = 0;
    while (count < 8 && row.args[count].kind != NO_ARG) {
        ++count;
    }
    return count;
}

TEST(Format, EachRowAsTheDeviceRunTimeFormatsIt)
{
    for (const FormatRow& row : FORMAT_ROWS) {
        SCOPED_TRACE(row.format);
        RowArguments arguments(row);
        std::string text;
        ce::Formatted result;
        if (row.wide) {
            std::u16string wide;
            ce::StringSink<char16_t> sink(&wide);
            result = ce::format(ce::to_utf16(row.format), arguments, sink);
            text = ce::to_utf8(wide);
        } else {
            ce::StringSink<char> sink(&text);
            result = ce::format(std::string(row.format), arguments, sink);
        }
        EXPECT_EQ(result.end, ce::FormatEnd::Done) << result.what;
        EXPECT_EQ(arguments.taken(), argument_count(row));
        if (row.count == 64) {
            EXPECT_EQ(text, row.text);
        }
    }
}

TEST(Format, TheHostsSnwprintfTakesItsVariadicArguments)
{
    std::vector<std::u16string> wide_texts(8);
    for (const FormatRow& row : FORMAT_ROWS) {
        if (!row.wide || row.pointer_sized) {
            continue;
        }
        SCOPED_TRACE(row.format);
        // Every argument in a 64-bit slot, as the host's calling convention
        // passes an int too.
        uint64_t words[8] = {};
        for (size_t k = 0; k < argument_count(row); ++k) {
            const FormatArg& arg = row.args[k];
            wide_texts[k] = ce::to_utf16(arg.text == nullptr ? "" : arg.text);
            words[k] = arg.kind == NARROW_ARG ? reinterpret_cast<uintptr_t>(arg.text)
                     : arg.kind == WIDE_ARG   ? reinterpret_cast<uintptr_t>(wide_texts[k].c_str())
                                              : static_cast<uint64_t>(arg.value);
        }
        WCHAR buffer[64];
        std::fill(buffer, buffer + 64, u'#');
        std::u16string format = ce::to_utf16(row.format);
        int returned = ce_snwprintf(row.count < 0 ? nullptr : buffer, row.count < 0 ? 0 : row.count, format.c_str(),
                                    words[0], words[1], words[2], words[3], words[4], words[5], words[6], words[7]);
        EXPECT_EQ(returned, row.returns == TEXT_LENGTH ? static_cast<int>(std::strlen(row.text)) : row.returns);
        size_t stored = std::strlen(row.text);
        EXPECT_EQ(ce::to_utf8(std::u16string(buffer, stored)), row.text);
        // A terminator only where there is room for it.
        EXPECT_EQ(buffer[stored], static_cast<int>(stored) < row.count ? u'\0' : u'#');
    }
}

TEST(Format, WhatTheDeviceCannotFormatEndsTheFormatting)
{
    const struct {
        const char* format;
        ce::FormatEnd end;
        const char* what;
    } rows[] = {
        {"a%nb", ce::FormatEnd::Unknown, "%n"},       {"%hhd", ce::FormatEnd::Unknown, "%hh"},
        {"%zu", ce::FormatEnd::Unknown, "%z"},        {"%5", ce::FormatEnd::Unknown, "%5 (the format ends inside the conversion)"},
        {"%Lf", ce::FormatEnd::Unknown, "%L"},        {"%.2f", ce::FormatEnd::NotModelled, "%.2f (a floating-point conversion)"},
        {"%5%", ce::FormatEnd::NotModelled, "%5% (flags, a width or a size before %)"},
        {"%2000000d", ce::FormatEnd::NotModelled, "%2000000d (a field of more than 1 MiB)"},
        {"%I64s", ce::FormatEnd::NotModelled, "%I64s (that size with text)"},
        {"x%s", ce::FormatEnd::Unreadable, "%s at 0x1100"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.format);
        // Wide text where the 8-bit %s looks: an address the source cannot read.
        FormatRow args = {false, row.format, {{WIDE_ARG, 0, "x"}}, 64, 0, "", false};
        RowArguments arguments(args);
        std::string text;
        ce::StringSink<char> sink(&text);
        ce::Formatted result = ce::format(std::string(row.format), arguments, sink);
        EXPECT_EQ(result.end, row.end);
        EXPECT_EQ(result.what, row.what);
        EXPECT_EQ(text, row.format[0] == 'a' || row.format[0] == 'x' ? std::string(1, row.format[0]) : "");
    }
}

TEST(FormatDeathTest, AConversionTheDeviceLacksIsADeviceFault)
{
    EXPECT_EXIT(ce_wprintf(u"%d%n", 1, nullptr), ::testing::ExitedWithCode(ce::FAULT_STATUS),
                "device fault: wprintf conversion %n");
    EXPECT_EXIT(ce_printf(nullptr), ::testing::ExitedWithCode(ce::FAULT_STATUS), "device fault: printf format NULL");
    EXPECT_EXIT(ce_printf("%e", 1.0), ::testing::ExitedWithCode(ce::EMULATION_ERROR_STATUS),
                "printf conversion %e \\(a floating-point conversion\\) not modelled");
}

}  // namespace
