// Private to the emulator core: how its parts meet. Front ends use emulator.h.
#pragma once

#include <pthread.h>

#include <cstdarg>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

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
// A call that the watchdog ended (leaveHungCall) fails with kHungFault.
bool guardedCall(const std::function<void()>& call, std::string& fault);
inline constexpr const char* kHungFault = "hung";
inline constexpr int kHangStackDepth = 48;
// From another thread, while `thread` hangs in a guarded call: its stack,
// from the interrupted address on (empty when it cannot be had within half a
// second), and the end of the call, which then fails with kHungFault. The
// call may hold locks of the emulator or the C library; the process should
// end soon after.
std::vector<void*> hungStack(pthread_t thread);
void leaveHungCall(pthread_t thread);

// The watchdog (watchdog.cpp): the loader marks each call into the TAP, and
// a call that runs longer than Config::watchdogMs is reported.
enum class TapCall { none, init, main, event };
void callBegins(TapCall call, uint32_t event = 0, uint32_t param1 = 0);
// `returned`: the call came back by itself (not ended by the watchdog, no
// fault).
void callEnds(bool returned);
// Called on the watchdog's thread with the report when a call hangs.
void setOnHang(std::function<void(const std::string&)> onHang);
// The run's limits that the watchdog enforces while the TAP hangs: the real
// time (steady clock, ms) at which a timed run ends (0: none), and whether a
// stop was asked for.
void setRunDeadline(int64_t steadyMs, bool endWhenHung);
bool stopRequested();
// Names the TAP in reports: its program name and file, and its symbol table
// for the stack.
void setTapIdentity(const std::string& name, const std::string& file, const std::string& loadedAs,
                    std::vector<std::pair<uint64_t, std::pair<uint64_t, std::string>>> symbols);
// Console lines written by other threads (the watchdog), appended to the
// console by the loop's thread.
void consoleFromAnyThread(const std::string& line);
void takeOtherThreadsLines();

// Around each call into the TAP (tap_root.cpp): its own file calls see the
// receiver's sealed root (when the sandbox made one), with its own current
// folder; enterTapRoot switches this thread to it, leaveTapRoot back. On
// failure the thread stays in the PC's view, said once on the console.
void enterTapRoot();
void leaveTapRoot();
// For the firmware's own work inside a TAP call that needs the PC's files
// (loading a module, writing an output the user named): the PC's view for
// the guard's life.
class OutsideTapRoot {
 public:
  OutsideTapRoot();
  ~OutsideTapRoot();
  OutsideTapRoot(const OutsideTapRoot&) = delete;
  OutsideTapRoot& operator=(const OutsideTapRoot&) = delete;

 private:
  bool wasInside_;
};

// Formats like printf into a std::string.
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string vformat(const char* fmt, va_list args);
// Quotes a text for trace lines ("null" for null).
std::string quote(const char* text);

}  // namespace emu::detail
