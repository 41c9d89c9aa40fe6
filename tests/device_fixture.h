// Throwaway emulated devices and runs of the tool on them.
#ifndef TESTS_DEVICE_FIXTURE_H
#define TESTS_DEVICE_FIXTURE_H

#include <map>
#include <string>
#include <vector>

struct RunResult {
    std::string out;
    std::string err;
    int status = -1;      // exit status, or -1 when killed
    int signal = 0;       // the signal that ended it, when killed
    bool timed_out = false;
};

struct RunOptions {
    std::string input;
    bool keep_input_open = false;  // a console that never ends: a read would block
    double timeout_seconds = 30;
    std::map<std::string, std::string> env;  // added to the environment
    std::vector<std::string> unset;          // removed from it
    std::string working_dir;
    bool stdout_closed = false;    // the child starts with descriptor 1 closed
    int stdout_pipe_bytes = 0;     // the capacity of the pipe it writes to; 0: the system's
};

// Keys typed at the console. A console kept open never ends, so a read past
// the keys blocks until the timeout.
RunOptions typed(const std::string& keys, bool keep_open = false);

// Writes the typed keys to a child's standard input, then closes it unless
// the console is to stay open.
void feed_input(int fd, const RunOptions& options);

RunResult run_program(const std::string& program, const std::vector<std::string>& args, const RunOptions& options);

// The same in two halves, for a test that acts on the child while it runs:
// started with its signals at their defaults, the parent holding the other
// ends of its standard streams (out is -1 when stdout_closed).
struct Started {
    int pid = -1;
    int in = -1, out = -1, err = -1;
};
Started start_program(const std::string& program, const std::vector<std::string>& args, const RunOptions& options);
// Reads what is left on out (unless closed, -1) and err until the child ends.
RunResult finish_program(Started& child, const RunOptions& options);

// A fresh device folder under the system's temporary folder, removed at the end.
class TempDevice {
public:
    TempDevice();
    ~TempDevice();
    TempDevice(const TempDevice&) = delete;
    TempDevice& operator=(const TempDevice&) = delete;

    const std::string& path() const { return path_; }
    std::string root() const { return path_ + "/root"; }
    void set_driver(const std::string& content) const;  // $CE_DEVICE/ucs1
    void write(const std::string& relative, const std::string& bytes) const;
    void make_folder(const std::string& relative) const;
    bool exists(const std::string& relative) const;
    std::string read(const std::string& relative) const;
    std::string trace() const;
    // Every file under root/, relative names and contents.
    std::map<std::string, std::string> files() const;

    RunResult run(const std::string& program, const std::vector<std::string>& args, RunOptions options = {}) const;

private:
    std::string path_;
};

std::string read_file(const std::string& path);
std::vector<std::string> lines_of(const std::string& text);

#endif
