// The emulated device: what boot() read from the device folder and the
// knobs, and everything the device holds while the tool runs. boot() builds
// it afresh; nothing of an earlier boot is left in it.
#ifndef CE_DEVICE_H
#define CE_DEVICE_H

#include <windows.h>

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "registry_file.h"
#include "stream.h"

struct CeResource;

namespace ce {

// Handles of devices and processes.
enum class HandleKind { Device, Process, Thread, File };
struct HandleEntry {
    HandleKind kind;
    std::string name;
    long pid;
};

struct OpenKey {
    std::u16string path;  // folded, below HKEY_LOCAL_MACHINE
    std::string shown;    // as the tool named it, for the trace
};

// A started program, until it has been reaped and no handle names it.
struct Child {
    HANDLE process = nullptr;
    HANDLE thread = nullptr;
    bool ended = false;
    DWORD exit_code = 0;
};

// Handles, streams, keys and resources are ids from one count: multiples of
// four from 0x1000, as CE's handles are, so that no id names two objects.
const uintptr_t FIRST_ID = 0x1000;

struct Device {
    // The device folder named by CE_DEVICE and the fault knobs.
    std::string folder;  // $CE_DEVICE
    std::string root;    // $CE_DEVICE/root
    bool has_upgrade_driver = false;
    bool upgrade_driver_accepts = false;
    uint64_t power_cut_at = 0;      // CE_POWER_CUT: the traced call the power fails before; 0: never
    std::string fail_call;          // CE_FAIL: the function whose call fails; empty: none
    uint64_t fail_nth = 0;          // CE_FAIL's K: which of its calls
    std::string also_fail_call;     // CE_FAIL's second NAME@K, after a comma; empty: none
    uint64_t also_fail_nth = 0;
    bool storage_limited = false;   // CE_STORAGE_BYTES is set
    uint64_t storage_bytes = 0;     // CE_STORAGE_BYTES
    bool programs_unconfined = false;  // CE_PROGRAMS=unconfined
    bool traced = true;                // false for a program the device started

    // The traced calls made since boot: all of them, and per name, by the
    // name's place in TRACED_CALLS.
    uint64_t calls_made = 0;
    uint64_t calls_of[32] = {};
    // The one thread's last error.
    DWORD last_error = 0;

    uintptr_t next_id = FIRST_ID;
    std::map<HANDLE, HandleEntry> handles;
    // Streams by the FILE* the tool holds. Closed ones keep their name, so
    // that a use after the close is named as the tool knew it.
    std::map<FILE*, std::unique_ptr<Stream>> streams;
    std::map<FILE*, std::unique_ptr<Stream>> closed_streams;
    Registry registry;
    std::map<HKEY, OpenKey> keys;
    // The resources found, by their ids.
    std::map<HRSRC, const CeResource*> resources;
    // A boot forgets the last device's programs without ending them: only a
    // test boots twice, and ending a confined one means ending its sandbox.
    std::map<pid_t, Child> children;

    // The storage: the length of each file (by host path) that is on it for
    // good, and the bytes root/ holds, counted only when limited.
    std::map<std::string, uint64_t> durable_length;
    uint64_t bytes_stored = 0;

    // The console's input: units decoded but not yet read (the second half
    // of a character beyond the 16-bit range, or what followed a broken
    // sequence); a byte read ahead to see whether a CR begins a CR LF (-1:
    // none); Ctrl-Z read, which ends the input for every read after it.
    std::u16string console_pending;
    int console_read_ahead = -1;
    bool console_input_ended = false;
};

// The device booted last.
extern Device the_device;
inline Device& device()
{
    return the_device;
}

}  // namespace ce

#endif
