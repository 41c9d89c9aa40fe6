// The device run-time's printf family, one formatter for all of it: the
// 8-bit and the wide functions, on the host (arguments from a va_list) and on
// an emulated CPU (arguments from the guest's stack, text at guest addresses).
#ifndef CE_FORMAT_H
#define CE_FORMAT_H

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace ce {

// Where a format's arguments come from, one after another, as the run-time's
// va_arg takes them: an int (also for %c, %hd, %ld and a `*` width, all
// 32-bit on the device), a 64-bit integer (%lld, %I64d), a pointer (%s, %p).
class FormatArguments {
public:
    virtual ~FormatArguments() = default;
    virtual int32_t next_int32() = 0;
    virtual int64_t next_int64() = 0;
    virtual uint64_t next_pointer() = 0;
    // The zero-ended text at a (non-zero) address, at most `most` units of
    // it: false when the address cannot be read, where the device faults.
    virtual bool narrow_text(uint64_t address, size_t most, std::string& text) = 0;
    virtual bool wide_text(uint64_t address, size_t most, std::u16string& text) = 0;
    // The width of a pointer in bits: %p shows a quarter as many hex digits.
    virtual unsigned pointer_bits() const = 0;
};

// The host's own variadic arguments: pointers are host pointers, and every
// address is readable.
class VaListArguments : public FormatArguments {
public:
    explicit VaListArguments(va_list arguments);
    ~VaListArguments() override;
    VaListArguments(const VaListArguments&) = delete;
    VaListArguments& operator=(const VaListArguments&) = delete;
    int32_t next_int32() override;
    int64_t next_int64() override;
    uint64_t next_pointer() override;
    bool narrow_text(uint64_t address, size_t most, std::string& text) override;
    bool wide_text(uint64_t address, size_t most, std::u16string& text) override;
    unsigned pointer_bits() const override;

private:
    va_list arguments_;
};

// Where the formatted text goes, in the format's own units. The count is
// what the run-time's functions return.
template <typename Unit>
class FormatSink {
public:
    virtual ~FormatSink() = default;
    virtual void put(const Unit* units, size_t count) = 0;
};

// Collects the text, or only counts it (with no string).
template <typename Unit>
class StringSink : public FormatSink<Unit> {
public:
    explicit StringSink(std::basic_string<Unit>* text) : text_(text) {}
    void put(const Unit* units, size_t count) override
    {
        if (text_ != nullptr) {
            text_->append(units, count);
        }
    }

private:
    std::basic_string<Unit>* text_;
};

// How a formatting ended.
enum class FormatEnd {
    Done,         // all of it formatted
    Unknown,      // a conversion or size the device's run-time does not have (%n, %hhd, %z, a bare %)
    NotModelled,  // one it has and the emulation does not format: the floating ones, a width past 1 MiB
    Unreadable,   // a text argument at an address that cannot be read: the device faults
};
struct Formatted {
    FormatEnd end = FormatEnd::Done;
    size_t length = 0;      // units put into the sink (all of them when Done)
    std::string what;       // when not Done: the conversion as written, e.g. "%n" or "%s at 0x10"
};

// The Microsoft run-time's rules: flags - + blank # 0; a width and a
// precision, either of them `*`; the sizes h, l, ll, I32, I64, I and w; the
// conversions d i u o x X c C s S p and %. In the wide functions %s and %c
// take wide text and %S and %C 8-bit text, in the 8-bit ones the other way
// round; h makes either 8-bit, l and w wide. Width and precision count the
// argument's units; 8-bit text is UTF-8 on the emulated device. The sink
// gets everything up to a conversion that does not end Done, nothing after.
Formatted format(std::string_view format, FormatArguments& arguments, FormatSink<char>& out);
Formatted format(std::u16string_view format, FormatArguments& arguments, FormatSink<char16_t>& out);

// The variadic functions' part: formats, and ends the run as the device
// would when it cannot (see format_fault). The text, and its length.
std::string format_narrow_or_fault(const char* function, const char* format, va_list arguments);
// The same, appending to `text` (a buffer kept from call to call needs no
// allocation).
template <typename Unit>
void format_or_fault(const char* function, const Unit* format, va_list arguments, std::basic_string<Unit>& text);
// The same with the arguments from any source (a guest's stack, say).
template <typename Unit>
void format_or_fault(const char* function, std::basic_string_view<Unit> format, FormatArguments& arguments,
                     std::basic_string<Unit>& text);
std::u16string format_wide_or_fault(const char* function, const char16_t* format, va_list arguments);

// Ends the run for a formatting that did not end Done: a device fault for
// an unknown conversion or an unreadable text, the emulation's own error
// (status 2, "not modelled") for what it does not format.
[[noreturn]] void format_fault(const char* function, const Formatted& result);

}  // namespace ce

#endif
