#include "wine_prefix.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace fs = std::filesystem;

namespace {

std::string on_path(const std::string& name)
{
    const char* path = getenv("PATH");
    std::string folders = path != nullptr ? path : "";
    size_t start = 0;
    while (start <= folders.size()) {
        size_t end = folders.find(':', start);
        if (end == std::string::npos) {
            end = folders.size();
        }
        std::string candidate = folders.substr(start, end - start) + "/" + name;
        if (end > start && access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        start = end + 1;
    }
    return "";
}

// Runs a Wine program with its output going to files rather than pipes, and
// waits for that program alone: the wineserver and the helper processes it
// may start live on, and would hold a pipe open long after the program ended.
RunResult run_to_files(const std::string& program, const std::vector<std::string>& args,
                       const RunOptions& options, const std::string& stem)
{
    std::string out_file = stem + ".out", err_file = stem + ".err";
    int in[2];
    if (pipe(in) != 0) {
        throw std::runtime_error("pipe failed");
    }
    pid_t pid = fork();
    if (pid == 0) {
        for (const std::string& name : options.unset) {
            unsetenv(name.c_str());
        }
        for (const auto& kv : options.env) {
            setenv(kv.first.c_str(), kv.second.c_str(), 1);
        }
        int out = open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || err < 0 || chdir(options.working_dir.c_str()) != 0) {
            _exit(126);
        }
        dup2(in[0], 0);
        dup2(out, 1);
        dup2(err, 2);
        close(in[0]);
        close(in[1]);
        close(out);
        close(err);
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const std::string& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        dprintf(2, "%s: %s\n", program.c_str(), std::strerror(errno));
        _exit(127);
    }
    close(in[0]);
    feed_input(in[1], options);

    RunResult result;
    int status = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(options.timeout_seconds);
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            result.timed_out = true;
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (options.keep_input_open) {
        close(in[1]);
    }
    result.status = !result.timed_out && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = read_file(out_file);
    result.err = read_file(err_file);
    std::remove(out_file.c_str());
    std::remove(err_file.c_str());
    return result;
}

}  // namespace

