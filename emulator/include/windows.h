/* The emulated device's platform, for the host build of the tool.
 *
 * The tool includes <windows.h> and <stdio.h> on every platform. On the host
 * this header stands in for the device's: the same names, types and constants,
 * implemented by the emulation against the folder named by CE_DEVICE.
 * Wide text is UTF-16 as on the device, so WCHAR is a 16-bit type here and
 * TEXT("...") makes a UTF-16 literal, as L"..." does on the device. */
#ifndef CE_EMULATED_WINDOWS_H
#define CE_EMULATED_WINDOWS_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <wchar.h>
#ifdef __cplusplus
/* The C++ headers for these #undef the C library's names they bring into
 * std, and <string> and many others include them: read here first, a later
 * include changes nothing, and the names below stay the emulation's in
 * whatever order the headers come. */
#include <cstdio>
#include <cwchar>
#endif

#ifdef CE_WIDE_IS_WCHAR
/* Compile check only: the tool's sources as the device's C++98 compiler sees
 * them, with a 16-bit wchar_t (-fshort-wchar) and L"..." literals. */
typedef wchar_t WCHAR;
#define CE_TEXT_(s) L##s
#else
typedef char16_t WCHAR;
#define CE_TEXT_(s) u##s
#endif
#define TEXT(s) CE_TEXT_(s)

#define WINAPI
#define CALLBACK

typedef int BOOL;
typedef unsigned int UINT;
typedef unsigned char BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uintptr_t ULONG_PTR;
typedef void* HANDLE;
typedef void* LPVOID;
typedef DWORD* LPDWORD;
typedef BYTE* LPBYTE;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef struct CeModule* HINSTANCE;
typedef HINSTANCE HMODULE;
typedef const struct CeResource* HRSRC;
typedef const void* HGLOBAL;
typedef struct CeKey* HKEY;
typedef HKEY* PHKEY;
typedef DWORD REGSAM;
typedef struct CeOverlapped* LPOVERLAPPED;
typedef struct CeSecurityAttributes* LPSECURITY_ATTRIBUTES;

#define TRUE 1
#define FALSE 0
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define MAKEINTRESOURCEW(i) ((LPWSTR)(ULONG_PTR)(WORD)(i))
#define MAKEINTRESOURCE(i) MAKEINTRESOURCEW(i)

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3

#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_GEN_FAILURE 31L
#define ERROR_FILE_EXISTS 80L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_DISK_FULL 112L
#define ERROR_INVALID_NAME 123L
#define ERROR_BAD_EXE_FORMAT 193L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_MORE_DATA 234L

#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)0x80000002u)
#define KEY_QUERY_VALUE 0x0001u
#define REG_NONE 0u
#define REG_SZ 1u
#define REG_EXPAND_SZ 2u
#define REG_BINARY 3u
#define REG_DWORD 4u
#define REG_MULTI_SZ 7u

#define CREATE_NEW_CONSOLE 0x00000010u
#define STILL_ACTIVE 259u

typedef struct _PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
} PROCESS_INFORMATION, *LPPROCESS_INFORMATION;

typedef struct _STARTUPINFOW* LPSTARTUPINFOW;

#ifdef __cplusplus
extern "C" {
#endif

DWORD GetLastError(void);
void SetLastError(DWORD error);

HRSRC FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type);
DWORD SizeofResource(HMODULE module, HRSRC resource);
HGLOBAL LoadResource(HMODULE module, HRSRC resource);

HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE template_file);
BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD in_size, LPVOID out,
                     DWORD out_size, LPDWORD returned, LPOVERLAPPED overlapped);
BOOL CloseHandle(HANDLE handle);
BOOL DeleteFileW(LPCWSTR name);
BOOL MoveFileW(LPCWSTR existing, LPCWSTR target);
BOOL FlushFileBuffers(HANDLE file);

LONG RegOpenKeyExW(HKEY key, LPCWSTR sub_key, DWORD options, REGSAM access, PHKEY result);
LONG RegQueryValueExW(HKEY key, LPCWSTR value_name, LPDWORD reserved, LPDWORD type,
                      LPBYTE data, LPDWORD size);
LONG RegCloseKey(HKEY key);

BOOL CreateProcessW(LPCWSTR application, LPWSTR command_line, LPSECURITY_ATTRIBUTES process_attributes,
                    LPSECURITY_ATTRIBUTES thread_attributes, BOOL inherit_handles, DWORD flags,
                    LPVOID environment, LPCWSTR current_directory, LPSTARTUPINFOW startup_info,
                    LPPROCESS_INFORMATION process_information);
BOOL GetExitCodeProcess(HANDLE process, LPDWORD exit_code);
void Sleep(DWORD milliseconds);
/* Not modelled: ends the run with the emulation's error status. */
BOOL TerminateProcess(HANDLE process, UINT exit_code);
/* The program's own file, as the device names it: a program outside the
 * device's root/ has no such name, and the call is not modelled for it. */
DWORD GetModuleFileNameW(HMODULE module, LPWSTR name, DWORD size);

/* The device run-time's console and wide file streams. The host C library
 * has functions of the same names for another wide type and another console,
 * so the tool's calls are routed to the emulation's. */
int ce_printf(const char* format, ...);
int ce_wprintf(const WCHAR* format, ...);
wint_t ce_getwchar(void);
FILE* ce_wfopen(const WCHAR* name, const WCHAR* mode);
size_t ce_fwrite(const void* data, size_t size, size_t count, FILE* stream);
/* Of a stream opened for reading in binary mode. */
size_t ce_fread(void* data, size_t size, size_t count, FILE* stream);
int ce_fwprintf(FILE* stream, const WCHAR* format, ...);
int ce_snwprintf(WCHAR* buffer, size_t count, const WCHAR* format, ...);
int ce_fflush(FILE* stream);
int ce_fclose(FILE* stream);
/* As the device's run-time does it, _fileno gives the stream's file handle
 * (what FlushFileBuffers takes), not a descriptor number. */
HANDLE ce_fileno(FILE* stream);

#ifdef __cplusplus
}
#endif

#ifndef CE_EMULATION_ITSELF
/* The tool's calls; the emulation's own code calls the host's by these names. */
#define printf ce_printf
#define wprintf ce_wprintf
#define getwchar ce_getwchar
#define _wfopen ce_wfopen
#define fwrite ce_fwrite
#define fread ce_fread
#define fwprintf ce_fwprintf
#define _snwprintf ce_snwprintf
#define fflush ce_fflush
#define fclose ce_fclose
#define _fileno ce_fileno
#endif

#endif
