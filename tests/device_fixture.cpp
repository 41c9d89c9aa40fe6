#include "device_fixture.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

extern char** environ;

RunOptions typed(const std::string& keys, bool keep_open)
{
    RunOptions options;
    options.input = keys;
    options.keep_input_open = keep_open;
    options.timeout_seconds = keep_open ? 20 : 30;
    return options;
}

void feed_input(int fd, const RunOptions& options)
{
    signal(SIGPIPE, SIG_IGN);
    size_t written = 0;
    while (written < options.input.size()) {
        ssize_t n = write(fd, options.input.data() + written, options.input.size() - written);
        if (n <= 0) {
            break;
        }
        written += static_cast<size_t>(n);
    }
    if (!options.keep_input_open) {
        close(fd);
    }
}

Started start_program(const std::string& program, const std::vector<std::string>& args, const RunOptions& options)
{
    int in[2], out[2], err[2];
    if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) {
        throw std::runtime_error("pipe failed");
    }
    if (options.stdout_pipe_bytes > 0 && fcntl(out[0], F_SETPIPE_SZ, options.stdout_pipe_bytes) < 0) {
        throw std::runtime_error("F_SETPIPE_SZ failed");
    }
    std::vector<std::string> env_strings;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry = *e;
        std::string name = entry.substr(0, entry.find('='));
        bool drop = options.env.count(name) != 0;
        for (const std::string& u : options.unset) {
            drop = drop || u == name;
        }
        if (!drop) {
            env_strings.push_back(entry);
        }
    }
    for (const auto& kv : options.env) {
        env_strings.push_back(kv.first + "=" + kv.second);
    }
    std::vector<char*> envp;
    for (std::string& s : env_strings) {
        envp.push_back(s.data());
    }
    envp.push_back(nullptr);
    std::vector<std::string> argv_strings{program};
    argv_strings.insert(argv_strings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& s : argv_strings) {
        argv.push_back(s.data());
    }
    argv.push_back(nullptr);

    pid_t pid = fork();
    if (pid == 0) {
        // Ignored signals stay ignored across exec (the parent ignores
        // SIGPIPE): the child starts with every one at its default.
        for (int s = 1; s < NSIG; ++s) {
            signal(s, SIG_DFL);
        }
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) {
            close(fd);
        }
        if (options.stdout_closed) {
            close(1);
        }
        if (!options.working_dir.empty() && chdir(options.working_dir.c_str()) != 0) {
            _exit(126);
        }
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    Started child;
    child.pid = pid;
    child.in = in[1];
    child.out = out[0];
    child.err = err[0];
    if (options.stdout_closed) {
        close(child.out);
        child.out = -1;
    }
    return child;
}

RunResult finish_program(Started& child, const RunOptions& options)
{
    RunResult result;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(options.timeout_seconds);
    bool out_open = child.out >= 0, err_open = true;
    while (out_open || err_open) {
        pollfd fds[2] = {{out_open ? child.out : -1, POLLIN, 0}, {child.err, POLLIN, 0}};
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timed_out = true;
            kill(child.pid, SIGKILL);
            break;
        }
        int ready = poll(fds, 2, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        char buffer[65536];
        for (int i = 0; i < 2; ++i) {
            bool& open = i == 0 ? out_open : err_open;
            if (open && (fds[i].revents & (POLLIN | POLLHUP | POLLERR))) {
                ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
                if (n <= 0) {
                    open = false;
                } else {
                    (i == 0 ? result.out : result.err).append(buffer, static_cast<size_t>(n));
                }
            }
        }
    }
    for (int* fd : {&child.in, &child.out, &child.err}) {
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    }
    int status = 0;
    waitpid(child.pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return result;
}

RunResult run_program(const std::string& program, const std::vector<std::string>& args, const RunOptions& options)
{
    Started child = start_program(program, args, options);
    feed_input(child.in, options);
    if (!options.keep_input_open) {
        child.in = -1;  // feed_input closed it
    }
    return finish_program(child, options);
}

TempDevice::TempDevice()
{
    std::string pattern = (fs::temp_directory_path() / "ce-device-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
    fs::create_directory(root());
}

TempDevice::~TempDevice()
{
    std::error_code ignored;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(path_, ignored);
}

void TempDevice::set_driver(const std::string& content) const
{
    std::ofstream(path_ + "/ucs1", std::ios::binary) << content;
}

void TempDevice::write(const std::string& relative, const std::string& bytes) const
{
    fs::path target = fs::path(path_) / relative;
    fs::create_directories(target.parent_path());
    std::ofstream(target, std::ios::binary) << bytes;
}

void TempDevice::make_folder(const std::string& relative) const
{
    fs::create_directories(fs::path(path_) / relative);
}

bool TempDevice::exists(const std::string& relative) const
{
    return fs::exists(fs::symlink_status(fs::path(path_) / relative));
}

std::string TempDevice::read(const std::string& relative) const
{
    return read_file(path_ + "/" + relative);
}

std::string TempDevice::trace() const
{
    return exists("trace.log") ? read("trace.log") : "";
}

std::map<std::string, std::string> TempDevice::files() const
{
    std::map<std::string, std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(root())) {
        std::string name = fs::relative(entry.path(), root()).string();
        found[name] = entry.is_directory() ? "<folder>" : read_file(entry.path().string());
    }
    return found;
}

RunResult TempDevice::run(const std::string& program, const std::vector<std::string>& args, RunOptions options) const
{
    if (options.env.count("CE_DEVICE") == 0) {
        options.env["CE_DEVICE"] = path_;
    }
    return run_program(program, args, options);
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path);
    }
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}
