// The console's input as the device's run-time reads it, row by row: the
// bytes typed, and the characters getwchar gives before WEOF.
#ifndef TESTS_INPUT_ROWS_H
#define TESTS_INPUT_ROWS_H

struct InputRow {
    const char* typed;
    const char* read;
};

static const InputRow INPUT_ROWS[] = {
    {"y\r\n", "y\n"},
    {"a\rb\r", "a\rb\r"},
    {"\r\r\n\n", "\r\n\n"},
    {"ab\x1a" "cd\n", "ab"},  // Ctrl-Z ends the input
    {"\x1a\r\n", ""},
    {"\r\x1a" "x", "\r"},
};

#endif
