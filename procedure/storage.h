#ifndef FWUPGRADE_STORAGE_H
#define FWUPGRADE_STORAGE_H

#include <windows.h>
#include <stdio.h>
#ifdef FWUPGRADE_DESKTOP_WINDOWS
#include <io.h>
#endif

// Puts what was written to the stream on the device's storage for good: the
// run-time hands its buffer to the file system, then the file system writes
// the file out. Closing a file does not do this. False when either fails.
inline bool flush_to_storage(FILE* file)
{
    if (fflush(file) != 0) {
        return false;
    }
#ifdef FWUPGRADE_DESKTOP_WINDOWS
    HANDLE handle = (HANDLE)_get_osfhandle(_fileno(file));
#else
    // The device's run-time gives the file's handle itself.
    HANDLE handle = (HANDLE)_fileno(file);
#endif
    return FlushFileBuffers(handle) != FALSE;
}

#endif
