// ce-run: runs a Windows CE 6.0 x86 program on an emulated CPU (Unicorn)
// against the emulated device, as CE's loader starts it.
//
//   CE_DEVICE=DIR ce-run [--count] [--image IMAGE] [--time-limit SECONDS] PROGRAM.exe [COMMAND LINE]
//
// With --image, the program's imports bind only to what the coredll.dll of
// that Windows CE image exports, as they would on a device that runs it.
// With --time-limit, a run that has not ended after that many seconds is
// stopped, with exit status 124.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unicorn/unicorn.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "coredll.h"
#include "emulator.h"
#include "guest.h"
#include "program.h"
#include "resource_table.h"
#include "rom_image.h"
#include "runner.h"

// The runner embeds no resources of its own: the guest program's are used.
extern const CeResource ce_resource_table[] = {{0, nullptr, nullptr, nullptr}};

namespace ce_run {
namespace {

// The status ce-run ends with when CE's loader would not start the program.
const int NOT_LOADED_STATUS = 4;
const uint32_t SW_SHOW = 5;

// The guest's address space: the image at its base; COREDLL's entry points
// on a page of their own, each a ret that the call's hook runs before; the
// stack with an unmapped guard page below it; the command line above it.
const uint32_t STUB_PAGE = 0x7ff00000;
const uint32_t STUB_BYTES = 16;
const uint32_t STACK_TOP = 0x7fe00000;
const uint32_t COMMAND_LINE_BYTES = 0x10000;
// FS and GS lead to a region that nothing maps: a use of either faults.
const uint32_t SEGMENT_TRAP = 0xe0000000;
const uint32_t GDT_PAGE = 0x7fef0000;

struct Region {
    uint32_t begin, size;
    uint8_t* host;
    bool write, execute;
};

struct Run {
    uc_engine* uc = nullptr;
    Program program;
    std::string name;
    uint32_t base = 0;
    std::vector<Region> regions;
    const CoredllFunction* calling = nullptr;
    uint32_t stack_pointer = 0;   // at the call being made
    uint32_t exit_stub = 0;
    uint32_t stack_bottom = 0;
    bool counting = false;
    uint64_t instructions = 0;
    uint32_t lowest_stack = STACK_TOP;
    std::vector<CeResource> resources;
    std::vector<std::u16string> resource_types;
    std::string image;          // --image: what the imports bind against
    ce_image::Exports exports;
};
Run run;

// Host memory the guest's pages are: zeroed, page-aligned, taken from the
// host only where the guest touches it.
uint8_t* allocate_pages(uint64_t size)
{
    void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) {
        std::fprintf(stderr, "ce-run: no memory for %llu bytes of the guest\n", static_cast<unsigned long long>(size));
        std::exit(ce::EMULATION_ERROR_STATUS);
    }
    return static_cast<uint8_t*>(memory);
}

void map(uint32_t begin, uint32_t size, uint8_t* host, bool read, bool write, bool execute, bool guest = true)
{
    uint32_t perms = (read ? UC_PROT_READ : 0) | (write ? UC_PROT_WRITE : 0) | (execute ? UC_PROT_EXEC : 0);
    uc_err error = uc_mem_map_ptr(run.uc, begin, size, perms, host);
    if (error != UC_ERR_OK) {
        std::fprintf(stderr, "ce-run: cannot map 0x%x bytes at 0x%x: %s\n", size, begin, uc_strerror(error));
        std::exit(ce::EMULATION_ERROR_STATUS);
    }
    if (read && guest) {
        run.regions.push_back({begin, size, host, write, execute});
    }
}

const Region* region_of(uint32_t address)
{
    for (const Region& r : run.regions) {
        if (address >= r.begin && address - r.begin < r.size) {
            return &r;
        }
    }
    return nullptr;
}

// Whether size bytes from address lie in mapped memory, regions that meet
// in the guest meeting in the host too.
uint8_t* mapped(uint32_t address, uint64_t size, bool write)
{
    const Region* first = region_of(address);
    if (first == nullptr) {
        return nullptr;
    }
    uint8_t* host = first->host + (address - first->begin);
    uint64_t at = address;
    for (const Region* r = first; r != nullptr; r = region_of(static_cast<uint32_t>(at))) {
        if ((write && !r->write) || r->host + (at - r->begin) != host + (at - address)) {
            return nullptr;
        }
        at = static_cast<uint64_t>(r->begin) + r->size;
        if (at >= static_cast<uint64_t>(address) + size || at > UINT32_MAX) {
            return at >= static_cast<uint64_t>(address) + size ? host : nullptr;
        }
    }
    return nullptr;
}

// An address as the trace shows it: with the nearest symbol of the program.
std::string where(uint32_t address)
{
    std::string symbol = nearest_symbol(run.program, run.base, address);
    return ce::hex(address, 8) + (symbol.empty() ? "" : " (" + symbol + ")");
}

uint32_t read_register(int which)
{
    uint32_t value = 0;
    uc_reg_read(run.uc, which, &value);
    return value;
}

uint32_t eip()
{
    return read_register(UC_X86_REG_EIP);
}

// Whether the instruction at address has an FS or GS override prefix.
const char* segment_prefix(uint32_t address)
{
    uint8_t* code = mapped(address, 1, false);
    for (int i = 0; code != nullptr && i < 15 && mapped(address + i, 1, false) != nullptr; ++i) {
        switch (code[i]) {
        case 0x64: return "FS";
        case 0x65: return "GS";
        case 0x26: case 0x2e: case 0x36: case 0x3e: case 0x66: case 0x67: case 0xf0: case 0xf2: case 0xf3:
            continue;
        default: return nullptr;
        }
    }
    return nullptr;
}

bool on_invalid_memory(uc_engine*, uc_mem_type type, uint64_t address, int size, int64_t, void*)
{
    uint32_t at = static_cast<uint32_t>(address);
    uint32_t pc = eip();
    if (const char* segment = segment_prefix(pc)) {
        fault(std::string("a use of the ") + segment + " segment by the instruction at " + where(pc));
    }
    std::string what;
    switch (type) {
    case UC_MEM_WRITE_PROT: what = "a write to read-only memory"; break;
    case UC_MEM_READ_PROT: what = "a read of memory that cannot be read"; break;
    case UC_MEM_FETCH_PROT: what = "execution outside the program's code"; break;
    case UC_MEM_FETCH_UNMAPPED: what = "execution of unmapped memory"; break;
    case UC_MEM_WRITE_UNMAPPED: what = "a write to unmapped memory"; break;
    default: what = "a read of unmapped memory"; break;
    }
    if (at < run.stack_bottom && at >= run.stack_bottom - PAGE) {
        what = "a stack overflow into the guard page";
    }
    if (type == UC_MEM_FETCH_PROT || type == UC_MEM_FETCH_UNMAPPED) {
        fault(what + " at " + where(at));
    }
    fault(what + " of " + std::to_string(size) + " bytes at " + where(at) + " by the instruction at " + where(pc));
}

void on_interrupt(uc_engine*, uint32_t number, void*)
{
    uint32_t pc = eip();
    fault("interrupt " + std::to_string(number) + " raised by the instruction before " + where(pc));
}

bool on_invalid_instruction(uc_engine*, void*)
{
    uint32_t pc = eip();
    fault("an invalid instruction at " + where(pc));
}

// A COREDLL entry point is about to run its ret: the call is made here.
// Execution that enters the page anywhere else is no call: on the device it
// runs whatever lies there.
void on_coredll_call(uc_engine*, uint64_t address, uint32_t, void*)
{
    uint32_t offset = static_cast<uint32_t>(address - STUB_PAGE);
    uint32_t index = offset / STUB_BYTES;
    if (offset % STUB_BYTES != 0 || index > COREDLL_COUNT) {
        std::string inside = index < COREDLL_COUNT ? std::string(COREDLL[index].name) + "+" + std::to_string(offset % STUB_BYTES)
                                                   : "no entry point";
        fault("execution inside COREDLL.dll (" + inside + ") at " + ce::hex(static_cast<uint32_t>(address), 8) +
              ", not at an entry point");
    }
    if (index == COREDLL_COUNT) {
        return;
    }
    CoredllFunction& function = COREDLL[index];
    ++function.calls;
    run.calling = &function;
    run.stack_pointer = read_register(UC_X86_REG_ESP);
    uint32_t result = function.call();
    run.calling = nullptr;
    uc_reg_write(run.uc, UC_X86_REG_EAX, &result);
}

void on_instruction(uc_engine*, uint64_t, uint32_t, void*)
{
    ++run.instructions;
    uint32_t esp = read_register(UC_X86_REG_ESP);
    if (esp < run.lowest_stack && esp >= run.stack_bottom) {
        run.lowest_stack = esp;
    }
}

[[noreturn]] void refuse(const Refusal& refusal)
{
    std::fprintf(stderr, "ce-run: %s: not loaded: %s (CE's loader fails the start with error %u)\n", run.name.c_str(),
                 refusal.reason.c_str(), refusal.error);
    std::exit(NOT_LOADED_STATUS);
}

// A regular file of at most 1 GiB: a larger one holds no image CE loads.
std::vector<uint8_t> read_program_file(const std::string& path)
{
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat info;
    if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        std::fprintf(stderr, "ce-run: %s: %s\n", path.c_str(), fd < 0 ? std::strerror(errno) : "not a regular file");
        std::exit(ce::EMULATION_ERROR_STATUS);
    }
    if (static_cast<uint64_t>(info.st_size) > LARGEST_IMAGE) {
        refuse(Refusal{LOADER_BAD_EXE_FORMAT, "the file is larger than 1 GiB"});
    }
    std::vector<uint8_t> bytes(static_cast<size_t>(info.st_size));
    size_t got = 0;
    while (got < bytes.size()) {
        ssize_t n = read(fd, bytes.data() + got, bytes.size() - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        got += static_cast<size_t>(n);
    }
    close(fd);
    // A file that shrank while it was read is read as far as it went.
    bytes.resize(got);
    return bytes;
}

// Every import from COREDLL.dll, by name with the ordinal as a hint, or by
// ordinal; anything else stops the load, naming it.
void bind_imports(uint8_t* image)
{
    for (const Import& import : run.program.imports) {
        std::string shown = import.dll + "!" + (import.name.empty() ? "#" + std::to_string(import.ordinal_or_hint)
                                                                     : import.name);
        if (!ce_image::is_coredll(import.dll)) {
            refuse(Refusal{LOADER_MOD_NOT_FOUND, "it imports " + shown + ", and CE's loader binds imports of COREDLL.dll only"});
        }
        const CoredllFunction* function = find_coredll_function(import.name.c_str(), import.ordinal_or_hint);
        if (function == nullptr) {
            refuse(Refusal{LOADER_PROC_NOT_FOUND, "it imports " + shown + ", which COREDLL.dll does not export"});
        }
        if (!run.image.empty() && !ce_image::exported(run.exports, import.name, import.ordinal_or_hint)) {
            refuse(Refusal{LOADER_PROC_NOT_FOUND,
                           "it imports " + shown + ", which " +
                               (run.exports.status == ce_image::Exports::NO_MODULE
                                    ? "the image " + run.image + " cannot export: it has no coredll.dll"
                                    : "the coredll.dll of the image " + run.image + " does not export")});
        }
        uint32_t stub = STUB_PAGE + static_cast<uint32_t>(function - COREDLL) * STUB_BYTES;
        std::memcpy(image + import.slot_rva, &stub, 4);
    }
}

// The exports of the image's coredll.dll, which the imports then bind to.
void read_exports(const std::string& path)
{
    std::vector<uint8_t> bytes;
    std::string fault;
    ce_image::Image image;
    if (!ce_image::read_file(path, bytes, fault) || !ce_image::read_image(bytes.data(), bytes.size(), image, fault) ||
        !ce_image::read_exports(image, ce_image::COREDLL, run.exports, fault)) {
        std::fprintf(stderr, "ce-run: %s: %s\n", path.c_str(), fault.c_str());
        std::exit(ce::EMULATION_ERROR_STATUS);
    }
    if (run.exports.status == ce_image::Exports::COMPRESSED) {
        std::fprintf(stderr, "ce-run: %s: the imports cannot be checked against it: %s\n", path.c_str(),
                     run.exports.why.c_str());
        std::exit(ce::EMULATION_ERROR_STATUS);
    }
}

void load(const std::string& path)
{
    std::vector<uint8_t> file = read_program_file(path);
    Refusal refusal = read_program(file, run.program);
    if (refusal.error == 0) {
        refusal = choose_base(run.program, run.base);
    }
    if (refusal.error != 0) {
        refuse(refusal);
    }
    uint8_t* image = allocate_pages(run.program.image_size);
    refusal = map_image(file, run.program, run.base, image);
    if (refusal.error != 0) {
        refuse(refusal);
    }
    bind_imports(image);

    uc_err error = uc_open(UC_ARCH_X86, UC_MODE_32, &run.uc);
    if (error != UC_ERR_OK) {
        std::fprintf(stderr, "ce-run: the emulated CPU does not start: %s\n", uc_strerror(error));
        std::exit(ce::EMULATION_ERROR_STATUS);
    }
    // Each section with its own protections; the headers read-only.
    map(run.base, static_cast<uint32_t>(round_up(run.program.headers_size)), image, true, false, false);
    for (const Section& s : run.program.sections) {
        if (s.size == 0) {
            continue;
        }
        map(run.base + s.rva, s.size, image + s.rva, s.read || s.write || s.execute, s.write, s.execute);
    }
    for (const Resource& r : read_resources(run.program, image)) {
        run.resource_types.push_back(r.type);
        run.resources.push_back({r.id, nullptr, image + r.rva, image + r.rva + r.size});
    }
    for (size_t i = 0; i < run.resources.size(); ++i) {
        run.resources[i].type = run.resource_types[i].c_str();
    }
    run.resources.push_back({0, nullptr, nullptr, nullptr});
    ce_use_resources(run.resources.data());
    ce_use_module_file(run.name.c_str());
}

// A flat descriptor of 4 GiB from base, present, of ring 0, 32-bit: code
// (0x9b) or writable data (0x93).
uint64_t descriptor(uint32_t base, uint64_t access)
{
    uint64_t limit = 0xfffff;
    return (limit & 0xffff) | (static_cast<uint64_t>(base & 0xffffff) << 16) | (access << 40) |
           (((limit >> 16) & 0xf) << 48) | (0xcull << 52) | (static_cast<uint64_t>(base >> 24) << 56);
}

// The flat segments the program runs in, and FS and GS based where nothing
// is mapped, so that a use of either faults.
void set_segments()
{
    uint8_t* gdt = allocate_pages(PAGE);
    uint64_t entries[5] = {0, descriptor(0, 0x9b), descriptor(0, 0x93), descriptor(SEGMENT_TRAP, 0x93),
                           descriptor(SEGMENT_TRAP, 0x93)};
    std::memcpy(gdt, entries, sizeof entries);
    // The CPU reads the descriptors; no argument may point there.
    map(GDT_PAGE, PAGE, gdt, true, false, false, false);
    uc_x86_mmr gdtr = {0, GDT_PAGE, sizeof entries - 1, 0};
    uc_reg_write(run.uc, UC_X86_REG_GDTR, &gdtr);
    const std::pair<int, uint32_t> selectors[] = {{UC_X86_REG_CS, 1 << 3}, {UC_X86_REG_SS, 2 << 3},
                                                  {UC_X86_REG_DS, 2 << 3}, {UC_X86_REG_ES, 2 << 3},
                                                  {UC_X86_REG_FS, 3 << 3}, {UC_X86_REG_GS, 4 << 3}};
    for (const auto& s : selectors) {
        uc_reg_write(run.uc, s.first, &s.second);
    }
}

void print_counts()
{
    std::fprintf(stderr, "ce-run: %llu guest instructions, the deepest stack %u bytes\n",
                 static_cast<unsigned long long>(run.instructions), STACK_TOP - run.lowest_stack);
    for (size_t i = 0; i < COREDLL_COUNT; ++i) {
        if (COREDLL[i].calls != 0) {
            std::fprintf(stderr, "ce-run: %s %llu\n", COREDLL[i].name, static_cast<unsigned long long>(COREDLL[i].calls));
        }
    }
}

// The entry, called as cdecl with WinMain's four arguments: the process id
// as the instance, 0, the command line without the program's name, SW_SHOW.
int start(const std::u16string& command_line)
{
    uint8_t* stub_page = allocate_pages(PAGE);
    std::memset(stub_page, 0xcc, PAGE);
    for (size_t i = 0; i <= COREDLL_COUNT; ++i) {
        stub_page[i * STUB_BYTES] = 0xc3;
    }
    run.exit_stub = STUB_PAGE + static_cast<uint32_t>(COREDLL_COUNT) * STUB_BYTES;
    map(STUB_PAGE, PAGE, stub_page, true, false, true);

    // read_program refused a reserve over 256 MiB.
    uint32_t reserve = static_cast<uint32_t>(round_up(run.program.stack_reserve == 0 ? 0x10000 : run.program.stack_reserve));
    if ((command_line.size() + 1) * 2 > COMMAND_LINE_BYTES) {
        std::fprintf(stderr, "ce-run: the command line is longer than %u characters\n", COMMAND_LINE_BYTES / 2 - 1);
        std::exit(ce::EMULATION_ERROR_STATUS);
    }
    run.stack_bottom = STACK_TOP - reserve;
    uint8_t* stack = allocate_pages(static_cast<uint64_t>(reserve) + COMMAND_LINE_BYTES);
    map(run.stack_bottom, reserve + COMMAND_LINE_BYTES, stack, true, true, false);
    std::memcpy(stack + reserve, command_line.c_str(), (command_line.size() + 1) * 2);
    set_segments();

    uint32_t frame[5] = {run.exit_stub, process_id(), 0, STACK_TOP, SW_SHOW};
    uint32_t esp = STACK_TOP - sizeof frame;
    std::memcpy(stack + reserve - sizeof frame, frame, sizeof frame);
    uc_reg_write(run.uc, UC_X86_REG_ESP, &esp);

    uc_hook hook;
    uc_hook_add(run.uc, &hook, UC_HOOK_CODE, reinterpret_cast<void*>(on_coredll_call), nullptr, STUB_PAGE,
                STUB_PAGE + PAGE - 1);
    uc_hook_add(run.uc, &hook, UC_HOOK_MEM_INVALID, reinterpret_cast<void*>(on_invalid_memory), nullptr, 1, 0);
    uc_hook_add(run.uc, &hook, UC_HOOK_INTR, reinterpret_cast<void*>(on_interrupt), nullptr, 1, 0);
    uc_hook_add(run.uc, &hook, UC_HOOK_INSN_INVALID, reinterpret_cast<void*>(on_invalid_instruction), nullptr, 1, 0);
    if (run.counting) {
        uc_hook_add(run.uc, &hook, UC_HOOK_CODE, reinterpret_cast<void*>(on_instruction), nullptr, 1, 0);
    }
    uint32_t entry = run.base + run.program.entry_rva;
    uc_err error = uc_emu_start(run.uc, entry, run.exit_stub, 0, 0);
    if (error != UC_ERR_OK || eip() != run.exit_stub) {
        fault(std::string("the CPU stopped: ") + uc_strerror(error) + " at " + where(eip()));
    }
    if (run.counting) {
        print_counts();
    }
    return static_cast<int>(read_register(UC_X86_REG_EAX));
}

}  // namespace

