// The draws of a run: from the seed and the run's number alone, through the
// campaign's own generator and no distribution of a standard library, whose
// results differ between libraries.
#include "campaign.h"

#include <cstdio>

#include "emulator.h"

namespace campaign {

namespace {

uint64_t splitmix64(uint64_t& state)
{
    uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

uint64_t rotl(uint64_t x, int k)
{
    return (x << k) | (x >> (64 - k));
}

// FNV-1a over the seed's bytes: any text is a seed.
uint64_t hash_of(const std::string& text)
{
    uint64_t h = 0xCBF29CE484222325ULL;
    for (unsigned char c : text) {
        h = (h ^ c) * 0x100000001B3ULL;
    }
    return h;
}

const uint32_t TYPE_NONE = 0, TYPE_SZ = 1, TYPE_EXPAND_SZ = 2, TYPE_BINARY = 3, TYPE_DWORD = 4, TYPE_MULTI_SZ = 7,
               TYPE_QWORD = 11;

std::string type_name(uint32_t type)
{
    static const char* const names[] = {"REG_NONE",      "REG_SZ",   "REG_EXPAND_SZ", "REG_BINARY",
                                        "REG_DWORD",     "REG_DWORD_BIG_ENDIAN", "REG_LINK", "REG_MULTI_SZ",
                                        "REG_RESOURCE_LIST", "REG_FULL_RESOURCE_DESCRIPTOR",
                                        "REG_RESOURCE_REQUIREMENTS_LIST", "REG_QWORD"};
    if (type < sizeof names / sizeof names[0]) {
        return names[type];
    }
    char text[24];
    std::snprintf(text, sizeof text, "type 0x%x", static_cast<unsigned>(type));
    return text;
}

std::string little_endian(uint64_t number, size_t bytes)
{
    std::string out;
    for (size_t i = 0; i < bytes; ++i) {
        out += static_cast<char>((number >> (8 * i)) & 0xFF);
    }
    return out;
}

std::string address(Generator& g)
{
    static const char* const heads[] = {"192.168.", "10.0.", "172.16.", "0.0."};
    return std::string(heads[g.below(4)]) + std::to_string(g.below(256)) + "." + std::to_string(g.below(256));
}

// Units a value's text may hold: what an address holds, and what a hostile
// registry may: other scripts, a pair and halves of surrogates, a format's
// percent, quotes, control characters.
std::u16string filler(Generator& g, size_t units)
{
    static const char16_t odd[] = {0x00E9, 0x4E2D, 0xD800, 0xDC00, u'%', u'\\', u'"', u'\t', u' ', 0x0001, 0xFFFD};
    std::u16string text;
    while (text.size() < units) {
        uint32_t kind = g.below(10);
        if (kind < 5) {
            text += static_cast<char16_t>(u'0' + g.below(10));
        } else if (kind < 6) {
            text += u'.';
        } else if (kind < 8) {
            text += static_cast<char16_t>(u'a' + g.below(26));
        } else if (kind < 9) {
            text += u"\xD83D\xDE00";
        } else {
            text += odd[g.below(sizeof odd / sizeof odd[0])];
        }
    }
    return text.substr(0, units);
}

std::string bytes_of(const std::u16string& text)
{
    return ce::utf16le(text);
}

// The data of a text value of about `bytes` bytes: its last unit a zero
// or not, cut to exactly that length, odd lengths included.
std::string sized_text(Generator& g, size_t bytes)
{
    std::u16string text = filler(g, (bytes + 1) / 2);
    if (!text.empty() && g.chance(60)) {
        text.back() = 0;
    }
    return bytes_of(text).substr(0, bytes);
}

ValueEdit text_value(Generator& g)
{
    ValueEdit edit;
    edit.what = ValueEdit::Set;
    static const uint32_t text_types[] = {TYPE_SZ, TYPE_SZ, TYPE_SZ, TYPE_SZ, TYPE_MULTI_SZ, TYPE_MULTI_SZ, TYPE_MULTI_SZ,
                                          TYPE_MULTI_SZ, TYPE_EXPAND_SZ, TYPE_BINARY, TYPE_NONE};
    edit.type = text_types[g.below(sizeof text_types / sizeof text_types[0])];
    switch (g.pick({30, 25, 10, 8, 7, 10, 10})) {
    case 0: {  // addresses, as a registry holds them
        std::u16string text;
        size_t strings = edit.type == TYPE_MULTI_SZ ? 1 + g.below(3) : 1;
        for (size_t i = 0; i < strings; ++i) {
            text += ce::to_utf16(address(g)) + u'\0';
        }
        if (edit.type == TYPE_MULTI_SZ) {
            text += u'\0';
        } else if (g.chance(20)) {
            text.pop_back();
        }
        edit.data = bytes_of(text);
        break;
    }
    case 1:  // around the 260-byte budget of a read
        edit.data = sized_text(g, 252 + g.below(14));
        break;
    case 2:  // well past it
        edit.data = sized_text(g, 300 + g.below(400));
        break;
    case 3:
        edit.data = "";
        break;
    case 4:  // one or three bytes: half a character at the end
        edit.data = sized_text(g, 1 + 2 * g.below(2));
        break;
    case 5: {  // numbers where text is read
        static const uint32_t number_types[] = {TYPE_DWORD, TYPE_QWORD, TYPE_BINARY};
        edit.type = number_types[g.below(3)];
        size_t size = edit.type == TYPE_DWORD ? 4 : edit.type == TYPE_QWORD ? 8 : 1 + g.below(6);
        edit.data = little_endian(g.chance(50) ? g.below(256) : g.next(), size);
        break;
    }
    default: {  // other scripts, surrogates and control characters, an odd byte after
        std::u16string text = filler(g, 1 + g.below(40));
        if (g.chance(70)) {
            text += u'\0';
        }
        edit.data = bytes_of(text);
        if (g.chance(30)) {
            edit.data += static_cast<char>(0x20 + g.below(0x5F));
        }
        break;
    }
    }
    return edit;
}

ValueEdit dhcp_value(Generator& g)
{
    ValueEdit edit;
    edit.what = ValueEdit::Set;
    switch (g.pick({25, 25, 10, 10, 8, 7, 5, 5, 5})) {
    case 0: edit.type = TYPE_DWORD; edit.data = little_endian(0, 4); break;
    case 1: edit.type = TYPE_DWORD; edit.data = little_endian(1, 4); break;
    case 2: {
        static const uint64_t others[] = {2, 0x100, 0xFFFFFFFF, 0x10001};
        edit.type = TYPE_DWORD;
        edit.data = little_endian(others[g.below(4)], 4);
        break;
    }
    case 3: edit.type = TYPE_SZ; edit.data = bytes_of(std::u16string(u"1") + u'\0'); break;
    case 4: edit.type = TYPE_BINARY; edit.data = little_endian(1, 1); break;
    case 5: edit.type = TYPE_BINARY; edit.data = little_endian(1, 2); break;
    case 6: edit.type = TYPE_BINARY; edit.data = little_endian(1, 5); break;
    case 7: edit.type = TYPE_BINARY; edit.data = ""; break;
    default: edit.type = TYPE_QWORD; edit.data = little_endian(1, 8); break;
    }
    return edit;
}

std::string spelled_name(Generator& g, const std::string& name)
{
    if (!g.chance(20)) {
        return name;
    }
    std::string spelled = name;
    for (char& c : spelled) {
        if (c >= 'a' && c <= 'z' && g.chance(50)) {
            c = static_cast<char>(c - 'a' + 'A');
        } else if (c >= 'A' && c <= 'Z' && g.chance(50)) {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return spelled;
}

LanEdit lan_edit(Generator& g)
{
    LanEdit edit;
    edit.changed = g.chance(50);
    if (!edit.changed) {
        return edit;
    }
    edit.key_missing = g.chance(20);
    for (int v = 0; v < LAN_VALUES; ++v) {
        size_t what = g.pick({40, 15, 45});
        ValueEdit value;
        if (what == 2) {
            value = v == 0 ? dhcp_value(g) : text_value(g);
        }
        value.what = what == 0 ? ValueEdit::Keep : what == 1 ? ValueEdit::Remove : ValueEdit::Set;
        value.spelled = spelled_name(g, LAN_VALUE_NAMES[v]);
        if (value.what == ValueEdit::Remove) {
            value.words = std::string(LAN_VALUE_NAMES[v]) + " removed";
        } else if (value.what == ValueEdit::Set) {
            value.words = value.spelled + " " + type_name(value.type) + " " + std::to_string(value.data.size()) +
                          (value.data.size() == 1 ? " byte" : " bytes");
        }
        if (!edit.key_missing) {
            edit.values[v] = value;
        }
    }
    return edit;
}

// The keys a technician may press: the answers, other letters, line ends,
// other characters, Ctrl-Z (the end of the console's input) and a byte that
// is no UTF-8.
std::string keys(Generator& g)
{
    static const char* const pressed[] = {"y", "Y", "n", "N", "a", "q", "x", "s", "Z", "\n", "\r\n", "\r", " ",
                                          "\xC3\xA9", "\xF0\x9F\x98\x80", "\x1A", "\xFF", "\x1B"};
    static const std::vector<uint32_t> weights = {20, 8, 12, 8, 3, 3, 2, 2, 2, 12, 8, 3, 4, 3, 3, 3, 2, 2};
    size_t length = 0;
    switch (g.pick({8, 40, 52})) {
    case 0: length = 0; break;
    case 1: length = 1 + g.below(3); break;
    default: length = 4 + g.below(9); break;
    }
    std::string typed;
    for (size_t i = 0; i < length; ++i) {
        typed += pressed[g.pick(weights)];
    }
    return typed;
}

Input input(Generator& g)
{
    Input in;
    if (g.chance(30)) {
        in.arguments = {"-s"};
        in.interactive = false;
        return in;
    }
    if (g.chance(15)) {
        // Only the single argument -s is unattended.
        static const std::vector<std::vector<std::string>> others = {{"-S"}, {"-sx"}, {"-s", "-s"}, {"/s"}, {"s"}, {"-s "}};
        in.arguments = others[g.below(static_cast<uint32_t>(others.size()))];
    }
    in.keys = keys(g);
    return in;
}

uint32_t nth_bound(const std::string& name)
{
    static const std::map<std::string, uint32_t> bounds = {
        {"fwprintf", 40}, {"RegQueryValueExW", 70}, {"RegOpenKeyExW", 12}, {"RegCloseKey", 12}, {"fwrite", 4},
        {"_wfopen", 7},   {"fflush", 7},            {"FlushFileBuffers", 7}, {"fclose", 7},    {"DeleteFileW", 2},
        {"MoveFileW", 1}, {"CreateFileW", 1},       {"DeviceIoControl", 2}, {"CloseHandle", 2},
        {"CreateProcessW", 1}, {"GetExitCodeProcess", 3}, {"Sleep", 3}};
    auto found = bounds.find(name);
    return found == bounds.end() ? 4 : found->second;
}

FailingCall failing_call(Generator& g)
{
    size_t count = 0;
    while (ce::TRACED_CALLS[count] != nullptr) {
        ++count;
    }
    FailingCall call;
    call.name = ce::TRACED_CALLS[g.below(static_cast<uint32_t>(count))];
    call.nth = g.chance(50) ? 1 : 1 + g.below(nth_bound(call.name));
    return call;
}

Faults faults(Generator& g, const std::vector<uint32_t>& weights)
{
    Faults f;
    f.kind = static_cast<FaultKind>(g.pick(weights));
    if (f.kind == FaultKind::OneFail || f.kind == FaultKind::TwoFails || f.kind == FaultKind::FailAndCut) {
        f.fails.push_back(failing_call(g));
    }
    if (f.kind == FaultKind::TwoFails) {
        f.fails.push_back(failing_call(g));
    }
    if (f.kind == FaultKind::Cut || f.kind == FaultKind::FailAndCut) {
        // Often among the installation's calls, else anywhere in a run.
        f.cut = g.chance(40) ? 1 + g.below(20) : 1 + g.below(180);
    }
    return f;
}

}  // namespace

const char* const LAN_VALUE_NAMES[LAN_VALUES] = {"EnableDHCP", "IpAddress", "Subnetmask", "DefaultGateway", "DNS", "WINS"};

std::vector<std::string> lan_key_parts(int lan)
{
    std::string card = lan <= 4 ? "RTCENIC" + std::to_string(lan) : "RTL8139" + std::to_string(lan - 4);
    return {"Comm", "PCI", card, "Parms", "TcpIp"};
}

Generator::Generator(const std::string& seed, uint64_t run)
{
    uint64_t mixer = run;
    uint64_t state = hash_of(seed) ^ splitmix64(mixer);
    for (uint64_t& word : s_) {
        word = splitmix64(state);
    }
}

uint64_t Generator::next()
{
    uint64_t result = rotl(s_[1] * 5, 7) * 9;
    uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = rotl(s_[3], 45);
    return result;
}

uint32_t Generator::below(uint32_t bound)
{
    return bound == 0 ? 0 : static_cast<uint32_t>((next() >> 11) % bound);
}

bool Generator::chance(uint32_t percent)
{
    return below(100) < percent;
}

size_t Generator::pick(const std::vector<uint32_t>& weights)
{
    uint32_t total = 0;
    for (uint32_t w : weights) {
        total += w;
    }
    uint32_t at = below(total);
    for (size_t i = 0; i < weights.size(); ++i) {
        if (at < weights[i]) {
            return i;
        }
        at -= weights[i];
    }
    return weights.size() - 1;
}

std::map<std::string, std::string> Faults::knobs() const
{
    std::map<std::string, std::string> knobs;
    std::string fail;
    for (const FailingCall& call : fails) {
        fail += (fail.empty() ? "" : ",") + call.name + "@" + std::to_string(call.nth);
    }
    if (!fail.empty()) {
        knobs["CE_FAIL"] = fail;
    }
    if (cut != 0) {
        knobs["CE_POWER_CUT"] = std::to_string(cut);
    }
    return knobs;
}

Draw draw_run(const std::string& seed, uint64_t run)
{
    Generator g(seed, run);
    Draw d;
    d.boot = static_cast<BootImage>(g.pick({60, 20, 20}));
    d.leftover = static_cast<Leftover>(g.pick({60, 20, 20}));
    d.leftover_share = g.below(65536);
    for (int n = 0; n < LANS; ++n) {
        d.lan[n] = static_cast<LanFile>(g.pick({35, 30, 15, 15, 5}));
        d.lan_tag[n] = static_cast<uint32_t>(g.next());
    }
    d.registry_changed = g.chance(60);
    if (d.registry_changed) {
        for (LanEdit& edit : d.edits) {
            edit = lan_edit(g);
        }
    }
    d.driver_accepts = g.chance(85);
    d.storage = static_cast<Storage>(g.pick({60, 20, 20}));
    d.storage_share = d.storage == Storage::Short ? g.below(65536) : g.below(400);
    d.input[0] = input(g);
    d.faults[0] = faults(g, {25, 25, 15, 20, 15});
    d.input[1] = input(g);
    d.faults[1] = faults(g, {40, 20, 10, 20, 10});
    return d;
}

std::string describe_input(const Input& input)
{
    if (!input.interactive) {
        return "-s";
    }
    std::string words;
    if (!input.arguments.empty()) {
        words = "the command line";
        for (const std::string& a : input.arguments) {
            words += " " + shown(a);
        }
        words += ", ";
    }
    return words + (input.keys.empty() ? "no keys" : "keys " + shown(input.keys)) + " then the end of input";
}

std::string describe_faults(const Faults& faults)
{
    std::string words;
    for (const auto& knob : faults.knobs()) {
        words += (words.empty() ? "" : " ") + knob.first + "=" + knob.second;
    }
    return words.empty() ? "no faults" : words;
}

std::vector<std::string> describe(const Draw& d, size_t image_size)
{
    static const char* const boot[] = {"NK.bin as it is", "NK.bin absent", "NK.bin read-only"};
    static const char* const lan[] = {"as the device has it", "present", "read-only", "absent", "a folder"};
    std::string state = boot[static_cast<int>(d.boot)];
    if (d.leftover == Leftover::None) {
        state += "; no \\NK1.bin";
    } else if (d.leftover == Leftover::Whole) {
        state += "; \\NK1.bin the whole new image";
    } else {
        state += "; \\NK1.bin the new image cut short (" +
                 std::to_string(static_cast<uint64_t>(image_size) * d.leftover_share / 65536) + " of " +
                 std::to_string(image_size) + " bytes)";
    }
    for (int n = 0; n < LANS; ++n) {
        state += (n == 0 ? "; " : ", ") + std::string("\\lan") + std::to_string(n + 1) + " " + lan[static_cast<int>(d.lan[n])];
    }
    if (!d.registry_changed) {
        state += "; the registry as the device has it";
    } else {
        std::string changes;
        for (int n = 0; n < LANS; ++n) {
            const LanEdit& e = d.edits[n];
            std::string lan_words;
            if (e.key_missing) {
                lan_words = "key missing";
            }
            for (const ValueEdit& v : e.values) {
                if (!v.words.empty()) {
                    lan_words += (lan_words.empty() ? "" : ", ") + v.words;
                }
            }
            if (!lan_words.empty()) {
                changes += (changes.empty() ? "" : "; ") + std::string("LAN ") + std::to_string(n + 1) + ": " + lan_words;
            }
        }
        state += "; the registry changed (" + (changes.empty() ? std::string("nothing of the LANs") : changes) + ")";
    }
    state += d.driver_accepts ? "; ucs1 accepting" : "; ucs1 refusing";
    if (d.storage == Storage::Ample) {
        state += "; the storage ample";
    } else if (d.storage == Storage::Short) {
        state += "; the storage short of the image (room for " +
                 std::to_string(static_cast<uint64_t>(image_size) * d.storage_share / 65536) + " of its " +
                 std::to_string(image_size) + " bytes)";
    } else {
        state += "; the storage tight (room for the image and " + std::to_string(d.storage_share) + " bytes more)";
    }
    std::vector<std::string> lines = {"state: " + state,
                                      "first run: " + describe_input(d.input[0]) + "; " + describe_faults(d.faults[0])};
    if (d.second_run()) {
        lines.push_back("second run: " + describe_input(d.input[1]) + "; " + describe_faults(d.faults[1]));
    }
    lines.push_back("clean run: -s; no faults");
    return lines;
}

void Tally::add(const Draw& d)
{
    static const char* const boot[] = {"NK.bin as it is", "NK.bin absent", "NK.bin read-only"};
    static const char* const leftover[] = {"no \\NK1.bin", "\\NK1.bin whole", "\\NK1.bin cut short"};
    static const char* const lan[] = {"settings files as the device has them", "settings files present",
                                      "settings files read-only", "settings files absent", "settings files folders"};
    static const char* const storage[] = {"storage ample", "storage short of the image", "storage tight"};
    static const char* const fault[] = {"no faults", "one failing call", "two failing calls", "a power cut",
                                        "a failing call and a power cut"};
    ++runs;
    ++counts[boot[static_cast<int>(d.boot)]];
    ++counts[leftover[static_cast<int>(d.leftover)]];
    for (LanFile f : d.lan) {
        ++counts[lan[static_cast<int>(f)]];
    }
    ++counts[d.registry_changed ? "registry changed" : "registry as the device has it"];
    for (const LanEdit& e : d.edits) {
        counts["LAN keys missing"] += e.key_missing ? 1 : 0;
        for (const ValueEdit& v : e.values) {
            counts["LAN values set"] += v.what == ValueEdit::Set ? 1 : 0;
            counts["LAN values removed"] += v.what == ValueEdit::Remove ? 1 : 0;
        }
    }
    ++counts[d.driver_accepts ? "ucs1 accepting" : "ucs1 refusing"];
    ++counts[storage[static_cast<int>(d.storage)]];
    for (int r = 0; r < (d.second_run() ? 2 : 1); ++r) {
        std::string run = r == 0 ? "first runs: " : "second runs: ";
        ++counts[run + (d.input[r].interactive ? "interactive" : "-s")];
        counts[run + "an early end of input"] += answers_of(d.input[r]).input_ends_early ? 1 : 0;
        ++counts[run + fault[static_cast<int>(d.faults[r].kind)]];
    }
    counts["second runs"] += d.second_run() ? 1 : 0;
}

std::vector<std::string> Tally::lines() const
{
    auto count = [this](const std::string& name) {
        auto found = counts.find(name);
        return name + " " + std::to_string(found == counts.end() ? 0 : found->second);
    };
    auto line = [&](const std::vector<std::string>& names) {
        std::string text = "draws:";
        for (size_t i = 0; i < names.size(); ++i) {
            text += (i == 0 ? " " : ", ") + count(names[i]);
        }
        return text;
    };
    std::vector<std::string> out = {
        line({"NK.bin as it is", "NK.bin absent", "NK.bin read-only"}),
        line({"no \\NK1.bin", "\\NK1.bin whole", "\\NK1.bin cut short"}),
        line({"settings files as the device has them", "settings files present", "settings files read-only",
              "settings files absent", "settings files folders"}),
        line({"registry as the device has it", "registry changed", "LAN keys missing", "LAN values set",
              "LAN values removed"}),
        line({"ucs1 accepting", "ucs1 refusing"}),
        line({"storage ample", "storage short of the image", "storage tight"}),
    };
    for (const std::string run : {"first runs: ", "second runs: "}) {
        out.push_back(line({run + "-s", run + "interactive", run + "an early end of input"}));
        out.push_back(line({run + "no faults", run + "one failing call", run + "two failing calls", run + "a power cut",
                            run + "a failing call and a power cut"}));
    }
    out.push_back(line({"second runs"}));
    return out;
}

Answers answers_of(const Input& input)
{
    Answers a;
    if (!input.interactive) {
        a.goes_on = true;
        return a;
    }
    // The console's units: UTF-8 decoded, CR LF as one LF, up to Ctrl-Z.
    std::u16string units = ce::to_utf16(input.keys);
    std::u16string read;
    for (size_t i = 0; i < units.size() && units[i] != 0x1A; ++i) {
        if (units[i] == u'\r' && i + 1 < units.size() && units[i + 1] == u'\n') {
            continue;
        }
        read += units[i];
    }
    size_t at = 0;
    if (read.empty()) {
        a.input_ends_early = true;
        return a;
    }
    a.goes_on = read[0] == u'y' || read[0] == u'Y';
    at = 1;
    if (!a.goes_on) {
        return a;
    }
    // Later questions skip everything but y, Y, n and N.
    auto answer = [&](bool at_end) {
        for (; at < read.size(); ++at) {
            char16_t c = read[at];
            if (c == u'y' || c == u'Y' || c == u'n' || c == u'N') {
                ++at;
                return c == u'y' || c == u'Y';
            }
        }
        a.input_ends_early = true;
        return at_end;
    };
    a.keeps = answer(true);
    a.restarts = answer(false);
    return a;
}

std::string shell_quoted(const std::string& word)
{
    bool plain = !word.empty();
    for (unsigned char c : word) {
        bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    std::string("_./:=@%+,-").find(static_cast<char>(c)) != std::string::npos;
        plain = plain && safe;
    }
    if (plain) {
        return word;
    }
    std::string out = "'";
    for (char c : word) {
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return out + "'";
}

std::string shown(const std::string& bytes, size_t most)
{
    std::string out = "\"";
    size_t i = 0;
    for (; i < bytes.size() && i < most; ++i) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '"' || c == '\\') {
            out += std::string("\\") + static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    out += "\"";
    if (i < bytes.size()) {
        out += "... (" + std::to_string(bytes.size()) + " bytes)";
    }
    return out;
}

}  // namespace campaign
