// The device run-time's printf family: one formatter for the 8-bit and the
// wide functions, with the Microsoft run-time's rules.
#include "format.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "emulator.h"

namespace ce {
namespace {

// Past these the emulation does not go: a longer field is surely a mistake,
// and the device would write it to the console a character at a time.
const long MOST_FIELD = 1L << 20;
// The run-time makes at most this many digits, whatever the precision.
const int MOST_DIGITS = 512;

enum class Size { None, Short, Long, LongLong, I32, I64, Pointer, Wide };

// What a conversion asks for besides its letter.
struct Form {
    bool left = false, plus = false, blank = false, alternate = false, zero = false;
    long width = 0;
    long precision = -1;  // -1: none
    Size size = Size::None;
};

std::string hex_address(uint64_t address)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(address));
    return text;
}

template <typename Unit>
class Formatter {
public:
    Formatter(FormatArguments& arguments, FormatSink<Unit>& out) : arguments_(arguments), out_(out) {}

    Formatted run(std::basic_string_view<Unit> format)
    {
        size_t i = 0;
        while (i < format.size()) {
            size_t percent = format.find(Unit('%'), i);
            size_t plain_end = percent == std::basic_string_view<Unit>::npos ? format.size() : percent;
            put(format.data() + i, plain_end - i);
            if (plain_end == format.size()) {
                break;
            }
            size_t start = plain_end;
            i = start + 1;
            // The conversion leaves i on its letter.
            if (conversion(format, i)) {
                ++i;
            } else {
                // What was written of the conversion, up to the letter at fault.
                size_t end = i < format.size() ? i + 1 : format.size();
                result_.what = written(format.substr(start, end - start)) + result_.what;
                break;
            }
        }
        result_.length = length_;
        return result_;
    }

private:
    FormatArguments& arguments_;
    FormatSink<Unit>& out_;
    size_t length_ = 0;
    Formatted result_;

    static std::string written(std::basic_string_view<Unit> piece)
    {
        std::string out;
        for (Unit c : piece) {
            out += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
        }
        return out;
    }

    void put(const Unit* units, size_t count)
    {
        if (count > 0) {
            out_.put(units, count);
            length_ += count;
        }
    }

    void pad(Unit with, long count)
    {
        if (count <= 0) {
            return;
        }
        Unit block[64];
        for (Unit& u : block) {
            u = with;
        }
        while (count > 0) {
            size_t part = count < 64 ? static_cast<size_t>(count) : 64;
            put(block, part);
            count -= static_cast<long>(part);
        }
    }

    bool stop(FormatEnd end, std::string what = "")
    {
        result_.end = end;
        result_.what = what;
        return false;
    }

    // A width or precision written in digits, saturating past MOST_FIELD.
    static long digits(std::basic_string_view<Unit> format, size_t& i)
    {
        long value = 0;
        for (; i < format.size() && format[i] >= '0' && format[i] <= '9'; ++i) {
            value = value > MOST_FIELD ? value : value * 10 + (format[i] - '0');
        }
        return value;
    }

