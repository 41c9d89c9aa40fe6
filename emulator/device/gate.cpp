// The fault gate every traced call passes, and the ends of a run the
// device or the emulation forces.
#include "emulator.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <type_traits>

namespace ce {

// The traced rows of the one table of COREDLL's functions, in its order.
#define CE_TRACED_NAME_TRACED(name) name,
#define CE_TRACED_NAME_UNTRACED(name)
#define COREDLL_CALL(name, ordinal, kind, traced) CE_TRACED_NAME_##traced(#name)
const char* const TRACED_CALLS[] = {
#include "coredll_calls.h"
    nullptr};
#undef COREDLL_CALL
#undef CE_TRACED_NAME_UNTRACED
#undef CE_TRACED_NAME_TRACED
static_assert(std::size(TRACED_CALLS) <= std::extent_v<decltype(Device::calls_of)>, "a count for every traced call");

bool is_traced_call(const std::string& function)
{
    for (const char* const* name = TRACED_CALLS; *name != nullptr; ++name) {
        if (function == *name) {
            return true;
        }
    }
    return false;
}

namespace {

// The place of the name in TRACED_CALLS. Called once per chunk of the image:
// the place of the last name asked for is tried first.
size_t place_of_traced_call(const char* function)
{
    static size_t last = 0;
    if (std::strcmp(TRACED_CALLS[last], function) == 0) {
        return last;
    }
    for (size_t place = 0; TRACED_CALLS[place] != nullptr; ++place) {
        if (std::strcmp(TRACED_CALLS[place], function) == 0) {
            last = place;
            return place;
        }
    }
    // A fault of the emulation itself, never of the tool.
    std::fprintf(stderr, "emulation: %s is not in the list of traced calls\n", function);
    std::abort();
}

}  // namespace

bool call_fails(const char* function)
{
    size_t place = place_of_traced_call(function);
    Device& booted = device();
    uint64_t nth = ++booted.calls_of[place];
    if (++booted.calls_made == booted.power_cut_at) {
        // What was printed before the cut is on the screen.
        flush_console();
        trace("power cut");
        lose_what_is_not_durable();
        // As if the power went: no handler, no exit code, nothing flushed.
        std::raise(SIGKILL);
        std::_Exit(137);
    }
    return (nth == booted.fail_nth && function == booted.fail_call) ||
           (nth == booted.also_fail_nth && function == booted.also_fail_call);
}

namespace {

[[noreturn]] void end_loudly(const std::string& trace_line, const std::string& complaint, int status)
{
    {
        SignalsHeld held;
        if (!device().folder.empty()) {
            trace(trace_line);
        }
        flush_console();
        flush_trace();
    }
    std::fprintf(stderr, "%s\n", complaint.c_str());
    std::fflush(stderr);
    // No exit(): its handlers would hand the streams' buffers to the files.
    std::_Exit(status);
}

}  // namespace

void device_fault(std::string_view call, std::string_view argument)
{
    std::string what = std::string(call) + " fault " + std::string(argument);
    end_loudly(what, "device fault: " + std::string(call) + " " + std::string(argument) +
                         ": the device stops the program here", FAULT_STATUS);
}

void not_modelled(std::string_view call, std::string_view what)
{
    std::string line = std::string(call) + " " + std::string(what) + " not modelled";
    end_loudly(line, "emulation: " + line + ": the emulation cannot tell what the device would do",
               EMULATION_ERROR_STATUS);
}

void CallLine::ends(std::string_view result)
{
    line_->append(result);
    trace(*line_);
}

void CallLine::returns()
{
    line_->pop_back();
    trace(*line_);
}

void CallLine::failed(DWORD error)
{
    ends(fail(error));
}

void CallLine::injected()
{
    ends(ce::injected());
}

std::string injected()
{
    return fail(INJECTED_ERROR) + " injected";
}

}  // namespace ce
