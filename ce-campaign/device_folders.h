// The device folders of a campaign: DIR read once, a fresh copy for every
// run in the drawn state, and what a folder holds at a moment.
#ifndef CE_CAMPAIGN_DEVICE_FOLDERS_H
#define CE_CAMPAIGN_DEVICE_FOLDERS_H

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "campaign.h"
#include "registry_file.h"

namespace campaign {

// One entry of a folder: a file, a folder, a symbolic link or a FIFO.
struct Node {
    char kind = 'f';        // f, d, l, p; ? for anything else
    unsigned mode = 0;      // the permission bits
    std::string content;    // a file's bytes, a link's target
    bool operator==(const Node& other) const
    {
        return kind == other.kind && mode == other.mode && content == other.content;
    }
    bool operator!=(const Node& other) const { return !(*this == other); }
};
// By path relative to the folder, '/' between names.
using Snapshot = std::map<std::string, Node>;

// What a folder holds, nothing opened that could block; "" or why not.
std::string take_snapshot(const std::string& folder, Snapshot& snapshot);
// Makes the folder `to` (which must not exist) hold what the snapshot holds.
std::string make_folder(const Snapshot& snapshot, const std::string& to);

// Reads the open descriptor to its end into bytes and closes it; false, with
// errno, when a read fails.
bool read_to_end(int fd, std::string& bytes);

// Removes an entry whatever it is, a folder with everything in it.
bool remove_tree(const std::string& path);

// DIR as the campaign copies it: its trace.log left out. "" or why DIR is
// no device to run on.
std::string load_device(const std::string& dir, Snapshot& device);

// A device made in a run's drawn state.
struct Prepared {
    ce::Registry registry;        // as the device boots with it
    bool storage_limited = true;  // CE_STORAGE_BYTES
    uint64_t storage_bytes = 0;
    std::string boot_image;       // NK.bin as the run found it
    bool had_boot_image = false;
};
// A fresh copy of the device at `folder` in the draw's state. "" or what went wrong.
std::string prepare_device(const Snapshot& device, const Draw& draw, const std::string& image,
                           const std::string& folder, Prepared& prepared);

// The entry of root/ that the device finds for name (case-insensitively,
// the exact spelling first), as a snapshot path below `device` ("device/root/NK.bin"), or "".
std::string device_entry(const Snapshot& snapshot, const std::string& device, const std::string& name);

}  // namespace campaign

#endif
