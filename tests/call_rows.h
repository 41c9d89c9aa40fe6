// Platform calls row by row, in order, on one device: the call, its
// arguments (UTF-8 here, wide text for the call) and the device's result.
// The host tests run them on an emulated device; tests/windows/api_probe.cpp
// runs them on the real API, where the Wine test compares each result.
#ifndef TESTS_CALL_ROWS_H
#define TESTS_CALL_ROWS_H

enum CallKind {
    MAKE_FILE,         // set-up: a file of a few bytes, created in the folder the device starts in
    MAKE_FOLDER,       // set-up
    MAKE_KEY,          // set-up: a key below HKEY_LOCAL_MACHINE
    MAKE_VALUE,        // set-up: a text value of the key `name`, named `other`
    OPEN_TO_READ,      // _wfopen(name, "r"), then fclose
    MOVE,              // MoveFileW(name, other)
    DELETE_FILE,       // DeleteFileW(name)
    OPEN_KEY,          // RegOpenKeyExW(HKEY_LOCAL_MACHINE, name), then RegCloseKey
    QUERY_VALUE,       // RegQueryValueExW of the key `name`'s value `other`, no data asked
    FLUSH_ALL,         // fflush(NULL) with `name` open for writing
    FLUSH_CONSOLE,     // fflush(stdout)
    WRITE_NOTHING,     // fwrite of 5 elements of size 0 to `name` opened "wb"
    FLUSH_READ_ONLY,   // FlushFileBuffers on the handle of `name` opened "r"
    CLOSE_ROOT_KEY,    // RegCloseKey(HKEY_LOCAL_MACHINE)
    CLOSE_INVALID,     // CloseHandle(INVALID_HANDLE_VALUE)
    EXIT_CODE_INVALID, // GetExitCodeProcess(INVALID_HANDLE_VALUE)
    READ_BACK,         // _wfopen(name, "rb"), fread of 16 bytes: 0 when it reads the file's 4, then fclose
    DELETE_OPEN        // DeleteFileW(name) while `name` is open for writing ("wb")
};

// A result: 0 for success (the call's own success value), else the error
// code the call returned or left as the last error.
struct CallRow {
    CallKind kind;
    const char* name;
    const char* other;
    long device;  // what the device gives
    long win32;   // what desktop Win32 gives, where the device is known to differ; else the same
};

#define SAME_AS_DEVICE (-1)

#if defined(_WINDOWS_) || defined(CE_EMULATED_WINDOWS_H)
// Makes the row's call (tests/call_rows.cpp) with its names as wide text:
// the result as the row holds it.
long call_row(const CallRow& row, const WCHAR* name, const WCHAR* other);
#endif

