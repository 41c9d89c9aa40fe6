// The device folders: DIR read once, then a fresh copy for every run, made
// in the run's drawn state; and snapshots of what a folder holds.
#include "device_folders.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "emulator.h"

namespace campaign {

bool read_to_end(int fd, std::string& bytes)
{
    bytes.clear();
    char block[65536];
    ssize_t got;
    while ((got = read(fd, block, sizeof block)) != 0) {
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            int error = errno;
            close(fd);
            errno = error;
            return false;
        }
        bytes.append(block, static_cast<size_t>(got));
    }
    close(fd);
    return true;
}

namespace {

// The names in a folder but "." and "..".
bool names_in(const std::string& folder, std::vector<std::string>& names)
{
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) {
        return false;
    }
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    closedir(dir);
    return true;
}

std::string error_text()
{
    return std::strerror(errno);
}

bool read_whole(const std::string& path, std::string& bytes)
{
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    return fd >= 0 && read_to_end(fd, bytes);
}

std::string snapshot_into(const std::string& folder, const std::string& prefix, Snapshot& snapshot, int depth)
{
    if (depth > 64) {
        return folder + ": folders nested too deep";
    }
    std::vector<std::string> names;
    if (!names_in(folder, names)) {
        return folder + ": " + error_text();
    }
    for (const std::string& name : names) {
        std::string path = folder + "/" + name;
        std::string key = prefix + name;
        struct stat info;
        if (lstat(path.c_str(), &info) != 0) {
            return path + ": " + error_text();
        }
        Node node;
        node.mode = info.st_mode & 07777;
        if (S_ISREG(info.st_mode)) {
            if (!read_whole(path, node.content)) {
                return path + " cannot be read: " + error_text();
            }
        } else if (S_ISDIR(info.st_mode)) {
            node.kind = 'd';
        } else if (S_ISLNK(info.st_mode)) {
            node.kind = 'l';
            char target[4096];
            ssize_t length = readlink(path.c_str(), target, sizeof target);
            node.content.assign(target, length > 0 ? static_cast<size_t>(length) : 0);
        } else {
            node.kind = S_ISFIFO(info.st_mode) ? 'p' : '?';
        }
        snapshot[key] = node;
        if (node.kind == 'd') {
            std::string inner = snapshot_into(path, key + "/", snapshot, depth + 1);
            if (!inner.empty()) {
                return inner;
            }
        }
    }
    return "";
}

bool write_file(const std::string& path, const std::string& bytes, unsigned mode)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            close(fd);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return fchmod(fd, mode) == 0 && close(fd) == 0;
}

// An entry removed whatever it is, a folder with all it holds.
bool remove_entry(const std::string& path)
{
    struct stat info;
    if (lstat(path.c_str(), &info) != 0) {
        return errno == ENOENT;
    }
    if (!S_ISDIR(info.st_mode)) {
        return unlink(path.c_str()) == 0;
    }
    chmod(path.c_str(), 0700);
    std::vector<std::string> names;
    if (!names_in(path, names)) {
        return false;
    }
    for (const std::string& name : names) {
        if (!remove_entry(path + "/" + name)) {
            return false;
        }
    }
    return rmdir(path.c_str()) == 0;
}

std::string ascii_folded(const std::string& name)
{
    std::string out = name;
    for (char& c : out) {
        c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    }
    return out;
}

// The name under root/ the device would find for name, or name itself.
std::string root_name(const Snapshot& device, const std::string& name)
{
    std::string found = device_entry(device, "", name);
    return found.empty() ? name : found.substr(std::string("root/").size());
}

// The registry in the platform build's form: every value as a byte list
// stored as given, so that any type, length and content is written exactly.
void write_key(const ce::RegistryKey& key, const std::string& path, std::string& out)
{
    static const char digits[] = "0123456789abcdef";
    out += "[HKEY_LOCAL_MACHINE" + path + "]\n";
    for (const auto& entry : key.values) {
        const ce::RegistryValue& value = entry.second;
        std::string line;
        if (value.name.empty()) {
            line = "@";
        } else {
            line = "\"";
            for (char c : ce::to_utf8(value.name)) {
                line += c == '\\' || c == '"' ? std::string("\\") + c : std::string(1, c);
            }
            line += "\"";
        }
        char type[16];
        std::snprintf(type, sizeof type, "=hex(%x):", static_cast<unsigned>(value.type));
        line += type;
        for (size_t i = 0; i < value.data.size(); ++i) {
            unsigned char byte = static_cast<unsigned char>(value.data[i]);
            line += i == 0 ? "" : ",";
            line += digits[byte >> 4];
            line += digits[byte & 15];
        }
        out += line + "\n";
    }
    for (const auto& sub : key.subkeys) {
        write_key(*sub.second, path + "\\" + ce::to_utf8(sub.second->name), out);
    }
}

