#include "emulator.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

namespace ce {
namespace {

Device the_device;
int trace_fd = -1;
// Lines that may wait (trace_deferred), and the line that ends their wait,
// go out to trace.log together in one write.
char pending[65536];
size_t pending_size = 0;
thread_local DWORD last_error = 0;

bool is_folder(const std::string& path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The upgrade-control driver: "$CE_DEVICE/ucs1" whose first word says how it
// answers the begin request.
std::string load_upgrade_driver(Device& dev)
{
    std::string path = dev.folder + "/ucs1";
    struct stat info;
    if (lstat(path.c_str(), &info) != 0) {
        dev.has_upgrade_driver = false;
        return "";
    }
    std::ifstream in(path, std::ios::binary);
    std::string word;
    if (!S_ISREG(info.st_mode) || !(in >> word) || (word != "accept" && word != "refuse")) {
        return path + ": the first word must be accept or refuse";
    }
    dev.has_upgrade_driver = true;
    dev.upgrade_driver_accepts = word == "accept";
    return "";
}

}  // namespace

std::string boot(const std::string& folder)
{
    Device dev;
    dev.folder = folder;
    while (dev.folder.size() > 1 && dev.folder.back() == '/') {
        dev.folder.pop_back();
    }
    dev.root = dev.folder + "/root";
    if (folder.empty() || !is_folder(dev.folder)) {
        return "CE_DEVICE=" + folder + " is not a folder: it must name the emulated device's folder";
    }
    if (!is_folder(dev.root)) {
        return "CE_DEVICE=" + folder + " has no root/ folder: the device's file system";
    }
    if (access(dev.folder.c_str(), W_OK) != 0) {
        return "CE_DEVICE=" + folder + " is not writable: trace.log could not be kept";
    }
    std::string complaint = load_upgrade_driver(dev);
    if (!complaint.empty()) {
        return complaint;
    }
    flush_trace();
    the_device = dev;
    if (trace_fd >= 0) {
        close(trace_fd);
        trace_fd = -1;
    }
    return "";
}

void boot_or_exit()
{
    const char* folder = std::getenv("CE_DEVICE");
    std::string complaint = folder == nullptr
        ? std::string("CE_DEVICE is not set: it must name the emulated device's folder")
        : boot(folder);
    if (!complaint.empty()) {
        std::fprintf(stderr, "%s\n", complaint.c_str());
        std::exit(2);
    }
}

const Device& device()
{
    return the_device;
}

namespace {

void open_trace()
{
    if (trace_fd >= 0) {
        return;
    }
    std::string path = the_device.folder + "/trace.log";
    trace_fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (trace_fd < 0) {
        std::fprintf(stderr, "%s: %s\n", path.c_str(), std::strerror(errno));
        std::_Exit(2);
    }
    static bool flushed_at_exit = std::atexit(flush_trace) == 0;
    (void)flushed_at_exit;
}

void write_trace(const char* at, size_t left)
{
    while (left > 0) {
        ssize_t done = write(trace_fd, at, left);
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done <= 0) {
            break;
        }
        at += done;
        left -= static_cast<size_t>(done);
    }
}

bool fits_pending(std::string_view line)
{
    return pending_size + line.size() + 1 <= sizeof pending;
}

void add_pending(std::string_view line)
{
    std::memcpy(pending + pending_size, line.data(), line.size());
    pending_size += line.size();
    pending[pending_size++] = '\n';
}

}  // namespace

void trace(std::string_view line)
{
    open_trace();
    if (!fits_pending(line)) {
        flush_trace();
    }
    if (fits_pending(line)) {
        add_pending(line);
        flush_trace();
        return;
    }
    std::string longer(line);
    longer += '\n';
    write_trace(longer.data(), longer.size());
}

void trace_deferred(std::string_view line)
{
    open_trace();
    if (!fits_pending(line)) {
        flush_trace();
    }
    if (!fits_pending(line)) {
        trace(line);
        return;
    }
    add_pending(line);
}

void flush_trace()
{
    if (pending_size > 0 && trace_fd >= 0) {
        write_trace(pending, pending_size);
    }
    pending_size = 0;
}

std::string to_utf8(const char16_t* text)
{
    std::string out;
    for (size_t i = 0; text != nullptr && text[i] != 0; ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string to_utf8(const std::u16string& text)
{
    return to_utf8(text.c_str());
}

std::u16string to_utf16(const std::string& text)
{
    std::u16string out;
    size_t i = 0;
    while (i < text.size()) {
        unsigned char lead = static_cast<unsigned char>(text[i]);
        char32_t c = 0xFFFD;
        size_t length = lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3 : (lead >> 3) == 30 ? 4 : 0;
        if (length == 1) {
            c = lead;
        } else if (length > 1 && i + length <= text.size()) {
            c = lead & (0x7F >> length);
            for (size_t k = 1; k < length; ++k) {
                unsigned char next = static_cast<unsigned char>(text[i + k]);
                if ((next & 0xC0) != 0x80) {
                    c = 0xFFFD;
                    length = k;
                    break;
                }
                c = (c << 6) | (next & 0x3F);
            }
            static const char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
            if (c != 0xFFFD && (c < smallest[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))) {
                c = 0xFFFD;
            }
        } else {
            length = 1;
        }
        if (c >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
        i += length;
    }
    return out;
}

std::string quoted(const std::string& text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '"') {
            out += "\\\"";
        } else if (c < 0x20 || c == 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

bool call_fails(const char* function)
{
    (void)function;
    return false;
}

std::string error_name(DWORD error)
{
    switch (error) {
    case ERROR_SUCCESS: return "ERROR_SUCCESS";
    case ERROR_FILE_NOT_FOUND: return "ERROR_FILE_NOT_FOUND";
    case ERROR_PATH_NOT_FOUND: return "ERROR_PATH_NOT_FOUND";
    case ERROR_ACCESS_DENIED: return "ERROR_ACCESS_DENIED";
    case ERROR_INVALID_HANDLE: return "ERROR_INVALID_HANDLE";
    case ERROR_GEN_FAILURE: return "ERROR_GEN_FAILURE";
    case ERROR_SHARING_VIOLATION: return "ERROR_SHARING_VIOLATION";
    case ERROR_NOT_SUPPORTED: return "ERROR_NOT_SUPPORTED";
    case ERROR_FILE_EXISTS: return "ERROR_FILE_EXISTS";
    case ERROR_INVALID_PARAMETER: return "ERROR_INVALID_PARAMETER";
    case ERROR_DISK_FULL: return "ERROR_DISK_FULL";
    case ERROR_INVALID_NAME: return "ERROR_INVALID_NAME";
    case ERROR_ALREADY_EXISTS: return "ERROR_ALREADY_EXISTS";
    case ERROR_MORE_DATA: return "ERROR_MORE_DATA";
    default: return "error " + std::to_string(error);
    }
}

std::string fail(DWORD error)
{
    SetLastError(error);
    return "failed " + error_name(error);
}

namespace {
std::map<HANDLE, std::unique_ptr<HandleEntry>> handles;
}

HANDLE new_handle(HandleKind kind, const std::string& name, long pid)
{
    std::unique_ptr<HandleEntry> entry(new HandleEntry{kind, name, pid});
    HANDLE handle = entry.get();
    handles[handle] = std::move(entry);
    return handle;
}

HandleEntry* find_handle(HANDLE handle)
{
    auto found = handles.find(handle);
    return found == handles.end() ? nullptr : found->second.get();
}

bool forget_handle(HANDLE handle)
{
    return handles.erase(handle) == 1;
}

std::string handle_name(HANDLE handle)
{
    HandleEntry* entry = find_handle(handle);
    if (entry != nullptr) {
        return entry->name;
    }
    return handle == INVALID_HANDLE_VALUE ? "INVALID_HANDLE_VALUE" : "<not a handle>";
}

}  // namespace ce

extern "C" DWORD GetLastError(void)
{
    return ce::last_error;
}

extern "C" void SetLastError(DWORD error)
{
    ce::last_error = error;
}
