// The one case folding of the emulation, from the generated table of
// Unicode's simple upper-case mapping. The device folds each 16-bit unit on
// its own, so a character beyond them (a surrogate pair) keeps its case.
#include "case_fold.h"

#include <algorithm>
#include <iterator>

namespace ce {
namespace {

struct Run {
    char16_t first, last;
    int delta;
    int step;
};

const Run RUNS[] = {
#include "case_table.inc"
};

}  // namespace

char16_t fold(char16_t unit)
{
    if (unit < 'a') {
        return unit;  // the common case: nothing below 'a' has an upper case
    }
    const Run* run = std::upper_bound(std::begin(RUNS), std::end(RUNS), unit,
                                      [](char16_t u, const Run& r) { return u < r.first; });
    if (run == std::begin(RUNS)) {
        return unit;
    }
    --run;
    if (unit > run->last || (unit - run->first) % run->step != 0) {
        return unit;
    }
    return static_cast<char16_t>(unit + run->delta);
}

std::u16string fold(const std::u16string& name)
{
    std::u16string out = name;
    for (char16_t& unit : out) {
        unit = fold(unit);
    }
    return out;
}

}  // namespace ce