bool same_key(const ce::RegistryKey& a, const ce::RegistryKey& b)
{
    if (a.name != b.name || a.values.size() != b.values.size() || a.subkeys.size() != b.subkeys.size()) {
        return false;
    }
    for (const auto& entry : a.values) {
        auto other = b.values.find(entry.first);
        if (other == b.values.end() || other->second.name != entry.second.name ||
            other->second.type != entry.second.type || other->second.data != entry.second.data) {
            return false;
        }
    }
    for (const auto& entry : a.subkeys) {
        auto other = b.subkeys.find(entry.first);
        if (other == b.subkeys.end() || !same_key(*entry.second, *other->second)) {
            return false;
        }
    }
    return true;
}

ce::RegistryKey* child(ce::RegistryKey& key, const std::string& name, bool create)
{
    std::u16string folded = ce::fold(ce::to_utf16(name));
    auto found = key.subkeys.find(folded);
    if (found != key.subkeys.end()) {
        return found->second.get();
    }
    if (!create) {
        return nullptr;
    }
    std::unique_ptr<ce::RegistryKey> made(new ce::RegistryKey);
    made->name = ce::to_utf16(name);
    return key.subkeys.emplace(folded, std::move(made)).first->second.get();
}

void edit_registry(ce::Registry& registry, const Draw& draw)
{
    for (int n = 0; n < LANS; ++n) {
        const LanEdit& edit = draw.edits[n];
        if (!edit.changed) {
            continue;
        }
        std::vector<std::string> parts = lan_key_parts(n + 1);
        if (edit.key_missing) {
            ce::RegistryKey* key = &registry.root;
            for (size_t i = 0; key != nullptr && i + 1 < parts.size(); ++i) {
                key = child(*key, parts[i], false);
            }
            if (key != nullptr) {
                key->subkeys.erase(ce::fold(ce::to_utf16(parts.back())));
            }
            continue;
        }
        for (const ValueEdit& value : edit.values) {
            if (value.what == ValueEdit::Keep) {
                continue;
            }
            ce::RegistryKey* key = &registry.root;
            for (const std::string& part : parts) {
                key = child(*key, part, true);
            }
            std::u16string name = ce::to_utf16(value.spelled);
            key->values.erase(ce::fold(name));
            if (value.what == ValueEdit::Set) {
                ce::RegistryValue entry;
                entry.name = name;
                entry.type = value.type;
                entry.data = value.data;
                key->values[ce::fold(name)] = entry;
            }
        }
    }
}

std::string old_settings(int lan, uint32_t tag)
{
    return "N\n10.9." + std::to_string(lan) + "." + std::to_string(tag % 250) + "\n255.255.0.0\n\n\n\n";
}

}  // namespace

bool remove_tree(const std::string& path)
{
    return remove_entry(path);
}

std::string take_snapshot(const std::string& folder, Snapshot& snapshot)
{
    snapshot.clear();
    return snapshot_into(folder, "", snapshot, 0);
}

