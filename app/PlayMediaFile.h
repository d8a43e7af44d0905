// Playback of a file of the hard disk through the firmware's own player.
#pragma once

#include <cstdint>

// Starts the firmware's player on `file` (any path form; a bare name lives in
// the TAP's current directory). A file with a ".inf" side file beside it is
// started as a recording, any other as a media file. The firmware's work
// folder is the same afterwards as before. Returns 1 when the firmware
// accepted the start, 0 when it did not (or the file has no folder on the
// disk), or the folder selection's nonzero result when the folder could not
// be selected.
int32_t PlayMediaFile(const char* file);
