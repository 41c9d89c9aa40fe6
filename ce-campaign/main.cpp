// ce-campaign: a seeded campaign of random faults against the tool.
//
//   ce-campaign [OPTIONS] PROGRAM [RUNNER...]
//   ce-campaign --both HOST DEVICE RUNNER [OPTIONS]
//
// Each run draws, from the seed and its number alone, a device state, the
// input and the faults; runs the tool on a fresh copy of the device (again
// after a cut or a failing call, then once more with no fault at all); and
// checks the tool's promises after every run. A broken promise is reported
// with the draw in words and the command line that replays that run.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "campaign.h"
#include "ce_campaign_paths.h"
#include "device_folders.h"
#include "emulator.h"
#include "execute.h"
#include "promises.h"

using namespace campaign;

namespace {

const int OWN_ERROR = 2;

struct Build {
    std::string label;                 // "host build", "device build"
    std::string folder;                // its folder in a run's, "" for the run's own
    std::vector<std::string> command;  // the runner's words, then the program
};

struct Setup {
    std::string seed;
    uint64_t first = 1, last = 100;
    bool replay = false;
    bool stop_at_first = false;
    bool both = false;
    std::string dir;
    std::string image_path;
    bool image_given = false;
    std::string image;
    std::vector<Build> builds;
    std::vector<std::string> positionals;  // as the replay names them
    unsigned jobs = 2;
    double time_limit = 60;
    std::string time_limit_text;
    std::string work;
    std::string self;
    Snapshot device;
};

// The campaign's own folder, removed when the campaign fails on its own.
std::string workspace;

[[noreturn]] void fail(const std::string& why)
{
    if (!workspace.empty()) {
        remove_tree(workspace);
    }
    std::fflush(stdout);
    std::fprintf(stderr, "ce-campaign: %s\n", why.c_str());
    std::exit(OWN_ERROR);
}

const char* const USAGE =
    "usage: ce-campaign [--seed S] [--runs N] [--device DIR] [--image FILE] [--stop-at-first] [--replay S:K] "
    "[--jobs J] [--time-limit SECONDS] PROGRAM [RUNNER...] | --both HOST DEVICE RUNNER [the same options]";

[[noreturn]] void usage(const std::string& why)
{
    fail(why + "\n" + USAGE);
}

[[noreturn]] void help()
{
    std::printf("%s\n%s", USAGE,
                "Runs PROGRAM, a build of fwupgrade (under RUNNER, such as ce-run, for the device build), again and\n"
                "again on fresh copies of the device folder DIR (sample-device/ by default), each run in a state,\n"
                "with input and faults drawn from the seed S (a fresh one by default) and the run's number, and\n"
                "checks the tool's promises after every run. A broken promise is printed with the draw and a\n"
                "command line that replays that run (--replay S:K); its device folder is kept. --both runs each\n"
                "draw on both builds and compares them. Exit status 0 when every promise held, 1 when one broke,\n"
                "2 for the campaign's own errors.\n");
    std::exit(0);
}

bool whole_number(const std::string& text, uint64_t most, uint64_t& value)
{
    if (text.empty() || text.size() > 12) {
        return false;
    }
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    return value >= 1 && value <= most;
}

bool seed_text(const std::string& text)
{
    if (text.empty() || text.size() > 128) {
        return false;
    }
    for (char c : text) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
                  c == '.';
        if (!ok) {
            return false;
        }
    }
    return true;
}

std::string absolute(const std::string& path)
{
    if (!path.empty() && path[0] == '/') {
        return path;
    }
    char here[4096];
    if (getcwd(here, sizeof here) == nullptr) {
        fail(std::string("the current folder cannot be named: ") + std::strerror(errno));
    }
    return std::string(here) + "/" + path;
}

// A program the host runs, or (run) a file a runner reads: a device build
// under ce-run need not be executable here, as a signed copy is not.
std::string program_file(const std::string& what, const std::string& path, bool run = true)
{
    std::string file = absolute(path);
    struct stat info;
    if (stat(file.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || access(file.c_str(), run ? X_OK : R_OK) != 0) {
        fail(what + " " + path + (run ? " is not a program that can be run" : " is not a file that can be read"));
    }
    return file;
}

// A file read whole; never opens what is not a regular file.
std::string read_file(const std::string& what, const std::string& path)
{
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat info;
    if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        if (fd >= 0) {
            close(fd);
        }
        fail(what + " " + path + " is not a regular file that can be read");
    }
    std::string bytes;
    if (!read_to_end(fd, bytes)) {
        fail(what + " " + path + " cannot be read: " + std::strerror(errno));
    }
    return bytes;
}

