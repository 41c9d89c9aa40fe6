// ce-campaign: runs of the tool on emulated devices in random states, with
// random input and faults, each drawn from a seed and the run's number, and
// the tool's promises checked after every run.
#ifndef CE_CAMPAIGN_H
#define CE_CAMPAIGN_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace campaign {

// The draws' generator: xoshiro256** seeded through splitmix64, so that a
// seed and a run's number give the same draws on every machine.
class Generator {
public:
    Generator(const std::string& seed, uint64_t run);
    uint64_t next();
    // 0 to bound - 1.
    uint32_t below(uint32_t bound);
    // True with the chance of percent in a hundred.
    bool chance(uint32_t percent);
    // An index into weights, each chosen in proportion to its weight.
    size_t pick(const std::vector<uint32_t>& weights);

private:
    uint64_t s_[4];
};

// What a run's state, input and faults are, as drawn.
enum class BootImage { AsItIs, Absent, ReadOnly };
enum class Leftover { None, Whole, CutShort };
enum class LanFile { AsDevice, Present, ReadOnly, Absent, Folder };
enum class Storage { Ample, Short, Tight };
enum class FaultKind { None, OneFail, TwoFails, Cut, FailAndCut };

const int LANS = 6;
// EnableDHCP, then the text values in the order the tool reads them.
const int LAN_VALUES = 6;
extern const char* const LAN_VALUE_NAMES[LAN_VALUES];
// The LAN's TCP/IP key below HKEY_LOCAL_MACHINE, its parts as the tool names them.
std::vector<std::string> lan_key_parts(int lan);

struct ValueEdit {
    enum What { Keep, Remove, Set } what = Keep;
    std::string spelled;  // the value's name as the registry file spells it
    uint32_t type = 0;
    std::string data;
    std::string words;    // what was drawn, for the report
};

struct LanEdit {
    bool changed = false;
    bool key_missing = false;
    ValueEdit values[LAN_VALUES];
};

struct Input {
    std::vector<std::string> arguments;
    bool interactive = true;  // any command line but the single "-s"
    std::string keys;         // typed, then the input ends
};

struct FailingCall {
    std::string name;
    uint32_t nth = 1;
};

struct Faults {
    FaultKind kind = FaultKind::None;
    std::vector<FailingCall> fails;
    uint32_t cut = 0;  // the traced call the power fails before; 0: none
    std::map<std::string, std::string> knobs() const;
};

struct Draw {
    BootImage boot = BootImage::AsItIs;
    Leftover leftover = Leftover::None;
    uint32_t leftover_share = 0;  // of the image, in 1/65536, when cut short
    LanFile lan[LANS] = {};
    uint32_t lan_tag[LANS] = {};  // what an old settings file holds
    bool registry_changed = false;
    LanEdit edits[LANS];
    bool driver_accepts = true;
    Storage storage = Storage::Ample;
    uint32_t storage_share = 0;   // short: of the image, in 1/65536; tight: bytes beyond it
    Input input[2];
    Faults faults[2];             // the second run's only after a cut or a failing call
    bool second_run() const { return faults[0].kind != FaultKind::None; }
};

Draw draw_run(const std::string& seed, uint64_t run);
// The draw in words, one line each for the state and each run.
std::vector<std::string> describe(const Draw& draw, size_t image_size);
std::string describe_input(const Input& input);
std::string describe_faults(const Faults& faults);

// The counts of each kind of draw over a campaign, in words.
struct Tally {
    uint64_t runs = 0;
    std::map<std::string, uint64_t> counts;
    void add(const Draw& draw);
    std::vector<std::string> lines() const;
};

// The answers the tool takes from the typed keys, by its own rules (the
// console in text mode: CR LF is one LF, Ctrl-Z or the end ends the input).
struct Answers {
    bool goes_on = false;     // the first question: y or Y
    bool keeps = true;        // the settings question: defaults only on n or N
    bool restarts = false;    // the restart question: only on y or Y
    bool input_ends_early = false;  // the keys end before a question that reads them
};
Answers answers_of(const Input& input);

// Text helpers.
std::string shell_quoted(const std::string& word);
std::string shown(const std::string& bytes, size_t most = 80);  // quoted, escaped, cut
std::string sha256_hex(const std::string& bytes);

}  // namespace campaign

#endif
