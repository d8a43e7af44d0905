// Private to the emulator core: how its parts meet. Front ends use emulator.h.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <functional>
#include <string>

#include "core/emulator.h"

namespace emu::detail {

// Each part fills its TAP_ pointers and returns to its power-on state.
// reset() calls them in this order after the firmware symbols are offered.
void resetMemory();
void resetClock();
void resetConsole();
void resetScreen(OsdRegionInfo* regionTable);  // the table the firmware keeps ("_osdInfo")
void resetHdd(TapTableEntry* tapTable);
void resetPlayer();
void resetShell();

// Passes on the error output that the TAP's shell commands and their
// background jobs wrote since the last call (shell.cpp). Never blocks.
void drainShell();

// The receiver's player and work folder, called by the firmware objects.
void fwSaveWorkFolder();
void fwRestoreWorkFolder();
int fwSelectFolder(void* folder, const char* path);
void fwSetWorkFolder(void* folder);
int fwStartPlayback(const char* name, unsigned int a, bool b);
int fwStartPlaybackMedia(const char* name, unsigned int a, bool b, bool c);
int fwConvertToValidUTF8Str(unsigned char* text, int length);

// The TAP's slot in the firmware's TAP table.
TapTableEntry& tapSlot();

// Real-time wait that keeps the virtual clock honest: moves a virtual clock by
// `ticks`, or sleeps for them on the real one.
void waitTicks(uint32_t ticks);

// Runs `call`, a call into the TAP. A fault inside it (SIGSEGV, SIGBUS,
// SIGILL, SIGFPE on this thread) ends the call: false, with the signal's name
// in `fault`. Faults outside such a call go to the handler that was there
// before (crash_guard.cpp).
bool guardedCall(const std::function<void()>& call, std::string& fault);

// Formats like printf into a std::string.
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string vformat(const char* fmt, va_list args);
// Quotes a text for trace lines ("null" for null).
std::string quote(const char* text);

}  // namespace emu::detail
