// Boot: the device folder, everything it is made of and the fault knobs,
// checked before the tool runs; a fresh device for every boot.
#include "emulator.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace ce {

Device the_device;

namespace {

bool started_program = false;

std::string mode_text(mode_t mode)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// Whether the host lets this user read or write the file, and its mode lets
// someone: a file nobody may write is read-only whoever runs the emulation.
// The file is `name` in the folder open as `folder`, or the path itself.
std::string refused(const std::string& path, const struct stat& info, bool write, int folder = AT_FDCWD,
                    const char* name = nullptr)
{
    mode_t bits = write ? 0222 : 0444;
    const char* how = write ? "written" : "read";
    if ((info.st_mode & bits) == 0) {
        return path + " cannot be " + how + ": its mode " + mode_text(info.st_mode) + " lets no one";
    }
    if (S_ISDIR(info.st_mode) && (info.st_mode & 0111) == 0) {
        return path + " cannot be searched: its mode " + mode_text(info.st_mode) + " lets no one";
    }
    int wanted = (write ? W_OK : R_OK) | (S_ISDIR(info.st_mode) ? X_OK : 0);
    if (faccessat(folder, name != nullptr ? name : path.c_str(), wanted, 0) != 0) {
        return path + " cannot be " + how + ": " + std::strerror(errno);
    }
    return "";
}

// A folder of the device. CE_DEVICE itself may be named through a link
// (follow); root/ must be a folder of its own, or writes would leave it.
std::string check_folder(const std::string& path, const std::string& shown, bool follow, bool write,
                         const char* must)
{
    struct stat info;
    if ((follow ? stat(path.c_str(), &info) : lstat(path.c_str(), &info)) != 0) {
        return shown + (errno == ENOENT ? std::string(" does not exist") : ": " + std::string(std::strerror(errno))) +
               ": " + must;
    }
    if (!S_ISDIR(info.st_mode)) {
        return shown + " is " + kind_of(info.st_mode) + ", not a folder: " + must;
    }
    std::string complaint = refused(path, info, false);
    if (complaint.empty() && write) {
        complaint = refused(path, info, true);
    }
    return complaint;
}

// The upgrade-control driver: "$CE_DEVICE/ucs1" whose first word says how it
// answers the begin request. Only as much is read as holds that word.
std::string load_upgrade_driver(Device& dev)
{
    std::string path = dev.folder + "/ucs1";
    std::string complaint;
    int fd = open_device_file(path, "the upgrade-control driver ucs1", complaint);
    if (fd < 0) {
        return complaint;
    }
    const size_t most = 4096;
    std::string head = read_at_most(fd, most + 1);
    close(fd);
    size_t first = head.find_first_not_of(" \t\n\r\v\f");
    size_t end = first == std::string::npos ? first : head.find_first_of(" \t\n\r\v\f", first);
    std::string word = first == std::string::npos || first >= most ? "" : head.substr(first, end - first);
    if (word != "accept" && word != "refuse") {
        return path + ": the first word must be accept or refuse";
    }
    dev.has_upgrade_driver = true;
    dev.upgrade_driver_accepts = word == "accept";
    return "";
}

// trace.log, if it is there already: the emulation appends to it.
std::string check_trace_file(const std::string& path)
{
    struct stat info;
    if (lstat(path.c_str(), &info) != 0) {
        return errno == ENOENT ? "" : path + ": " + std::strerror(errno);
    }
    if (!S_ISREG(info.st_mode)) {
        return path + " is " + kind_of(info.st_mode) + ": the trace must be a regular file";
    }
    if (info.st_nlink > 1) {
        return path + " has " + std::to_string(info.st_nlink) + " hard links: the trace must be a file of its own";
    }
    return refused(path, info, true);
}

// A whole decimal number: digits only, no sign, no blank, within 64 bits.
bool parse_count(const std::string& text, uint64_t* value)
{
    if (text.empty() || text.size() > 20) {
        return false;
    }
    uint64_t number = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        uint64_t digit = static_cast<uint64_t>(c - '0');
        if (number > (UINT64_MAX - digit) / 10) {
            return false;
        }
        number = number * 10 + digit;
    }
    *value = number;
    return true;
}

// A process that ends through exit(): the run-time's buffers go out, as on
// the device.
void end_of_process()
{
    hand_over_open_streams();
    flush_console();
    flush_trace();
}

std::string traced_call_names()
{
    std::string names;
    for (const char* const* name = TRACED_CALLS; *name != nullptr; ++name) {
        names += names.empty() ? "" : " ";
        names += *name;
    }
    return names;
}

