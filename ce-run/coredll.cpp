// The run-time's functions for the guest: its arguments from the guest's
// stack, pointers checked against the guest's memory, streams as ids, then
// the emulation's own function, which traces and fails as on the host.
// COREDLL's own functions have their bindings next to their handlers
// (ce::guest, emulator/device/guest.h).
#include "coredll.h"

#include <cstring>
#include <string>

#include "emulator.h"
#include "guest.h"
#include "resource_table.h"
#include "runner.h"

namespace ce_run {
namespace {

using ce::guest::text;

FILE* stream(int n)
{
    return host_stream(argument(n));
}

uint32_t getwchar_()
{
    // The device's wint_t is 16 bits wide, its WEOF 0xFFFF.
    wint_t unit = ce_getwchar();
    return unit == WEOF ? 0xFFFF : unit & 0xFFFF;
}

uint32_t _wfopen_()
{
    return guest_stream(ce_wfopen(text(0), text(1)));
}

uint32_t fwrite_()
{
    // Nothing to write reads nothing: the emulation then never looks at it.
    uint64_t bytes = static_cast<uint64_t>(argument(1)) * argument(2);
    const void* data = bytes == 0 ? nullptr : guest_memory_or_null(0, argument(0), bytes, false);
    return static_cast<uint32_t>(ce_fwrite(data, argument(1), argument(2), stream(3)));
}

uint32_t fread_()
{
    uint64_t bytes = static_cast<uint64_t>(argument(1)) * argument(2);
    void* data = bytes == 0 ? nullptr : guest_memory_or_null(0, argument(0), bytes, true);
    return static_cast<uint32_t>(ce_fread(data, argument(1), argument(2), stream(3)));
}

uint32_t fflush_()
{
    return static_cast<uint32_t>(ce_fflush(stream(0)));
}

uint32_t fclose_()
{
    return static_cast<uint32_t>(ce_fclose(stream(0)));
}

uint32_t _fileno_()
{
    return ce::guest::guest_value(ce_fileno(stream(0)));
}

uint32_t _getstdfilex_()
{
    // The emulation's console is the host's standard output and errors.
    uint32_t number = argument(0);
    return number < 3 ? guest_stream(standard_stream(number)) : 0;
}

uint32_t memcpy_()
{
    // Nothing to copy touches neither pointer.
    uint32_t size = argument(2);
    if (size != 0) {
        void* to = guest_memory(0, argument(0), size, true);
        std::memmove(to, guest_memory(1, argument(1), size, false), size);
    }
    return argument(0);
}

uint32_t memset_()
{
    uint32_t size = argument(2);
    if (size != 0) {
        std::memset(guest_memory(0, argument(0), size, true), static_cast<int>(argument(1) & 0xff), size);
    }
    return argument(0);
}

}  // namespace

uint32_t printf_();
uint32_t wprintf_();
uint32_t fwprintf_();
uint32_t _snwprintf_();

}  // namespace ce_run

namespace ce::guest {
#define COREDLL_CALL(name, ordinal, kind, traced) CE_BINDING_##kind(name)
#define CE_BINDING_API(name) uint32_t name##_();
#define CE_BINDING_CRT(name)
#include "coredll_calls.h"
#undef COREDLL_CALL
#undef CE_BINDING_CRT
#undef CE_BINDING_API
}  // namespace ce::guest

namespace ce_run {

#define CE_BINDING_API(name) ce::guest::name##_
#define CE_BINDING_CRT(name) name##_
CoredllFunction COREDLL[] = {
#define COREDLL_CALL(name, ordinal, kind, traced) {#name, ordinal, CE_BINDING_##kind(name), 0},
#include "coredll_calls.h"
#undef COREDLL_CALL
};
#undef CE_BINDING_CRT
#undef CE_BINDING_API
const size_t COREDLL_COUNT = sizeof COREDLL / sizeof COREDLL[0];

const CoredllFunction* find_coredll_function(const char* name, uint32_t ordinal)
{
    for (const CoredllFunction& f : COREDLL) {
        if (name[0] != 0 ? std::strcmp(f.name, name) == 0 : f.ordinal == ordinal) {
            return &f;
        }
    }
    return nullptr;
}

}  // namespace ce_run
