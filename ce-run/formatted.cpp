// COREDLL's variadic functions for the guest: the emulation's one formatter,
// its arguments taken from the guest's stack after the fixed ones and its
// texts read at guest addresses.
#include <string>

#include "coredll.h"
#include "emulator.h"
#include "format.h"
#include "runner.h"

namespace ce_run {
namespace {

class GuestArguments : public ce::FormatArguments {
public:
    explicit GuestArguments(int first) : next_(first) {}
    int32_t next_int32() override { return static_cast<int32_t>(argument(next_++)); }
    int64_t next_int64() override
    {
        uint64_t low = argument(next_++);
        return static_cast<int64_t>(low | static_cast<uint64_t>(argument(next_++)) << 32);
    }
    uint64_t next_pointer() override { return argument(next_++); }
    bool narrow_text(uint64_t address, size_t most, std::string& text) override
    {
        return read(address, most, 1, [&](const uint8_t* unit) { text += static_cast<char>(unit[0]); });
    }
    bool wide_text(uint64_t address, size_t most, std::u16string& text) override
    {
        return read(address, most, 2, [&](const uint8_t* unit) { text += static_cast<char16_t>(unit[0] | unit[1] << 8); });
    }
    unsigned pointer_bits() const override { return 32; }

private:
    // Units up to the terminator or `most` of them, each in guest memory.
    template <typename Take>
    bool read(uint64_t address, size_t most, uint32_t width, Take take)
    {
        for (size_t i = 0; i < most; ++i) {
            uint64_t at = address + i * width;
            const uint8_t* unit = at > UINT32_MAX - width ? nullptr : guest_readable(static_cast<uint32_t>(at), width);
            if (unit == nullptr) {
                return false;
            }
            if (unit[0] == 0 && (width == 1 || unit[1] == 0)) {
                break;
            }
            take(unit);
        }
        return true;
    }
    int next_;
};

// The format, every unit of it read where it lies: one that runs into
// memory that cannot be read faults, naming the format and how far it got.
template <typename Unit>
std::basic_string<Unit> format_argument(int n)
{
    uint32_t address = argument(n);
    if (address == 0) {
        ce::device_fault(current_function(), "format NULL");
    }
    std::basic_string<Unit> text;
    GuestArguments reader(0);
    bool readable;
    if constexpr (sizeof(Unit) == 1) {
        readable = reader.narrow_text(address, SIZE_MAX, text);
    } else {
        readable = reader.wide_text(address, SIZE_MAX, text);
    }
    if (!readable) {
        guest_memory(n, address, (text.size() + 1) * sizeof(Unit), false);
    }
    return text;
}

template <typename Unit>
std::basic_string<Unit> formatted(const std::basic_string<Unit>& format, int first)
{
    std::basic_string<Unit> text;
    GuestArguments arguments(first);
    ce::format_or_fault(current_function(), std::basic_string_view<Unit>(format), arguments, text);
    return text;
}

}  // namespace

uint32_t printf_()
{
    std::string text = formatted(format_argument<char>(0), 1);
    ce::write_console(text.data(), text.size());
    return static_cast<uint32_t>(text.size());
}

uint32_t wprintf_()
{
    std::u16string text = formatted(format_argument<char16_t>(0), 1);
    std::string bytes = ce::to_utf8(text);
    ce::write_console(bytes.data(), bytes.size());
    return static_cast<uint32_t>(text.size());
}

uint32_t fwprintf_()
{
    // The stream is checked before the format is read, as on the host.
    FILE* file = host_stream(argument(0));
    ce::check_stream("fwprintf", file);
    std::u16string text = formatted(format_argument<char16_t>(1), 2);
    return static_cast<uint32_t>(ce::print_to_stream(file, text));
}

// Only the units the call stores must lie in the guest's memory: the count
// may promise a larger buffer than there is.
uint32_t _snwprintf_()
{
    uint32_t address = argument(0), count = argument(1);
    if (address == 0 && count != 0) {
        ce::device_fault("_snwprintf", "buffer NULL");
    }
    std::u16string text = formatted(format_argument<char16_t>(2), 3);
    if (address == 0) {
        return static_cast<uint32_t>(ce::copy_formatted(nullptr, 0, text));
    }
    uint64_t stored = text.size() < count ? text.size() + 1 : count;
    WCHAR untouched;
    WCHAR* buffer = stored == 0 ? &untouched : static_cast<WCHAR*>(guest_memory(0, address, stored * 2, true));
    return static_cast<uint32_t>(ce::copy_formatted(buffer, count, text));
}

}  // namespace ce_run
