// write_calls PROGRAM [ARGS...]: runs the program and prints the kernel's
// count of its write calls (write, writev, pwrite and the like: syscw of
// /proc/PID/io) on standard error as "syscw N". The count is read once the
// program has ended, before it is reaped.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: write_calls PROGRAM [ARGS...]\n");
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
    long long count = -1;
    while (io >> name >> count && name != "syscw:") {
    }
    int status = 0;
    waitpid(child, &status, 0);
    if (name != "syscw:") {
        std::fprintf(stderr, "write_calls: no syscw in /proc/%d/io\n", static_cast<int>(child));
        return 1;
    }
    std::fprintf(stderr, "syscw %lld\n", count);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