static const CallRow CALL_ROWS[] = {
    {MAKE_FILE, "\xC3\xA4rger4.txt", "", 0, SAME_AS_DEVICE},                    // ärger4.txt
    {MAKE_FILE, "src.txt", "", 0, SAME_AS_DEVICE},
    {MAKE_FILE, "\xCF\x83\xCE\xAF\xCF\x83\xCF\x85\xCF\x86\xCE\xBF\xCF\x82.txt", "", 0, SAME_AS_DEVICE},  // σίσυφος.txt
    {MAKE_FILE, "x.txt", "", 0, SAME_AS_DEVICE},
    {MAKE_FILE, "\xD0\xB6\xD1\x83\xD0\xBA.txt", "", 0, SAME_AS_DEVICE},   // жук.txt
    {MAKE_FOLDER, "sub", "", 0, SAME_AS_DEVICE},
    {MAKE_KEY, "Software\\Probe\xC3\xA4\\\xCF\x83\xCE\xAF\xCF\x83\xCF\x85\xCF\x86\xCE\xBF\xCF\x82", "", 0,
     SAME_AS_DEVICE},                                                        // Software\Probeä\σίσυφος
    {MAKE_VALUE, "Software\\Probe\xC3\xA4", "wert\xC3\xB6", 0, SAME_AS_DEVICE},  // wertö
    // Names in another case, over the whole of Unicode's simple upper-case mapping.
    {MOVE, "src.txt", "\xC3\x84RGER4.txt", 183, SAME_AS_DEVICE},             // ÄRGER4.txt
    // Win32 leaves out the mappings that do not come back by the lower case
    // (final sigma to capital sigma, whose lower case is the other sigma).
    {MOVE, "src.txt", "\xCE\xA3\xCE\x8A\xCE\xA3\xCE\xA5\xCE\xA6\xCE\x9F\xCE\xA3.TXT", 183, 0},  // ΣΊΣΥΦΟΣ.TXT
    {OPEN_TO_READ, "\xD0\x96\xD0\xA3\xD0\x9A.TXT", "", 0, SAME_AS_DEVICE},   // ЖУК.TXT
    {DELETE_FILE, "\xC3\x84rger4.TXT", "", 0, SAME_AS_DEVICE},
    {OPEN_TO_READ, "\xC3\xA4rger4.txt", "", 2, SAME_AS_DEVICE},
    {OPEN_KEY, "SOFTWARE\\PROBE\xC3\x84\\\xCE\xA3\xCE\x8A\xCE\xA3\xCE\xA5\xCE\xA6\xCE\x9F\xCE\xA3", "", 0, 2},
    {QUERY_VALUE, "software\\probe\xC3\xA4", "WERT\xC3\x96", 0, SAME_AS_DEVICE},
    {OPEN_KEY, "Software\\Probe\xC3\xA4\\\xCF\x82", "", 2, SAME_AS_DEVICE},  // a final sigma alone is no key here
    // Path forms: trailing dots and blanks dropped, . and .. within the root.
    {OPEN_TO_READ, "x.txt.", "", 0, SAME_AS_DEVICE},
    {OPEN_TO_READ, "x.txt . ..", "", 0, SAME_AS_DEVICE},
    {OPEN_TO_READ, "\\sub\\..\\x.txt", "", 0, SAME_AS_DEVICE},
    {OPEN_TO_READ, "\\.\\sub\\.\\..\\x.txt", "", 0, SAME_AS_DEVICE},
    {OPEN_TO_READ, "\\..\\..\\x.txt", "", 0, SAME_AS_DEVICE},
    {OPEN_TO_READ, "sub.\\..\\x.txt", "", 0, SAME_AS_DEVICE},
    {OPEN_TO_READ, "\\sub\\x.txt", "", 2, SAME_AS_DEVICE},
    {OPEN_KEY, "Software\\\\Probe\xC3\xA4\\\\", "", 0, SAME_AS_DEVICE},
    {OPEN_KEY, "\\Software", "", 161, SAME_AS_DEVICE},                         // ERROR_BAD_PATHNAME
    // What the run-time and the platform do where the emulation went its own way.
    {FLUSH_ALL, "flushed.txt", "", 0, SAME_AS_DEVICE},
    {FLUSH_CONSOLE, "", "", 0, SAME_AS_DEVICE},
    {WRITE_NOTHING, "nothing.bin", "", 0, SAME_AS_DEVICE},
    {FLUSH_READ_ONLY, "x.txt", "", 5, SAME_AS_DEVICE},                         // ERROR_ACCESS_DENIED
    {CLOSE_ROOT_KEY, "", "", 0, SAME_AS_DEVICE},
    // The device's current process is the pseudo-handle 0x42; Win32's is -1.
    {CLOSE_INVALID, "", "", 6, 0},                                             // ERROR_INVALID_HANDLE
    {EXIT_CODE_INVALID, "", "", 6, 0},
    // What the device probe finds out.
    {READ_BACK, "x.txt", "", 0, SAME_AS_DEVICE},
    {READ_BACK, "gone.txt", "", 2, SAME_AS_DEVICE},
    {DELETE_OPEN, "held.bin", "", 32, SAME_AS_DEVICE},                         // ERROR_SHARING_VIOLATION
    {DELETE_FILE, "held.bin", "", 0, SAME_AS_DEVICE},
};

#endif