// The image a build embeds, by its manifest beside it: <program>-image.txt.
void image_of(const std::string& program, std::string& path, std::string& sha)
{
    std::string name = program;
    size_t slash = name.rfind('/');
    std::string base = name.substr(slash + 1);
    if (base.size() > 4 && (base.compare(base.size() - 4, 4, ".exe") == 0 || base.compare(base.size() - 4, 4, ".EXE") == 0)) {
        base.resize(base.size() - 4);
    }
    std::string manifest = name.substr(0, slash + 1) + base + "-image.txt";
    if (access(manifest.c_str(), F_OK) != 0) {
        fail("no manifest " + manifest + " beside " + program + ": is it a build of the tool? Name its image with --image");
    }
    std::string text = read_file("the manifest", manifest);
    path.clear();
    sha.clear();
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (line.compare(0, 7, "image: ") == 0) {
            path = line.substr(7);
        } else if (line.compare(0, 8, "sha256: ") == 0) {
            sha = line.substr(8);
        }
        start = end == std::string::npos ? text.size() : end + 1;
    }
    if (path.empty() || sha.empty()) {
        fail("the manifest " + manifest + " names no image: it has no line image: or sha256:");
    }
}

void parse(int argc, char** argv, Setup& s)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    bool seed_given = false, runs_given = false;
    uint64_t runs = 100;
    std::vector<std::string> programs, runner;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= args.size()) {
                usage(a + " needs a value");
            }
            return args[++i];
        };
        if (a == "--help" || a == "-h") {
            help();
        }
        if (a == "--both") {
            if (s.both || !programs.empty() || i + 3 >= args.size()) {
                usage("--both takes HOST DEVICE RUNNER, once");
            }
            s.both = true;
            programs = {args[i + 1], args[i + 2]};
            runner = {args[i + 3]};
            i += 3;
        } else if (a == "--seed") {
            s.seed = value();
            seed_given = true;
            if (!seed_text(s.seed)) {
                usage("--seed " + s.seed + ": a seed is 1 to 128 letters, digits, '-', '_' or '.'");
            }
        } else if (a == "--runs") {
            std::string text = value();
            if (!whole_number(text, 1000000000, runs)) {
                usage("--runs " + text + ": a whole number of runs from 1");
            }
            runs_given = true;
        } else if (a == "--device") {
            s.dir = value();
        } else if (a == "--image") {
            s.image_path = value();
            s.image_given = true;
        } else if (a == "--stop-at-first") {
            s.stop_at_first = true;
        } else if (a == "--replay") {
            std::string text = value();
            size_t colon = text.rfind(':');
            uint64_t run = 0;
            if (colon == std::string::npos || !seed_text(text.substr(0, colon)) ||
                !whole_number(text.substr(colon + 1), 1000000000, run)) {
                usage("--replay " + text + ": it takes SEED:RUN, as a report names them");
            }
            s.replay = true;
            s.seed = text.substr(0, colon);
            s.first = s.last = run;
        } else if (a == "--jobs") {
            std::string text = value();
            uint64_t jobs = 0;
            if (!whole_number(text, 64, jobs)) {
                usage("--jobs " + text + ": 1 to 64 runs at once");
            }
            s.jobs = static_cast<unsigned>(jobs);
        } else if (a == "--time-limit") {
            std::string text = value();
            uint64_t seconds = 0;
            if (!whole_number(text, 31536000, seconds)) {
                usage("--time-limit " + text + ": 1 to 31536000 seconds for one run of the tool");
            }
            s.time_limit = static_cast<double>(seconds);
            s.time_limit_text = text;
        } else if (!a.empty() && a[0] == '-') {
            std::fprintf(stderr, "ce-campaign: no such option: %s\n%s\n", a.c_str(), USAGE);
            std::exit(OWN_ERROR);
        } else if (s.both || !programs.empty()) {
            usage("unexpected " + a);
        } else {
            // PROGRAM, then the runner's words: none of them are options of ours.
            programs = {a};
            runner.assign(args.begin() + static_cast<long>(i) + 1, args.end());
            break;
        }
    }
    if (programs.empty()) {
        usage("no PROGRAM");
    }
    if (s.replay && (seed_given || runs_given)) {
        usage("--replay names the seed and the run: no --seed or --runs with it");
    }
    if (!s.replay) {
        s.last = runs;
    }
    if (s.seed.empty()) {
        unsigned char random[8] = {};
        int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
        if (fd < 0 || read(fd, random, sizeof random) != static_cast<ssize_t>(sizeof random)) {
            fail("no fresh seed: /dev/urandom cannot be read");
        }
        close(fd);
        char hex[17];
        for (int i = 0; i < 8; ++i) {
            std::snprintf(hex + 2 * i, 3, "%02x", random[i]);
        }
        s.seed = hex;
    }
    std::vector<std::string> runner_words;
    for (size_t i = 0; i < runner.size(); ++i) {
        runner_words.push_back(i == 0 ? program_file("RUNNER", runner[i]) : runner[i]);
    }
    for (size_t p = 0; p < programs.size(); ++p) {
        Build b;
        b.label = s.both ? (p == 0 ? "the host build" : "the device build") : "";
        b.folder = s.both ? (p == 0 ? "host-build" : "device-build") : "";
        if (p == 1 || (!s.both && !runner_words.empty())) {
            b.command = runner_words;
        }
        b.command.push_back(program_file(s.both ? (p == 0 ? "HOST" : "DEVICE") : "PROGRAM", programs[p],
                                         b.command.empty()));
        s.builds.push_back(b);
    }
    if (s.both) {
        s.positionals = {"--both", s.builds[0].command.back(), s.builds[1].command.back(), runner_words[0]};
    } else {
        s.positionals = {s.builds[0].command.back()};
        s.positionals.insert(s.positionals.end(), runner_words.begin(), runner_words.end());
    }
}

