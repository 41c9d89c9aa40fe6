// fwprobe: what the device's platform does with the calls the tool makes,
// for a firmware maker to bring back from one real device and compare with
// the emulation (scripts/compare-probe). It changes nothing the tool or the
// device uses: it never opens UCS1:, never touches the boot image or the
// settings files, never writes the registry and starts no program but
// itself. It writes only \fwprobe-*.tmp files, which it deletes, and its
// results, \fwprobe.txt: one "NAME: VALUE" line a fact, ASCII with CR LF,
// also printed on the console.
#include <windows.h>
#include <stdio.h>

#include "../network/lan_settings.h"
#include "../procedure/storage.h"

namespace {

const char* const PROBE_NAME = "fwprobe 1";
const int LINE_CHARS = 1200;
const DWORD FIRMWARE_RESOURCE_ID = 183;
const DWORD CHILD_EXIT_CODE = 7;
const DWORD CHILD_WAIT_MS = 300;
const int MOST_POLLS = 100;
const DWORD IMAGE_CHUNK = 4096;
const int READ_BACK_BYTES = 512;

struct Line {
    char text[LINE_CHARS];
    int length;
};

void add(Line& line, const char* text)
{
    for (int i = 0; text[i] != 0 && line.length < LINE_CHARS - 3; ++i) {
        line.text[line.length++] = text[i];
    }
}

void add_number(Line& line, unsigned long value)
{
    char digits[16];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count > 0 && line.length < LINE_CHARS - 3) {
        line.text[line.length++] = digits[--count];
    }
}

void add_hex(Line& line, const unsigned char* bytes, int size)
{
    const char* digits = "0123456789abcdef";
    for (int i = 0; i < size && line.length < LINE_CHARS - 4; ++i) {
        line.text[line.length++] = digits[bytes[i] >> 4];
        line.text[line.length++] = digits[bytes[i] & 15];
    }
}

// Wide text as ASCII: printable characters as they are, "\" and the rest
// as \uXXXX.
void add_wide(Line& line, const WCHAR* text)
{
    const char* digits = "0123456789abcdef";
    for (int i = 0; text[i] != 0 && line.length < LINE_CHARS - 9; ++i) {
        unsigned int c = text[i];
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            line.text[line.length++] = static_cast<char>(c);
        } else {
            char escaped[7] = {'\\', 'u', digits[(c >> 12) & 15], digits[(c >> 8) & 15], digits[(c >> 4) & 15], digits[c & 15], 0};
            add(line, escaped);
        }
    }
}

void start(Line& line, const char* name)
{
    line.length = 0;
    add(line, name);
    add(line, ": ");
}

// The line to the results file and to the console.
void emit(FILE* results, Line& line)
{
    line.text[line.length++] = '\r';
    line.text[line.length++] = '\n';
    if (results != NULL) {
        fwrite(line.text, 1, line.length, results);
    }
    fwrite(line.text, 1, line.length, stdout);
}

// "NAME: RESULT error LAST_ERROR".
void emit_result(FILE* results, const char* name, unsigned long result, DWORD error)
{
    Line line;
    start(line, name);
    add_number(line, result);
    add(line, " error ");
    add_number(line, error);
    emit(results, line);
}

bool same_text(LPCWSTR text, const char* ascii)
{
    int i = 0;
    while (ascii[i] != 0 && text[i] == static_cast<WCHAR>(ascii[i])) {
        ++i;
    }
    return ascii[i] == 0 && text[i] == 0;
}

// A file of the given bytes, written in binary mode.
bool make_file(LPCWSTR name, const char* bytes, int size)
{
    FILE* file = _wfopen(name, TEXT("wb"));
    if (file == NULL) {
        return false;
    }
    bool written = static_cast<int>(fwrite(bytes, 1, size, file)) == size;
    return fclose(file) == 0 && written;
}

// Up to `most` bytes of the file, read in binary mode; -1 when it cannot be opened.
int read_back(LPCWSTR name, unsigned char* bytes, int most)
{
    FILE* file = _wfopen(name, TEXT("rb"));
    if (file == NULL) {
        return -1;
    }
    int got = static_cast<int>(fread(bytes, 1, most, file));
    fclose(file);
    return got;
}