// CE_POWER_CUT, CE_FAIL, CE_STORAGE_BYTES and CE_PROGRAMS from the environment.
std::string load_fault_knobs(Device& dev)
{
    if (const char* cut = std::getenv("CE_POWER_CUT")) {
        if (!parse_count(cut, &dev.power_cut_at) || dev.power_cut_at == 0) {
            return std::string("CE_POWER_CUT=") + cut +
                   ": it must be a whole number from 1 up, the traced call that the power fails before";
        }
    }
    if (const char* fail = std::getenv("CE_FAIL")) {
        // NAME@K, or two of them with a comma between: two calls fail.
        std::string knob = fail;
        size_t comma = knob.find(',');
        std::string parts[2] = {knob.substr(0, comma), comma == std::string::npos ? "" : knob.substr(comma + 1)};
        std::string* calls[2] = {&dev.fail_call, &dev.also_fail_call};
        uint64_t* nths[2] = {&dev.fail_nth, &dev.also_fail_nth};
        for (int i = 0; i < (comma == std::string::npos ? 1 : 2); ++i) {
            size_t at = parts[i].find('@');
            std::string name = parts[i].substr(0, at);
            if (!is_traced_call(name)) {
                return "CE_FAIL=" + knob + ": " + (name.empty() ? std::string("no function named") : name + " is not a traced call") +
                       "; it must be NAME or NAME@K, or two of them with a comma between, with NAME one of " +
                       traced_call_names();
            }
            *calls[i] = name;
            *nths[i] = 1;
            if (at != std::string::npos && (!parse_count(parts[i].substr(at + 1), nths[i]) || *nths[i] == 0)) {
                return "CE_FAIL=" + knob + ": the K of NAME@K must be a whole number from 1 up, which call of " + name +
                       " fails";
            }
        }
    }
    if (const char* bytes = std::getenv("CE_STORAGE_BYTES")) {
        if (!parse_count(bytes, &dev.storage_bytes)) {
            return std::string("CE_STORAGE_BYTES=") + bytes +
                   ": it must be a whole number of bytes, what the storage holds in root/";
        }
        dev.storage_limited = true;
    }
    if (const char* programs = std::getenv("CE_PROGRAMS")) {
        if (std::string(programs) != "unconfined") {
            return std::string("CE_PROGRAMS=") + programs +
                   ": it must be unconfined, to run the device's programs with the user's full rights, or unset";
        }
        dev.programs_unconfined = true;
    }
    return "";
}

}  // namespace

const char* kind_of(unsigned mode)
{
    return S_ISREG(mode) ? "a regular file" : S_ISDIR(mode) ? "a folder" : S_ISLNK(mode) ? "a symbolic link"
         : S_ISFIFO(mode) ? "a FIFO" : S_ISSOCK(mode) ? "a socket" : S_ISCHR(mode) ? "a character device"
         : S_ISBLK(mode) ? "a block device" : "a file of an unknown kind";
}

std::string boot(const std::string& folder)
{
    Device dev;
    dev.folder = folder;
    while (dev.folder.size() > 1 && dev.folder.back() == '/') {
        dev.folder.pop_back();
    }
    dev.root = dev.folder + "/root";
    if (folder.empty()) {
        return "CE_DEVICE is empty: it must name the emulated device's folder";
    }
    // A program the device started sees its folder read-only.
    std::string complaint = check_folder(dev.folder, "CE_DEVICE=" + folder, true, !started_program,
                                         "it must name the emulated device's folder");
    if (complaint.empty()) {
        complaint = check_folder(dev.root, dev.root, false, false, "the device's file system must be a folder");
    }
    if (complaint.empty()) {
        complaint = load_upgrade_driver(dev);
    }
    if (complaint.empty() && !started_program) {
        complaint = check_trace_file(dev.folder + "/trace.log");
    }
    if (complaint.empty() && !started_program) {
        complaint = load_fault_knobs(dev);
    }
    dev.traced = !started_program;
    if (complaint.empty()) {
        complaint = read_device_registry(dev.folder, dev.registry);
    }
    if (!complaint.empty()) {
        return complaint;
    }
    dev.bytes_stored = dev.storage_limited ? bytes_under(dev.root) : 0;
    flush_console();
    // The last device goes whole: its streams' host files closed with nothing
    // handed over, its handles, keys and counts with it.
    the_device = std::move(dev);
    start_trace();
    static bool ended_at_exit = std::atexit(end_of_process) == 0;
    (void)ended_at_exit;
    return "";
}

int open_device_file(const std::string& path, const std::string& role, std::string& complaint)
{
    return open_device_file_at(AT_FDCWD, path, path, role, complaint);
}

int open_device_file_at(int folder, const std::string& name, const std::string& path, const std::string& role,
                        std::string& complaint)
{
    complaint.clear();
    struct stat info;
    if (fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT) {
            complaint = path + ": " + std::strerror(errno);
        }
        return -1;
    }
    if (!S_ISREG(info.st_mode)) {
        complaint = path + " is " + kind_of(info.st_mode) + ": " + role + " must be a regular file";
        return -1;
    }
    complaint = refused(path, info, false, folder, name.c_str());
    if (!complaint.empty()) {
        return -1;
    }
    // Never blocks, never follows a link that took the file's place meanwhile.
    int fd = openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat opened;
    if (fd < 0 || fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
        complaint = path + " cannot be read: " + (fd < 0 ? std::strerror(errno) : "it is no longer a regular file");
        if (fd >= 0) {
            close(fd);
        }
        return -1;
    }
    return fd;
}

std::string read_at_most(int fd, size_t most)
{
    std::string bytes;
    char block[65536];
    while (bytes.size() < most) {
        size_t wanted = most - bytes.size() < sizeof block ? most - bytes.size() : sizeof block;
        ssize_t got = read(fd, block, wanted);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        bytes.append(block, static_cast<size_t>(got));
    }
    return bytes;
}

void as_started_program()
{
    started_program = true;
}

void boot_or_exit()
{
    open_standard_streams();
    take_signals();
    const char* folder = std::getenv("CE_DEVICE");
    std::string complaint = folder == nullptr
        ? std::string("CE_DEVICE is not set: it must name the emulated device's folder")
        : boot(folder);
    if (!complaint.empty()) {
        std::fprintf(stderr, "%s\n", complaint.c_str());
        std::exit(2);
    }
}

std::u16string command_line_of(int argc, char** argv, int first)
{
    std::string joined;
    for (int i = first; i < argc; ++i) {
        if (i > first) {
            joined += ' ';
        }
        joined += argv[i];
    }
    return to_utf16(joined);
}

}  // namespace ce
