// The calls of a runner's guest come in here: the runner sets where their
// arguments come from, and each binding, next to its function's handler,
// reads them, calls the handler and gives back the guest's 32-bit result.
// The host build sets nothing and calls no binding.
#ifndef CE_GUEST_H
#define CE_GUEST_H

#include <cstdint>

#include "emulator.h"

namespace ce::guest {

struct Source {
    // The n-th (from 0) 32-bit argument of the call being made.
    uint32_t (*argument)(int n);
    // Host memory for size bytes of guest memory at address, all mapped (and
    // writable when asked); nullptr for 0. Anything else is a fault there.
    void* (*memory_or_null)(int n, uint32_t address, uint64_t size, bool write);
    // A zero-ended wide text of guest memory, or nullptr for 0.
    const char16_t* (*wide_text)(int n, uint32_t address);
    // The guest address of host memory that lies in the guest's.
    uint32_t (*address_of)(const void* host);
    // The instance CE hands the program: its process id.
    uint32_t (*process_id)();
    // The function being called, for the faults its arguments cause.
    const char* (*function)();
};
extern const Source* source;

inline uint32_t argument(int n)
{
    return source->argument(n);
}

inline const char16_t* text(int n)
{
    return source->wide_text(n, argument(n));
}

// An argument pointing to count Ts, or NULL.
template <typename T>
T* pointer(int n, bool write, uint64_t count = 1)
{
    return static_cast<T*>(source->memory_or_null(n, argument(n), sizeof(T) * count, write));
}

// A pointer the emulation only tells from NULL (security attributes, an
// environment, start-up information): checked to lie in guest memory.
template <typename T>
T* opaque(int n)
{
    return static_cast<T*>(source->memory_or_null(n, argument(n), 1, false));
}

// Handles, keys and resources are the emulation's ids, the guest's values as
// they are; -1 (INVALID_HANDLE_VALUE) is -1 in either width.
inline void* host_value(uint32_t value)
{
    return reinterpret_cast<void*>(value == 0xffffffffu ? UINTPTR_MAX : static_cast<uintptr_t>(value));
}
uint32_t guest_value(const void* host);

inline HANDLE handle(int n)
{
    return static_cast<HANDLE>(host_value(argument(n)));
}

inline HKEY key(int n)
{
    return static_cast<HKEY>(host_value(argument(n)));
}

// NULL, the program's own instance, or another module.
HMODULE module(int n);

}  // namespace ce::guest

#endif