uint32_t argument(int n)
{
    uint32_t value = 0;
    uint32_t at = run.stack_pointer + 4 + 4 * static_cast<uint32_t>(n);
    uint8_t* slot = mapped(at, 4, false);
    if (slot == nullptr) {
        fault(std::string("the arguments of ") + current_function() + " at " + ce::hex(at, 8) + " lie outside the stack");
    }
    std::memcpy(&value, slot, 4);
    return value;
}

const char* current_function()
{
    return run.calling == nullptr ? "?" : run.calling->name;
}

void* guest_memory(int n, uint32_t address, uint64_t size, bool write)
{
    if (address == 0) {
        ce::device_fault(current_function(), "argument " + std::to_string(n + 1) + " NULL");
    }
    uint8_t* host = mapped(address, size == 0 ? 1 : size, write);
    if (host == nullptr) {
        ce::device_fault(current_function(), "argument " + std::to_string(n + 1) + " " + ce::hex(address, 8) + " (" +
                                                 std::to_string(size) + " bytes" + (write ? " to write" : "") +
                                                 ") outside the guest's memory");
    }
    return host;
}

void* guest_memory_or_null(int n, uint32_t address, uint64_t size, bool write)
{
    return address == 0 ? nullptr : guest_memory(n, address, size, write);
}

