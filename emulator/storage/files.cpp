// The device's file system: $CE_DEVICE/root/ with the device's path rules,
// and the run-time's wide file streams on it.
#include "emulator.h"
#include "guest.h"
#include "case_fold.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "format.h"

namespace ce {
namespace {

std::u16string folded(const std::string& name)
{
    return fold(to_utf16(name));
}

bool valid_name(const std::string& name)
{
    if (name == "." || name == "..") {
        return false;
    }
    for (unsigned char c : name) {
        if (c < 0x20 || c == '<' || c == '>' || c == ':' || c == '"' || c == '|' || c == '?' || c == '*') {
            return false;
        }
    }
    return true;
}

// The components as Win32 reads them: "." is dropped and ".." drops the one
// before it, never above the root; a component loses one trailing dot, and
// the last, unless a separator follows it, all its trailing dots and blanks.
std::vector<std::string> win32_components(const std::vector<std::string>& parts, bool names_a_folder)
{
    std::vector<std::string> out;
    for (size_t i = 0; i < parts.size(); ++i) {
        std::string part = parts[i];
        if (part == "." || part == "..") {
            if (part == ".." && !out.empty()) {
                out.pop_back();
            }
            continue;
        }
        if (i + 1 == parts.size() && !names_a_folder) {
            part.erase(part.find_last_not_of(". ") + 1);
        } else if (part.back() == '.') {
            part.pop_back();
        }
        if (!part.empty()) {
            out.push_back(part);
        }
    }
    return out;
}

// The entry of folder whose name matches name case-insensitively; the exact
// spelling wins where the host holds several.
std::string find_entry(const std::string& folder, const std::string& name)
{
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) {
        return "";
    }
    std::u16string wanted = folded(name);
    std::string match;
    while (dirent* entry = readdir(dir)) {
        std::string candidate = entry->d_name;
        if (candidate == name) {
            match = candidate;
            break;
        }
        if (folded(candidate) == wanted && (match.empty() || candidate < match)) {
            match = candidate;
        }
    }
    closedir(dir);
    return match;
}

// The console's input, a stream open for reading: it takes no writes, as
// any such stream.
Stream input_stream{"stdin", "", -1, nullptr, false, true, 0, 0, nullptr, 0, nullptr, false, {}, 0, 0, 0};

void append_number(std::string& line, size_t number)
{
    char digits[24];
    line.append(digits, std::to_chars(digits, digits + sizeof digits, number).ptr);
}

}  // namespace

Stream::~Stream()
{
    if (fd >= 0) {
        close(fd);
    }
}

