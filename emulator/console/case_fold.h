// Names of files, registry keys and values, resources and devices compare as
// the device compares them: each 16-bit unit by Unicode's simple upper-case
// mapping.
#ifndef CE_CASE_FOLD_H
#define CE_CASE_FOLD_H

#include <string>

namespace ce {

char16_t fold(char16_t unit);
std::u16string fold(const std::u16string& name);

}  // namespace ce

#endif