// The file written as the tool writes LAN 1's defaults, read back byte for byte.
void probe_settings_file(FILE* results)
{
    LPCWSTR name = TEXT("\\fwprobe-settings.tmp");
    FILE* file = _wfopen(name, TEXT("w"));
    Line line;
    start(line, "settings-file.bytes");
    if (file == NULL) {
        add(line, "cannot be written, error ");
        add_number(line, GetLastError());
        emit(results, line);
        return;
    }
    fwprintf(file, TEXT("%d\n"), 0);
    fwprintf(file, TEXT("%s\n"), TEXT("192.168.3.127"));
    fwprintf(file, TEXT("%s\n"), TEXT("255.255.255.0"));
    fwprintf(file, TEXT("\n"));
    fwprintf(file, TEXT("\n"));
    fwprintf(file, TEXT("\n"));
    flush_to_storage(file);
    fclose(file);
    unsigned char bytes[READ_BACK_BYTES];
    int got = read_back(name, bytes, READ_BACK_BYTES);
    if (got < 0) {
        add(line, "cannot be read, error ");
        add_number(line, GetLastError());
    } else {
        add_hex(line, bytes, got);
    }
    emit(results, line);
    DeleteFileW(name);
}

// The image writer's calls on a 4096-byte chunk, and the file they leave.
void probe_image_writer(FILE* results)
{
    LPCWSTR name = TEXT("\\fwprobe-image.tmp");
    SetLastError(0);
    FILE* file = _wfopen(name, TEXT("wb"));
    emit_result(results, "image-writer.open", file != NULL, file != NULL ? 0 : GetLastError());
    if (file == NULL) {
        return;
    }
    static char chunk[IMAGE_CHUNK];
    for (DWORD i = 0; i < IMAGE_CHUNK; ++i) {
        chunk[i] = static_cast<char>(i * 37 + 11);
    }
    SetLastError(0);
    size_t written = fwrite(chunk, 1, IMAGE_CHUNK, file);
    emit_result(results, "image-writer.fwrite", static_cast<unsigned long>(written), GetLastError());
    SetLastError(0);
    int flushed = fflush(file);
    emit_result(results, "image-writer.fflush", static_cast<unsigned long>(flushed), GetLastError());
    SetLastError(0);
    BOOL durable = FlushFileBuffers((HANDLE)_fileno(file));
    emit_result(results, "image-writer.flush-file-buffers", durable != FALSE, GetLastError());
    SetLastError(0);
    int closed = fclose(file);
    emit_result(results, "image-writer.fclose", static_cast<unsigned long>(closed), GetLastError());
    static unsigned char back[IMAGE_CHUNK + 1];
    int got = read_back(name, back, IMAGE_CHUNK + 1);
    bool same = got == static_cast<int>(IMAGE_CHUNK);
    for (int i = 0; same && i < got; ++i) {
        same = back[i] == static_cast<unsigned char>(chunk[i]);
    }
    Line line;
    start(line, "image-writer.file");
    add(line, same ? "the chunk, byte for byte" : "not the chunk: ");
    if (!same) {
        add_number(line, static_cast<unsigned long>(got < 0 ? 0 : got));
        add(line, " bytes");
    }
    emit(results, line);
    DeleteFileW(name);
}

void probe_files(FILE* results)
{
    LPCWSTR missing = TEXT("\\fwprobe-missing.tmp");
    LPCWSTR open = TEXT("\\fwprobe-open.tmp");
    LPCWSTR from = TEXT("\\fwprobe-from.tmp");
    LPCWSTR to = TEXT("\\fwprobe-to.tmp");
    LPCWSTR path = TEXT("\\fwprobe-path.tmp");

    SetLastError(0);
    BOOL done = DeleteFileW(missing);
    emit_result(results, "delete.missing", done != FALSE, GetLastError());

    FILE* held = _wfopen(open, TEXT("wb"));
    if (held != NULL) {
        fwrite("open", 1, 4, held);
        SetLastError(0);
        done = DeleteFileW(open);
        emit_result(results, "delete.open", done != FALSE, GetLastError());
        fclose(held);
    }
    SetLastError(0);
    done = DeleteFileW(open);
    emit_result(results, "delete.after-close", done != FALSE, GetLastError());

    make_file(from, "from", 4);
    make_file(to, "to", 2);
    SetLastError(0);
    done = MoveFileW(from, to);
    emit_result(results, "move.onto-existing", done != FALSE, GetLastError());
    DeleteFileW(to);
    SetLastError(0);
    done = MoveFileW(from, to);
    emit_result(results, "move.onto-missing", done != FALSE, GetLastError());
    unsigned char bytes[8];
    int got = read_back(to, bytes, 8);
    Line line;
    start(line, "move.moved-bytes");
    if (got >= 0) {
        add_hex(line, bytes, got);
    } else {
        add(line, "none");
    }
    emit(results, line);
    DeleteFileW(from);
    DeleteFileW(to);

    // The same file without its leading backslash.
    make_file(path, "path", 4);
    got = read_back(TEXT("fwprobe-path.tmp"), bytes, 8);
    start(line, "path.without-backslash");
    if (got < 0) {
        add(line, "cannot be opened, error ");
        add_number(line, GetLastError());
    } else {
        add(line, got == 4 && bytes[0] == 'p' && bytes[3] == 'h' ? "the same file" : "another file");
    }
    emit(results, line);
    SetLastError(0);
    done = DeleteFileW(TEXT("fwprobe-path.tmp"));
    emit_result(results, "path.delete-without-backslash", done != FALSE, GetLastError());
    DeleteFileW(path);
}

