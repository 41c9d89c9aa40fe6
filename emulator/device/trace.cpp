// trace.log: its lines in order, the lines that may wait held in memory.
#include "emulator.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace ce {
namespace {

// File-level, not the device's: the signal handler writes them out, and
// may touch nothing that a boot allocates. Reset by start_trace().
int trace_fd = -1;
// Lines that may wait (trace_deferred), and the line that ends their wait,
// go out to trace.log together in one write.
char pending[65536];
size_t pending_size = 0;

}  // namespace

void start_trace()
{
    flush_trace();
    if (trace_fd >= 0) {
        close(trace_fd);
        trace_fd = -1;
    }
}

void trace_at_signal(const char* line)
{
    if (trace_fd >= 0) {
        write_all(trace_fd, pending, pending_size);
        pending_size = 0;
        write_all(trace_fd, line, std::strlen(line));
    }
}

namespace {

void open_trace()
{
    if (trace_fd >= 0) {
        return;
    }
    std::string path = device().folder + "/trace.log";
    // Checked at boot; what took its place since is refused as well.
    trace_fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    struct stat info;
    if (trace_fd < 0 || fstat(trace_fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1) {
        flush_console();
        std::fprintf(stderr, "%s: %s\n", path.c_str(),
                     trace_fd < 0 ? std::strerror(errno) : "no longer a regular file of its own");
        std::_Exit(2);
    }
}

bool fits_pending(std::string_view line)
{
    return pending_size + line.size() + 1 <= sizeof pending;
}

void add_pending(std::string_view line)
{
    std::memcpy(pending + pending_size, line.data(), line.size());
    pending_size += line.size();
    pending[pending_size++] = '\n';
}

}  // namespace

void trace(std::string_view line)
{
    if (!device().traced) {
        return;
    }
    SignalsHeld held;
    open_trace();
    if (!fits_pending(line)) {
        flush_trace();
    }
    if (fits_pending(line)) {
        add_pending(line);
        flush_trace();
        return;
    }
    std::string longer(line);
    longer += '\n';
    write_all(trace_fd, longer.data(), longer.size());
}

void trace_deferred(std::string_view line)
{
    if (!device().traced) {
        return;
    }
    SignalsHeld held;
    open_trace();
    if (!fits_pending(line)) {
        flush_trace();
    }
    if (!fits_pending(line)) {
        trace(line);
        return;
    }
    add_pending(line);
}

void flush_trace()
{
    SignalsHeld held;
    if (pending_size > 0 && trace_fd >= 0) {
        write_all(trace_fd, pending, pending_size);
    }
    pending_size = 0;
}

}  // namespace ce
