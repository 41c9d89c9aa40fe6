// child_figures PROGRAM [ARGS...]: runs the program and prints, on standard
// error, its peak resident memory in KiB as "max_rss_kib N" and the kernel's
// count of its write calls (write, writev, pwrite and the like: syscw of
// /proc/PID/io) as "syscw N", read once it has ended, before it is reaped.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: child_figures PROGRAM [ARGS...]\n");
        return 2;
    }
    pid_t child = fork();
    if (child < 0) {
        std::perror("fork");
        return 1;
    }
    if (child == 0) {
        execvp(argv[1], argv + 1);
        std::perror(argv[1]);
        _exit(127);
    }
    siginfo_t ended{};
    if (waitid(P_PID, static_cast<id_t>(child), &ended, WEXITED | WNOWAIT) != 0) {
        std::perror("waitid");
        return 1;
    }
    std::ifstream io("/proc/" + std::to_string(child) + "/io");
    std::string name;
    long long writes = -1;
    while (io >> name >> writes && name != "syscw:") {
    }
    int status = 0;
    rusage usage{};
    if (wait4(child, &status, 0, &usage) < 0) {
        std::perror("wait4");
        return 1;
    }
    std::fprintf(stderr, "max_rss_kib %ld\n", usage.ru_maxrss);
    if (name == "syscw:") {
        std::fprintf(stderr, "syscw %lld\n", writes);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
