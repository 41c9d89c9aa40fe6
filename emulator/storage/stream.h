// A file stream of the device's run-time, as the device holds it.
#ifndef CE_STREAM_H
#define CE_STREAM_H

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

namespace ce {

// An open stream. The run-time holds what is written in its buffer until
// the buffer is full, fflush or fclose hands it to the file system; only
// the flush of its handle then makes what the last fflush handed over durable.
struct Stream {
    std::string name;  // as the tool named it
    std::string host;
    int fd;
    HANDLE handle;     // what _fileno gives: the file's handle
    bool writes;       // opened with "w" or "a"
    bool text;         // opened without "b": a line feed is stored as CR LF
    uint64_t length;   // bytes in the file, as far as the tool has written
    uint64_t handed;   // of those, what the last fflush handed to the file system
    std::unique_ptr<char[]> buffer;  // STREAM_BYTES, from the first write on
    size_t held;       // the last bytes of length, still in the buffer
    // Held bytes that lie in the executable's read-only resources, one run of
    // them from here: kept where they lie, not copied into the buffer.
    const char* lent;
    bool broken;       // the host refused a hand-over: nothing more is stored
    // The trace line of the stream's last fwrite, whose first write_prefix
    // bytes, "fwrite NAME SIZE COUNT ", hold for the next one of that size
    // and count.
    std::string write_line;
    size_t write_prefix;
    size_t write_size;
    size_t write_count;
    uint64_t read = 0; // where the next fread of a stream opened "rb" begins

    // A stream the device forgets at a boot closes its host file, nothing handed over.
    ~Stream();
};

}  // namespace ce

#endif
