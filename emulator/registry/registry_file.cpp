#include "registry_file.h"

#include "emulator.h"

#include <cstdio>
#include <iterator>
#include <vector>

namespace ce {

namespace {

const uint32_t TYPE_SZ = 1, TYPE_EXPAND_SZ = 2, TYPE_BINARY = 3, TYPE_DWORD = 4, TYPE_MULTI_SZ = 7;
struct Fault {
    std::string file;  // "" in a file read alone
    size_t line;
    std::string message;
};

// The file's text as UTF-16 units, and where each of its lines starts; the
// lines are taken out one at a time, so that a file of many short lines
// costs little more than its text.
struct Text {
    std::u16string units;
    std::vector<size_t> starts;  // of each line; units.size() + 1 ends the last

    size_t lines() const { return starts.size() - 1; }
    // Line i (from 0) without its line end.
    std::u16string line(size_t i) const
    {
        size_t end = starts[i + 1] - 1;
        if (end > starts[i] && units[end - 1] == '\r') {
            --end;
        }
        return units.substr(starts[i], end - starts[i]);
    }
};

Text decode(const std::string& bytes)
{
    Text text;
    size_t line = 1;
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF && static_cast<unsigned char>(bytes[1]) == 0xFE) {
        if (bytes.size() % 2 != 0) {
            throw Fault{"", 1, "UTF-16 text with an odd number of bytes"};
        }
        text.units = from_utf16le(bytes, 2);
    } else {
        size_t i = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
        text.units.reserve(bytes.size() - i);
        for (size_t length = 0; i < bytes.size(); i += length) {
            char32_t c = 0;
            if (!decode_utf8(bytes, i, c, length)) {
                throw Fault{"", line, "not UTF-8 text"};
            }
            append_utf16(text.units, c);
            line += c == '\n';
        }
    }
    text.starts.push_back(0);
    for (size_t i = 0; i < text.units.size(); ++i) {
        if (text.units[i] == '\n') {
            text.starts.push_back(i + 1);
        } else if (text.units[i] == 0) {
            throw Fault{"", text.starts.size(), "a zero character in the text"};
        }
    }
    text.starts.push_back(text.units.size() + 1);
    return text;
}

// The same, a fault naming the file.
Text decode_file(const std::string& bytes, const std::string& file)
{
    try {
        return decode(bytes);
    } catch (Fault& fault) {
        fault.file = file;
        throw;
    }
}

// The types whose data is text: their bytes are read and written as such.
bool is_text_type(uint32_t type)
{
    return type == TYPE_SZ || type == TYPE_EXPAND_SZ || type == TYPE_MULTI_SZ;
}

bool is_space(char16_t c)
{
    return c == ' ' || c == '\t';
}

void skip_spaces(const std::u16string& line, size_t& at)
{
    while (at < line.size() && is_space(line[at])) {
        ++at;
    }
}

std::u16string trimmed(const std::u16string& text)
{
    size_t first = 0, last = text.size();
    while (first < last && is_space(text[first])) {
        ++first;
    }
    while (last > first && is_space(text[last - 1])) {
        --last;
    }
    return text.substr(first, last - first);
}

bool starts_with_folded(const std::u16string& text, size_t at, const char* word)
{
    for (size_t i = 0; word[i] != 0; ++i) {
        if (at + i >= text.size() || fold(text[at + i]) != fold(static_cast<char16_t>(word[i]))) {
            return false;
        }
    }
    return true;
}

int hex_digit(char16_t c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// A letter, digit or _: what the names of build variables are made of.
bool is_name_unit(char16_t c)
{
    return c == '_' || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool is_name(const std::u16string& text)
{
    for (char16_t c : text) {
        if (!is_name_unit(c)) {
            return false;
        }
    }
    return !text.empty();
}

// The word at text[at], in any case, followed by a blank or the end.
bool word_at(const std::u16string& text, size_t at, const char* word)
{
    size_t end = at + std::char_traits<char>::length(word);
    return starts_with_folded(text, at, word) && (end == text.size() || is_space(text[end]));
}

// A key and every key below it.
size_t keys_in(const RegistryKey& key)
{
    size_t count = 1;
    for (const auto& sub : key.subkeys) {
        count += keys_in(*sub.second);
    }
    return count;
}

class Parser {
public:
    // Without files, an #include is a fault.
    Parser(Registry& registry, const BuildVariables& variables, RegistryFiles* files, const std::string& top,
           size_t top_bytes)
        : registry_(registry), variables_(variables), files_(files), open_files_{top}, bytes_(top_bytes)
    {
    }

    // One file, whole; an included one in the place of its #include line.
    // The IF blocks of a file close in that file.
    void run(const Text& text, bool included)
    {
        const Text* outer_text = text_;
        size_t outer_index = index_;
        text_ = &text;
        struct Block {
            size_t line;
            bool selected;
        };
        // A block counts only where every block around it counts.
        std::vector<Block> blocks;
        bool first = true;
        for (index_ = 0; index_ < text_->lines(); ++index_) {
            std::u16string line = trimmed(text_->line(index_));
            if (line.empty() || line[0] == ';') {
                continue;
            }
            bool header = line == u"REGEDIT4" || line == u"Windows Registry Editor Version 5.00";
            if (header && included) {
                throw fault("an included file holds the platform form, without a REGEDIT4 or \"Windows Registry Editor Version 5.00\" line");
            }
            if (header) {
                if (!first) {
                    throw fault("the REGEDIT4 or \"Windows Registry Editor Version 5.00\" line must come first");
                }
                editor_ = true;
                regedit4_ = line == u"REGEDIT4";
            } else if (!editor_ && line.compare(0, 2, u"IF") == 0 && (line.size() == 2 || is_space(line[2]))) {
                bool selected = selects(line);
                blocks.push_back(Block{index_, (blocks.empty() || blocks.back().selected) && selected});
            } else if (!editor_ && line.compare(0, 5, u"ENDIF") == 0 && (line.size() == 5 || is_space(line[5]))) {
                if (line.size() != 5) {
                    throw fault("nothing may follow ENDIF on its line");
                }
                if (blocks.empty()) {
                    throw fault("an ENDIF with no IF open in this file");
                }
                blocks.pop_back();
            } else if (!blocks.empty() && !blocks.back().selected) {
                // A block not selected: only its IF and ENDIF lines count.
            } else if (line[0] == '[') {
                section(line);
            } else if (line[0] == '"' || line[0] == '@') {
                value(line);
            } else if (!editor_ && line.compare(0, 8, u"#include") == 0) {
                include(line);
            } else {
                throw fault(editor_ ? "neither a [key], a \"value\"=..., nor a ; comment"
                                    : "neither a [key], a \"value\"=..., an IF, ENDIF or #include line, nor a ; comment");
            }
            first = false;
        }
        if (!blocks.empty()) {
            index_ = blocks.back().line;
            throw fault("this IF is never closed: no ENDIF for it in its file");
        }
        text_ = outer_text;
        index_ = outer_index;
    }

    Fault fault(const std::string& message) const
    {
        return Fault{open_files_.back(), index_ + 1, message};
    }

private:
    // IF NAME, IF NAME = value, each perhaps with " !" at the end: whether
    // the block counts.
    bool selects(const std::u16string& line) const
    {
        std::u16string rest = trimmed(line.substr(2));
        bool negated = rest.size() >= 2 && rest.back() == '!' && is_space(rest[rest.size() - 2]);
        if (negated) {
            rest = trimmed(rest.substr(0, rest.size() - 1));
        }
        size_t end = 0;
        while (end < rest.size() && is_name_unit(rest[end])) {
            ++end;
        }
        std::u16string after = trimmed(rest.substr(end));
        std::u16string value = after.empty() || after[0] != '=' ? u"" : trimmed(after.substr(1));
        if (end == 0 || (!after.empty() && value.empty())) {
            throw fault("an IF line is IF NAME, IF NAME !, IF NAME = value or IF NAME = value !, NAME of letters, digits and _");
        }
        auto found = variables_.find(fold(rest.substr(0, end)));
        bool holds = found != variables_.end() && (after.empty() || found->second == value);
        return holds != negated;
    }

    // #include "PATH": the file read in the place of this line.
    void include(const std::u16string& line)
    {
        size_t at = 8;
        skip_spaces(line, at);
        size_t close = at < line.size() && line[at] == '"' ? line.find('"', at + 1) : std::u16string::npos;
        if (close == std::u16string::npos || !trimmed(line.substr(close + 1)).empty()) {
            throw fault("an #include line is #include \"PATH\"");
        }
        if (files_ == nullptr) {
            throw fault("an #include is read only with the device folder's files");
        }
        std::string path = resolved(expanded(line.substr(at + 1, close - at - 1)));
        auto known = read_.find(path);
        if (known == read_.end()) {
            std::string spelled, bytes, complaint;
            if (!files_->read(path, LARGEST_REGISTRY_FILE - bytes_ + 1, spelled, bytes, complaint)) {
                throw fault(complaint);
            }
            known = read_.emplace(path, std::make_pair(spelled, bytes)).first;
        }
        const std::string& spelled = known->second.first;
        const std::string& bytes = known->second.second;
        for (size_t i = 0; i < open_files_.size(); ++i) {
            if (open_files_[i] == spelled) {
                std::string cycle;
                for (size_t k = i; k < open_files_.size(); ++k) {
                    cycle += open_files_[k] + " includes ";
                }
                throw fault("an include cycle: " + cycle + spelled);
            }
        }
        if (open_files_.size() == DEEPEST_INCLUDE) {
            throw fault("an #include nested deeper than " + std::to_string(DEEPEST_INCLUDE) + " files");
        }
        if (bytes.size() > LARGEST_REGISTRY_FILE - bytes_) {
            throw fault("the registry's files together are larger than 16 MiB");
        }
        bytes_ += bytes.size();
        Text text = decode_file(bytes, spelled);
        open_files_.push_back(spelled);
        run(text, true);
        open_files_.pop_back();
    }

    // The path with each $(NAME) replaced by the variable's value.
    std::u16string expanded(const std::u16string& path) const
    {
        std::u16string out;
        for (size_t i = 0; i < path.size(); ++i) {
            if (path[i] != '$' || i + 1 == path.size() || path[i + 1] != '(') {
                out += path[i];
                continue;
            }
            size_t close = path.find(')', i + 2);
            std::u16string name = close == std::u16string::npos ? u"" : path.substr(i + 2, close - i - 2);
            if (!is_name(name)) {
                throw fault("a $( in an #include path is $(NAME), NAME of letters, digits and _");
            }
            auto found = variables_.find(fold(name));
            if (found == variables_.end()) {
                throw fault("$(" + to_utf8(name) + ") in the #include path is not set in registry.env");
            }
            out += found->second;
            i = close;
        }
        return out;
    }

    // Where an include path leads, inside the device folder: from the
    // folder of the including file, or from the device folder itself when
    // it begins with a separator. Nothing outside is ever reached.
    std::string resolved(const std::u16string& path) const
    {
        auto separator = [](char16_t c) { return c == '\\' || c == '/'; };
        std::string utf8 = to_utf8(path);
        if (to_utf16(utf8) != path) {
            throw fault("an #include path with half a surrogate pair names no file");
        }
        std::vector<std::string> parts;
        if (!path.empty() && separator(path[0])) {
            if (path.size() > 1 && separator(path[1])) {
                throw fault("an #include path that begins with two separators names another machine: includes are read only inside the device folder");
            }
        } else if (path.size() >= 2 && path[1] == ':' && ((path[0] | 0x20) >= 'a' && (path[0] | 0x20) <= 'z')) {
            throw fault("an #include path with a drive (" + utf8.substr(0, 2) +
                        ") names a place outside the device folder: includes are read only inside it, and a path that begins with \\ starts at the device folder");
        } else {
            parts = split(open_files_.back(), "/");
            parts.pop_back();
        }
        if (!path.empty() && separator(path.back())) {
            throw fault("an #include path that ends with a separator names a folder");
        }
        for (const std::string& part : split(utf8, "\\/")) {
            if (part == "..") {
                if (parts.empty()) {
                    throw fault("an #include path that climbs above the device folder: includes are read only inside it");
                }
                parts.pop_back();
            } else if (part != ".") {
                parts.push_back(part);
            }
        }
        if (parts.empty()) {
            throw fault("an #include path that names no file");
        }
        std::string joined;
        for (const std::string& part : parts) {
            joined += (joined.empty() ? "" : "/") + part;
        }
        return joined;
    }

    void section(const std::u16string& line)
    {
        if (line.back() != ']') {
            throw fault("a key line must end with ]");
        }
        std::u16string name = line.substr(1, line.size() - 2);
        bool remove = !name.empty() && name[0] == '-';
        if (remove) {
            name.erase(0, 1);
        }
        size_t slash = name.find('\\');
        std::u16string root = fold(name.substr(0, slash));
        std::u16string path = slash == std::u16string::npos ? u"" : name.substr(slash + 1);
        static const char16_t* other_roots[] = {u"HKEY_CURRENT_USER", u"HKEY_CLASSES_ROOT", u"HKEY_USERS",
                                                u"HKEY_CURRENT_CONFIG"};
        bool other = false;
        for (const char16_t* r : other_roots) {
            other = other || root == r;
        }
        if (!other && root != u"HKEY_LOCAL_MACHINE") {
            throw fault("unknown root key; keys are below HKEY_LOCAL_MACHINE");
        }
        std::vector<std::u16string> parts;
        size_t start = 0;
        while (!path.empty() && start <= path.size()) {
            size_t end = path.find('\\', start);
            size_t length = (end == std::u16string::npos ? path.size() : end) - start;
            if (length == 0) {
                throw fault("an empty name in the key path");
            }
            if (length > LONGEST_KEY_NAME) {
                throw fault("a key name longer than 255 characters");
            }
            if (parts.size() == DEEPEST_KEY) {
                throw fault("a key more than 512 levels deep");
            }
            parts.push_back(path.substr(start, length));
            if (end == std::u16string::npos) {
                break;
            }
            start = end + 1;
        }
        current_ = nullptr;
        ignored_ = other;
        deleted_ = remove;
        if (other) {
            return;
        }
        RegistryKey* key = &registry_.root;
        for (size_t i = 0; i < parts.size(); ++i) {
            std::u16string folded = fold(parts[i]);
            auto found = key->subkeys.find(folded);
            if (remove && i + 1 == parts.size()) {
                if (found != key->subkeys.end()) {
                    keys_ -= keys_in(*found->second);
                    key->subkeys.erase(found);
                }
                return;
            }
            if (found == key->subkeys.end()) {
                if (remove) {
                    return;
                }
                if (keys_ == MOST_KEYS) {
                    throw fault("more than " + std::to_string(MOST_KEYS) + " keys");
                }
                // A key's parents exist with it.
                ++keys_;
                found = key->subkeys.emplace(folded, std::unique_ptr<RegistryKey>(new RegistryKey)).first;
                found->second->name = parts[i];
            }
            key = found->second.get();
        }
        // Removing the root itself removes nothing.
        current_ = remove ? nullptr : key;
    }

    void value(const std::u16string& line)
    {
        if (current_ == nullptr && !ignored_) {
            throw fault(deleted_ ? "a value under a removed key" : "a value before any [key]");
        }
        size_t at = 0;
        std::u16string name;
        if (line[0] == '@') {
            at = 1;
        } else {
            name = quoted(line, at);
            if (name.empty()) {
                throw fault("an empty value name; the default value is written @");
            }
            if (name.size() > LONGEST_VALUE_NAME) {
                throw fault("a value name longer than 16383 characters");
            }
        }
        skip_spaces(line, at);
        if (at >= line.size() || line[at] != '=') {
            throw fault("expected = after the value name");
        }
        ++at;
        skip_spaces(line, at);
        RegistryValue entry;
        entry.name = name;
        bool remove = false;
        std::u16string rest = line;
        if (at < line.size() && line[at] == '"') {
            entry.type = TYPE_SZ;
            entry.data = utf16le(quoted(line, at)) + std::string(2, '\0');
            end_of_value(line, at);
        } else if (at < line.size() && line[at] == '-') {
            remove = true;
            end_of_value(line, ++at);
        } else if (starts_with_folded(line, at, "dword:")) {
            at += 6;
            uint32_t number = 0;
            size_t digits = 0;
            for (; at < line.size() && hex_digit(line[at]) >= 0; ++at, ++digits) {
                number = (number << 4) | static_cast<uint32_t>(hex_digit(line[at]));
            }
            if (digits == 0 || digits > 8) {
                throw fault("dword: takes one to eight hexadecimal digits");
            }
            end_of_value(line, at);
            entry.type = TYPE_DWORD;
            for (int i = 0; i < 4; ++i) {
                entry.data += static_cast<char>((number >> (8 * i)) & 0xFF);
            }
        } else if (starts_with_folded(line, at, "multi_sz:")) {
            at += 9;
            entry.type = TYPE_MULTI_SZ;
            entry.data = multi_strings(rest, at);
        } else if (starts_with_folded(line, at, "hex")) {
            at += 3;
            entry.type = TYPE_BINARY;
            if (at < line.size() && line[at] == '(') {
                uint32_t type = 0;
                size_t digits = 0;
                for (++at; at < line.size() && hex_digit(line[at]) >= 0; ++at, ++digits) {
                    type = (type << 4) | static_cast<uint32_t>(hex_digit(line[at]));
                }
                if (digits == 0 || digits > 8 || at >= line.size() || line[at] != ')') {
                    throw fault("hex(N): takes a hexadecimal type number");
                }
                ++at;
                entry.type = type;
            }
            if (at >= line.size() || line[at] != ':') {
                throw fault("expected : after hex");
            }
            entry.data = byte_list(rest, ++at);
            bool text_type = is_text_type(entry.type);
            if (regedit4_ && text_type) {
                // REGEDIT4 files hold text types as 8-bit characters.
                std::u16string widened;
                for (char byte : entry.data) {
                    widened += static_cast<char16_t>(static_cast<unsigned char>(byte));
                }
                entry.data = utf16le(widened);
            }
            // The registry editor ends text that lacks a zero character with
            // one, so that a read finds it terminated.
            size_t size = entry.data.size();
            if (editor_ && text_type && size > 0 && size % 2 == 0 && (entry.data[size - 2] != 0 || entry.data[size - 1] != 0)) {
                entry.data.append(2, '\0');
            }
        } else {
            throw fault("a value is \"text\", dword:, multi_sz:, hex: or hex(N):");
        }
        if (ignored_) {
            return;
        }
        if (remove) {
            current_->values.erase(fold(name));
        } else {
            current_->values[fold(name)] = entry;
        }
    }

    // After a value: blanks, or a ; comment.
    void end_of_value(const std::u16string& line, size_t at) const
    {
        skip_spaces(line, at);
        if (at < line.size() && line[at] != ';') {
            throw fault("unexpected text after the value");
        }
    }

    // A "..." string at line[at] with its \\ and \" escapes; at moves past it.
    std::u16string quoted(const std::u16string& line, size_t& at) const
    {
        std::u16string text;
        for (++at; at < line.size(); ++at) {
            char16_t c = line[at];
            if (c == '"') {
                ++at;
                return text;
            }
            if (c == '\\') {
                if (at + 1 >= line.size() || (line[at + 1] != '\\' && line[at + 1] != '"')) {
                    throw fault("in a quoted name or text, a backslash is written \\\\ and a quote \\\"");
                }
                c = line[++at];
            }
            text += c;
        }
        throw fault("a quoted name or text without its closing quote");
    }

    // Continues a list onto the next line after a trailing backslash.
    bool continue_list(std::u16string& line, size_t& at)
    {
        skip_spaces(line, at);
        if (at + 1 != line.size() || line[at] != '\\') {
            return false;
        }
        if (index_ + 1 >= text_->lines()) {
            throw fault("a list continued past the end of the file");
        }
        line = trimmed(text_->line(++index_));
        at = 0;
        return true;
    }

    // A comma-separated list: one item at a time, continued over lines.
    template <typename Item>
    void each_in_list(std::u16string& line, size_t& at, Item item)
    {
        skip_spaces(line, at);
        if (at >= line.size() || line[at] == ';') {
            return;
        }
        continue_list(line, at);
        for (;;) {
            skip_spaces(line, at);
            item(line, at);
            skip_spaces(line, at);
            if (at >= line.size() || line[at] != ',') {
                end_of_value(line, at);
                return;
            }
            ++at;
            continue_list(line, at);
        }
    }

    std::string byte_list(std::u16string& line, size_t& at)
    {
        std::string bytes;
        each_in_list(line, at, [&](const std::u16string& text, size_t& i) {
            int high = i < text.size() ? hex_digit(text[i]) : -1;
            if (high < 0) {
                throw fault("expected a byte of two hexadecimal digits");
            }
            int value = high;
            ++i;
            if (i < text.size() && hex_digit(text[i]) >= 0) {
                value = (value << 4) | hex_digit(text[i++]);
            }
            bytes += static_cast<char>(value);
        });
        return bytes;
    }

    std::string multi_strings(std::u16string& line, size_t& at)
    {
        std::string bytes;
        each_in_list(line, at, [&](const std::u16string& text, size_t& i) {
            if (i >= text.size() || text[i] != '"') {
                throw fault("multi_sz: takes quoted strings separated by commas");
            }
            bytes += utf16le(quoted(text, i)) + std::string(2, '\0');
        });
        return bytes + std::string(2, '\0');
    }

    Registry& registry_;
    const BuildVariables& variables_;
    RegistryFiles* files_;
    std::vector<std::string> open_files_;  // the top file first, the one being read last
    std::map<std::string, std::pair<std::string, std::string>> read_;  // by path: as spelled, the bytes
    size_t bytes_;  // of the files read so far, each time it is included
    const Text* text_ = nullptr;
    size_t keys_ = 0;  // below the root, as the files stand so far
    size_t index_ = 0;
    RegistryKey* current_ = nullptr;
    bool ignored_ = false;
    bool deleted_ = false;
    bool editor_ = false;  // the file begins with a registry editor's first line
    bool regedit4_ = false;
};

// A name or text in quotes, as the parser reads it back; false when UTF-8
// cannot carry it or a line end would split it.
bool quote(const std::u16string& text, std::string& out)
{
    std::string utf8 = to_utf8(text);
    if (to_utf16(utf8) != text || text.find('\n') != std::u16string::npos) {
        return false;
    }
    out += '"';
    for (char c : utf8) {
        out += c == '\\' || c == '"' ? std::string("\\") + c : std::string(1, c);
    }
    out += '"';
    return true;
}

// Bytes as a REGEDIT4 list: two hexadecimal digits each, continued over lines.
std::string byte_list_of(const std::string& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < bytes.size(); ++i) {
        unsigned char byte = static_cast<unsigned char>(bytes[i]);
        out += i == 0 ? "" : i % 25 == 0 ? ",\\\n  " : ",";
        out += digits[byte >> 4];
        out += digits[byte & 15];
    }
    return out;
}

// One value's line; false when REGEDIT4 cannot hold it as it is.
bool value_line(const RegistryValue& value, std::string& line)
{
    bool exact = true;
    if (value.name.empty()) {
        line = "@";
    } else if (!quote(value.name, line)) {
        line = "\"" + to_utf8(value.name) + "\"";
        exact = false;
    }
    line += "=";
    std::string hex = value.type == TYPE_BINARY ? "hex:" : "hex(" + ce::hex(value.type).substr(2) + "):";
    const std::string& data = value.data;
    bool text_type = is_text_type(value.type);
    if (value.type == TYPE_DWORD && data.size() == 4) {
        uint32_t number = 0;
        for (int i = 3; i >= 0; --i) {
            number = (number << 8) | static_cast<unsigned char>(data[i]);
        }
        line += "dword:" + ce::hex(number, 8).substr(2);
        return exact;
    }
    if (!text_type) {
        line += hex + byte_list_of(data);
        return exact;
    }
    std::u16string units = from_utf16le(data);
    bool terminated = !units.empty() && units.back() == 0 && data.size() % 2 == 0;
    std::string text;
    if (value.type == TYPE_SZ && terminated && units.find(u'\0') == units.size() - 1 &&
        quote(units.substr(0, units.size() - 1), text)) {
        line += text;
        return exact;
    }
    // REGEDIT4 holds the other text as 8-bit characters, which the import
    // widens and ends with a zero where there is none.
    std::string narrow;
    bool eight_bit = data.size() % 2 == 0 && (data.empty() || terminated);
    for (char16_t unit : units) {
        eight_bit = eight_bit && unit <= 0xFF;
        narrow += static_cast<char>(unit);
    }
    line += hex + byte_list_of(eight_bit ? narrow : data);
    return exact && eight_bit;
}

// A comment is one line: its list is not continued. Each comma keeps
// nothing of the continuations that follow it, in one pass.
std::string uncontinued(const std::string& line)
{
    std::string out;
    for (size_t i = 0; i < line.size();) {
        out += line[i];
        if (line[i++] == ',') {
            while (line.compare(i, 4, "\\\n  ") == 0) {
                i += 4;
            }
        }
    }
    return out;
}

void export_key(const RegistryKey& key, const std::string& path, bool root, std::string& out,
                std::vector<std::string>& inexact)
{
    if (!root || !key.values.empty()) {
        out += "\n[" + path + "]\n";
    }
    if (to_utf16(to_utf8(key.name)) != key.name) {
        inexact.push_back(path + ": REGEDIT4 cannot hold the key's name, which holds half a surrogate pair");
    }
    for (const auto& entry : key.values) {
        std::string line;
        if (value_line(entry.second, line)) {
            out += line + "\n";
        } else {
            out += ";" + uncontinued(line) + "\n";
            inexact.push_back(path + ": " + (entry.second.name.empty() ? "@" : to_utf8(entry.second.name)) +
                              ": REGEDIT4 cannot hold the value as it is; it is written as a comment");
        }
    }
    for (const auto& sub : key.subkeys) {
        export_key(*sub.second, path + "\\" + to_utf8(sub.second->name), false, out, inexact);
    }
}

}  // namespace

std::string export_regedit4(const Registry& registry, std::vector<std::string>& inexact)
{
    std::string out = "REGEDIT4\n";
    export_key(registry.root, "HKEY_LOCAL_MACHINE", true, out, inexact);
    return out;
}

bool parse_registry(const std::string& bytes, Registry& registry, std::string& error)
{
    Registry loaded;
    try {
        Text text = decode(bytes);
        BuildVariables none;
        Parser parser(loaded, none, nullptr, "", bytes.size());
        parser.run(text, false);
    } catch (const Fault& fault) {
        error = std::to_string(fault.line) + ": " + fault.message;
        return false;
    }
    registry = std::move(loaded);
    return true;
}

bool parse_registry_files(const std::string& top, const std::string& bytes, const BuildVariables& variables,
                          RegistryFiles& files, Registry& registry, std::string& error)
{
    Registry loaded;
    try {
        Text text = decode_file(bytes, top);
        Parser parser(loaded, variables, &files, top, bytes.size());
        parser.run(text, false);
    } catch (const Fault& fault) {
        error = fault.file + ":" + std::to_string(fault.line) + ": " + fault.message;
        return false;
    }
    registry = std::move(loaded);
    return true;
}

bool parse_build_variables(const std::string& bytes, BuildVariables& variables, std::string& error)
{
    BuildVariables read;
    try {
        Text text = decode(bytes);
        for (size_t i = 0; i < text.lines(); ++i) {
            // The value runs to the line's end, blanks and all, as the
            // command shell's set takes it.
            std::u16string line = text.line(i);
            size_t at = 0;
            skip_spaces(line, at);
            if (at == line.size() || line[at] == ';' || line[at] == '#' || line.compare(at, 2, u"::") == 0 ||
                word_at(line, at, "rem") || word_at(line, at, "@rem")) {
                continue;
            }
            if (word_at(line, at, "set")) {
                at += 3;
                skip_spaces(line, at);
            }
            size_t equals = line.find('=', at);
            std::u16string name = equals == std::u16string::npos ? u"" : line.substr(at, equals - at);
            if (!is_name(name)) {
                throw Fault{"", i + 1, "a line is NAME=value or set NAME=value, NAME of letters, digits and _; "
                                       "or blank, or a comment that starts with rem, @rem, ::, ; or #"};
            }
            std::u16string value = line.substr(equals + 1);
            if (value.empty()) {
                read.erase(fold(name));
            } else {
                read[fold(name)] = value;
            }
        }
    } catch (const Fault& fault) {
        error = std::to_string(fault.line) + ": " + fault.message;
        return false;
    }
    variables = std::move(read);
    return true;
}

const RegistryKey* find_key(const Registry& registry, const std::u16string& folded_path)
{
    const RegistryKey* key = &registry.root;
    for (size_t start = 0; key != nullptr && start < folded_path.size();) {
        size_t end = folded_path.find('\\', start);
        end = end == std::u16string::npos ? folded_path.size() : end;
        auto found = key->subkeys.find(folded_path.substr(start, end - start));
        key = found == key->subkeys.end() ? nullptr : found->second.get();
        start = end + 1;
    }
    return key;
}

}  // namespace ce