// Itself as a child that waits and returns CHILD_EXIT_CODE, polled every
// 100 ms as the tool polls the restart program.
void probe_process(FILE* results)
{
    WCHAR self[MAX_PATH];
    SetLastError(0);
    DWORD length = GetModuleFileNameW(NULL, self, MAX_PATH);
    Line line;
    start(line, "info.module");
    if (length == 0 || length >= MAX_PATH) {
        add(line, "unknown, error ");
        add_number(line, GetLastError());
        emit(results, line);
        return;
    }
    add_wide(line, self);
    emit(results, line);
    PROCESS_INFORMATION child;
    SetLastError(0);
    WCHAR command_line[] = {'c', 'h', 'i', 'l', 'd', 0};
    BOOL started = CreateProcessW(self, command_line, NULL, NULL, FALSE, 0, NULL, NULL, NULL, &child);
    emit_result(results, "process.start", started != FALSE, started ? 0 : GetLastError());
    if (!started) {
        return;
    }
    start(line, "process.exit-codes");
    DWORD last = 0;
    bool any = false;
    int polls = 0;
    for (; polls < MOST_POLLS; ++polls) {
        DWORD code = 0;
        if (!GetExitCodeProcess(child.hProcess, &code)) {
            add(line, any ? " " : "");
            add(line, "failed");
            break;
        }
        // Each value once, in the order it was seen.
        if (!any || code != last) {
            add(line, any ? " " : "");
            add_number(line, code);
        }
        any = true;
        last = code;
        if (code != STILL_ACTIVE) {
            break;
        }
        Sleep(100);
    }
    emit(results, line);
    start(line, "info.process-polls");
    add_number(line, static_cast<unsigned long>(polls + 1));
    emit(results, line);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
}

// SHA-256 of the bytes, for the resource: what the platform hands over.
struct Sha256 {
    DWORD state[8];
    unsigned char block[64];
    DWORD used;
    DWORD bits_low, bits_high;
};

DWORD rotate(DWORD x, int n)
{
    return (x >> n) | (x << (32 - n));
}

