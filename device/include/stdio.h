/* The device's run-time, as far as the tool and its start-up use it: every
   function is COREDLL's own, cdecl, imported by its undecorated name. It
   stands in for MinGW's <stdio.h>, which in C++ routes the formatted output
   through MinGW's replacements and stdout through a function COREDLL lacks. */
#ifndef FWUPGRADE_DEVICE_STDIO_H
#define FWUPGRADE_DEVICE_STDIO_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque: the run-time alone knows what a stream holds. */
typedef struct _iobuf FILE;

/* Under the guards of MinGW's <corecrt.h>, which <windows.h> reads too. */
#ifndef _WCTYPE_T_DEFINED
#define _WCTYPE_T_DEFINED
#ifndef _WINT_T
#define _WINT_T
typedef unsigned short wint_t;
typedef unsigned short wctype_t;
#endif
#endif
#ifndef WEOF
#define WEOF (wint_t)(0xFFFF)
#endif
#ifndef EOF
#define EOF (-1)
#endif

#define FWUPGRADE_RUNTIME __declspec(dllimport)

/* The standard streams by number: 0 input, 1 output, 2 errors. */
FWUPGRADE_RUNTIME FILE* __cdecl _getstdfilex(int number);
#define stdin (_getstdfilex(0))
#define stdout (_getstdfilex(1))
#define stderr (_getstdfilex(2))

FWUPGRADE_RUNTIME int __cdecl printf(const char* format, ...);
FWUPGRADE_RUNTIME int __cdecl wprintf(const wchar_t* format, ...);
FWUPGRADE_RUNTIME int __cdecl fwprintf(FILE* file, const wchar_t* format, ...);
FWUPGRADE_RUNTIME int __cdecl _snwprintf(wchar_t* buffer, size_t count, const wchar_t* format, ...);
FWUPGRADE_RUNTIME wint_t __cdecl getwchar(void);

FWUPGRADE_RUNTIME FILE* __cdecl _wfopen(const wchar_t* name, const wchar_t* mode);
FWUPGRADE_RUNTIME size_t __cdecl fwrite(const void* bytes, size_t size, size_t count, FILE* file);
FWUPGRADE_RUNTIME size_t __cdecl fread(void* bytes, size_t size, size_t count, FILE* file);
FWUPGRADE_RUNTIME int __cdecl fflush(FILE* file);
FWUPGRADE_RUNTIME int __cdecl fclose(FILE* file);
/* The file's handle itself, not a descriptor number. */
FWUPGRADE_RUNTIME void* __cdecl _fileno(FILE* file);

#ifdef __cplusplus
}
#endif

#endif
