#include "payload.h"

#include <stdio.h>

bool find_payload(HINSTANCE instance, Payload* payload)
{
    HRSRC resource = FindResourceW(instance, MAKEINTRESOURCE(FIRMWARE_RESOURCE_ID), TEXT("FIRMWARE"));
    if (resource == NULL) {
        printf("FindResource failed\n");
        return false;
    }
    DWORD size = SizeofResource(instance, resource);
    if (size == 0) {
        printf("SizeofResource failed\n");
        return false;
    }
    HGLOBAL loaded = LoadResource(instance, resource);
    if (loaded == NULL) {
        printf("LoadResource failed\n");
        return false;
    }
    payload->bytes = static_cast<const unsigned char*>(loaded);
    payload->size = size;
    return true;
}

void print_banner()
{
    wprintf(TEXT("The new firmware is %s %s\n\n"), FIRMWARE_MODEL_TEXT, FIRMWARE_VERSION_TEXT);
}