void sha256_block(Sha256& h, const unsigned char* p)
{
    static const DWORD K[64] = {
        0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5, 0xd807aa98,
        0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786,
        0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8,
        0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13,
        0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819,
        0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a,
        0x5b9cca4f, 0x682e6ff3, 0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7,
        0xc67178f2};
    DWORD w[64];
    for (int i = 0; i < 16; ++i) {
        w[i] = static_cast<DWORD>(p[4 * i]) << 24 | static_cast<DWORD>(p[4 * i + 1]) << 16 |
               static_cast<DWORD>(p[4 * i + 2]) << 8 | p[4 * i + 3];
    }
    for (int i = 16; i < 64; ++i) {
        DWORD s0 = rotate(w[i - 15], 7) ^ rotate(w[i - 15], 18) ^ (w[i - 15] >> 3);
        DWORD s1 = rotate(w[i - 2], 17) ^ rotate(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    DWORD v[8];
    for (int i = 0; i < 8; ++i) {
        v[i] = h.state[i];
    }
    for (int i = 0; i < 64; ++i) {
        DWORD s1 = rotate(v[4], 6) ^ rotate(v[4], 11) ^ rotate(v[4], 25);
        DWORD choice = (v[4] & v[5]) ^ (~v[4] & v[6]);
        DWORD t1 = v[7] + s1 + choice + K[i] + w[i];
        DWORD s0 = rotate(v[0], 2) ^ rotate(v[0], 13) ^ rotate(v[0], 22);
        DWORD majority = (v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]);
        for (int j = 7; j > 0; --j) {
            v[j] = v[j - 1];
        }
        v[4] += t1;
        v[0] = t1 + s0 + majority;
    }
    for (int i = 0; i < 8; ++i) {
        h.state[i] += v[i];
    }
}

void sha256(const unsigned char* bytes, DWORD size, unsigned char digest[32])
{
    static const DWORD INITIAL[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                     0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    Sha256 h;
    for (int i = 0; i < 8; ++i) {
        h.state[i] = INITIAL[i];
    }
    DWORD whole = size - size % 64;
    for (DWORD at = 0; at < whole; at += 64) {
        sha256_block(h, bytes + at);
    }
    // The rest, the 0x80 marker, zeros, and the length in bits, big-endian.
    unsigned char tail[128];
    DWORD rest = size - whole;
    for (DWORD i = 0; i < 128; ++i) {
        tail[i] = i < rest ? bytes[whole + i] : 0;
    }
    tail[rest] = 0x80;
    DWORD blocks = rest + 9 > 64 ? 2 : 1;
    DWORD bits_high = size >> 29, bits_low = size << 3;
    for (int i = 0; i < 4; ++i) {
        tail[64 * blocks - 8 + i] = static_cast<unsigned char>(bits_high >> (24 - 8 * i));
        tail[64 * blocks - 4 + i] = static_cast<unsigned char>(bits_low >> (24 - 8 * i));
    }
    for (DWORD b = 0; b < blocks; ++b) {
        sha256_block(h, tail + 64 * b);
    }
    for (int i = 0; i < 32; ++i) {
        digest[i] = static_cast<unsigned char>(h.state[i / 4] >> (24 - 8 * (i % 4)));
    }
}

// Its own FIRMWARE 183, as the tool finds its image.
void probe_resource(FILE* results, HINSTANCE instance)
{
    Line line;
    start(line, "resource");
    HRSRC resource = FindResourceW(instance, MAKEINTRESOURCE(FIRMWARE_RESOURCE_ID), TEXT("FIRMWARE"));
    DWORD size = resource != NULL ? SizeofResource(instance, resource) : 0;
    HGLOBAL loaded = resource != NULL ? LoadResource(instance, resource) : NULL;
    if (resource == NULL || loaded == NULL) {
        add(line, resource == NULL ? "not found" : "not loaded");
        emit(results, line);
        return;
    }
    unsigned char digest[32];
    sha256(static_cast<const unsigned char*>(loaded), size, digest);
    add_number(line, size);
    add(line, " bytes, SHA-256 ");
    add_hex(line, digest, 32);
    emit(results, line);
}

// The LAN keys through the tool's own mapping, read only: what each value
// query gives at the tool's budget, then the values as the tool reads them.
void probe_registry(FILE* results)
{
    Line line;
    for (int pass = 0; pass < 2; ++pass) {
        for (int n = 1; n <= LAN_COUNT; ++n) {
            LanKey key = open_lan_key(n);
            if (pass == 0) {
                line.length = 0;
                add(line, "registry.lan");
                add_number(line, static_cast<unsigned long>(n));
                add(line, key.open ? ": opens" : ": does not open");
                emit(results, line);
            }
            for (int v = -1; key.open && v < LAN_TEXT_VALUE_COUNT; ++v) {
                LPCWSTR value = v < 0 ? TEXT("EnableDHCP") : LAN_TEXT_VALUE_NAMES[v];
                line.length = 0;
                add(line, pass == 0 ? "registry.lan" : "value.lan");
                add_number(line, static_cast<unsigned long>(n));
                add(line, ".");
                add_wide(line, value);
                add(line, ": ");
                if (pass == 0) {
                    BYTE data[VALUE_BYTES];
                    DWORD type = 0;
                    DWORD size = VALUE_BYTES;
                    LONG result = RegQueryValueExW(key.handle, value, NULL, &type, data, &size);
                    add(line, "result ");
                    add_number(line, static_cast<unsigned long>(result));
                    add(line, " type ");
                    add_number(line, type);
                    add(line, " size ");
                    add_number(line, size);
                } else if (v < 0) {
                    DWORD dhcp = 0;
                    if (read_lan_dhcp(key, &dhcp)) {
                        add_number(line, dhcp);
                    } else {
                        add(line, "none");
                    }
                } else {
                    WCHAR text[LAN_TEXT_CHARS];
                    if (read_lan_text(key, value, text)) {
                        add(line, "\"");
                        add_wide(line, text);
                        add(line, "\"");
                    } else {
                        add(line, "none");
                    }
                }
                emit(results, line);
            }
            close_lan_key(key);
        }
    }
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPWSTR command_line, int)
{
    if (same_text(command_line, "child")) {
        Sleep(CHILD_WAIT_MS);
        return static_cast<int>(CHILD_EXIT_CODE);
    }
    FILE* results = _wfopen(TEXT("\\fwprobe.txt"), TEXT("wb"));
    Line line;
    start(line, "probe");
    add(line, PROBE_NAME);
    emit(results, line);
    probe_settings_file(results);
    probe_image_writer(results);
    probe_files(results);
    probe_process(results);
    probe_resource(results, instance);
    probe_registry(results);
    // A file that ends here was written whole.
    start(line, "end");
    add(line, PROBE_NAME);
    emit(results, line);
    if (results == NULL || fclose(results) != 0) {
        printf("fwprobe: \\fwprobe.txt could not be written\n");
        return 1;
    }
    return 0;
}
