// A program that makes platform calls the tool makes otherwise or not at
// all, one group named by its command line: built for the device, to run on
// the emulated CPU, and for the host against the emulation, so that the two
// builds can be compared call for call. It prints its results.
#include <windows.h>
#include <stdio.h>

namespace {

bool named(LPCWSTR command_line, const char* name)
{
    int i = 0;
    while (name[i] != 0 && command_line[i] == static_cast<WCHAR>(name[i])) {
        ++i;
    }
    return name[i] == 0 && command_line[i] == 0;
}

// Read through volatile, so that no compiler sees the NULL it passes on.
const char* volatile no_text = 0;
const WCHAR* volatile no_wide_text = 0;

FILE* made_up_stream()
{
    return reinterpret_cast<FILE*>(static_cast<size_t>(0x1234));
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPWSTR command_line, int)
{
    printf("probe\n");
    WCHAR buffer[4] = {9, 9, 9, 9};
    if (named(command_line, "printf-null")) {
        printf(no_text);
    } else if (named(command_line, "wprintf-null")) {
        wprintf(no_wide_text);
    } else if (named(command_line, "fwprintf-null")) {
        fwprintf(_wfopen(TEXT("\\t.txt"), TEXT("w")), no_wide_text);
    } else if (named(command_line, "snwprintf-null")) {
        _snwprintf(buffer, 4, no_wide_text);
    } else if (named(command_line, "stdin")) {
        size_t written = fwrite("abc", 1, 3, stdin);
        int flushed = fflush(stdin);
        int printed = fwprintf(stdin, TEXT("x%d"), 1);
        printf("%d %d %d\n", static_cast<int>(written), flushed, printed);
    } else if (named(command_line, "made-up-stream")) {
        fwrite("abc", 1, 3, made_up_stream());
    } else if (named(command_line, "closed-stream")) {
        FILE* file = _wfopen(TEXT("\\c.txt"), TEXT("w"));
        fclose(file);
        fwrite("abc", 1, 3, file);
    } else if (named(command_line, "nul-text")) {
        FILE* file = _wfopen(TEXT("\\nul.txt"), TEXT("w"));
        int to_file = fwprintf(file, TEXT("a%cb\n"), 0);
        fclose(file);
        int wide = wprintf(TEXT("a%cb\n"), 0);
        int narrow = printf("a%cb\n", 0);
        int formatted = _snwprintf(buffer, 4, TEXT("%cz"), 0);
        printf("%d %d %d %d %d %d %d\n", to_file, wide, narrow, formatted, buffer[0], buffer[1], buffer[2]);
    } else if (named(command_line, "snwprintf-count")) {
        // The count promises more than the buffer holds; the text fits.
        int formatted = _snwprintf(buffer, 0x10000, TEXT("ab"));
        printf("%d %d %d %d %d\n", formatted, buffer[0], buffer[1], buffer[2], buffer[3]);
    } else if (named(command_line, "terminate")) {
        TerminateProcess(INVALID_HANDLE_VALUE, 7);
    }
    printf("the end\n");
    return 0;
}
