// Compiled once per build of the tool, with the model and version of the
// image that build embeds, from the header that the build generates.
#include "payload.h"
#include "firmware_identity.h"

const WCHAR FIRMWARE_MODEL_TEXT[] = TEXT(FIRMWARE_MODEL);
const WCHAR FIRMWARE_VERSION_TEXT[] = TEXT(FIRMWARE_VERSION);