void find_image(Setup& s)
{
    if (s.image_given) {
        s.image_path = absolute(s.image_path);
        s.image = read_file("the image", s.image_path);
        return;
    }
    std::string sha;
    for (size_t i = 0; i < s.builds.size(); ++i) {
        std::string path, digest;
        image_of(s.builds[i].command.back(), path, digest);
        if (i == 0) {
            s.image_path = path;
            sha = digest;
        } else if (digest != sha) {
            fail("HOST and DEVICE embed different images: their manifests give sha256 " + sha + " and " + digest);
        }
    }
    s.image = read_file("the image", s.image_path);
    if (sha256_hex(s.image) != sha) {
        fail("the image " + s.image_path + " is not the one the manifest names: its SHA-256 is " +
             sha256_hex(s.image) + ", the manifest's " + sha);
    }
}

std::string replay_command(const Setup& s, uint64_t run)
{
    std::vector<std::string> words = {s.self, "--replay", s.seed + ":" + std::to_string(run), "--device", s.dir};
    if (s.image_given) {
        words.insert(words.end(), {"--image", s.image_path});
    }
    if (!s.time_limit_text.empty()) {
        words.insert(words.end(), {"--time-limit", s.time_limit_text});
    }
    words.insert(words.end(), s.positionals.begin(), s.positionals.end());
    std::string line;
    for (const std::string& w : words) {
        line += (line.empty() ? "" : " ") + shell_quoted(w);
    }
    return line;
}

std::vector<std::string> tool_command(const Build& b, const Input& input)
{
    std::vector<std::string> command = b.command;
    command.insert(command.end(), input.arguments.begin(), input.arguments.end());
    return command;
}

bool starts_with(const std::string& text, const std::string& head)
{
    return text.compare(0, head.size(), head) == 0;
}

// DIR must boot as the emulation boots a device, and each program must be
// the tool: answered no, it prints its banner and its first question. Its
// exit status is one of the promises, not a sign of what it is.
void probe(const Setup& s)
{
    std::string folder = s.work + "/probe";
    std::string complaint = make_folder(s.device, folder);
    if (complaint.empty()) {
        complaint = ce::boot(folder);
    }
    if (!complaint.empty()) {
        fail("the device " + s.dir + " is no device the tool runs on: " + complaint);
    }
    remove_tree(folder);
    for (const Build& b : s.builds) {
        make_folder(s.device, folder);
        Input no;
        no.keys = "n";
        Execution run = execute(tool_command(b, no), folder, s.work, {}, no.keys, s.time_limit);
        remove_tree(folder);
        const std::string& program = b.command.back();
        bool tool = !run.timed_out && run.signal == 0 && starts_with(run.out, "The new firmware is ") &&
                    run.out.size() >= 27 && run.out.compare(run.out.size() - 27, 27, "Continue the process? (y/n)") == 0;
        if (tool) {
            continue;
        }
        fail(program + " is not the tool: answered no, it " +
             (run.timed_out ? std::string("did not end")
                            : run.signal != 0 ? "was ended by signal " + std::to_string(run.signal)
                                              : "exited with status " + std::to_string(run.status)) +
             " and printed " + shown(run.out, 60) + (run.err.empty() ? "" : ", on standard error " + shown(run.err, 120)));
    }
}