namespace {

// Debian keeps both loaders in /usr/lib/wine and puts a script on PATH that
// picks one by looking for files; elsewhere the loaders are on PATH.
std::string loader_of(int bits)
{
    const char* debian = bits == 32 ? "/usr/lib/wine/wine" : "/usr/lib/wine/wine64";
    if (fs::exists("/usr/lib/wine/wine") || fs::exists("/usr/lib/wine/wine64")) {
        return fs::exists(debian) ? debian : "";
    }
    return on_path(bits == 32 ? "wine" : "wine64");
}

// Whether the loader runs on this machine's kernel: a kernel without 32-bit
// support refuses the 32-bit loader with "Exec format error".
bool loader_runs(const std::string& loader, std::string& version, std::string& why_not)
{
    std::string scratch = (fs::temp_directory_path() / "wine-probe-XXXXXX").string();
    if (mkdtemp(scratch.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    RunOptions options;
    options.working_dir = scratch;
    options.timeout_seconds = 60;
    RunResult probe = run_to_files(loader, {"--version"}, options, scratch + "/probe");
    fs::remove_all(scratch);
    std::string said = probe.out + probe.err;
    while (!said.empty() && (said.back() == '\n' || said.back() == '\r')) {
        said.pop_back();
    }
    if (probe.status == 0 && probe.out.compare(0, 5, "wine-") == 0) {
        version = said;
        return true;
    }
    why_not = loader + " --version " + (probe.timed_out ? "timed out" : "failed (status " + std::to_string(probe.status) + ")") +
              (said.empty() ? "" : ": " + said);
    return false;
}

// The build chosen and the Wine that runs it.
struct WineChoice {
    int bits = 0;
    std::string tree;
    std::string loader;
    std::string shown;  // which build and which Wine, for the test's output
};
WineChoice the_choice;

}  // namespace

bool choose_wine(const std::vector<WindowsBuild>& builds, std::string& why_not)
{
    std::string reasons;
    for (const WindowsBuild& build : builds) {
        std::string bits = std::to_string(build.bits) + "-bit";
        std::string loader = loader_of(build.bits);
        std::string version, failure;
        if (!build.missing.empty()) {
            failure = "no " + build.name + ": " + build.missing;
        } else if (loader.empty()) {
            failure = "no " + bits + " Wine is installed";
        } else if (!loader_runs(loader, version, failure)) {
            failure = bits + " Wine does not run here: " + failure;
        } else {
            the_choice.bits = build.bits;
            the_choice.tree = build.tree;
            the_choice.loader = loader;
            the_choice.shown = build.name + " (" + build.tree + ") under " + bits + " Wine (" + loader + ", " +
                               version + ") in a win" + std::to_string(build.bits) + " prefix" +
                               (reasons.empty() ? "" : "; " + reasons);
            return true;
        }
        reasons += (reasons.empty() ? "" : "; ") + failure;
    }
    why_not = reasons;
    return false;
}

std::string windows_program(const std::string& relative)
{
    return the_choice.tree + "/" + relative;
}

void say_which_wine(const char* test_program)
{
    std::printf("Wine: %s: %s\n", fs::path(test_program).filename().c_str(), the_choice.shown.c_str());
    std::fflush(stdout);
}

int run_wine_tests(int argc, char** argv, const std::vector<WindowsBuild>& builds)
{
    ::testing::InitGoogleTest(&argc, argv);
    std::string why_not;
    if (!choose_wine(builds, why_not)) {
        std::printf("Skipped: the Windows build is not checked under Wine here: %s.\n", why_not.c_str());
        return SKIP_CODE;
    }
    say_which_wine(argv[0]);
    return RUN_ALL_TESTS();
}

namespace {

// The server that belongs with the loader, where it has one beside it.
std::string wine_server()
{
    std::string server = (fs::path(the_choice.loader).parent_path() / "wineserver").string();
    return access(server.c_str(), X_OK) == 0 ? server : on_path("wineserver");
}

}  // namespace

WinePrefix::WinePrefix()
{
    std::string pattern = (fs::temp_directory_path() / "wine-prefix-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
    // Wine keeps its server's socket folder under TMPDIR: inside, it goes
    // with the prefix.
    fs::create_directory(path_ + "/tmp");
    // wineboot reports the prefix it made on standard error; that stays out
    // of the programs' own output.
    RunOptions options = wine_options({});
    options.working_dir = path_;
    options.timeout_seconds = 180;
    // One server for the prefix's whole life, so that no registry change
    // rests on an idle server saving it and the next one loading it: on a
    // busy machine a program once saw keys that an import had deleted.
    fs::create_directory(path_ + "/prefix");
    std::string server = wine_server();
    if (!server.empty()) {
        run_to_files(server, {"-p"}, options, path_ + "/wineserver");
    }
    RunResult boot = run_to_files(the_choice.loader, {"wineboot.exe", "-i"}, options, path_ + "/wineboot");
    if (boot.status != 0 || !fs::is_directory(drive_c())) {
        std::string complaint = "wineboot -i failed (status " + std::to_string(boot.status) + "): " + boot.err;
        end_server();
        fs::remove_all(path_);
        throw std::runtime_error(complaint);
    }
    for (const auto& entry : fs::directory_iterator(drive_c())) {
        original_entries_.push_back(entry.path().filename().string());
    }
}

WinePrefix::~WinePrefix()
{
    end_server();
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

void WinePrefix::end_server() const
{
    RunOptions options = wine_options({});
    options.working_dir = path_;
    std::string server = wine_server();
    if (!server.empty()) {
        run_to_files(server, {"-k"}, options, path_ + "/wineserver");
        run_to_files(server, {"-w"}, options, path_ + "/wineserver");
    }
}

void WinePrefix::clean_drive_c() const
{
    for (const auto& entry : fs::directory_iterator(drive_c())) {
        std::string name = entry.path().filename().string();
        if (std::find(original_entries_.begin(), original_entries_.end(), name) == original_entries_.end()) {
            fs::remove_all(entry.path());
        }
    }
}

std::map<std::string, std::string> WinePrefix::added_files() const
{
    std::map<std::string, std::string> found;
    for (const auto& entry : fs::directory_iterator(drive_c())) {
        std::string name = entry.path().filename().string();
        if (std::find(original_entries_.begin(), original_entries_.end(), name) == original_entries_.end()) {
            found[name] = entry.is_directory() ? "<folder>" : read_file(entry.path().string());
        }
    }
    return found;
}

void WinePrefix::write(const std::string& relative, const std::string& bytes) const
{
    fs::path target = fs::path(drive_c()) / relative;
    fs::create_directories(target.parent_path());
    std::ofstream(target, std::ios::binary) << bytes;
}

RunOptions WinePrefix::wine_options(RunOptions options) const
{
    options.env["WINEPREFIX"] = path_ + "/prefix";
    options.env["WINEARCH"] = "win" + std::to_string(the_choice.bits);
    // The programs the prefix starts run under the same loader.
    options.env["WINELOADER"] = the_choice.loader;
    options.env["WINEDEBUG"] = "-all";
    options.env["TMPDIR"] = path_ + "/tmp";
    options.unset.push_back("DISPLAY");
    options.unset.push_back("WAYLAND_DISPLAY");
    options.working_dir = drive_c();
    return options;
}

RunResult WinePrefix::run(const std::string& program, const std::vector<std::string>& args, RunOptions options) const
{
    std::vector<std::string> command_line{program};
    command_line.insert(command_line.end(), args.begin(), args.end());
    return run_builtin(command_line, options);
}

RunResult WinePrefix::run_builtin(const std::vector<std::string>& command_line, RunOptions options) const
{
    return run_to_files(the_choice.loader, command_line, wine_options(options), path_ + "/run");
}

std::string fold_crlf(const std::string& text)
{
    std::string folded;
    for (size_t i = 0; i < text.size(); ++i) {
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) {
            folded += text[i];
        }
    }
    return folded;
}