namespace {

Stream* find_stream(FILE* stream)
{
    if (stream == stdin) {
        return &input_stream;
    }
    auto found = device().streams.find(stream);
    return found == device().streams.end() ? nullptr : found->second.get();
}

Stream* stream_of_handle(HANDLE handle)
{
    for (auto& entry : device().streams) {
        if (entry.second->handle == handle) {
            return entry.second.get();
        }
    }
    return nullptr;
}

// The buffer to the host file, in one write.
bool hand_over(Stream& open)
{
    const char* held = open.lent != nullptr ? open.lent : open.buffer.get();
    if (open.lent != nullptr && open.held > 0) {
        // Linux copies into the file only from mapped pages: one not mapped
        // yet makes it zero what it prepared, fault the page in and start
        // again, which costs more than the copy (docs/dev/benchmark.md). So the
        // held bytes are mapped at once first; a host without the advice
        // faults them in as before.
        uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
        uintptr_t first = reinterpret_cast<uintptr_t>(held) & ~(page - 1);
        madvise(reinterpret_cast<void*>(first), reinterpret_cast<uintptr_t>(held) + open.held - first, MADV_POPULATE_READ);
    }
    bool whole = !open.broken && write_all(open.fd, held, open.held) == open.held;
    open.broken = !whole;
    open.held = 0;
    open.lent = nullptr;
    return whole;
}

size_t line_feeds(const char* bytes, size_t size)
{
    size_t count = 0;
    for (const char* at = bytes; (at = static_cast<const char*>(std::memchr(at, '\n', size - (at - bytes)))) != nullptr; ++at) {
        ++count;
    }
    return count;
}

// Into the buffer, handed over each time it fills. Bytes of the executable's
// resources (the image, written in place chunk after chunk) cannot change
// before the hand-over: while they follow on from what is held, they stay
// where they lie and go to the host file from there, as one copy.
bool store(Stream& open, const char* bytes, size_t size)
{
    while (size > 0 && !open.broken) {
        size_t part = size < STREAM_BYTES - open.held ? size : STREAM_BYTES - open.held;
        bool follows = open.held == 0 || (open.lent != nullptr && open.lent + open.held == bytes);
        if (follows && in_resources(bytes, part)) {
            open.lent = open.held == 0 ? bytes : open.lent;
        } else {
            if (open.buffer == nullptr) {
                open.buffer.reset(new char[STREAM_BYTES]);
            }
            if (open.lent != nullptr) {
                std::memcpy(open.buffer.get(), open.lent, open.held);
                open.lent = nullptr;
            }
            std::memcpy(open.buffer.get() + open.held, bytes, part);
        }
        open.held += part;
        bytes += part;
        size -= part;
        if (open.held == STREAM_BYTES) {
            hand_over(open);
        }
    }
    return !open.broken;
}

// As a text stream of the device's run-time stores it: each line feed as CR LF.
bool store_text(Stream& open, const char* bytes, size_t size)
{
    const char* end = bytes + size;
    while (bytes < end) {
        const char* feed = static_cast<const char*>(std::memchr(bytes, '\n', static_cast<size_t>(end - bytes)));
        const char* upto = feed == nullptr ? end : feed;
        if (!store(open, bytes, static_cast<size_t>(upto - bytes)) || (feed != nullptr && !store(open, "\r\n", 2))) {
            return false;
        }
        bytes = feed == nullptr ? end : feed + 1;
    }
    return true;
}

// Opens the host file for the stream as the checks found it: never through
// a link, never blocking, never a file that is not regular or, to write,
// one with a second hard link. Emptied only once that is sure.
int open_regular(const std::string& host, int flags)
{
    int fd = open(host.c_str(), (flags & ~O_TRUNC) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    struct stat info;
    if (fd >= 0 && (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || (flags != O_RDONLY && info.st_nlink != 1) ||
                    ((flags & O_TRUNC) != 0 && ftruncate(fd, 0) != 0))) {
        close(fd);
        return -1;
    }
    return fd;
}

uint64_t size_of(const std::string& host)
{
    struct stat info;
    return stat(host.c_str(), &info) == 0 && S_ISREG(info.st_mode) ? static_cast<uint64_t>(info.st_size) : 0;
}

std::string stream_name(const Stream* open)
{
    return open == nullptr ? "<not an open stream>" : open->name;
}

// The run-time's own streams for the console: what is written to them is
// shown as printf shows it, and not traced.
bool is_console(FILE* stream)
{
    return stream == stdout || stream == stderr;
}

// The stream a call names; nullptr for the console's output. The device's
// run-time follows the pointer unchecked: NULL, a stream already closed or
// one made up is a fault there.
Stream* stream_or_fault(const char* call, FILE* stream)
{
    if (stream == nullptr) {
        device_fault(call, "stream NULL");
    }
    Stream* open = find_stream(stream);
    auto closed = device().closed_streams.find(stream);
    if (open == nullptr && closed != device().closed_streams.end()) {
        device_fault(call, "stream " + closed->second->name + " closed");
    }
    if (open == nullptr && !is_console(stream)) {
        // A value that is none of the ids: the program's own, in hex.
        device_fault(call, "stream " + hex(reinterpret_cast<uintptr_t>(stream)) + " not open");
    }
    return open;
}

// How the run-time's mode opens a file: r, w or a, then b or t. The other
// letters it knows (+ for both ways, c n S R T D ccs=) are not modelled; any
// other mode is refused, as the run-time refuses it.
enum class Mode { Modelled, NotModelled, Invalid };
Mode parse_mode(const std::string& how, int& flags)
{
    if (how.empty() || std::string("rwa").find(how[0]) == std::string::npos) {
        return Mode::Invalid;
    }
    flags = how[0] == 'r' ? O_RDONLY : how[0] == 'w' ? O_WRONLY | O_CREAT | O_TRUNC : O_WRONLY | O_CREAT | O_APPEND;
    if (how.size() == 1 || (how.size() == 2 && (how[1] == 'b' || how[1] == 't'))) {
        return Mode::Modelled;
    }
    size_t known = how.find(",ccs=") != std::string::npos ? how.find(",ccs=") : how.size();
    std::string letters = how.substr(1, known - 1);
    bool binary = letters.find('b') != std::string::npos, text = letters.find('t') != std::string::npos;
    for (size_t i = 0; i < letters.size(); ++i) {
        if (std::string("+btcnSRTD").find(letters[i]) == std::string::npos || letters.find(letters[i], i + 1) != std::string::npos) {
            return Mode::Invalid;
        }
    }
    return binary && text ? Mode::Invalid : Mode::NotModelled;
}

}  // namespace

void check_stream(const char* call, FILE* stream)
{
    stream_or_fault(call, stream);
}

HostPath resolve(const char16_t* device_path)
{
    HostPath result;
    if (device_path == nullptr) {
        result.error = ERROR_INVALID_PARAMETER;
        return result;
    }
    std::string path = to_utf8(device_path);
    auto separator = [](char c) { return c == '\\' || c == '/'; };
    if (path.size() >= 2 && separator(path[0]) && separator(path[1])) {
        // A network path: the device reaches none.
        result.error = ERROR_PATH_NOT_FOUND;
        return result;
    }
    bool names_a_folder = !path.empty() && separator(path.back());
    std::vector<std::string> parts = win32_components(split(path, "\\/"), names_a_folder);
    if (parts.empty()) {
        result.error = ERROR_INVALID_NAME;
        return result;
    }
    std::string host = device().root;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (!valid_name(parts[i])) {
            result.error = ERROR_INVALID_NAME;
            return result;
        }
        std::string found = find_entry(host, parts[i]);
        bool last = i + 1 == parts.size();
        if (found.empty()) {
            if (!last || names_a_folder) {
                result.error = last ? ERROR_INVALID_NAME : ERROR_PATH_NOT_FOUND;
                return result;
            }
            result.ok = true;
            result.host = host + "/" + parts[i];
            return result;
        }
        host += "/" + found;
        struct stat info;
        if (lstat(host.c_str(), &info) != 0 || S_ISLNK(info.st_mode)) {
            // A link could lead out of the device: the device has none.
            result.error = ERROR_ACCESS_DENIED;
            return result;
        }
        if (!last && !S_ISDIR(info.st_mode)) {
            result.error = ERROR_PATH_NOT_FOUND;
            return result;
        }
        if (last && names_a_folder && !S_ISDIR(info.st_mode)) {
            // A file name with a separator after it.
            result.error = ERROR_INVALID_NAME;
            return result;
        }
        if (last) {
            result.exists = true;
            result.is_folder = S_ISDIR(info.st_mode);
            result.is_regular = S_ISREG(info.st_mode);
            result.hard_linked = !result.is_folder && info.st_nlink > 1;
            result.read_only = !result.is_folder && (info.st_mode & 0222) == 0;
        }
    }
    result.ok = true;
    result.host = host;
    return result;
}

