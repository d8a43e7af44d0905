// Shared by the files of lib/fonts.
#pragma once

#include <cstdint>

#include "lib/fonts/fonts.h"

namespace fonts_internal {

constexpr const char* kFontFolder = "/mnt/hd/ProgramFiles/Settings/Fonts/";

// AlphaLUT packed as whole pixels with the foreground's alpha byte, entry 255
// being the foreground itself; FM_InitAlphaLUT fills it with AlphaLUT.
extern uint32_t PackedAlphaLUT[256];

// The program name of the TAP's header, or "" where none is linked in (the
// unit tests link the library without the TAP's registration).
const char* programName();

}  // namespace fonts_internal
