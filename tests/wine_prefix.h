// Throwaway Wine prefixes for running the Windows build of the tool against
// the real Windows API: its resource loader, file system, console, registry
// and processes.
#ifndef TESTS_WINE_PREFIX_H
#define TESTS_WINE_PREFIX_H

#include <map>
#include <string>
#include <vector>

#include "device_fixture.h"

// The Windows build that runs here and the Wine that runs it: the 32-bit
// build under 32-bit Wine where that runs, else the 64-bit build under
// 64-bit Wine. Chosen once, by running the Wine loaders.
struct WineChoice {
    int bits = 0;          // 32 or 64
    std::string tree;      // the folder of that Windows build
    std::string loader;    // the Wine loader that runs it
    std::string version;   // what the loader says of itself
    std::string shown;     // which build and which Wine, for the test's output
};
// False when no pair can run here, with the reasons in why_not.
bool choose_wine(WineChoice& choice, std::string& why_not);
const WineChoice& chosen_wine();

// A program of the chosen Windows build, by its path inside the build folder.
std::string windows_program(const std::string& relative);

// A test program's main: prints which build and Wine it uses, or why it
// cannot run any and exits with SKIP_CODE; then runs the tests.
const int SKIP_CODE = 77;
int run_wine_tests(int argc, char** argv);

// A prefix of the chosen Wine's architecture under the system's temporary
// folder, removed with its wineserver at the end. Programs run with their working directory on C:,
// so that "\NK1.bin" names C:\NK1.bin inside the prefix (Z: is the host's /).
class WinePrefix {
public:
    WinePrefix();
    ~WinePrefix();
    WinePrefix(const WinePrefix&) = delete;
    WinePrefix& operator=(const WinePrefix&) = delete;

    // The host folder behind C:\.
    std::string drive_c() const { return path_ + "/prefix/drive_c"; }

    // Removes everything from C:\ that the prefix did not start with.
    void clean_drive_c() const;
    // The files and folders on C:\ that the prefix did not start with, as
    // C:\'s relative names and contents ("<folder>" for a folder).
    std::map<std::string, std::string> added_files() const;
    void write(const std::string& relative, const std::string& bytes) const;

    // Runs a Windows program (a host path) in C:\ with the given command-line
    // arguments. The console's line ends come back as written: CRLF.
    RunResult run(const std::string& program, const std::vector<std::string>& args, RunOptions options = {}) const;
    // Runs one of Wine's own programs (reg, regedit, ...) the same way.
    RunResult run_builtin(const std::vector<std::string>& command_line, RunOptions options = {}) const;

private:
    RunOptions wine_options(RunOptions options) const;

    std::string path_;
    std::vector<std::string> original_entries_;
};

// The console's CRLF line ends as LF, for comparing with the host build.
std::string fold_crlf(const std::string& text);

#endif