const uint8_t* guest_readable(uint32_t address, uint32_t size)
{
    return mapped(address, size, false);
}

namespace {

// A zero-terminated wide text of guest memory, or nullptr for 0.
const char16_t* guest_wide_text(int n, uint32_t address)
{
    if (address == 0) {
        return nullptr;
    }
    for (uint32_t at = address;; at += 2) {
        uint8_t* unit = static_cast<uint8_t*>(guest_memory(n, at, 2, false));
        if (unit[0] == 0 && unit[1] == 0) {
            return static_cast<const char16_t*>(guest_memory(n, address, at - address + 2, false));
        }
    }
}

// The guest address of host memory that lies in the guest's; 0 for nullptr.
uint32_t guest_address(const void* host)
{
    if (host == nullptr) {
        return 0;
    }
    const uint8_t* at = static_cast<const uint8_t*>(host);
    for (const Region& r : run.regions) {
        if (at >= r.host && at < r.host + r.size) {
            return r.begin + static_cast<uint32_t>(at - r.host);
        }
    }
    ce::not_modelled(current_function(), "a result outside the guest's memory");
}

}  // namespace

FILE* standard_stream(uint32_t number)
{
    FILE* const standard[] = {stdin, stdout, stderr};
    return standard[number];
}

FILE* host_stream(uint32_t value)
{
    if (value != 0 && value <= 12 && value % 4 == 0) {
        return standard_stream(value / 4 - 1);
    }
    return static_cast<FILE*>(ce::guest::host_value(value));
}

