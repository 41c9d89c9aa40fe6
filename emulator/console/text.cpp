// Text conversions between the device's UTF-16 and the host's UTF-8.
#include <cstdio>
#include <cstring>

#include "emulator.h"

namespace ce {

namespace {

std::string to_utf8(const char16_t* text, size_t size)
{
    std::string out;
    for (size_t i = 0; i < size; ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < size && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

}  // namespace

std::string to_utf8(const char16_t* text)
{
    return text == nullptr ? std::string() : to_utf8(text, std::char_traits<char16_t>::length(text));
}

// Every unit, a NUL too: formatted text may hold one, and it is written.
std::string to_utf8(const std::u16string& text)
{
    return to_utf8(text.data(), text.size());
}

size_t utf8_length(unsigned char lead)
{
    return lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3 : (lead >> 3) == 30 ? 4 : 0;
}

std::vector<std::string> split(const std::string& text, const char* separators)
{
    std::vector<std::string> pieces;
    std::string piece;
    for (size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || (text[i] != '\0' && std::strchr(separators, text[i]) != nullptr)) {
            if (!piece.empty()) {
                pieces.push_back(piece);
            }
            piece.clear();
        } else {
            piece += text[i];
        }
    }
    return pieces;
}

bool decode_utf8(const std::string& text, size_t at, char32_t& c, size_t& length)
{
    unsigned char lead = static_cast<unsigned char>(text[at]);
    length = utf8_length(lead);
    if (length == 0) {
        length = 1;
        return false;
    }
    c = length == 1 ? lead : lead & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
        if (at + k >= text.size() || (static_cast<unsigned char>(text[at + k]) & 0xC0) != 0x80) {
            // Broken where it stands: what follows is read afresh.
            length = k;
            return false;
        }
        c = (c << 6) | (static_cast<unsigned char>(text[at + k]) & 0x3F);
    }
    static const char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    return c >= smallest[length] && c <= 0x10FFFF && !(c >= 0xD800 && c <= 0xDFFF);
}

void append_utf16(std::u16string& out, char32_t c)
{
    if (c >= 0x10000) {
        out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
        out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
        out += static_cast<char16_t>(c);
    }
}

std::u16string to_utf16(const std::string& text)
{
    std::u16string out;
    for (size_t i = 0, length = 0; i < text.size(); i += length) {
        char32_t c = 0;
        append_utf16(out, decode_utf8(text, i, c, length) ? c : 0xFFFD);
    }
    return out;
}

std::string utf16le(const std::u16string& text)
{
    std::string bytes;
    for (char16_t unit : text) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>(unit >> 8);
    }
    return bytes;
}

std::u16string from_utf16le(const std::string& bytes, size_t from)
{
    std::u16string units;
    units.reserve(bytes.size() / 2);
    for (size_t i = from; i + 1 < bytes.size(); i += 2) {
        units += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) | static_cast<unsigned char>(bytes[i + 1]) << 8);
    }
    return units;
}

std::string quoted(const std::string& text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '"') {
            out += "\\\"";
        } else if (c < 0x20 || c == 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

}  // namespace ce
