// make_image SIZE FILE: writes a test image of SIZE bytes.
#include <cstdio>
#include <cstdlib>

#include "image_pattern.h"

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: make_image SIZE FILE\n");
        return 2;
    }
    std::string bytes = image_pattern(std::strtoul(argv[1], nullptr, 10));
    FILE* out = std::fopen(argv[2], "wb");
    if (out == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), out) != bytes.size() || std::fclose(out) != 0) {
        std::perror(argv[2]);
        return 1;
    }
    return 0;
}
