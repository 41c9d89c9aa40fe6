#include "image_writer.h"

#include <stdio.h>

#include "../procedure/storage.h"

static BOOL send_upgrade_request(HANDLE device, DWORD code)
{
    DWORD returned = 0;
    return DeviceIoControl(device, code, NULL, 0, NULL, 0, &returned, NULL);
}

// Whether the file can be opened to be read. A failed open is taken for
// the file's absence: nothing else tells them apart.
static bool can_be_read(LPCWSTR name)
{
    FILE* file = _wfopen(name, TEXT("rb"));
    if (file == NULL) {
        return false;
    }
    fclose(file);
    return true;
}

// Writes the whole payload in chunks, one progress line per chunk. Stops at
// the first write that does not store every byte handed to it.
static bool write_chunks(FILE* file, const Payload& payload)
{
    const unsigned char* position = payload.bytes;
    DWORD remaining = payload.size;
    do {
        DWORD chunk = remaining <= IMAGE_CHUNK_SIZE ? remaining : IMAGE_CHUNK_SIZE;
        size_t stored = fwrite(position, 1, chunk, file);
        printf("\r%d / %d", (int)(payload.size - remaining), (int)payload.size);
        if (stored != chunk) {
            return false;
        }
        position += chunk;
        remaining -= chunk;
    } while (remaining != 0);
    return true;
}

bool write_image(const Payload& payload)
{
    wprintf(TEXT("The firmware upgrade procedure may take 1 minute, please wait..\n"));

    HANDLE device = CreateFileW(TEXT("UCS1:"), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (device == INVALID_HANDLE_VALUE || !send_upgrade_request(device, UPGRADE_IOCTL_BEGIN)) {
        printf("Firmware upgrade failed!\n");
        if (device != INVALID_HANDLE_VALUE) {
            CloseHandle(device);
        }
        return false;
    }

    // A run cut or failed between the delete and the move below left no
    // "NK.bin" and the whole new image in "\NK1.bin": it goes in place first,
    // so that this run never empties or removes the device's one image.
    // Anywhere else the move fails and changes nothing; but when there is
    // still no "NK.bin" beside a "\NK1.bin", the upgrade touches nothing.
    if (!MoveFileW(TEXT("NK1.bin"), TEXT("NK.bin")) && !can_be_read(TEXT("\\NK.bin")) &&
        can_be_read(TEXT("\\NK1.bin"))) {
        send_upgrade_request(device, UPGRADE_IOCTL_END);
        printf("Firmware upgrade failed!\n");
        CloseHandle(device);
        return false;
    }
    FILE* file = _wfopen(TEXT("\\NK1.bin"), TEXT("wb"));
    printf("\n");
    bool written = file != NULL && write_chunks(file, payload);
    if (written) {
        printf("\r%d / %d\n", (int)payload.size, (int)payload.size);
        // A power cut after the delete below must find the new image whole.
        written = flush_to_storage(file);
    } else if (file != NULL) {
        printf("\n");
    }
    if (file != NULL && fclose(file) != 0) {
        written = false;
    }

    // "NK.bin" is only touched once the new image is whole in "\NK1.bin" and
    // on the storage for good.
    BOOL installed = FALSE;
    if (written) {
        DeleteFileW(TEXT("NK.bin"));
        installed = MoveFileW(TEXT("NK1.bin"), TEXT("NK.bin"));
    } else {
        DeleteFileW(TEXT("\\NK1.bin"));
    }

    send_upgrade_request(device, UPGRADE_IOCTL_END);
    printf(installed ? "Firmware upgrade complete!\n" : "Firmware upgrade failed!\n");
    CloseHandle(device);
    return installed != FALSE;
}
