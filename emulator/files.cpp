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

struct Stream {
    std::string name;  // as the tool named it
    std::string host;
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

}  // namespace

HostPath resolve(const char16_t* device_path)
{
    HostPath result;
    if (device_path == nullptr) {
        result.error = ERROR_INVALID_PARAMETER;
        return result;
    }
    std::string path = to_utf8(device_path);
    std::vector<std::string> parts;
    std::string part;
    for (size_t i = 0; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '\\' || path[i] == '/') {
            if (!part.empty()) {
                parts.push_back(part);
            }
            part.clear();
        } else {
            part += path[i];
        }
    }
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
    FILE* stream = nullptr;
    if (!where.ok) {
        trace(line + fail(where.error));
    } else if (where.is_folder || (!where.exists && host_mode == "rb")) {
        trace(line + fail(where.is_folder ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND));
    } else if ((stream = std::fopen(where.host.c_str(), host_mode.c_str())) == nullptr) {
        trace(line + fail(ERROR_ACCESS_DENIED));
    } else {
        streams[stream] = Stream{shown, where.host};
        trace(line + "ok");
    }
    return stream;
}

extern "C" size_t ce_fwrite(const void* data, size_t size, size_t count, FILE* stream)
{
    Stream* open = find_stream(stream);
    if (open == nullptr) {
        trace("fwrite <not an open stream> " + std::to_string(size) + " " + std::to_string(count) + " failed");
        return 0;
    }
    size_t stored = size == 0 || count == 0 ? 0 : std::fwrite(data, size, count, stream);
    // Called once per chunk of the image: the line is put together in a
    // buffer kept from call to call, without the cost of a format, and waits
    // to go out with the lines of the following calls.
    static std::string line;
    line.assign("fwrite ").append(open->name);
    append_number(line.append(" "), size);
    append_number(line.append(" "), count);
    if (stored == count) {
        line.append(" ok");
    } else {
        append_number(line.append(" short "), stored);
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
    if (open == nullptr) {
        trace("fwprintf <not an open stream> " + quoted(bytes) + " failed");
        return -1;
    }
    bool stored = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), stream) == bytes.size();
    trace("fwprintf " + open->name + " " + quoted(bytes) + (stored ? " ok" : " failed"));
    return stored ? static_cast<int>(text.size()) : -1;
}

extern "C" int ce_fflush(FILE* stream)
{
    Stream* open = find_stream(stream);
    if (open == nullptr) {
        return EOF;
    }
    int result = std::fflush(stream);
    trace("fflush " + open->name + (result == 0 ? " ok" : " failed"));
    return result;
}

extern "C" int ce_fclose(FILE* stream)
{
    Stream* open = find_stream(stream);
    if (open == nullptr) {
        trace("fclose <not an open stream> failed");
        return EOF;
    }
    std::string name = open->name;
    streams.erase(stream);
    int result = std::fclose(stream);
    trace("fclose " + name + (result == 0 ? " ok" : " failed"));
    return result;
}

extern "C" BOOL DeleteFileW(LPCWSTR name)
{
    std::string line = "DeleteFileW " + to_utf8(name) + " ";
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
    if (unlink(where.host.c_str()) != 0) {
        trace(line + fail(ERROR_ACCESS_DENIED));
        return FALSE;
    }
    trace(line + "ok");
    return TRUE;
}

extern "C" BOOL MoveFileW(LPCWSTR existing, LPCWSTR target)
{
    std::string line = "MoveFileW " + to_utf8(existing) + " " + to_utf8(target) + " ";
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
    trace(line + "ok");
    return TRUE;
}