// One run of the campaign, in a process of its own, which adopts and ends
// whatever the tool leaves running. Its result goes to fd as lines:
// "kind PROMISE", "line TEXT" or "error TEXT", and "done" last.
int run_one(const Setup& s, uint64_t run, int fd)
{
    adopt_orphans();
    std::string result;
    auto say = [&](const std::string& tag, const std::string& text) { result += tag + " " + text + "\n"; };
    Draw draw = draw_run(s.seed, run);
    std::string folder = s.work + "/run-" + std::to_string(run);
    struct Place {
        std::string cwd, device;
        Prepared prepared;
    };
    std::vector<Place> places(s.builds.size());
    std::string complaint = mkdir(folder.c_str(), 0700) == 0 ? "" : folder + ": " + std::strerror(errno);
    for (size_t b = 0; b < s.builds.size() && complaint.empty(); ++b) {
        places[b].cwd = s.builds[b].folder.empty() ? folder : folder + "/" + s.builds[b].folder;
        places[b].device = places[b].cwd + "/device";
        if (places[b].cwd != folder && mkdir(places[b].cwd.c_str(), 0700) != 0) {
            complaint = places[b].cwd + ": " + std::strerror(errno);
        } else {
            complaint = prepare_device(s.device, draw, s.image, places[b].device, places[b].prepared);
        }
    }
    std::vector<Broken> broken;
    if (complaint.empty()) {
        struct Plan {
            std::string name;
            Input input;
            Faults faults;
            bool clean;
        };
        Input unattended;
        unattended.arguments = {"-s"};
        unattended.interactive = false;
        std::vector<Plan> plans = {{"the first run", draw.input[0], draw.faults[0], false}};
        if (draw.second_run()) {
            plans.push_back({"the second run", draw.input[1], draw.faults[1], false});
        }
        plans.push_back({"the clean run", unattended, Faults(), true});
        for (const Plan& plan : plans) {
            std::vector<Step> steps(s.builds.size());
            for (size_t b = 0; b < s.builds.size(); ++b) {
                Step& step = steps[b];
                step.name = plan.name;
                step.input = plan.input;
                step.faults = plan.faults;
                step.clean = plan.clean;
                take_snapshot(places[b].cwd, step.before);
                std::map<std::string, std::string> knobs = plan.faults.knobs();
                knobs["CE_STORAGE_BYTES"] = std::to_string(places[b].prepared.storage_bytes);
                step.execution = execute(tool_command(s.builds[b], plan.input), places[b].device, places[b].cwd, knobs,
                                         plan.input.keys, s.time_limit);
                take_snapshot(places[b].cwd, step.after);
                auto before = step.before.find("device/trace.log");
                auto after = step.after.find("device/trace.log");
                size_t offset = before == step.before.end() ? 0 : before->second.content.size();
                step.trace = after == step.after.end() ? "" : after->second.content.substr(
                                                                  std::min(offset, after->second.content.size()));
                Expectations expected{&s.image, &places[b].prepared, &draw, s.time_limit};
                for (Broken found : check_step(expected, step)) {
                    found.detail = (s.builds[b].label.empty() ? "" : s.builds[b].label + ": ") + found.detail;
                    broken.push_back(found);
                }
            }
            if (s.both) {
                for (const Broken& found : compare_builds(steps[0], steps[1])) {
                    broken.push_back(found);
                }
            }
            if (!broken.empty() || stop_requested()) {
                break;
            }
        }
    }
    if (!complaint.empty()) {
        say("error", "run " + std::to_string(run) + ": the device cannot be made: " + complaint);
    } else if (!broken.empty()) {
        for (const Broken& found : broken) {
            say("kind", found.promise);
        }
        say("line", "run " + std::to_string(run) + " of seed " + s.seed + ": " +
                        (broken.size() == 1 ? std::string("a promise") : std::to_string(broken.size()) + " promises") +
                        " broken");
        for (const std::string& line : describe(draw, s.image.size())) {
            say("line", "  " + line);
        }
        for (const Broken& found : broken) {
            say("line", "  broken: " + promise_words(found.promise));
            say("line", "    " + found.detail);
        }
        say("line", "  replay: " + replay_command(s, run));
        say("line", "  kept: " + folder + (s.both ? " (host-build/ and device-build/, each with its device/" : " (device/") +
                        " as the run left it, trace.log in it)");
    }
    if (broken.empty()) {
        remove_tree(folder);
    }
    say("done", "");
    size_t done = 0;
    while (done < result.size()) {
        ssize_t n = write(fd, result.data() + done, result.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        done += static_cast<size_t>(n);
    }
    close(fd);
    end_leftovers();
    return 0;
}

struct Result {
    std::vector<std::string> kinds;
    std::vector<std::string> lines;
    std::string error;
};

Result parse_result(const std::string& text, uint64_t run)
{
    Result r;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end - start);
        start = end == std::string::npos ? text.size() : end + 1;
        if (starts_with(line, "kind ")) {
            r.kinds.push_back(line.substr(5));
        } else if (starts_with(line, "line ")) {
            r.lines.push_back(line.substr(5));
        } else if (starts_with(line, "error ")) {
            r.error = line.substr(6);
        }
    }
    if (text.find("done \n") == std::string::npos && r.error.empty()) {
        r.error = "run " + std::to_string(run) + " ended without a result";
    }
    return r;
}