    // The conversion after a %, at i; i ends on its letter (or past the end).
    bool conversion(std::basic_string_view<Unit> format, size_t& i)
    {
        Form form;
        for (; i < format.size(); ++i) {
            Unit c = format[i];
            if (c == '-') {
                form.left = true;
            } else if (c == '+') {
                form.plus = true;
            } else if (c == ' ') {
                form.blank = true;
            } else if (c == '#') {
                form.alternate = true;
            } else if (c == '0') {
                form.zero = true;
            } else {
                break;
            }
        }
        if (i < format.size() && format[i] == '*') {
            ++i;
            long width = arguments_.next_int32();
            if (width < 0) {
                form.left = true;
                width = -width;
            }
            form.width = width;
        } else {
            form.width = digits(format, i);
        }
        if (i < format.size() && format[i] == '.') {
            ++i;
            if (i < format.size() && format[i] == '*') {
                ++i;
                long precision = arguments_.next_int32();
                form.precision = precision < 0 ? -1 : precision;
            } else {
                form.precision = digits(format, i);
            }
        }
        if (!size(format, i, form)) {
            return stop(FormatEnd::Unknown);
        }
        if (i >= format.size()) {
            return stop(FormatEnd::Unknown, " (the format ends inside the conversion)");
        }
        if (form.width > MOST_FIELD || form.precision > MOST_FIELD) {
            return stop(FormatEnd::NotModelled, " (a field of more than 1 MiB)");
        }
        Unit letter = format[i];
        switch (letter) {
        case 'd': case 'i':
            return integer(form, 10, true, false);
        case 'u':
            return integer(form, 10, false, false);
        case 'o':
            return integer(form, 8, false, false);
        case 'x':
            return integer(form, 16, false, false);
        case 'X':
            return integer(form, 16, false, true);
        case 'p':
            return pointer(form);
        case 'c': case 'C':
            return character(form, wide_argument(letter == 'c', form));
        case 's': case 'S':
            return text(form, wide_argument(letter == 's', form));
        case '%':
            if (form.left || form.plus || form.blank || form.alternate || form.zero || form.width != 0 ||
                form.precision >= 0 || form.size != Size::None) {
                return stop(FormatEnd::NotModelled, " (flags, a width or a size before %)");
            }
            put(&letter, 1);
            return true;
        case 'e': case 'E': case 'f': case 'g': case 'G': case 'a': case 'A':
            return stop(FormatEnd::NotModelled, " (a floating-point conversion)");
        default:
            return stop(FormatEnd::Unknown);
        }
    }

    static bool size(std::basic_string_view<Unit> format, size_t& i, Form& form)
    {
        auto at = [&](size_t k) { return i + k < format.size() ? format[i + k] : Unit(0); };
        if (at(0) == 'h') {
            form.size = Size::Short;
            i += 1;
        } else if (at(0) == 'l' && at(1) == 'l') {
            form.size = Size::LongLong;
            i += 2;
        } else if (at(0) == 'l') {
            form.size = Size::Long;
            i += 1;
        } else if (at(0) == 'w') {
            form.size = Size::Wide;
            i += 1;
        } else if (at(0) == 'I' && at(1) == '6' && at(2) == '4') {
            form.size = Size::I64;
            i += 3;
        } else if (at(0) == 'I' && at(1) == '3' && at(2) == '2') {
            form.size = Size::I32;
            i += 3;
        } else if (at(0) == 'I') {
            form.size = Size::Pointer;
            i += 1;
        }
        // One size only: %hhd, %lld's cousins %hld or %Lf are not the device's.
        Unit next = at(0);
        return !(next == 'h' || next == 'l' || next == 'L' || next == 'w' || next == 'I' || next == 'j' ||
                 next == 'z' || next == 't' || next == 'q');
    }

    // Whether a c/s (or C/S) conversion takes wide text: the format's own
    // width for the lower-case letter, the other for the upper-case one,
    // h for 8-bit and l or w for wide in either.
    bool wide_argument(bool own, Form& form)
    {
        if (form.size == Size::Short) {
            return false;
        }
        if (form.size == Size::Long || form.size == Size::Wide) {
            return true;
        }
        bool wide_format = sizeof(Unit) == 2;
        return own ? wide_format : !wide_format;
    }

    bool text_size_known(const Form& form)
    {
        return form.size == Size::None || form.size == Size::Short || form.size == Size::Long ||
               form.size == Size::Wide;
    }

    // The field around text of `units` units, as the run-time pads it: the 0
    // flag pads text with zeros too.
    void field(const Form& form, const char* prefix, size_t units, const Unit* text, size_t text_units)
    {
        long padding = form.width - static_cast<long>(units) - static_cast<long>(std::strlen(prefix));
        if (!form.left && !form.zero) {
            pad(' ', padding);
        }
        Unit units_of_prefix[2];
        size_t prefix_units = 0;
        for (const char* p = prefix; *p != 0 && prefix_units < 2; ++p) {
            units_of_prefix[prefix_units++] = static_cast<Unit>(*p);
        }
        put(units_of_prefix, prefix_units);
        if (!form.left && form.zero) {
            pad('0', padding);
        }
        put(text, text_units);
        if (form.left) {
            pad(' ', padding);
        }
    }