bool is_open_stream(const std::string& host_path)
{
    for (const auto& entry : device().streams) {
        if (entry.second->host == host_path) {
            return true;
        }
    }
    return false;
}

void hand_over_open_streams()
{
    for (auto& entry : device().streams) {
        hand_over(*entry.second);
    }
}

}  // namespace ce

using namespace ce;

extern "C" FILE* ce_wfopen(const WCHAR* name, const WCHAR* mode)
{
    // The run-time reads both unchecked.
    if (name == nullptr || mode == nullptr) {
        device_fault("_wfopen", name == nullptr ? "name NULL" : "mode NULL");
    }
    std::string shown = to_utf8(name);
    std::string how = to_utf8(mode);
    Call call("_wfopen", shown, how);
    int flags = O_RDONLY;
    Mode parsed = parse_mode(how, flags);
    if (parsed == Mode::NotModelled) {
        not_modelled("_wfopen", shown + " " + how);
    }
    if (call.fails()) {
        return call.injected(nullptr);
    }
    if (parsed == Mode::Invalid) {
        call.ends("failed invalid mode");
        return nullptr;
    }
    bool writes = flags != O_RDONLY;
    bool emptied = (flags & O_TRUNC) != 0;
    bool text = how.find('b') == std::string::npos;
    HostPath where = resolve(name);
    uint64_t before = where.ok && where.exists ? size_of(where.host) : 0;
    int fd = -1;
    if (!where.ok) {
        call.failed(where.error);
    } else if (!where.exists && !writes) {
        call.failed(ERROR_FILE_NOT_FOUND);
    } else if (where.exists && (!where.is_regular || (writes && (where.hard_linked || where.read_only)))) {
        // Folders, FIFOs and device nodes are never opened: nothing blocks.
        call.failed(ERROR_ACCESS_DENIED);
    } else if ((fd = open_regular(where.host, flags)) < 0) {
        call.failed(ERROR_ACCESS_DENIED);
    } else {
        uint64_t length = emptied ? 0 : before;
        std::unique_ptr<Stream> opened(new Stream{shown, where.host, fd, new_handle(HandleKind::File, shown), writes,
                                                  text, length, length, nullptr, 0, nullptr, false, {}, 0, 0, 0});
        FILE* stream = reinterpret_cast<FILE*>(issue_id());
        device().streams[stream] = std::move(opened);
        if (writes) {
            storage_opened(where.host, emptied);
        }
        if (emptied) {
            storage_shrank(before);
        }
        call.ok();
        return stream;
    }
    return nullptr;
}

