// The tool's platform calls stay the emulation's whatever C++ headers come
// after <windows.h>: <cstdio>, <cwchar> and <string> #undef those names.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include <gtest/gtest.h>

namespace {

TEST(HeaderOrder, CallsAfterTheStandardHeadersAreTheEmulations)
{
    const std::pair<void (*)(), void (*)()> calls[] = {
        {reinterpret_cast<void (*)()>(&printf), reinterpret_cast<void (*)()>(&ce_printf)},
        {reinterpret_cast<void (*)()>(&wprintf), reinterpret_cast<void (*)()>(&ce_wprintf)},
        {reinterpret_cast<void (*)()>(&getwchar), reinterpret_cast<void (*)()>(&ce_getwchar)},
        {reinterpret_cast<void (*)()>(&fwrite), reinterpret_cast<void (*)()>(&ce_fwrite)},
        {reinterpret_cast<void (*)()>(&fwprintf), reinterpret_cast<void (*)()>(&ce_fwprintf)},
        {reinterpret_cast<void (*)()>(&fflush), reinterpret_cast<void (*)()>(&ce_fflush)},
        {reinterpret_cast<void (*)()>(&fclose), reinterpret_cast<void (*)()>(&ce_fclose)},
    };
    for (const auto& call : calls) {
        EXPECT_EQ(call.first, call.second);
    }
}

}  // namespace
