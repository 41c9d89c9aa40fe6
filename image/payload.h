#ifndef FWUPGRADE_PAYLOAD_H
#define FWUPGRADE_PAYLOAD_H

#include <windows.h>

// The embedded image as the platform maps it: read in place, never copied.
struct Payload {
    const unsigned char* bytes;
    DWORD size;
};

const WORD FIRMWARE_RESOURCE_ID = 183;

// Model and version of the embedded image, fixed when the tool is built.
extern const WCHAR FIRMWARE_MODEL_TEXT[];
extern const WCHAR FIRMWARE_VERSION_TEXT[];

bool find_payload(HINSTANCE instance, Payload* payload);
void print_banner();

#endif