double seconds_now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

int main(int argc, char** argv)
{
    Setup s;
    parse(argc, argv, s);
    char self[4096];
    ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    s.self = length > 0 ? std::string(self, static_cast<size_t>(length)) : absolute(argv[0]);
    s.dir = absolute(s.dir.empty() ? std::string(CE_CAMPAIGN_SAMPLE_DEVICE) : s.dir);
    long cores = sysconf(_SC_NPROCESSORS_ONLN);
    bool jobs_given = false;
    for (int i = 1; i < argc; ++i) {
        jobs_given = jobs_given || std::strcmp(argv[i], "--jobs") == 0;
    }
    if (!jobs_given) {
        s.jobs = cores < 1 ? 1 : cores > 8 ? 8 : static_cast<unsigned>(cores);
    }
    // The knobs of the runs are the campaign's own: none from its caller.
    for (const char* knob : {"CE_DEVICE", "CE_POWER_CUT", "CE_FAIL", "CE_STORAGE_BYTES", "CE_PROGRAMS"}) {
        unsetenv(knob);
    }
    find_image(s);
    std::string complaint = load_device(s.dir, s.device);
    if (!complaint.empty()) {
        fail("the device " + s.dir + ": " + complaint);
    }
    take_stop_signals();
    adopt_orphans();
    const char* tmp = std::getenv("TMPDIR");
    std::string work = std::string(tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp") + "/ce-campaign.XXXXXX";
    if (mkdtemp(&work[0]) == nullptr) {
        fail(work + ": " + std::strerror(errno));
    }
    s.work = work;
    workspace = work;
    probe(s);

    std::printf("seed: %s\n", s.seed.c_str());
    for (const Build& b : s.builds) {
        std::string words;
        for (size_t i = 0; i + 1 < b.command.size(); ++i) {
            words += (words.empty() ? " under " : " ") + b.command[i];
        }
        std::printf("program: %s%s\n", b.command.back().c_str(), words.c_str());
    }
    std::printf("device: %s\nimage: %s (%zu bytes, SHA-256 %s)\n", s.dir.c_str(), s.image_path.c_str(), s.image.size(),
                sha256_hex(s.image).c_str());
    std::fflush(stdout);

    bool terminal = isatty(STDOUT_FILENO) != 0;
    size_t progress_width = 0;
    double last_progress = 0;
    auto clear_progress = [&]() {
        if (progress_width > 0) {
            std::printf("\r%*s\r", static_cast<int>(progress_width), "");
            progress_width = 0;
        }
    };

    struct Running {
        pid_t pid;
        int fd;
        std::string text;
    };
    std::map<uint64_t, Running> running;
    std::map<uint64_t, Result> finished;
    Tally tally;
    std::map<std::string, uint64_t> broken_kinds;
    uint64_t broken_runs = 0, broken_total = 0;
    uint64_t next = s.first, shown_next = s.first;
    bool stopped = false;
    std::string own_error;
    double start = seconds_now();
    while (shown_next <= s.last && !(stopped && running.empty())) {
        while (!stopped && running.size() < s.jobs && next <= s.last) {
            int pipe_fds[2];
            if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
                fail(std::string("pipe: ") + std::strerror(errno));
            }
            std::fflush(stdout);
            pid_t pid = fork();
            if (pid == 0) {
                close(pipe_fds[0]);
                _exit(run_one(s, next, pipe_fds[1]));
            }
            close(pipe_fds[1]);
            if (pid < 0) {
                fail(std::string("fork: ") + std::strerror(errno));
            }
            running[next] = Running{pid, pipe_fds[0], ""};
            ++next;
        }
        if (running.empty()) {
            break;
        }
        std::vector<pollfd> fds;
        std::vector<uint64_t> runs;
        for (const auto& r : running) {
            fds.push_back({r.second.fd, POLLIN, 0});
            runs.push_back(r.first);
        }
        int ready = poll(fds.data(), fds.size(), 200);
        if (stop_requested()) {
            for (const auto& r : running) {
                kill(r.second.pid, SIGTERM);
            }
            for (const auto& r : running) {
                while (waitpid(r.second.pid, nullptr, 0) < 0 && errno == EINTR) {
                }
            }
            end_leftovers();
            clear_progress();
            std::fflush(stdout);
            std::fprintf(stderr, "ce-campaign: stopped by a signal after %llu runs; the runs' folders are in %s\n",
                         static_cast<unsigned long long>(shown_next - s.first), s.work.c_str());
            return OWN_ERROR;
        }
        for (size_t i = 0; ready > 0 && i < fds.size(); ++i) {
            if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
                continue;
            }
            Running& r = running[runs[i]];
            char block[65536];
            ssize_t got = read(r.fd, block, sizeof block);
            if (got > 0) {
                r.text.append(block, static_cast<size_t>(got));
                continue;
            }
            if (got < 0 && errno == EINTR) {
                continue;
            }
            close(r.fd);
            while (waitpid(r.pid, nullptr, 0) < 0 && errno == EINTR) {
            }
            finished[runs[i]] = parse_result(r.text, runs[i]);
            running.erase(runs[i]);
        }
        // In the runs' order, so that a seed's output is the same however the runs interleave.
        while (!stopped && finished.count(shown_next) != 0) {
            Result& r = finished[shown_next];
            if (!r.error.empty()) {
                own_error = r.error;
                stopped = true;
                break;
            }
            tally.add(draw_run(s.seed, shown_next));
            if (!r.kinds.empty()) {
                clear_progress();
                for (const std::string& line : r.lines) {
                    std::printf("%s\n", line.c_str());
                }
                ++broken_runs;
                for (const std::string& kind : r.kinds) {
                    ++broken_kinds[kind];
                    ++broken_total;
                }
                stopped = s.stop_at_first;
            }
            finished.erase(shown_next);
            ++shown_next;
            if (terminal && seconds_now() - last_progress > 0.1) {
                clear_progress();
                std::string line = "runs " + std::to_string(shown_next - s.first) + " of " +
                                   std::to_string(s.last - s.first + 1) + ", broken promises " +
                                   std::to_string(broken_total);
                std::printf("%s", line.c_str());
                progress_width = line.size();
                last_progress = seconds_now();
            }
            std::fflush(stdout);
        }
    }
    // Runs past the first broken one, or past an error, are not reported.
    for (const auto& r : finished) {
        remove_tree(s.work + "/run-" + std::to_string(r.first));
    }
    clear_progress();
    if (!own_error.empty()) {
        fail(own_error);
    }
    double elapsed = seconds_now() - start;
    std::printf("runs: %llu\n", static_cast<unsigned long long>(tally.runs));
    for (const std::string& line : tally.lines()) {
        std::printf("%s\n", line.c_str());
    }
    if (broken_total == 0) {
        std::printf("broken promises: 0\n");
    } else {
        std::string kinds;
        for (const auto& k : broken_kinds) {
            kinds += (kinds.empty() ? "" : ", ") + k.first + " " + std::to_string(k.second);
        }
        std::printf("broken promises: %llu in %llu runs (%s)\n", static_cast<unsigned long long>(broken_total),
                    static_cast<unsigned long long>(broken_runs), kinds.c_str());
    }
    std::printf("time: %.1f s, %.1f runs a second\n", elapsed, elapsed > 0 ? static_cast<double>(tally.runs) / elapsed : 0.0);
    std::fflush(stdout);
    if (broken_total == 0) {
        remove_tree(s.work);
    }
    return broken_total == 0 ? 0 : 1;
}