extern "C" HANDLE ce_fileno(FILE* stream)
{
    Stream* open = stream_or_fault("_fileno", stream);
    if (open == nullptr || open == &input_stream) {
        not_modelled("_fileno", "of the console");
    }
    return open->handle;
}

extern "C" size_t ce_fwrite(const void* data, size_t size, size_t count, FILE* stream)
{
    // Nothing to write returns before the run-time looks at anything.
    bool nothing = size == 0 || count == 0;
    if (nothing && is_console(stream)) {
        return 0;
    }
    Stream* open = nothing ? find_stream(stream) : stream_or_fault("fwrite", stream);
    if (!nothing && data == nullptr) {
        device_fault("fwrite", "data NULL");
    }
    if (!nothing && open == nullptr) {
        write_console(static_cast<const char*>(data), size * count);
        return count;
    }
    // Called once per chunk of the image: the line's beginning is put
    // together once for the stream's calls of one size and count, without
    // the cost of a format, and the line waits to go out with the lines of
    // the following calls.
    static std::string not_open_line;
    std::string& line = open != nullptr ? open->write_line : not_open_line;
    if (open != nullptr && open->write_prefix != 0 && open->write_size == size && open->write_count == count) {
        line.resize(open->write_prefix);
    } else {
        line.assign("fwrite ").append(stream == nullptr ? "NULL" : stream_name(open));
        append_number(line.append(" "), size);
        append_number(line.append(" "), count);
        line.append(" ");
        if (open != nullptr) {
            open->write_prefix = line.size();
            open->write_size = size;
            open->write_count = count;
        }
    }
    CallLine call("fwrite", line);
    if (call.fails()) {
        call.ends("short 0 injected");
        return 0;
    }
    if (nothing) {
        call.ends_deferred("ok");
        return 0;
    }
    // A full volume stores the elements that still fit.
    const char* bytes = static_cast<const char*>(data);
    uint64_t room = storage_room();
    size_t fits = 0;
    uint64_t taken = 0;  // bytes the elements that fit take on the storage
    if (size != 0 && !open->text) {
        fits = count > room / size ? static_cast<size_t>(room / size) : count;
        taken = static_cast<uint64_t>(fits) * size;
    }
    for (; size != 0 && open->text && fits < count; ++fits) {
        uint64_t grown = size + line_feeds(bytes + fits * size, size);
        if (grown > room - taken) {
            break;
        }
        taken += grown;
    }
    size_t stored = 0;
    if (open->writes && fits != 0 && (open->text ? store_text(*open, bytes, fits * size) : store(*open, bytes, fits * size))) {
        stored = fits;
    } else {
        taken = 0;
    }
    open->length += taken;
    storage_grew(taken);
    if (stored < count && fits < count) {
        SetLastError(ERROR_DISK_FULL);
    }
    if (stored == count) {
        call.ends_deferred("ok");
    } else {
        append_number(line.append("short "), stored);
        call.ends_deferred("");
    }
    return stored;
}

