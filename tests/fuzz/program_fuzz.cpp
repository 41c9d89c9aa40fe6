// libFuzzer target for ce-run's reader of a device program: any file is
// refused with a reason, or read into sections that lie in the image and in
// the file, mapped, relocated and its resources found inside the image. A
// crash, a hang, a leak or a sanitizer's report is a finding.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "program.h"

namespace {

// The copy's bounds are the same at any size; larger images would only slow
// the search down.
const uint32_t LARGEST_FUZZED_IMAGE = 8 * 1024 * 1024;

void check(bool holds)
{
    if (!holds) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace ce_run;
    std::vector<uint8_t> file(data, data + size);
    Program program;
    uint32_t base = 0;
    Refusal refusal = read_program(file, program);
    if (refusal.error == 0) {
        refusal = choose_base(program, base);
    }
    if (refusal.error != 0) {
        check(!refusal.reason.empty());
        return 0;
    }
    check(program.image_size % PAGE == 0 && program.headers_size <= program.image_size && program.headers_size <= size);
    for (const Section& s : program.sections) {
        check(static_cast<uint64_t>(s.rva) + s.size <= program.image_size && s.raw_size <= s.size &&
              (s.raw_size == 0 || static_cast<uint64_t>(s.raw_offset) + s.raw_size <= size));
    }
    for (const Import& import : program.imports) {
        check(static_cast<uint64_t>(import.slot_rva) + 4 <= program.image_size);
    }
    if (program.image_size > LARGEST_FUZZED_IMAGE) {
        return 0;
    }
    std::vector<uint8_t> image(program.image_size);
    if (map_image(file, program, base, image.data()).error != 0) {
        return 0;
    }
    for (const Resource& r : read_resources(program, image.data())) {
        check(static_cast<uint64_t>(r.rva) + r.size <= program.image_size);
    }
    for (const Symbol& symbol : program.symbols) {
        nearest_symbol(program, base, base + symbol.rva);
    }
    nearest_symbol(program, base, 0xffffffff);
    return 0;
}
