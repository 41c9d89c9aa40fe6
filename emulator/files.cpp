// The device's file system: $CE_DEVICE/root/ with the device's path rules,
// and the run-time's wide file streams on it.
#include "emulator.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <map>
#include <vector>

#include "wide_format.h"

namespace ce {
namespace {

std::string lowered(const std::string& name)
{
    std::string out = name;
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
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

// The entry of folder whose name matches name case-insensitively; the exact
// spelling wins where the host holds several.
std::string find_entry(const std::string& folder, const std::string& name)
{
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) {
        return "";
    }
    std::string wanted = lowered(name);
    std::string match;
    while (dirent* entry = readdir(dir)) {
        std::string candidate = entry->d_name;
        if (candidate == name) {
            match = candidate;
            break;
        }
        if (lowered(candidate) == wanted && (match.empty() || candidate < match)) {
            match = candidate;
        }
    }
    closedir(dir);
    return match;
}

// An open stream. The run-time holds what is written until fflush or fclose
// hands it to the file system; only FlushFileBuffers then makes that durable.
struct Stream {
    std::string name;  // as the tool named it
    std::string host;
    HANDLE handle;     // what _fileno gives: the file's handle
    bool writes;       // opened with "w" or "a"
    uint64_t length;   // bytes in the file, as far as the tool has written
    uint64_t handed;   // of those, what the run-time has handed to the file system
};
std::map<FILE*, Stream> streams;

void append_number(std::string& line, size_t number)
{
    char digits[24];
    line.append(digits, std::to_chars(digits, digits + sizeof digits, number).ptr);
}

Stream* find_stream(FILE* stream)
{
    auto found = streams.find(stream);
    return found == streams.end() ? nullptr : &found->second;
}

Stream* stream_of_handle(HANDLE handle)
{
    for (auto& entry : streams) {
        if (entry.second.handle == handle) {
            return &entry.second;
        }
    }
    return nullptr;
}

FILE* file_of(const Stream* open)
{
    for (auto& entry : streams) {
        if (&entry.second == open) {
            return entry.first;
        }
    }
    return nullptr;
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

}  // namespace

HostPath resolve(const char16_t* device_path)
{
    HostPath result;
    if (device_path == nullptr) {
        result.error = ERROR_INVALID_PARAMETER;
        return result;
    }
    std::string path = to_utf8(device_path);
    std::vector<std::string> parts = split(path, "\\/");
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
            if (!last) {
                result.error = ERROR_PATH_NOT_FOUND;
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
        if (last) {
            result.exists = true;
            result.is_folder = S_ISDIR(info.st_mode);
        }
    }
    result.ok = true;
    result.host = host;
    return result;
}

bool is_open_stream(const std::string& host_path)
{
    for (const auto& entry : streams) {
        if (entry.second.host == host_path) {
            return true;
        }
    }
    return false;
}

}  // namespace ce

using namespace ce;

extern "C" FILE* ce_wfopen(const WCHAR* name, const WCHAR* mode)
{
    std::string shown = to_utf8(name);
    std::string how = to_utf8(mode);
    std::string line = "_wfopen " + shown + " " + how + " ";
    if (call_fails("_wfopen")) {
        trace(line + injected());
        return nullptr;
    }
    std::string host_mode;
    if (how == "w" || how == "wb" || how == "wt") {
        host_mode = "wb";
    } else if (how == "r" || how == "rb" || how == "rt") {
        host_mode = "rb";
    } else if (how == "a" || how == "ab" || how == "at") {
        host_mode = "ab";
    } else {
        trace(line + "failed invalid mode");
        return nullptr;
    }
    HostPath where = resolve(name);
    uint64_t before = where.ok && where.exists ? size_of(where.host) : 0;
    FILE* stream = nullptr;
    if (!where.ok) {
        trace(line + fail(where.error));
    } else if (where.is_folder || (!where.exists && host_mode == "rb")) {
        trace(line + fail(where.is_folder ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND));
    } else if ((stream = std::fopen(where.host.c_str(), host_mode.c_str())) == nullptr) {
        trace(line + fail(ERROR_ACCESS_DENIED));
    } else {
        // The host file always holds what the tool wrote; the stream's own
        // counts model what the run-time would still hold back.
        std::setvbuf(stream, nullptr, _IONBF, 0);
        bool writes = host_mode != "rb";
        bool emptied = host_mode == "wb";
        uint64_t length = emptied ? 0 : before;
        streams[stream] = Stream{shown, where.host, new_handle(HandleKind::File, shown), writes, length, length};
        if (writes) {
            storage_opened(where.host, emptied);
        }
        if (emptied) {
            storage_shrank(before);
        }
        trace(line + "ok");
    }
    return stream;
}

extern "C" HANDLE ce_fileno(FILE* stream)
{
    Stream* open = find_stream(stream);
    return open == nullptr ? INVALID_HANDLE_VALUE : open->handle;
}

extern "C" size_t ce_fwrite(const void* data, size_t size, size_t count, FILE* stream)
{
    Stream* open = find_stream(stream);
    // Called once per chunk of the image: the line is put together in a
    // buffer kept from call to call, without the cost of a format, and waits
    // to go out with the lines of the following calls.
    static std::string line;
    line.assign("fwrite ").append(stream_name(open));
    append_number(line.append(" "), size);
    append_number(line.append(" "), count);
    line.append(" ");
    if (call_fails("fwrite")) {
        trace(line + "short 0 injected");
        return 0;
    }
    if (open == nullptr) {
        trace(line + "failed");
        return 0;
    }
    // A full volume stores the elements that still fit.
    size_t fits = count;
    uint64_t room = storage_room();
    if (size != 0 && count > room / size) {
        fits = static_cast<size_t>(room / size);
    }
    size_t stored = size == 0 || fits == 0 ? 0 : std::fwrite(data, size, fits, stream);
    open->length += static_cast<uint64_t>(stored) * size;
    storage_grew(static_cast<uint64_t>(stored) * size);
    if (stored < count && fits < count) {
        SetLastError(ERROR_DISK_FULL);
    }
    if (stored == count) {
        line.append("ok");
    } else {
        append_number(line.append("short "), stored);
    }
    trace_deferred(line);
    return stored;
}

extern "C" int ce_fwprintf(FILE* stream, const WCHAR* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    std::u16string text = format_wide(format, arguments);
    va_end(arguments);
    std::string bytes = to_utf8(text);
    Stream* open = find_stream(stream);
    std::string line = "fwprintf " + stream_name(open) + " " + quoted(bytes) + " ";
    if (call_fails("fwprintf")) {
        trace(line + "failed injected");
        return -1;
    }
    if (open == nullptr) {
        trace(line + "failed");
        return -1;
    }
    size_t fits = bytes.size();
    if (fits > storage_room()) {
        fits = static_cast<size_t>(storage_room());
    }
    size_t stored = fits == 0 ? 0 : std::fwrite(bytes.data(), 1, fits, stream);
    open->length += stored;
    storage_grew(stored);
    if (stored == bytes.size()) {
        trace(line + "ok");
        return static_cast<int>(text.size());
    }
    if (fits < bytes.size()) {
        SetLastError(ERROR_DISK_FULL);
        trace(line + "short " + std::to_string(stored));
    } else {
        trace(line + "failed");
    }
    return -1;
}

extern "C" int ce_fflush(FILE* stream)
{
    Stream* open = find_stream(stream);
    std::string line = "fflush " + stream_name(open) + " ";
    if (call_fails("fflush")) {
        trace(line + "failed injected");
        return EOF;
    }
    if (open == nullptr) {
        trace(line + "failed");
        return EOF;
    }
    std::fflush(stream);
    open->handed = open->length;
    trace(line + "ok");
    return 0;
}

extern "C" BOOL FlushFileBuffers(HANDLE file)
{
    Stream* open = stream_of_handle(file);
    std::string line = "FlushFileBuffers " + handle_name(file) + " ";
    if (call_fails("FlushFileBuffers")) {
        trace(line + injected());
        return FALSE;
    }
    if (open == nullptr) {
        trace(line + fail(ERROR_INVALID_HANDLE));
        return FALSE;
    }
    // What the file system holds goes to the storage; what the run-time
    // still holds back does not.
    if (fsync(fileno(file_of(open))) != 0) {
        trace(line + fail(ERROR_GEN_FAILURE));
        return FALSE;
    }
    if (open->writes) {
        storage_flushed(open->host, open->handed);
    }
    trace(line + "ok");
    return TRUE;
}

extern "C" int ce_fclose(FILE* stream)
{
    Stream* open = find_stream(stream);
    std::string line = "fclose " + stream_name(open) + " ";
    bool fails = call_fails("fclose");
    if (open == nullptr) {
        trace(line + (fails ? "failed injected" : "failed"));
        return EOF;
    }
    if (fails && open->handed < open->length) {
        // The close fails as it does when its last hand-over fails: the
        // stream is gone all the same, and what it still held is lost.
        if (ftruncate(fileno(stream), static_cast<off_t>(open->handed)) == 0) {
            storage_shrank(open->length - open->handed);
        }
    }
    forget_handle(open->handle);
    streams.erase(stream);
    int result = std::fclose(stream);
    if (fails) {
        trace(line + "failed injected");
        return EOF;
    }
    trace(line + (result == 0 ? "ok" : "failed"));
    return result;
}

extern "C" BOOL DeleteFileW(LPCWSTR name)
{
    std::string line = "DeleteFileW " + to_utf8(name) + " ";
    if (call_fails("DeleteFileW")) {
        trace(line + injected());
        return FALSE;
    }
    HostPath where = resolve(name);
    if (!where.ok) {
        trace(line + fail(where.error));
        return FALSE;
    }
    if (!where.exists) {
        trace(line + fail(ERROR_FILE_NOT_FOUND));
        return FALSE;
    }
    if (where.is_folder) {
        trace(line + fail(ERROR_ACCESS_DENIED));
        return FALSE;
    }
    if (is_open_stream(where.host)) {
        trace(line + fail(ERROR_SHARING_VIOLATION));
        return FALSE;
    }
    uint64_t size = size_of(where.host);
    if (unlink(where.host.c_str()) != 0) {
        trace(line + fail(ERROR_ACCESS_DENIED));
        return FALSE;
    }
    storage_deleted(where.host);
    storage_shrank(size);
    trace(line + "ok");
    return TRUE;
}

extern "C" BOOL MoveFileW(LPCWSTR existing, LPCWSTR target)
{
    std::string line = "MoveFileW " + to_utf8(existing) + " " + to_utf8(target) + " ";
    if (call_fails("MoveFileW")) {
        trace(line + injected());
        return FALSE;
    }
    HostPath from = resolve(existing);
    HostPath to = resolve(target);
    if (!from.ok || !to.ok) {
        trace(line + fail(!from.ok ? from.error : to.error));
        return FALSE;
    }
    if (!from.exists) {
        trace(line + fail(ERROR_FILE_NOT_FOUND));
        return FALSE;
    }
    if (to.exists && to.host != from.host) {
        trace(line + fail(ERROR_ALREADY_EXISTS));
        return FALSE;
    }
    if (is_open_stream(from.host)) {
        trace(line + fail(ERROR_SHARING_VIOLATION));
        return FALSE;
    }
    std::string destination = to.host;
    if (to.exists) {
        // The same file under another spelling: the rename changes only its case.
        destination = to.host.substr(0, to.host.rfind('/') + 1) + to_utf8(target).substr(to_utf8(target).find_last_of("\\/") + 1);
    }
    if (rename(from.host.c_str(), destination.c_str()) != 0) {
        trace(line + fail(ERROR_ACCESS_DENIED));
        return FALSE;
    }
    storage_moved(from.host, destination);
    trace(line + "ok");
    return TRUE;
}
