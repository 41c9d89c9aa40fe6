// One execution of the tool: a child with the device's knobs, its console
// read to the end, a time limit, and whatever it started ended with it.
#include "execute.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace campaign {

namespace {

volatile sig_atomic_t stopping = 0;

void on_stop(int)
{
    stopping = 1;
}

// The processes whose parent is this one, read from /proc.
std::vector<pid_t> children()
{
    std::vector<pid_t> found;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) {
        return found;
    }
    pid_t self = getpid();
    while (dirent* entry = readdir(proc)) {
        char* end = nullptr;
        long pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || *end != '\0') {
            continue;
        }
        char path[64];
        std::snprintf(path, sizeof path, "/proc/%ld/stat", pid);
        int fd = open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        char stat[1024];
        ssize_t got = read(fd, stat, sizeof stat - 1);
        close(fd);
        if (got <= 0) {
            continue;
        }
        stat[got] = '\0';
        // After the name in parentheses, which may hold anything: the state, then the parent.
        char* after = std::strrchr(stat, ')');
        char state = 0;
        long parent = 0;
        if (after != nullptr && std::sscanf(after + 1, " %c %ld", &state, &parent) == 2 && parent == self) {
            found.push_back(static_cast<pid_t>(pid));
        }
    }
    closedir(proc);
    return found;
}

double now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

bool stop_requested()
{
    return stopping != 0;
}

void take_stop_signals()
{
    struct sigaction action = {};
    action.sa_handler = on_stop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

void adopt_orphans()
{
    prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
}

void end_leftovers()
{
    for (int round = 0; round < 100; ++round) {
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        std::vector<pid_t> left = children();
        if (left.empty()) {
            return;
        }
        for (pid_t pid : left) {
            kill(pid, SIGKILL);
        }
        for (pid_t pid : left) {
            while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
            }
        }
    }
}

Execution execute(const std::vector<std::string>& command, const std::string& device, const std::string& cwd,
                  const std::map<std::string, std::string>& knobs, const std::string& keys, double seconds)
{
    Execution result;
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        result.not_started = true;
        result.err = std::string("pipe: ") + std::strerror(errno);
        return result;
    }
    // The environment without any of the emulation's knobs but the run's own.
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, "CE_", 3) != 0) {
            env.push_back(*e);
        }
    }
    env.push_back("CE_DEVICE=" + device);
    for (const auto& knob : knobs) {
        env.push_back(knob.first + "=" + knob.second);
    }
    std::vector<char*> envp, argv;
    for (std::string& e : env) {
        envp.push_back(&e[0]);
    }
    envp.push_back(nullptr);
    std::vector<std::string> words = command;
    for (std::string& w : words) {
        argv.push_back(&w[0]);
    }
    argv.push_back(nullptr);

    pid_t pid = fork();
    if (pid == 0) {
        // Its own process group: a key typed at the campaign's terminal
        // reaches the campaign, which ends the run.
        setpgid(0, 0);
        for (int s = 1; s < NSIG; ++s) {
            signal(s, SIG_DFL);
        }
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        if (chdir(cwd.c_str()) != 0) {
            std::fprintf(stderr, "ce-campaign: %s: %s\n", cwd.c_str(), std::strerror(errno));
            _exit(127);
        }
        execve(argv[0], argv.data(), envp.data());
        std::fprintf(stderr, "ce-campaign: %s cannot be run: %s\n", argv[0], std::strerror(errno));
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    if (pid < 0) {
        result.not_started = true;
        result.err = std::string("fork: ") + std::strerror(errno);
        close(in[1]);
        close(out[0]);
        close(err[0]);
        return result;
    }
    setpgid(pid, pid);
    size_t written = 0;
    while (written < keys.size()) {
        ssize_t n = write(in[1], keys.data() + written, keys.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        written += static_cast<size_t>(n);
    }
    close(in[1]);

    double deadline = now() + seconds;
    int fds[2] = {out[0], err[0]};
    std::string* into[2] = {&result.out, &result.err};
    bool open_fds[2] = {true, true};
    int wait_status = 0;
    bool ended = false;
    while (!result.timed_out && (open_fds[0] || open_fds[1] || !ended)) {
        double left = deadline - now();
        if (left <= 0 || stopping) {
            result.timed_out = true;
            break;
        }
        if (!ended) {
            pid_t done = waitpid(pid, &wait_status, WNOHANG);
            ended = done == pid;
        }
        if (!open_fds[0] && !open_fds[1]) {
            // The console is closed; the tool has still to end.
            usleep(2000);
            continue;
        }
        pollfd polled[2] = {{open_fds[0] ? fds[0] : -1, POLLIN, 0}, {open_fds[1] ? fds[1] : -1, POLLIN, 0}};
        int wait_ms = static_cast<int>(left * 1000) + 1;
        if (!ended && wait_ms > 20) {
            wait_ms = 20;
        }
        int ready = poll(polled, 2, wait_ms);
        if (ready < 0 && errno != EINTR) {
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (open_fds[i] && (polled[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                char block[65536];
                ssize_t got = read(fds[i], block, sizeof block);
                if (got > 0) {
                    into[i]->append(block, static_cast<size_t>(got));
                } else if (got == 0 || errno != EINTR) {
                    open_fds[i] = false;
                }
            }
        }
    }
    if (result.timed_out) {
        kill(-pid, SIGKILL);
        kill(pid, SIGKILL);
        if (!ended) {
            while (waitpid(pid, &wait_status, 0) < 0 && errno == EINTR) {
            }
            ended = true;
        }
    }
    close(out[0]);
    close(err[0]);
    end_leftovers();
    if (WIFEXITED(wait_status)) {
        result.status = WEXITSTATUS(wait_status);
    } else if (WIFSIGNALED(wait_status)) {
        result.signal = WTERMSIG(wait_status);
    }
    return result;
}

}  // namespace campaign
