// The device's console on the host: standard output carries the 8-bit and
// the wide messages as UTF-8, in the order printed. What is printed waits in
// one buffer and goes out in few writes: before the tool waits for anything
// (a key, a program, a pause, the storage), when the buffer is full, once its
// oldest byte has waited CONSOLE_DELAY_NS, and at the end of the process.
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "emulator.h"
#include "format.h"

namespace ce {

namespace {

// A screen shows the progress line move about twenty times a second.
const long long CONSOLE_DELAY_NS = 50000000;

// File-level, not the device's: the signal handler writes it out, and may
// touch nothing that a boot allocates. A boot writes it out: the screen stays.
char waiting[CONSOLE_BYTES];
size_t waiting_size = 0;   // bytes printed and not yet shown
size_t waiting_shown = 0;  // of those, the first ones a write given way to a signal has shown
long long oldest_waiting_ns = 0;

long long now_ns()
{
    // The coarse clock costs no system call, and a few milliseconds do not matter here.
    timespec now;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}


int read_host_byte()
{
    int& ahead = device().console_read_ahead;
    if (ahead >= 0) {
        int byte = ahead;
        ahead = -1;
        return byte;
    }
    unsigned char byte;
    for (;;) {
        ssize_t got = read(STDIN_FILENO, &byte, 1);
        if (got == 1) {
            return byte;
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        return -1;
    }
}

// The console in text mode, as the device's run-time reads it: CR LF
// arrives as LF, and Ctrl-Z ends the input.
int read_byte()
{
    Device& dev = device();
    if (dev.console_input_ended) {
        return -1;
    }
    int byte = read_host_byte();
    if (byte == 0x1A) {
        dev.console_input_ended = true;
        return -1;
    }
    if (byte == '\r') {
        dev.console_read_ahead = read_host_byte();
        if (dev.console_read_ahead == '\n') {
            dev.console_read_ahead = -1;
            return '\n';
        }
    }
    return byte;
}

}  // namespace

void write_console(const char* at, size_t left)
{
    SignalsHeld held;
    while (left > 0 && !signal_waits()) {
        if (waiting_size == 0) {
            oldest_waiting_ns = now_ns();
        }
        size_t part = left < CONSOLE_BYTES - waiting_size ? left : CONSOLE_BYTES - waiting_size;
        std::memcpy(waiting + waiting_size, at, part);
        waiting_size += part;
        at += part;
        left -= part;
        if (waiting_size == CONSOLE_BYTES) {
            flush_console();
        }
    }
    if (waiting_size > 0 && now_ns() - oldest_waiting_ns >= CONSOLE_DELAY_NS) {
        flush_console();
    }
}

void flush_console()
{
    SignalsHeld held;
    waiting_shown += write_all(STDOUT_FILENO, waiting + waiting_shown, waiting_size - waiting_shown);
    if (waiting_shown < waiting_size && signal_waits()) {
        return;  // the signal's end writes the rest
    }
    // Shown, or swallowed by a console that takes nothing (its reader gone).
    waiting_size = 0;
    waiting_shown = 0;
}

}  // namespace ce

extern "C" int ce_printf(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    // Called once per chunk of the image for the progress line: the text's
    // buffer is kept from call to call.
    static std::string text;
    text.clear();
    ce::format_or_fault("printf", format, arguments, text);
    va_end(arguments);
    ce::write_console(text.data(), text.size());
    return static_cast<int>(text.size());
}

extern "C" int ce_wprintf(const WCHAR* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    std::u16string text = ce::format_wide_or_fault("wprintf", format, arguments);
    va_end(arguments);
    std::string bytes = ce::to_utf8(text);
    ce::write_console(bytes.data(), bytes.size());
    return static_cast<int>(text.size());
}

// Formats into the caller's buffer as the device's run-time does: at most
// count characters, a terminator only where there is room for it, and -1
// when the text was cut; no buffer and a count of 0 ask for the length.
extern "C" int ce_snwprintf(WCHAR* buffer, size_t count, const WCHAR* format, ...)
{
    if (buffer == nullptr && count != 0) {
        ce::device_fault("_snwprintf", "buffer NULL");
    }
    va_list arguments;
    va_start(arguments, format);
    std::u16string text = ce::format_wide_or_fault("_snwprintf", format, arguments);
    va_end(arguments);
    return ce::copy_formatted(buffer, count, text);
}

int ce::copy_formatted(char16_t* buffer, size_t count, const std::u16string& text)
{
    if (buffer == nullptr) {
        return static_cast<int>(text.size());
    }
    size_t copied = text.size() < count ? text.size() : count;
    text.copy(buffer, copied);
    if (copied < count) {
        buffer[copied] = 0;
    }
    return copied == text.size() ? static_cast<int>(copied) : -1;
}

extern "C" wint_t ce_getwchar(void)
{
    // The question shows before its answer is read; whoever types the answer
    // may look at the trace first.
    ce::flush_console();
    ce::flush_trace();
    if (!ce::device().console_pending.empty()) {
        wint_t unit = ce::device().console_pending[0];
        ce::device().console_pending.erase(0, 1);
        return unit;
    }
    int lead = ce::read_byte();
    if (lead < 0) {
        return WEOF;
    }
    std::string sequence(1, static_cast<char>(lead));
    // A byte that cannot lead a sequence is one broken character.
    size_t length = ce::utf8_length(static_cast<unsigned char>(lead));
    length = length == 0 ? 1 : length;
    while (sequence.size() < length) {
        int next = ce::read_byte();
        if (next < 0) {
            break;
        }
        sequence += static_cast<char>(next);
        if ((next & 0xC0) != 0x80) {
            // Not a continuation: the sequence is broken where it stands.
            break;
        }
    }
    std::u16string units = ce::to_utf16(sequence);
    ce::device().console_pending = units.substr(1);
    return units[0];
}
