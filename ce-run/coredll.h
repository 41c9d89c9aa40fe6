// COREDLL.dll as the runner gives it to the guest: the functions of
// device/coredll.def, each bound to the emulation.
#ifndef CE_RUN_COREDLL_H
#define CE_RUN_COREDLL_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace ce_run {

struct CoredllFunction {
    const char* name;
    uint32_t ordinal;
    // Takes the arguments from the guest's stack, calls the emulation,
    // writes back what it wrote; the value for EAX.
    uint32_t (*call)();
    uint64_t calls;  // made by the guest so far
};

// In the order of device/coredll.def.
extern CoredllFunction COREDLL[];
extern const size_t COREDLL_COUNT;

// The function an import names, by name (the ordinal only a hint), or by
// ordinal for an import without a name; nullptr when COREDLL lacks it.
const CoredllFunction* find_coredll_function(const char* name, uint32_t ordinal);

}  // namespace ce_run

#endif
