#ifndef FWUPGRADE_IMAGE_WRITER_H
#define FWUPGRADE_IMAGE_WRITER_H

#include "payload.h"

const DWORD IMAGE_CHUNK_SIZE = 4096;
const DWORD UPGRADE_IOCTL_BEGIN = 0x284;
const DWORD UPGRADE_IOCTL_END = 0x288;

// Installs the payload as the boot image "NK.bin". True only when "NK.bin"
// holds the whole new image; on failure the message has been printed.
bool write_image(const Payload& payload);

#endif