uint32_t guest_stream(FILE* stream)
{
    for (uint32_t number = 0; number < 3; ++number) {
        if (stream == standard_stream(number)) {
            return 4 * (number + 1);
        }
    }
    return ce::guest::guest_value(stream);
}

uint32_t process_id()
{
    return static_cast<uint32_t>(getpid());
}

void fault(const std::string& what)
{
    ce::device_fault("CPU", what);
}

}  // namespace ce_run

namespace {

const char USAGE[] =
    "usage: CE_DEVICE=DIR ce-run [--count] [--image IMAGE] [--time-limit SECONDS] PROGRAM.exe [COMMAND LINE]\n";

[[noreturn]] void help()
{
    std::fputs(USAGE, stdout);
    std::fputs("Runs PROGRAM.exe, a Windows CE 6.0 program for x86, on an emulated 32-bit x86 CPU against the\n"
               "emulated device in the folder DIR, as CE's loader starts it; the words after it are its command\n"
               "line. Ends with the program's return value; 2 for ce-run's own errors, 3 for a fault, 4 when CE's\n"
               "loader would not start the program, 124 at the time limit.\n"
               "  --count               the instructions, the deepest stack and each COREDLL call's count, on\n"
               "                        standard error\n"
               "  --image IMAGE         the imports bound only to what that CE image's coredll.dll exports\n"
               "  --time-limit SECONDS  a run not ended after that many seconds (1 to 31536000) is stopped\n",
               stdout);
    std::exit(std::fflush(stdout) == 0 ? 0 : ce::EMULATION_ERROR_STATUS);
}

[[noreturn]] void usage(const std::string& why)
{
    std::fprintf(stderr, "ce-run: %s\n%s", why.c_str(), USAGE);
    std::exit(ce::EMULATION_ERROR_STATUS);
}

}  // namespace

