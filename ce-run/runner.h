// The runner's emulated CPU and the guest's memory, as COREDLL's bindings
// see them: the arguments of the call being made, checked pointers into the
// guest's memory, and opaque 32-bit values for the emulation's handles.
#ifndef CE_RUN_RUNNER_H
#define CE_RUN_RUNNER_H

#include <cstdint>
#include <cstdio>
#include <string>

namespace ce_run {

// The n-th (from 0) 32-bit argument of the COREDLL call being made: cdecl,
// above the return address on the guest's stack.
uint32_t argument(int n);
// The function being called, for the faults its arguments cause.
const char* current_function();

// A host pointer to size bytes of guest memory at address, all of them
// mapped (and writable when asked). Anything else, NULL too, ends the run as
// a fault naming the function and the argument.
void* guest_memory(int n, uint32_t address, uint64_t size, bool write);
// The same where NULL is a value the call takes: then nullptr.
void* guest_memory_or_null(int n, uint32_t address, uint64_t size, bool write);
// The same without a fault: nullptr where any of the bytes is not mapped.
const uint8_t* guest_readable(uint32_t address, uint32_t size);

// The emulation's streams are small ids, the guest's values as they are
// (ce::guest, for handles and keys too); the console's three streams, which
// are the host's, have values of their own below the ids.
FILE* host_stream(uint32_t value);
uint32_t guest_stream(FILE* stream);
// The console's streams by number: stdin, stdout, stderr; the guest sees
// them as 4, 8 and 12, below the first id.
FILE* standard_stream(uint32_t number);

// The instance CE hands the program: its process id.
uint32_t process_id();

// Ends the run as a fault of the program's own code: the trace and standard
// error say what happened and where, and the process ends with the device's
// status for a fault.
[[noreturn]] void fault(const std::string& what);

}  // namespace ce_run

#endif
