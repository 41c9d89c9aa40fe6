#ifndef CE_WIDE_FORMAT_H
#define CE_WIDE_FORMAT_H

#include <cstdarg>
#include <string>

namespace ce {

// The device run-time's wide formatting for what the tool uses: %d (a signed
// 32-bit integer), %s (a wide string), %c (a wide character) and %%.
// Anything else is copied as it stands.
std::u16string format_wide(const char16_t* format, va_list arguments);

}  // namespace ce

#endif
