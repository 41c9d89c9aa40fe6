// How the emulation and its runner write a number in hex: for a header
// that the fuzzed program reader includes without the emulation's own.
#ifndef CE_HEX_H
#define CE_HEX_H

#include <cstdint>
#include <cstdio>
#include <string>

namespace ce {

// "0x" and the value in lower-case hex, at least `digits` of them.
inline std::string hex(uint64_t value, int digits = 1)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%0*llx", digits, static_cast<unsigned long long>(value));
    return text;
}

}  // namespace ce

#endif