extern "C" size_t ce_fread(void* data, size_t size, size_t count, FILE* stream)
{
    Stream* open = stream_or_fault("fread", stream);
    if (open == nullptr || open == &input_stream || open->text) {
        // The console's input and a text stream's CR LF are read only by getwchar.
        not_modelled("fread", open == nullptr || open == &input_stream ? "of the console" : "of a text stream " + open->name);
    }
    bool nothing = size == 0 || count == 0;
    if (!nothing && data == nullptr) {
        device_fault("fread", "data NULL");
    }
    if (!nothing && count > SIZE_MAX / size) {
        device_fault("fread", "size " + std::to_string(size) + " times count " + std::to_string(count) + " beyond memory");
    }
    Call call("fread", open->name, std::to_string(size), std::to_string(count));
    if (call.fails()) {
        call.ends("short 0 injected");
        return 0;
    }
    size_t got = 0;
    // A stream opened for writing reads nothing, as the run-time's.
    while (!nothing && !open->writes && got < size * count) {
        ssize_t n = pread(open->fd, static_cast<char*>(data) + got, size * count - got, static_cast<off_t>(open->read + got));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        got += static_cast<size_t>(n);
    }
    open->read += got;
    size_t items = nothing ? 0 : got / size;
    call.ends(items == count || nothing ? std::string("ok") : "short " + std::to_string(items));
    return items;
}

extern "C" int ce_fwprintf(FILE* stream, const WCHAR* format, ...)
{
    // A stream that is not open faults before the format is read.
    check_stream("fwprintf", stream);
    va_list arguments;
    va_start(arguments, format);
    std::u16string text = format_wide_or_fault("fwprintf", format, arguments);
    va_end(arguments);
    return print_to_stream(stream, text);
}

int ce::print_to_stream(FILE* stream, const std::u16string& text)
{
    Stream* open = stream_or_fault("fwprintf", stream);
    std::string shown = to_utf8(text);
    if (open == nullptr) {
        write_console(shown.data(), shown.size());
        return static_cast<int>(text.size());
    }
    Call call("fwprintf", stream_name(open), quoted(shown));
    if (call.fails()) {
        call.ends("failed injected");
        return -1;
    }
    // A binary stream takes the wide characters as they are; a text stream
    // the settings files' host form, UTF-8 with line feeds.
    std::string bytes = open->text ? shown : utf16le(text);
#ifdef CE_BROKEN_SETTINGS_BYTE
    // A deliberately broken build for ce-campaign's tests only: a text
    // stream stores one byte the tool did not write.
    if (open->text && !bytes.empty()) {
        bytes[0] = static_cast<char>(bytes[0] ^ 0x20);
    }
#endif
    size_t fits = bytes.size();
    if (fits > storage_room()) {
        fits = static_cast<size_t>(storage_room());
    }
    size_t stored = open->writes && store(*open, bytes.data(), fits) ? fits : 0;
    open->length += stored;
    storage_grew(stored);
    if (stored == bytes.size()) {
        call.ok();
        return static_cast<int>(text.size());
    }
    if (fits < bytes.size()) {
        SetLastError(ERROR_DISK_FULL);
        call.ends("short " + std::to_string(stored));
    } else {
        call.ends("failed");
    }
    return -1;
}

extern "C" int ce_fflush(FILE* stream)
{
    // NULL flushes every open stream.
    Stream* open = stream == nullptr ? nullptr : stream_or_fault("fflush", stream);
    if (stream != nullptr && open == nullptr) {
        flush_console();
        return 0;
    }
    Call call("fflush", stream == nullptr ? std::string("NULL") : stream_name(open));
    if (call.fails()) {
        call.ends("failed injected");
        return EOF;
    }
    bool handed = true;
    for (auto& entry : device().streams) {
        if (open == nullptr || entry.second.get() == open) {
            bool whole = hand_over(*entry.second);
            entry.second->handed = whole ? entry.second->length : entry.second->handed;
            handed = handed && whole;
        }
    }
    call.ends(handed ? "ok" : "failed");
    return handed ? 0 : EOF;
}

extern "C" BOOL FlushFileBuffers(HANDLE file)
{
    Stream* open = stream_of_handle(file);
    Call call("FlushFileBuffers", handle_name(file));
    if (call.fails()) {
        return call.injected(FALSE);
    }
    if (open == nullptr) {
        return call.failed(ERROR_INVALID_HANDLE, FALSE);
    }
    if (!open->writes) {
        // A handle that may not write may not flush either.
        return call.failed(ERROR_ACCESS_DENIED, FALSE);
    }
    // The storage may take long: the screen shows everything up to here.
    flush_console();
    // What the file system holds goes to the storage; what the run-time
    // still holds back does not.
    if (fsync(open->fd) != 0) {
        return call.failed(ERROR_GEN_FAILURE, FALSE);
    }
    // Not in the deliberately broken build of ce-campaign's tests whose
    // flush makes nothing durable.
#ifndef CE_BROKEN_FLUSH_KEEPS_NOTHING
    storage_flushed(open->host, open->handed);
#endif
    call.ok();
    return TRUE;
}

