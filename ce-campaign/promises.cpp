// The promises: what must hold after every run, whatever was drawn. The
// settings files' new content is worked out from the tool's own rules
// (docs/tool.md), not from what the tool did.
#include "promises.h"

#include <csignal>
#include <map>

#include "emulator.h"

namespace campaign {

const char* const EXIT_STATUS = "exit status";
const char* const WHOLE_IMAGE = "whole image";
const char* const COMPLETE_ONLY_WHEN_INSTALLED = "complete only when installed";
const char* const SETTINGS_FILES = "settings files";
const char* const CONFINED = "nothing written outside root/";
const char* const WHOLE_TRACE = "whole trace";
const char* const CLEAN_RUN_INSTALLS = "a clean run installs";
const char* const ENDS_IN_TIME = "ends in time";
const char* const PARITY = "parity";

std::string promise_words(const std::string& name)
{
    static const std::map<std::string, std::string> words = {
        {EXIT_STATUS, "the exit status is 0, except for a run ended by the power cut"},
        {WHOLE_IMAGE, "the device holds a whole image: NK.bin the old one or the new one, or no NK.bin and the "
                      "whole new image in \\NK1.bin"},
        {COMPLETE_ONLY_WHEN_INSTALLED, "\"Firmware upgrade complete!\" is printed only when NK.bin is then the new image"},
        {SETTINGS_FILES, "every settings file holds its old content, the new content, or the start of the new "
                         "content after a cut or a failed call within it"},
        {CONFINED, "nothing is written outside root/ but trace.log, nor in root/ but the tool's own files"},
        {WHOLE_TRACE, "trace.log is whole (after a cut, its last line is the cut)"},
        {CLEAN_RUN_INSTALLS, "after any outcome, a clean run installs the new image, unless the state forbids it"},
        {ENDS_IN_TIME, "the run ends within its time limit"},
        {PARITY, "the host build and the device build print, write and trace the same"},
    };
    auto found = words.find(name);
    return found == words.end() ? name : found->second;
}

namespace {

const char* const DEVICE = "device";

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

bool starts_with(const std::string& text, const std::string& head)
{
    return text.compare(0, head.size(), head) == 0;
}

bool ends_with(const std::string& text, const std::string& tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

bool was_cut(const std::vector<std::string>& lines)
{
    return !lines.empty() && lines.back() == "power cut";
}

const Node* node_at(const Snapshot& snapshot, const std::string& path)
{
    auto found = snapshot.find(path);
    return path.empty() || found == snapshot.end() ? nullptr : &found->second;
}

const Node* device_file(const Snapshot& snapshot, const std::string& name)
{
    return node_at(snapshot, device_entry(snapshot, DEVICE, name));
}

std::string what_is(const Node* node)
{
    if (node == nullptr) {
        return "absent";
    }
    if (node->kind == 'd') {
        return "a folder";
    }
    if (node->kind != 'f') {
        return "no regular file";
    }
    return shown(node->content);
}

// The image, whole, where the device boots from or in the window between
// the delete and the move.
bool holds_whole_image(const Snapshot& snapshot, const Expectations& e)
{
    const Node* boot = device_file(snapshot, "NK.bin");
    const Node* leftover = device_file(snapshot, "NK1.bin");
    if (boot != nullptr) {
        return boot->kind == 'f' && (boot->content == *e.image ||
                                     (e.device->had_boot_image && boot->content == e.device->boot_image));
    }
    return leftover != nullptr && leftover->kind == 'f' && leftover->content == *e.image;
}

std::string image_state(const Snapshot& snapshot, const Expectations& e)
{
    auto words = [&](const char* name) {
        const Node* node = device_file(snapshot, name);
        if (node != nullptr && node->kind == 'f' && node->content == *e.image) {
            return std::string("the new image");
        }
        if (node != nullptr && node->kind == 'f' && e.device->had_boot_image && node->content == e.device->boot_image) {
            return std::string("the old image");
        }
        if (node != nullptr && node->kind == 'f') {
            return std::to_string(node->content.size()) + " bytes, neither image";
        }
        return what_is(node);
    };
    return "NK.bin " + words("NK.bin") + ", \\NK1.bin " + words("NK1.bin");
}

// A settings file as the tool's rules make it. Only which registry calls
// the emulation failed on purpose is taken from the trace; what the values
// are, from the registry the device booted with.
std::string default_settings(int lan)
{
    return "0\n192.168." + std::to_string(lan + 2) + ".127\n255.255.255.0\n\n\n\n";
}

std::string kept_settings(const Expectations& e, int lan, const std::vector<std::string>& lines)
{
    std::string file = "\\lan" + std::to_string(lan);
    size_t open_at = lines.size();
    for (size_t i = 0; i < lines.size(); ++i) {
        if (starts_with(lines[i], "_wfopen " + file + " w ")) {
            open_at = i;
        }
    }
    bool open_injected = false;
    for (size_t i = open_at; i-- > 0;) {
        if (starts_with(lines[i], "RegOpenKeyExW ")) {
            open_injected = ends_with(lines[i], " injected");
            break;
        }
    }
    std::map<std::string, bool> injected;
    for (size_t i = open_at + 1; i < lines.size() && !starts_with(lines[i], "fclose " + file + " "); ++i) {
        if (starts_with(lines[i], "RegQueryValueExW ") && ends_with(lines[i], " injected")) {
            size_t name = lines[i].find(' ', std::string("RegQueryValueExW ").size()) + 1;
            injected[lines[i].substr(name, lines[i].find(' ', name) - name)] = true;
        }
    }
    std::u16string path;
    for (const std::string& part : lan_key_parts(lan)) {
        path += (path.empty() ? u"" : u"\\") + ce::fold(ce::to_utf16(part));
    }
    const ce::RegistryKey* key = open_injected ? nullptr : ce::find_key(e.device->registry, path);
    // A read as the tool makes it: the data, when it fits the size offered.
    auto read = [&](const char* name, size_t budget, std::string& data) {
        if (key == nullptr || injected[name]) {
            return false;
        }
        auto found = key->values.find(ce::fold(ce::to_utf16(name)));
        if (found == key->values.end() || found->second.data.size() > budget) {
            return false;
        }
        data = found->second.data;
        return true;
    };
    std::string data;
    uint32_t dhcp = 0;
    bool dhcp_read = read(LAN_VALUE_NAMES[0], 4, data);
    for (size_t i = 0; dhcp_read && i < data.size(); ++i) {
        dhcp |= static_cast<uint32_t>(static_cast<unsigned char>(data[i])) << (8 * i);
    }
    std::string settings = dhcp_read && dhcp == 1 ? "Y\n" : "N\n";
    for (int v = 1; v < LAN_VALUES; ++v) {
        std::u16string text;
        if (read(LAN_VALUE_NAMES[v], 260, data)) {
            // An odd last byte is the low half of a unit; the text ends at its first zero.
            if (data.size() % 2 != 0) {
                data += '\0';
            }
            text = ce::from_utf16le(data);
            text = text.substr(0, text.find(u'\0'));
        }
        settings += ce::to_utf8(text + u"\n");
    }
    return settings;
}

// A call on the file that did not do all it was asked: a failure, an
// injected one or a short write.
bool failed_within(const std::vector<std::string>& lines, int lan)
{
    std::string file = " \\lan" + std::to_string(lan) + " ";
    for (const std::string& line : lines) {
        size_t space = line.find(' ');
        bool on_file = space != std::string::npos && line.compare(space, file.size(), file) == 0;
        if (on_file && !starts_with(line, "_wfopen ") &&
            (line.find(" failed") != std::string::npos || line.find(" short ") != std::string::npos)) {
            return true;
        }
    }
    return false;
}

bool is_tool_file(const std::string& path)
{
    std::string root = std::string(DEVICE) + "/root/";
    if (!starts_with(path, root) || path.find('/', root.size()) != std::string::npos) {
        return false;
    }
    std::string name = path.substr(root.size());
    for (char& c : name) {
        c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return name == "nk.bin" || name == "nk1.bin" ||
           (name.size() == 4 && starts_with(name, "lan") && name[3] >= '1' && name[3] <= '6');
}

void check_exit(const Step& step, const std::vector<std::string>& lines, double limit, std::vector<Broken>& broken)
{
    const Execution& run = step.execution;
    if (run.not_started) {
        broken.push_back({EXIT_STATUS, step.name + " could not be started: " + run.err});
        return;
    }
    if (run.timed_out) {
        broken.push_back({ENDS_IN_TIME, step.name + " had not ended after " + std::to_string(static_cast<int>(limit)) +
                                            " s; it and everything it started were ended"});
        return;
    }
    std::string ended = run.signal != 0 ? "was ended by signal " + std::to_string(run.signal)
                                        : "exited with status " + std::to_string(run.status);
    std::string err = run.err.empty() ? "" : "; it wrote " + shown(run.err, 200) + " on standard error";
    if (was_cut(lines)) {
        if (run.signal != SIGKILL && run.status != 137) {
            broken.push_back({EXIT_STATUS, step.name + " was cut but " + ended + err});
        }
    } else if (run.status != 0) {
        broken.push_back({EXIT_STATUS, step.name + " " + ended + err});
    }
}

void check_trace(const Step& step, const std::vector<std::string>& lines, std::vector<Broken>& broken)
{
    auto fault = [&](const std::string& what) { broken.push_back({WHOLE_TRACE, "after " + step.name + ", " + what}); };
    if (!step.trace.empty() && step.trace.back() != '\n') {
        fault("trace.log ends inside a line: " + shown(lines.back()));
        return;
    }
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        if (line == "power cut") {
            if (i + 1 != lines.size()) {
                fault("line " + std::to_string(i + 1) + " is the cut, but " + std::to_string(lines.size() - i - 1) +
                      " lines follow it");
                return;
            }
            continue;
        }
        std::string name = line.substr(0, line.find(' '));
        if (!ce::is_traced_call(name) || line.find(' ') == std::string::npos) {
            fault("its line " + std::to_string(i + 1) + " of the run is no traced call: " + shown(line));
            return;
        }
    }
    bool cut = was_cut(lines);
    if (cut && step.faults.cut == 0) {
        fault("its last line is a cut that was not asked for");
    } else if (cut && lines.size() != step.faults.cut) {
        fault("the cut before call " + std::to_string(step.faults.cut) + " is line " + std::to_string(lines.size()));
    } else if (!cut && step.faults.cut != 0 && lines.size() >= step.faults.cut && step.execution.status == 0) {
        fault("the run made " + std::to_string(lines.size()) + " calls, but the power was to fail before call " +
              std::to_string(step.faults.cut));
    }
}

void check_settings(const Expectations& e, const Step& step, const std::vector<std::string>& lines,
                    std::vector<Broken>& broken)
{
    Answers answers = answers_of(step.input);
    bool cut = was_cut(lines);
    for (int lan = 1; lan <= LANS; ++lan) {
        std::string name = "lan" + std::to_string(lan);
        const Node* before = device_file(step.before, name);
        const Node* after = device_file(step.after, name);
        if ((before == nullptr && after == nullptr) || (before != nullptr && after != nullptr &&
                                                        before->kind == after->kind && before->content == after->content)) {
            continue;
        }
        std::string wanted = answers.keeps ? kept_settings(e, lan, lines) : default_settings(lan);
        if (after != nullptr && after->kind == 'f') {
            bool prefix = (cut || failed_within(lines, lan)) && wanted.compare(0, after->content.size(), after->content) == 0;
            if (after->content == wanted || prefix) {
                continue;
            }
        }
        broken.push_back({SETTINGS_FILES, "after " + step.name + ", \\" + name + " is " + what_is(after) +
                                              ": its old content was " + what_is(before) + ", the new content is " +
                                              shown(wanted)});
    }
}

void check_confined(const Step& step, const std::vector<std::string>& lines, std::vector<Broken>& broken)
{
    // A restart program the run started may write in root/, its one writable place.
    bool started = false;
    for (const std::string& line : lines) {
        started = started || (starts_with(line, "CreateProcessW ") && ends_with(line, " ok"));
    }
    std::string trace = std::string(DEVICE) + "/trace.log";
    std::string root = std::string(DEVICE) + "/root/";
    auto outside = [&](const std::string& path) {
        return path != trace && !is_tool_file(path) && !(started && starts_with(path, root));
    };
    for (const auto& entry : step.before) {
        if (!outside(entry.first)) {
            continue;
        }
        auto now = step.after.find(entry.first);
        if (now == step.after.end() || now->second != entry.second) {
            broken.push_back({CONFINED, "after " + step.name + ", " + entry.first +
                                            (now == step.after.end() ? " is gone" : " was changed")});
            return;
        }
    }
    for (const auto& entry : step.after) {
        if (outside(entry.first) && step.before.count(entry.first) == 0) {
            broken.push_back({CONFINED, "after " + step.name + ", " + entry.first + " is new"});
            return;
        }
    }
}

// What keeps a clean run from installing: the driver, a read-only NK.bin,
// a storage without room for the image beside what it must keep.
std::string forbidden(const Expectations& e, const Step& step)
{
    if (!e.draw->driver_accepts) {
        return "the driver refuses";
    }
    const Node* boot = device_file(step.before, "NK.bin");
    if (boot != nullptr && (boot->kind != 'f' || (boot->mode & 0222) == 0)) {
        return "NK.bin cannot be replaced";
    }
    if (e.device->storage_limited) {
        uint64_t stored = 0;
        std::string root = std::string(DEVICE) + "/root/";
        for (const auto& entry : step.before) {
            if (entry.second.kind == 'f' && starts_with(entry.first, root)) {
                stored += entry.second.content.size();
            }
        }
        // A leftover \NK1.bin is emptied for the new image; without an
        // NK.bin it is the device's image, kept in NK.bin's place meanwhile.
        const Node* leftover = device_file(step.before, "NK1.bin");
        if (leftover != nullptr && leftover->kind == 'f' && boot != nullptr) {
            stored -= leftover->content.size();
        }
        if (stored + e.image->size() > e.device->storage_bytes) {
            return "the storage cannot hold the image";
        }
    }
    return "";
}

}  // namespace

std::vector<Broken> check_step(const Expectations& e, const Step& step)
{
    std::vector<Broken> broken;
    std::vector<std::string> lines = lines_of(step.trace);
    check_exit(step, lines, e.time_limit, broken);
    if (step.execution.not_started) {
        return broken;
    }
    // A device that held no whole image before the run has none to lose.
    const Node* boot_after = device_file(step.after, "NK.bin");
    if (holds_whole_image(step.before, e) && !holds_whole_image(step.after, e)) {
        broken.push_back({WHOLE_IMAGE, "after " + step.name + ", " + image_state(step.after, e) + "; before it, " +
                                           image_state(step.before, e)});
    }
    const Node* boot = boot_after;
    if (step.execution.out.find("Firmware upgrade complete!") != std::string::npos &&
        (boot == nullptr || boot->kind != 'f' || boot->content != *e.image)) {
        broken.push_back({COMPLETE_ONLY_WHEN_INSTALLED, step.name + " printed \"Firmware upgrade complete!\", and then " +
                                                            image_state(step.after, e)});
    }
    check_settings(e, step, lines, broken);
    check_confined(step, lines, broken);
    if (!step.execution.timed_out) {
        check_trace(step, lines, broken);
    }
    if (step.clean && forbidden(e, step).empty() && (boot == nullptr || boot->content != *e.image)) {
        broken.push_back({CLEAN_RUN_INSTALLS, "after " + step.name + ", " + image_state(step.after, e) +
                                                  "; it printed " + shown(step.execution.out.substr(
                                                      step.execution.out.find("please wait..") == std::string::npos
                                                          ? 0 : step.execution.out.find("please wait..")), 160)});
    }
    return broken;
}

namespace {

// The looks at a restart program still running, and the pause after each,
// are the host's timing: left out. Whether a cut or a failure fell among
// them too, so the rest of the run is compared only up to the start.
struct Normalized {
    std::vector<std::string> lines;
    bool timed_tail = false;
};

Normalized normalized(const std::string& trace)
{
    Normalized n;
    bool started = false, after_look = false;
    for (const std::string& line : lines_of(trace)) {
        started = started || starts_with(line, "CreateProcessW ");
        bool look = starts_with(line, "GetExitCodeProcess ") && ends_with(line, " ok 259");
        bool pause = after_look && starts_with(line, "Sleep ");
        after_look = look;
        if (started && !starts_with(line, "CreateProcessW ") && (line == "power cut" || ends_with(line, " injected"))) {
            n.timed_tail = true;
        }
        if (!look && !pause) {
            n.lines.push_back(line);
        }
    }
    return n;
}

}  // namespace

std::vector<Broken> compare_builds(const Step& host, const Step& device)
{
    std::vector<Broken> broken;
    auto differs = [&](const std::string& what) {
        broken.push_back({PARITY, "in " + host.name + ", " + what});
    };
    Normalized x = normalized(host.trace), y = normalized(device.trace);
    bool timed = x.timed_tail || y.timed_tail;
    std::string a = host.execution.out;
    std::string b = device.execution.out;
    if (timed) {
        // The restart program ends with the run: whether it printed before a
        // cut among the looks at it is the host's timing.
        for (std::string* console : {&a, &b}) {
            const std::string question = "Reboot now? (Y/N)";
            size_t asked = console->find(question);
            if (asked != std::string::npos) {
                console->resize(asked + question.size());
            }
        }
    }
    if (a != b) {
        size_t at = 0;
        while (at < a.size() && at < b.size() && a[at] == b[at]) {
            ++at;
        }
        size_t from = at < 40 ? 0 : at - 40;
        differs("the console differs from byte " + std::to_string(at) + ": the host build's " +
                shown(a.substr(from, 120)) + ", the device build's " + shown(b.substr(from, 120)));
        return broken;
    }
    for (const auto& entry : host.after) {
        auto other = device.after.find(entry.first);
        if (entry.first == "device/trace.log") {
            continue;
        }
        if (other == device.after.end() || other->second != entry.second) {
            differs(entry.first + " differs: the host build's " + what_is(&entry.second) + ", the device build's " +
                    what_is(other == device.after.end() ? nullptr : &other->second));
            return broken;
        }
    }
    for (const auto& entry : device.after) {
        if (host.after.count(entry.first) == 0) {
            differs(entry.first + " is only in the device build's folder");
            return broken;
        }
    }
    if (timed) {
        // Up to the restart program's start.
        for (std::vector<std::string>* lines : {&x.lines, &y.lines}) {
            size_t start = 0;
            while (start < lines->size() && !starts_with((*lines)[start], "CreateProcessW ")) {
                ++start;
            }
            lines->resize(start < lines->size() ? start + 1 : lines->size());
        }
    }
    for (size_t i = 0; i < x.lines.size() || i < y.lines.size(); ++i) {
        bool in_x = i < x.lines.size(), in_y = i < y.lines.size();
        if (!in_x || !in_y || x.lines[i] != y.lines[i]) {
            differs("the trace differs at its line " + std::to_string(i + 1) + " of the run: the host build's " +
                    (in_x ? shown(x.lines[i], 160) : std::string("none")) + ", the device build's " +
                    (in_y ? shown(y.lines[i], 160) : std::string("none")));
            return broken;
        }
    }
    const Execution& p = host.execution;
    const Execution& q = device.execution;
    if (!timed && (p.status != q.status || p.signal != q.signal)) {
        differs("the host build " + (p.signal != 0 ? "was ended by signal " + std::to_string(p.signal)
                                                   : "exited with " + std::to_string(p.status)) +
                ", the device build " + (q.signal != 0 ? "was ended by signal " + std::to_string(q.signal)
                                                       : "exited with " + std::to_string(q.status)));
    }
    return broken;
}

}  // namespace campaign