    bool integer(Form form, unsigned radix, bool is_signed, bool upper)
    {
        if (form.size == Size::Wide) {
            form.size = Size::None;  // w only makes text wide
        }
        bool wide_number = form.size == Size::LongLong || form.size == Size::I64 ||
                           (form.size == Size::Pointer && arguments_.pointer_bits() == 64);
        uint64_t number;
        bool negative = false;
        if (wide_number) {
            int64_t value = arguments_.next_int64();
            negative = is_signed && value < 0;
            number = static_cast<uint64_t>(value);
        } else {
            int32_t value = arguments_.next_int32();
            if (form.size == Size::Short) {
                value = is_signed ? static_cast<int16_t>(value) : static_cast<uint16_t>(value);
            }
            negative = is_signed && value < 0;
            number = is_signed ? static_cast<uint64_t>(static_cast<int64_t>(value)) : static_cast<uint32_t>(value);
        }
        if (negative) {
            number = 0 - number;
        }
        const char* prefix = "";
        if (radix == 16 && form.alternate && number != 0) {
            prefix = upper ? "0X" : "0x";
        }
        if (is_signed) {
            prefix = negative ? "-" : form.plus ? "+" : form.blank ? " " : "";
        }
        return number_field(form, number, radix, upper, prefix);
    }

    bool number_field(Form form, uint64_t number, unsigned radix, bool upper, const char* prefix)
    {
        long precision = form.precision;
        if (precision < 0) {
            precision = 1;
        } else {
            form.zero = false;
            precision = precision > MOST_DIGITS ? MOST_DIGITS : precision;
        }
        Unit digits[MOST_DIGITS + 2];
        size_t at = sizeof digits / sizeof digits[0];
        const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
        // A constant divisor in each loop: the progress line's numbers are
        // printed thousands of times a run.
        switch (radix) {
        case 10:
            for (; precision-- > 0 || number != 0; number /= 10) {
                digits[--at] = static_cast<Unit>('0' + number % 10);
            }
            break;
        case 16:
            for (; precision-- > 0 || number != 0; number /= 16) {
                digits[--at] = static_cast<Unit>(set[number % 16]);
            }
            break;
        default:
            for (; precision-- > 0 || number != 0; number /= radix) {
                digits[--at] = static_cast<Unit>(set[number % radix]);
            }
        }
        size_t count = sizeof digits / sizeof digits[0] - at;
        if (radix == 8 && form.alternate && (count == 0 || digits[at] != '0')) {
            digits[--at] = '0';
            ++count;
        }
        field(form, prefix, count, digits + at, count);
        return true;
    }

    bool pointer(Form form)
    {
        if (form.size != Size::None) {
            return stop(FormatEnd::NotModelled, " (a size with %p)");
        }
        unsigned bits = arguments_.pointer_bits();
        uint64_t address = arguments_.next_pointer();
        if (bits < 64) {
            address &= (uint64_t(1) << bits) - 1;
        }
        form.precision = static_cast<long>(bits / 4);
        return number_field(form, address, 16, true, form.alternate && address != 0 ? "0X" : "");
    }

    bool character(const Form& form, bool wide)
    {
        if (!text_size_known(form)) {
            return stop(FormatEnd::NotModelled, " (that size with a character)");
        }
        int32_t value = arguments_.next_int32();
        if (wide) {
            std::u16string unit(1, static_cast<char16_t>(value));
            return put_text(form, unit, 1);
        }
        std::string byte(1, static_cast<char>(value));
        return put_text(form, byte, 1);
    }

    bool text(const Form& form, bool wide)
    {
        if (!text_size_known(form)) {
            return stop(FormatEnd::NotModelled, " (that size with text)");
        }
        uint64_t address = arguments_.next_pointer();
        size_t most = form.precision < 0 ? SIZE_MAX : static_cast<size_t>(form.precision);
        if (wide) {
            std::u16string text = u"(null)";
            if (address == 0) {
                text.resize(text.size() < most ? text.size() : most);
            } else if (!arguments_.wide_text(address, most, text = u"")) {
                return stop(FormatEnd::Unreadable, " at " + hex_address(address));
            }
            return put_text(form, text, text.size());
        }
        std::string text = "(null)";
        if (address == 0) {
            text.resize(text.size() < most ? text.size() : most);
        } else if (!arguments_.narrow_text(address, most, text = "")) {
            return stop(FormatEnd::Unreadable, " at " + hex_address(address));
        }
        return put_text(form, text, text.size());
    }