extern "C" int ce_fclose(FILE* stream)
{
    Stream* open = stream_or_fault("fclose", stream);
    if (open == nullptr || open == &input_stream) {
        not_modelled("fclose", "of the console");
    }
    Call call("fclose", stream_name(open));
    bool fails = call.fails();
    bool handed = false;
    if (fails) {
        // The close fails as it does when its last hand-over fails: the
        // stream is gone all the same, and what it held since its last
        // fflush is lost, in its buffer or already in the file.
        open->held = 0;
        open->lent = nullptr;
        if (open->handed < open->length && ftruncate(open->fd, static_cast<off_t>(open->handed)) == 0) {
            storage_shrank(open->length - open->handed);
        }
    } else {
        handed = hand_over(*open);
    }
    int closed = close(open->fd);
    open->fd = -1;
    forget_handle(open->handle);
    open->buffer.reset();
    device().closed_streams.insert(device().streams.extract(stream));
    if (fails) {
        call.ends("failed injected");
        return EOF;
    }
    bool ok = handed && closed == 0;
    call.ends(ok ? "ok" : "failed");
    return ok ? 0 : EOF;
}

extern "C" BOOL DeleteFileW(LPCWSTR name)
{
    Call call("DeleteFileW", to_utf8(name));
    if (call.fails()) {
        return call.injected(FALSE);
    }
    HostPath where = resolve(name);
    if (!where.ok) {
        return call.failed(where.error, FALSE);
    }
    if (!where.exists) {
        return call.failed(ERROR_FILE_NOT_FOUND, FALSE);
    }
    if (where.is_folder || where.hard_linked || where.read_only) {
        return call.failed(ERROR_ACCESS_DENIED, FALSE);
    }
    if (is_open_stream(where.host)) {
        return call.failed(ERROR_SHARING_VIOLATION, FALSE);
    }
    uint64_t size = size_of(where.host);
    if (unlink(where.host.c_str()) != 0) {
        return call.failed(ERROR_ACCESS_DENIED, FALSE);
    }
    storage_deleted(where.host);
    storage_shrank(size);
    call.ok();
    return TRUE;
}

extern "C" BOOL MoveFileW(LPCWSTR existing, LPCWSTR target)
{
    Call call("MoveFileW", to_utf8(existing), to_utf8(target));
    if (call.fails()) {
        return call.injected(FALSE);
    }
    HostPath from = resolve(existing);
    HostPath to = resolve(target);
    if (!from.ok || !to.ok) {
        return call.failed(!from.ok ? from.error : to.error, FALSE);
    }
    if (!from.exists) {
        return call.failed(ERROR_FILE_NOT_FOUND, FALSE);
    }
    if (to.exists && to.host != from.host) {
        // Even a read-only file is in the way; one with a second link is not ours to touch.
        return call.failed(to.hard_linked ? ERROR_ACCESS_DENIED : ERROR_ALREADY_EXISTS, FALSE);
    }
    if (is_open_stream(from.host)) {
        return call.failed(ERROR_SHARING_VIOLATION, FALSE);
    }
    std::string destination = to.host;
    if (to.exists) {
        // The same file under another spelling: the rename changes only its case.
        destination = to.host.substr(0, to.host.rfind('/') + 1) + to_utf8(target).substr(to_utf8(target).find_last_of("\\/") + 1);
    }
    if (rename(from.host.c_str(), destination.c_str()) != 0) {
        return call.failed(ERROR_ACCESS_DENIED, FALSE);
    }
    storage_moved(from.host, destination);
    call.ok();
    return TRUE;
}

// For a runner's guest.
namespace ce::guest {

uint32_t DeleteFileW_()
{
    return DeleteFileW(text(0));
}

uint32_t MoveFileW_()
{
    return MoveFileW(text(0), text(1));
}

uint32_t FlushFileBuffers_()
{
    return FlushFileBuffers(handle(0));
}

}  // namespace ce::guest
