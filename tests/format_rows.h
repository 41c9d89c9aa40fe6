// The run-time's formatting, row by row: the format, its arguments and what
// the device's run-time makes of them. The host tests check the emulation's
// formatter against each row; tests/windows/api_probe.cpp makes the same
// calls on the real run-time, which the Wine test compares.
#ifndef TESTS_FORMAT_ROWS_H
#define TESTS_FORMAT_ROWS_H

enum FormatArgKind { NO_ARG, INT_ARG, INT64_ARG, POINTER_ARG, NARROW_ARG, WIDE_ARG, NULL_ARG };
struct FormatArg {
    FormatArgKind kind;
    long long value;   // INT_ARG, INT64_ARG, POINTER_ARG
    const char* text;  // NARROW_ARG, WIDE_ARG: ASCII, widened for WIDE_ARG
};
struct FormatRow {
    bool wide;           // _snwprintf (the format widened), else _snprintf
    const char* format;  // ASCII
    FormatArg args[8];
    int count;           // the buffer's size in units; -1: no buffer and a count of 0
    int returns;         // TEXT_LENGTH: the text's length
    const char* text;    // what the buffer holds
    bool pointer_sized;  // the text is the device's 32-bit one: a 64-bit run-time shows more
};

#define TEXT_LENGTH (-2)
#define I(v) {INT_ARG, (v), 0}
#define L(v) {INT64_ARG, (v), 0}
#define P(v) {POINTER_ARG, (v), 0}
#define N(s) {NARROW_ARG, 0, (s)}
#define W(s) {WIDE_ARG, 0, (s)}
#define Z {NULL_ARG, 0, 0}

static const FormatRow FORMAT_ROWS[] = {
    {true, "%5d|%-5d|%05d|%d", {I(42), I(42), I(42), I(-2147483647 - 1)}, 64, TEXT_LENGTH, "   42|42   |00042|-2147483648", false},
    {true, "%x %X %#x %#X %o %#o", {I(255), I(255), I(255), I(0), I(8), I(8)}, 64, TEXT_LENGTH, "ff FF 0xff 0 10 010", false},
    {true, "%u %i %+d % d %.3d", {I(-1), I(-1), I(7), I(7), I(7)}, 64, TEXT_LENGTH, "4294967295 -1 +7  7 007", false},
    {true, "%ld %lld %I64d %I32d", {I(-5), L(1099511627776LL), L(-1099511627776LL), I(-6)}, 64, TEXT_LENGTH,
     "-5 1099511627776 -1099511627776 -6", false},
    {true, "%hd %hu %I64x %llX", {I(65537), I(-1), L(0xFFFFFFFFFFLL), L(0xABCDEF012LL)}, 64, TEXT_LENGTH,
     "1 65535 ffffffffff ABCDEF012", false},
    {true, "%-05d|%05d|%.0d|%5.3d|%-+4d|", {I(-3), I(-3), I(0), I(-4), I(5)}, 64, TEXT_LENGTH, "-3   |-0003|| -004|+5  |",
     false},
    {true, "%*d|%-*d|%*d|%.*d", {I(4), I(1), I(3), I(2), I(-3), I(3), I(-1), I(4)}, 64, TEXT_LENGTH, "   1|2  |3  |4", false},
    {true, "%s|%ls|%ws|%S|%hs", {W("ab"), W("cd"), W("ef"), N("gh"), N("ij")}, 64, TEXT_LENGTH, "ab|cd|ef|gh|ij", false},
    {true, "%.2s|%5s|%-4s|%.0s|%05s", {W("abc"), W("ab"), W("x"), W("y"), W("ab")}, 64, TEXT_LENGTH, "ab|   ab|x   ||000ab", false},
    {true, "%.*s|%*S", {I(1), W("abc"), I(3), N("d")}, 64, TEXT_LENGTH, "a|  d", false},
    {true, "%c%C%lc%hc%wc%3c|", {I('a'), I('b'), I('c'), I('d'), I('e'), I('f')}, 64, TEXT_LENGTH, "abcde  f|", false},
    {true, "%s|%S|%.3s", {Z, Z, Z}, 64, TEXT_LENGTH, "(null)|(null)|(nu", false},
    {true, "100%% %d%%", {I(5)}, 64, TEXT_LENGTH, "100% 5%", false},
    {true, "%p|%#p|%12p", {P(0x1234), P(0xab), P(0)}, 64, TEXT_LENGTH, "00001234|0X000000AB|    00000000", true},
    {true, "%d", {I(12345)}, -1, 5, "", false},
    {true, "%d", {I(12345)}, 5, 5, "12345", false},
    {true, "%d", {I(12345)}, 3, -1, "123", false},
    {false, "%s|%S|%ls|%hs|%ws", {N("ab"), W("cd"), W("ef"), N("gh"), W("ij")}, 64, TEXT_LENGTH, "ab|cd|ef|gh|ij", false},
    {false, "%c%C%lc%hc|%-3c|%5.1s", {I('a'), I('b'), I('c'), I('d'), I('e'), N("xyz")}, 64, TEXT_LENGTH, "abcd|e  |    x", false},
    {false, "%s %S %3d%%", {Z, Z, I(9)}, 64, TEXT_LENGTH, "(null) (null)   9%", false},
};

#undef I
#undef L
#undef P
#undef N
#undef W
#undef Z

#endif
