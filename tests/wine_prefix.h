// Throwaway Wine prefixes for running the Windows build of the tool against
// the real Windows API: its resource loader, file system, console, registry
// and processes.
#ifndef TESTS_WINE_PREFIX_H
#define TESTS_WINE_PREFIX_H

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "device_fixture.h"

// A Windows build the tests may run, and the Wine it needs.
struct WindowsBuild {
    int bits;             // 32 or 64: the Wine that runs it
    std::string name;     // "the 32-bit Windows build", for the output
    std::string tree;     // its build folder
    std::string missing;  // why it was not built, "" when it was
};

// Chooses, once, the build that runs here and the Wine that runs it, by
// running the Wine loaders: the first of the builds offered whose Wine runs.
// False when none can run here, with the reasons in why_not.
bool choose_wine(const std::vector<WindowsBuild>& builds, std::string& why_not);
// Prints the line "Wine: <test program>: <which build, which Wine>".
void say_which_wine(const char* test_program);

// A program of the chosen build, by its path inside the build folder.
std::string windows_program(const std::string& relative);

// A test program's main: says which build and Wine it uses, or why it can
// run none and exits with SKIP_CODE; then runs the tests.
const int SKIP_CODE = 77;
int run_wine_tests(int argc, char** argv, const std::vector<WindowsBuild>& builds);

// The two Windows builds, in the order they are preferred.
#define WINDOWS_BUILDS                                                                 \
    {                                                                                  \
        {32, "the 32-bit Windows build", WINDOWS32_DIR, WINDOWS32_MISSING},            \
        {64, "the 64-bit Windows build", WINDOWS64_DIR, WINDOWS64_MISSING}             \
    }

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
    // Kills the prefix's wineserver and waits for it to end.
    void end_server() const;
    RunOptions wine_options(RunOptions options) const;

    std::string path_;
    std::vector<std::string> original_entries_;
};

// A suite whose cases share one prefix, made before its first case.
class WinePrefixSuite : public ::testing::Test {
protected:
    static void SetUpTestSuite() { prefix = new WinePrefix(); }
    static void TearDownTestSuite()
    {
        delete prefix;
        prefix = nullptr;
    }
    static inline WinePrefix* prefix = nullptr;
};

// The console's CRLF line ends as LF, for comparing with the host build.
std::string fold_crlf(const std::string& text);

#endif
