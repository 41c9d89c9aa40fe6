#include "guest.h"

namespace ce::guest {

const Source* source = nullptr;

uint32_t guest_value(const void* host)
{
    uintptr_t value = reinterpret_cast<uintptr_t>(host);
    if (value == UINTPTR_MAX) {
        return 0xffffffffu;
    }
    if (value > 0xffffffffu) {
        not_modelled(source->function(), "a result wider than 32 bits");
    }
    return static_cast<uint32_t>(value);
}

namespace {
// A module handle that is neither NULL nor the program's own.
char other_module;
}  // namespace

HMODULE module(int n)
{
    uint32_t value = argument(n);
    return value == 0 ? nullptr
         : value == source->process_id() ? ce_executable_instance()
                                         : reinterpret_cast<HMODULE>(&other_module);
}

}  // namespace ce::guest
