// The bytes of the test images: every chunk of 4096 differs from its
// neighbours, so a lost, repeated or reordered chunk shows in the result.
#ifndef TESTS_IMAGE_PATTERN_H
#define TESTS_IMAGE_PATTERN_H

#include <cstddef>
#include <string>

inline std::string image_pattern(size_t size)
{
    static const char head[] = "B000FF\n";
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = i < 7 ? head[i] : static_cast<char>((i * 131 + (i / 4096) * 17 + 7) & 0xFF);
    }
    return bytes;
}

#endif
