#include "registry_file.h"

#include "emulator.h"

#include <iterator>
#include <vector>

namespace ce {

namespace {

const uint32_t TYPE_SZ = 1, TYPE_EXPAND_SZ = 2, TYPE_BINARY = 3, TYPE_DWORD = 4, TYPE_MULTI_SZ = 7;
struct Fault {
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
            throw Fault{1, "UTF-16 text with an odd number of bytes"};
        }
        text.units.reserve(bytes.size() / 2);
        for (size_t i = 2; i < bytes.size(); i += 2) {
            text.units += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) | (static_cast<unsigned char>(bytes[i + 1]) << 8));
        }
    } else {
        size_t i = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
        text.units.reserve(bytes.size() - i);
        for (size_t length = 0; i < bytes.size(); i += length) {
            char32_t c = 0;
            if (!decode_utf8(bytes, i, c, length)) {
                throw Fault{line, "not UTF-8 text"};
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
            throw Fault{text.starts.size(), "a zero character in the text"};
        }
    }
    text.starts.push_back(text.units.size() + 1);
    return text;
}

bool is_space(char16_t c)
{
    return c == ' ' || c == '\t';
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
    Parser(const Text& text, Registry& registry) : text_(text), registry_(registry) {}

    void run()
    {
        bool first = true;
        for (index_ = 0; index_ < text_.lines(); ++index_) {
            std::u16string line = trimmed(text_.line(index_));
            if (line.empty() || line[0] == ';') {
                continue;
            }
            bool header = line == u"REGEDIT4" || line == u"Windows Registry Editor Version 5.00";
            if (header) {
                if (!first) {
                    throw fault("the REGEDIT4 or \"Windows Registry Editor Version 5.00\" line must come first");
                }
                editor_ = true;
                regedit4_ = line == u"REGEDIT4";
            } else if (line[0] == '[') {
                section(line);
            } else if (line[0] == '"' || line[0] == '@') {
                value(line);
            } else {
                throw fault("neither a [key], a \"value\"=..., nor a ; comment");
            }
            first = false;
        }
    }

    Fault fault(const std::string& message) const
    {
        return Fault{index_ + 1, message};
    }

private:
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
            bool text_type = entry.type == TYPE_SZ || entry.type == TYPE_EXPAND_SZ || entry.type == TYPE_MULTI_SZ;
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

    static void skip_spaces(const std::u16string& line, size_t& at)
    {
        while (at < line.size() && is_space(line[at])) {
            ++at;
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
        if (index_ + 1 >= text_.lines()) {
            throw fault("a list continued past the end of the file");
        }
        line = trimmed(text_.line(++index_));
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

    const Text& text_;
    Registry& registry_;
    size_t keys_ = 0;  // below the root, as the file stands so far
    size_t index_ = 0;
    RegistryKey* current_ = nullptr;
    bool ignored_ = false;
    bool deleted_ = false;
    bool editor_ = false;  // the file begins with a registry editor's first line
    bool regedit4_ = false;
};

}  // namespace

bool parse_registry(const std::string& bytes, Registry& registry, std::string& error)
{
    Registry loaded;
    try {
        Text text = decode(bytes);
        Parser parser(text, loaded);
        parser.run();
    } catch (const Fault& fault) {
        error = std::to_string(fault.line) + ": " + fault.message;
        return false;
    }
    registry = std::move(loaded);
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
