// The rows of the emulation's tables, called on the real API and run-time:
// the command-line word names the table, and each row prints one line that
// the Wine test compares with the row's device result.
//   format   _snwprintf and _snprintf of tests/format_rows.h
//   calls    the calls of tests/call_rows.h, in C:\ (the working folder)
//   input    getwchar until WEOF, for tests/input_rows.h
#include <stdio.h>
#include <stdint.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>

#include "call_rows.h"
#include "format_rows.h"

namespace {

void widen(const char* text, wchar_t* wide)
{
    do {
        *wide++ = static_cast<unsigned char>(*text);
    } while (*text++ != 0);
}

// Each argument in the words the calling convention passes it in: a 64-bit
// integer takes two on a 32-bit build.
void format_rows()
{
    printf("pointer bits %d\n", static_cast<int>(sizeof(void*) * 8));
    for (size_t r = 0; r < sizeof FORMAT_ROWS / sizeof FORMAT_ROWS[0]; ++r) {
        const FormatRow& row = FORMAT_ROWS[r];
        wchar_t wide_texts[8][32];
        intptr_t words[12] = {0};
        size_t n = 0;
        for (size_t k = 0; k < 8 && row.args[k].kind != NO_ARG; ++k) {
            const FormatArg& arg = row.args[k];
            if (arg.kind == WIDE_ARG) {
                widen(arg.text, wide_texts[k]);
                words[n++] = reinterpret_cast<intptr_t>(wide_texts[k]);
            } else if (arg.kind == NARROW_ARG) {
                words[n++] = reinterpret_cast<intptr_t>(arg.text);
            } else if (arg.kind == INT64_ARG && sizeof(intptr_t) == 4) {
                words[n++] = static_cast<intptr_t>(arg.value & 0xFFFFFFFF);
                words[n++] = static_cast<intptr_t>(arg.value >> 32);
            } else {
                words[n++] = static_cast<intptr_t>(arg.value);
            }
        }
        wchar_t wide[64];
        char narrow[64];
        wmemset(wide, L'#', 64);
        memset(narrow, '#', 64);
        bool none = row.count < 0;
        size_t count = none ? 0 : static_cast<size_t>(row.count);
        int returned;
        if (row.wide) {
            wchar_t format[64];
            widen(row.format, format);
            returned = _snwprintf(none ? NULL : wide, count, format, words[0], words[1], words[2], words[3],
                                  words[4], words[5], words[6], words[7], words[8], words[9]);
        } else {
            returned = _snprintf(none ? NULL : narrow, count, row.format, words[0], words[1], words[2], words[3],
                                 words[4], words[5], words[6], words[7], words[8], words[9]);
        }
        printf("%d %d", static_cast<int>(r), returned);
        for (size_t k = 0; k < count && (row.wide ? wide[k] : narrow[k]) != 0; ++k) {
            printf(" %x", row.wide ? static_cast<unsigned>(wide[k]) : static_cast<unsigned char>(narrow[k]));
        }
        printf("\n");
    }
}

struct Wide {
    wchar_t text[128];
    explicit Wide(const char* utf8) { MultiByteToWideChar(CP_UTF8, 0, utf8, -1, text, 128); }
};

void call_rows()
{
    for (size_t r = 0; r < sizeof CALL_ROWS / sizeof CALL_ROWS[0]; ++r) {
        Wide name(CALL_ROWS[r].name), other(CALL_ROWS[r].other);
        long result = call_row(CALL_ROWS[r], name.text, other.text);
        printf("%d %ld\n", static_cast<int>(r), result);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && strcmp(argv[1], "format") == 0) {
        format_rows();
        return 0;
    }
    if (argc == 2 && strcmp(argv[1], "calls") == 0) {
        call_rows();
        return 0;
    }
    if (argc == 2 && strcmp(argv[1], "input") == 0) {
        for (wint_t unit; (unit = getwchar()) != WEOF;) {
            printf(" %x", static_cast<unsigned>(unit));
        }
        printf("\n");
        return 0;
    }
    fprintf(stderr, "usage: api_probe format|calls|input\n");
    return 2;
}
