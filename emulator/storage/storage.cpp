// The device's storage: which file contents survive a power cut, and how many
// bytes of contents root/ can hold.
//
// Creating, emptying, deleting and moving a file are durable when the call
// returns (the device's file system is transaction-safe). Contents are durable
// up to the last flush of the file. Files the tool never opened for writing
// are not tracked: what they held at boot was durable.
#include "emulator.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

namespace ce {

uint64_t bytes_under(const std::string& folder)
{
    uint64_t total = 0;
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) {
        return 0;
    }
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        std::string path = folder + "/" + name;
        struct stat info;
        if (lstat(path.c_str(), &info) != 0) {
            continue;
        }
        if (S_ISDIR(info.st_mode)) {
            total += bytes_under(path);
        } else if (S_ISREG(info.st_mode)) {
            total += static_cast<uint64_t>(info.st_size);
        }
    }
    closedir(dir);
    return total;
}

void storage_opened(const std::string& host, bool emptied)
{
    if (emptied) {
        device().durable_length[host] = 0;
        return;
    }
    if (device().durable_length.count(host) == 0) {
        struct stat info;
        device().durable_length[host] = stat(host.c_str(), &info) == 0 ? static_cast<uint64_t>(info.st_size) : 0;
    }
}

void storage_flushed(const std::string& host, uint64_t length)
{
    device().durable_length[host] = length;
}

void storage_deleted(const std::string& host)
{
    device().durable_length.erase(host);
}

void storage_moved(const std::string& from, const std::string& to)
{
    auto found = device().durable_length.find(from);
    if (found == device().durable_length.end()) {
        return;
    }
    uint64_t length = found->second;
    device().durable_length.erase(found);
    device().durable_length[to] = length;
}

uint64_t storage_room()
{
    if (!device().storage_limited) {
        return UINT64_MAX;
    }
    return device().bytes_stored >= device().storage_bytes ? 0 : device().storage_bytes - device().bytes_stored;
}

void storage_grew(uint64_t bytes)
{
    device().bytes_stored += bytes;
}

void storage_shrank(uint64_t bytes)
{
    device().bytes_stored = bytes >= device().bytes_stored ? 0 : device().bytes_stored - bytes;
}

void lose_what_is_not_durable()
{
    for (const auto& file : device().durable_length) {
        // Only the file itself: never through a link or a second name.
        int fd = open(file.first.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        struct stat info;
        if (fd >= 0 && fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_nlink == 1 &&
            static_cast<uint64_t>(info.st_size) > file.second && ftruncate(fd, static_cast<off_t>(file.second)) != 0) {
            std::fprintf(stderr, "emulation: %s: could not fall back to its %llu durable bytes: %s\n",
                         file.first.c_str(), static_cast<unsigned long long>(file.second), std::strerror(errno));
        }
        if (fd >= 0) {
            close(fd);
        }
    }
}

}  // namespace ce