    // The argument's text in the format's units; the field counts the
    // argument's own units, as the run-time does.
    template <typename Text>
    bool put_text(const Form& form, const Text& argument, size_t units)
    {
        std::basic_string<Unit> converted = in_units(argument);
        field(form, "", units, converted.data(), converted.size());
        return true;
    }

    static std::basic_string<Unit> in_units(const std::basic_string<Unit>& same)
    {
        return same;
    }
    template <typename Other>
    static std::basic_string<Unit> in_units(const std::basic_string<Other>& other)
    {
        if (other.size() == 1 && other[0] == 0) {
            return std::basic_string<Unit>(1, Unit(0));  // %c of a zero character
        }
        if constexpr (sizeof(Unit) == 1) {
            return to_utf8(other.c_str());
        } else {
            return to_utf16(other);
        }
    }
};

}  // namespace

Formatted format(std::string_view format, FormatArguments& arguments, FormatSink<char>& out)
{
    return Formatter<char>(arguments, out).run(format);
}

Formatted format(std::u16string_view format, FormatArguments& arguments, FormatSink<char16_t>& out)
{
    return Formatter<char16_t>(arguments, out).run(format);
}

VaListArguments::VaListArguments(va_list arguments)
{
    va_copy(arguments_, arguments);
}

VaListArguments::~VaListArguments()
{
    va_end(arguments_);
}

int32_t VaListArguments::next_int32()
{
    return va_arg(arguments_, int32_t);
}

int64_t VaListArguments::next_int64()
{
    return va_arg(arguments_, long long);
}

uint64_t VaListArguments::next_pointer()
{
    return reinterpret_cast<uintptr_t>(va_arg(arguments_, const void*));
}

namespace {

// Text of the host's own memory, up to its terminator or `most` units.
template <typename Unit>
bool host_text(uint64_t address, size_t most, std::basic_string<Unit>& text)
{
    const Unit* at = reinterpret_cast<const Unit*>(static_cast<uintptr_t>(address));
    size_t length = 0;
    while (length < most && at[length] != 0) {
        ++length;
    }
    text.assign(at, length);
    return true;
}

}  // namespace

bool VaListArguments::narrow_text(uint64_t address, size_t most, std::string& text)
{
    return host_text(address, most, text);
}

bool VaListArguments::wide_text(uint64_t address, size_t most, std::u16string& text)
{
    return host_text(address, most, text);
}

unsigned VaListArguments::pointer_bits() const
{
    return sizeof(void*) * CHAR_BIT;
}

void format_fault(const char* function, const Formatted& result)
{
    if (result.end == FormatEnd::NotModelled) {
        not_modelled(function, "conversion " + result.what);
    }
    const char* why = result.end == FormatEnd::Unreadable ? "" : " (not a conversion of the device's run-time)";
    device_fault(function, "conversion " + result.what + why);
}

template <typename Unit>
void format_or_fault(const char* function, std::basic_string_view<Unit> format, FormatArguments& arguments,
                     std::basic_string<Unit>& text)
{
    StringSink<Unit> sink(&text);
    Formatted result = ce::format(format, arguments, sink);
    if (result.end != FormatEnd::Done) {
        format_fault(function, result);
    }
}
template void format_or_fault(const char*, std::string_view, FormatArguments&, std::string&);
template void format_or_fault(const char*, std::u16string_view, FormatArguments&, std::u16string&);

template <typename Unit>
void format_or_fault(const char* function, const Unit* format, va_list arguments, std::basic_string<Unit>& text)
{
    if (format == nullptr) {
        device_fault(function, "format NULL");
    }
    VaListArguments source(arguments);
    format_or_fault(function, std::basic_string_view<Unit>(format), source, text);
}
template void format_or_fault(const char*, const char*, va_list, std::string&);
template void format_or_fault(const char*, const char16_t*, va_list, std::u16string&);

std::string format_narrow_or_fault(const char* function, const char* format, va_list arguments)
{
    std::string text;
    format_or_fault(function, format, arguments, text);
    return text;
}

std::u16string format_wide_or_fault(const char* function, const char16_t* format, va_list arguments)
{
    std::u16string text;
    format_or_fault(function, format, arguments, text);
    return text;
}

}  // namespace ce