std::string make_folder(const Snapshot& snapshot, const std::string& to)
{
    if (mkdir(to.c_str(), 0700) != 0) {
        return to + ": " + error_text();
    }
    std::vector<std::pair<std::string, unsigned>> folders;
    for (const auto& entry : snapshot) {
        std::string path = to + "/" + entry.first;
        const Node& node = entry.second;
        bool made = true;
        if (node.kind == 'd') {
            made = mkdir(path.c_str(), 0700) == 0;
            folders.push_back({path, node.mode});
        } else if (node.kind == 'f') {
            made = write_file(path, node.content, node.mode);
        } else if (node.kind == 'l') {
            made = symlink(node.content.c_str(), path.c_str()) == 0;
        } else if (node.kind == 'p') {
            made = mkfifo(path.c_str(), node.mode) == 0;
        }
        if (!made) {
            return path + ": " + error_text();
        }
    }
    // Deepest first: a folder that may not be written is filled before its mode is set.
    std::sort(folders.begin(), folders.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    for (const auto& folder : folders) {
        if (chmod(folder.first.c_str(), folder.second) != 0) {
            return folder.first + ": " + error_text();
        }
    }
    return "";
}

std::string load_device(const std::string& dir, Snapshot& device)
{
    struct stat info;
    if (stat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        return dir + (errno == ENOENT ? " does not exist" : " is not a folder") + ": it must be an emulated device's folder";
    }
    std::string root = dir + "/root";
    if (lstat(root.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        return dir + " has no folder root/: it must be an emulated device's folder";
    }
    std::string complaint = take_snapshot(dir, device);
    if (!complaint.empty()) {
        return complaint;
    }
    for (const auto& entry : device) {
        if (entry.second.kind == '?') {
            return dir + "/" + entry.first + " is neither a file, a folder, a link nor a FIFO: the campaign cannot copy it";
        }
    }
    device.erase("trace.log");
    ce::Registry registry;
    return ce::read_device_registry(dir, registry);
}

std::string device_entry(const Snapshot& snapshot, const std::string& device, const std::string& name)
{
    std::string root = (device.empty() ? "" : device + "/") + "root/";
    if (snapshot.count(root + name) != 0) {
        return root + name;
    }
    std::string wanted = ascii_folded(name);
    for (auto at = snapshot.lower_bound(root); at != snapshot.end() && at->first.compare(0, root.size(), root) == 0; ++at) {
        std::string rest = at->first.substr(root.size());
        if (rest.find('/') == std::string::npos && ascii_folded(rest) == wanted) {
            return at->first;
        }
    }
    return "";
}

std::string prepare_device(const Snapshot& device, const Draw& draw, const std::string& image,
                           const std::string& folder, Prepared& prepared)
{
    std::string complaint = make_folder(device, folder);
    if (!complaint.empty()) {
        return complaint;
    }
    std::string root = folder + "/root/";
    std::string boot = root + root_name(device, "NK.bin");
    if (draw.boot == BootImage::Absent && !remove_entry(boot)) {
        return boot + ": " + error_text();
    }
    struct stat info;
    if (draw.boot == BootImage::ReadOnly && lstat(boot.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
        chmod(boot.c_str(), info.st_mode & 07555) != 0) {
        return boot + ": " + error_text();
    }
    std::string leftover = root + root_name(device, "NK1.bin");
    if (!remove_entry(leftover)) {
        return leftover + ": " + error_text();
    }
    if (draw.leftover != Leftover::None) {
        size_t size = draw.leftover == Leftover::Whole ? image.size()
                                                       : static_cast<size_t>(static_cast<uint64_t>(image.size()) * draw.leftover_share / 65536);
        if (!write_file(leftover, image.substr(0, size), 0644)) {
            return leftover + ": " + error_text();
        }
    }
    for (int n = 0; n < LANS; ++n) {
        std::string name = "lan" + std::to_string(n + 1);
        std::string path = root + root_name(device, name);
        LanFile how = draw.lan[n];
        if (how == LanFile::AsDevice) {
            continue;
        }
        bool done = remove_entry(path);
        if (done && (how == LanFile::Present || how == LanFile::ReadOnly)) {
            done = write_file(path, old_settings(n + 1, draw.lan_tag[n]), how == LanFile::ReadOnly ? 0444 : 0644);
        } else if (done && how == LanFile::Folder) {
            done = mkdir(path.c_str(), 0755) == 0;
        }
        if (!done) {
            return path + ": " + error_text();
        }
    }
    std::string driver = folder + "/ucs1";
    if (!remove_entry(driver) || !write_file(driver, draw.driver_accepts ? "accept\n" : "refuse\n", 0644)) {
        return driver + ": " + error_text();
    }
    complaint = ce::read_device_registry(folder, prepared.registry);
    if (!complaint.empty()) {
        return complaint;
    }
    if (draw.registry_changed) {
        edit_registry(prepared.registry, draw);
        std::string text = "; The registry of a campaign's run, in the platform build's form.\n";
        write_key(prepared.registry.root, "", text);
        std::string file = folder + "/registry.reg";
        if (!remove_entry(file) || !write_file(file, text, 0644)) {
            return file + ": " + error_text();
        }
        ce::Registry written;
        complaint = ce::read_device_registry(folder, written);
        if (!complaint.empty() || !same_key(written.root, prepared.registry.root)) {
            return file + ": the registry of the device folder cannot be written back exactly" +
                   (complaint.empty() ? "" : ": " + complaint);
        }
    }
    Snapshot made;
    complaint = take_snapshot(folder, made);
    if (!complaint.empty()) {
        return complaint;
    }
    uint64_t stored = 0, leftover_bytes = 0;
    for (const auto& entry : made) {
        if (entry.second.kind == 'f' && entry.first.compare(0, 5, "root/") == 0) {
            stored += entry.second.content.size();
        }
    }
    std::string found = device_entry(made, "", "NK1.bin");
    if (!found.empty() && made[found].kind == 'f') {
        leftover_bytes = made[found].content.size();
    }
    found = device_entry(made, "", "NK.bin");
    prepared.had_boot_image = !found.empty() && made[found].kind == 'f';
    prepared.boot_image = prepared.had_boot_image ? made[found].content : "";
    // The write of \NK1.bin empties it first: what it held is room again.
    uint64_t before_image = stored - leftover_bytes;
    switch (draw.storage) {
    case Storage::Ample: prepared.storage_bytes = stored + 2 * image.size() + 65536; break;
    case Storage::Short:
        prepared.storage_bytes = before_image + static_cast<uint64_t>(image.size()) * draw.storage_share / 65536;
        break;
    case Storage::Tight: prepared.storage_bytes = before_image + image.size() + draw.storage_share; break;
    }
    return "";
}

}  // namespace campaign
