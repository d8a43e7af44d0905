// Playback of a file of the hard disk through the firmware's own player.
#pragma once

#include <cstdint>

// Starts the firmware's player on `file` (any path form; a bare name lives in
// the TAP's current directory). A file with a ".inf" side file beside it is
// started as a recording, any other as a media file. The firmware's work
// folder is the same afterwards as before. Returns 1 when the firmware
// accepted the start, and 0 when nothing started: the folder could not be
// selected, the file has no folder on the disk, or the firmware refused.
int32_t PlayMediaFile(const char* file);