int main(int argc, char** argv)
{
    using namespace ce_run;
    int first = 1;
    unsigned long time_limit = 0;
    for (; first < argc; ++first) {
        const bool has_value = first + 1 < argc && argv[first + 1][0] != '\0';
        if ((std::strcmp(argv[first], "--time-limit") == 0 || std::strcmp(argv[first], "--image") == 0) &&
            !has_value) {
            usage(std::string(argv[first]) + " needs a value");
        }
        if (std::strcmp(argv[first], "--help") == 0 || std::strcmp(argv[first], "-h") == 0) {
            help();
        } else if (std::strcmp(argv[first], "--time-limit") == 0) {
            char* end = nullptr;
            const char* value = argv[++first];
            time_limit = value[0] >= '0' && value[0] <= '9' ? std::strtoul(value, &end, 10) : 0;
            if (end == nullptr || *end != '\0' || time_limit == 0 || time_limit > 31536000) {
                std::fprintf(stderr, "ce-run: --time-limit %s: it must be a whole number of seconds from 1 to 31536000\n",
                             value);
                return ce::EMULATION_ERROR_STATUS;
            }
        } else if (std::strcmp(argv[first], "--count") == 0) {
            run.counting = true;
        } else if (std::strcmp(argv[first], "--started-program") == 0) {
            // How the device starts a CE program on it: not for people.
            ce::as_started_program();
        } else if (std::strcmp(argv[first], "--image") == 0) {
            run.image = argv[++first];
        } else if (argv[first][0] == '-' && argv[first][1] != '\0') {
            // A program whose name begins with "-" is named as ./-NAME.
            usage(std::string("no such option: ") + argv[first]);
        } else {
            break;
        }
    }
    if (first >= argc) {
        usage("no PROGRAM.exe named");
    }
    if (!run.image.empty()) {
        read_exports(run.image);
    }
    run.name = argv[first];
    static const ce::guest::Source source = {argument, guest_memory_or_null, guest_wide_text, guest_address, process_id,
                                             current_function};
    ce::guest::source = &source;
    load(run.name);
    ce::runs_device_programs();
    ce::boot_or_exit();
    if (time_limit != 0) {
        ce::limit_time(static_cast<unsigned>(time_limit),
                       "ce-run: " + run.name + ": stopped: it did not end within the time limit of " +
                           std::to_string(time_limit) + " seconds");
    }
    std::exit(start(ce::command_line_of(argc, argv, first + 1)));
}
