// Compiled once per build of the tool, with the model and version of the
// image that build embeds (FIRMWARE_MODEL, FIRMWARE_VERSION).
#include "payload.h"

const WCHAR FIRMWARE_MODEL_TEXT[] = TEXT(FIRMWARE_MODEL);
const WCHAR FIRMWARE_VERSION_TEXT[] = TEXT(FIRMWARE_VERSION);
