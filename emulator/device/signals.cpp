// The signals that end the process: what the trace and the console hold
// goes out first, and a held section makes them wait.
#include "emulator.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

namespace ce {

volatile sig_atomic_t signals_held = 0;
volatile sig_atomic_t waiting_signal = 0;
volatile sig_atomic_t ending = 0;

namespace {

const int ENDING_SIGNALS[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};
const int TIME_LIMIT_STATUS = 124;

// What the time limit writes, made before it can strike.
char time_limit_said[1024];
size_t time_limit_said_size = 0;

const char* killed_line(int signal_number)
{
    switch (signal_number) {
    case SIGHUP: return "killed by SIGHUP\n";
    case SIGINT: return "killed by SIGINT\n";
    case SIGQUIT: return "killed by SIGQUIT\n";
    default: return "killed by SIGTERM\n";
    }
}

// Writes out what was traced and what waits for the console, then ends the
// process as the signal does. Only async-signal-safe calls: it runs in the
// handler, or where a held section ends.
[[noreturn]] void end_by_signal(int signal_number)
{
    ending = 1;
    std::signal(signal_number, SIG_DFL);  // a second one ends it at once
    // The trace first: a console nobody reads may block.
    trace_at_signal(signal_number == SIGALRM ? "stopped at the time limit\n" : killed_line(signal_number));
    flush_console();
    if (signal_number == SIGALRM) {
        write_all(STDERR_FILENO, time_limit_said, time_limit_said_size);
        _exit(TIME_LIMIT_STATUS);
    }
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal_number);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    raise(signal_number);
    _exit(128 + signal_number);
}

void on_signal(int signal_number)
{
    if (ending) {
        std::signal(signal_number, SIG_DFL);
        raise(signal_number);
        return;
    }
    if (signals_held > 0) {
        waiting_signal = signal_number;
        return;
    }
    end_by_signal(signal_number);
}

}  // namespace

// A closed standard stream would be the number the next open takes: the
// trace must never land on the console, nor the console in a device file.
void open_standard_streams()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF &&
            open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY) != fd) {
            std::_Exit(2);
        }
    }
}

void take_signals()
{
    // A console whose reader has gone swallows the output, as a screen would.
    std::signal(SIGPIPE, SIG_IGN);
    struct sigaction handled = {};
    handled.sa_handler = on_signal;
    sigemptyset(&handled.sa_mask);
    for (int s : ENDING_SIGNALS) {
        sigaddset(&handled.sa_mask, s);
    }
    // No SA_RESTART: a console write that blocks gives way to the signal.
    handled.sa_flags = 0;
    for (int s : ENDING_SIGNALS) {
        struct sigaction now;
        // What the caller ignores stays ignored (nohup, a background job).
        if (sigaction(s, nullptr, &now) == 0 && now.sa_handler == SIG_DFL) {
            sigaction(s, &handled, nullptr);
        }
    }
}

void limit_time(unsigned seconds, const std::string& said)
{
    time_limit_said_size = said.copy(time_limit_said, sizeof time_limit_said - 1);
    time_limit_said[time_limit_said_size++] = '\n';
    struct sigaction handled = {};
    handled.sa_handler = on_signal;
    sigemptyset(&handled.sa_mask);
    for (int s : ENDING_SIGNALS) {
        sigaddset(&handled.sa_mask, s);
    }
    sigaction(SIGALRM, &handled, nullptr);
    alarm(seconds);
}

void end_by_waiting_signal()
{
    end_by_signal(waiting_signal);
}

bool signal_waits()
{
    return waiting_signal != 0 && !ending;
}

size_t write_all(int fd, const char* at, size_t left)
{
    size_t written = 0;
    while (left > 0) {
        ssize_t done = write(fd, at, left);
        if (done < 0 && errno == EINTR && !signal_waits()) {
            continue;
        }
        if (done <= 0) {
            break;
        }
        at += done;
        left -= static_cast<size_t>(done);
        written += static_cast<size_t>(done);
    }
    return written;
}

}  // namespace ce
