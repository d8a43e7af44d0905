// The receiver emulator's core: everything that stands in for the receiver's
// firmware on a PC. Front ends (the command line, the tests) use only this
// header and sandbox.h; the TAP sees only platform/tap.h and the firmware
// symbols.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/firmware.h"
#include "platform/tap.h"

namespace emu {

// How TAP_Hdd_ChangeDir reports its result. The TAP may not assume either.
enum class ChangeDirConvention {
  OneOnSuccess,   // 1 on success, 0 on failure
  ZeroOnSuccess,  // 0 on success, -1 on failure
};

struct Config {
  // Firmware symbols (mangled names as in platform/firmware.h) that this
  // receiver does not offer.
  std::set<std::string> leaveOut;
  // Folder of the per-symbol firmware objects; empty means the folder
  // "firmware" beside the core library.
  std::string firmwareDir;
  // Print every TAP interface and firmware call with arguments and result.
  bool trace = false;
  std::FILE* traceOut = stderr;
  // Calls left out of the trace, by name (such as "TAP_GetTick"); "idle"
  // leaves out the idle events.
  std::set<std::string> traceSkip;
  // With a virtual clock the tick moves only by advanceTicks and TAP_Delay.
  bool virtualClock = false;
  // Local wall-clock time that TAP_GetTime reports; 0 means the real time.
  // With a fixed time the clock still moves on with the ticks.
  std::time_t fixedTime = 0;
  // The tick at power-on: a receiver has been running a while before a TAP
  // starts, and the TAP relies on "now" being above 0.
  uint32_t startTicks = 1000;
  uint32_t systemId = 22010;
  uint32_t version = 0x1E;  // TAP interface version in the low 16 bits
  ChangeDirConvention changeDir = ChangeDirConvention::OneOnSuccess;
  // The firmware's slot of the TAP that is loaded.
  int tapSlot = 2;
  // WAV file (16-bit stereo, 48 kHz) that receives the player's decoded
  // audio; empty for none.
  std::string audioFile;
  // Receives the player's decoded audio as it is played, on the thread that
  // runs the TAP: `frames` frames of 16-bit stereo PCM at 48 kHz whose first
  // is due at `dueMs` (milliseconds of the emulator's clock, ticks x 10).
  std::function<void(const int16_t* samples, size_t frames, int64_t dueMs)> audioSink;
  // The player ends a playback that has waited this long at the end of a file
  // that no longer grows.
  uint32_t playerGiveUpTicks = 1000;
  // The watchdog: a call into the TAP (__TAP_Init_, the start routine, an
  // event) that has not returned after this many milliseconds of real time
  // is reported on the console with the TAP's stack; 0 turns it off.
  uint32_t watchdogMs = 10000;
};

// ---- life cycle -----------------------------------------------------------

// Puts the whole receiver into its power-on state with this configuration:
// fills the TAP interface, offers the firmware symbols that are not left out,
// clears the screen, memory ledger, player and current directory
// ("/mnt/hd/ProgramFiles"). Call it before anything else, and again for a
// fresh receiver. Returns false with a message when a firmware object cannot
// be loaded.
bool reset(const Config& config, std::string* error = nullptr);
const Config& config();

// Offers one more firmware symbol, as a library loaded later with global
// scope would. Returns false when the symbol is unknown or cannot be loaded.
bool offerFirmwareSymbol(const std::string& name, std::string* error = nullptr);

// ---- trace ----------------------------------------------------------------

bool tracing();
// Writes one trace line (a line end is added) when tracing is on.
void trace(const char* format, ...) __attribute__((format(printf, 1, 2)));

// ---- clock and state ------------------------------------------------------

uint32_t ticks();                   // what TAP_GetTick answers now
void advanceTicks(uint32_t ticks);  // virtual clock only; ignored otherwise
void setState(uint32_t mainState, uint32_t subState);
bool exitRequested();  // TAP_Exit was called
bool normalMode();     // true after TAP_EnterNormal, false after TAP_ExitNormal

// ---- memory ---------------------------------------------------------------

// The allocation after the next `n` successful ones fails; with `persistent`
// every one after it fails too. n < 0 switches failures off.
void failAllocAfter(long n, bool persistent = false);
long allocCalls();    // TAP_MemAlloc calls since reset
size_t liveBlocks();  // blocks allocated and not yet freed
size_t liveBytes();
// The most bytes live at once since reset or resetPeakBytes (which starts
// the count anew from what is live now): the TAP's peak demand.
size_t peakBytes();
void resetPeakBytes();
// The emulator's own allocations that the TAP must free (TAP_Osd_SaveBox).
void* memAlloc(uint32_t size);
// Blocks written past their end since reset: those freed so far, and the live
// ones checked now. Each is also reported on the console.
long heapOverruns();

// ---- screen ---------------------------------------------------------------

struct Image {
  uint32_t width = 0, height = 0;
  std::vector<uint32_t> pixels;  // ARGB, row by row
};

// The 720 x 576 screen as shown: every shown region composed, in the order of
// creation, over the video plane. Work regions are never shown. The video
// plane is black; while the player runs it shows the decoded picture, scaled
// to fit with its aspect kept (black bars around it), or, before the first
// picture is decoded, colour bars with a bar at the bottom that shows how much
// of the file has been played.
Image screen();
// Pixels of one region, or an empty image when it does not exist.
Image regionImage(uint16_t rgn);
// A number that moves whenever what screen() shows may have changed: every
// drawing call, region created or deleted, and every change of the video
// plane. Equal numbers mean an equal screen. Call it on the thread that runs
// the TAP, like screen().
uint64_t screenChanges();
bool savePng(const Image& image, const std::string& path, std::string* error = nullptr);
bool loadPng(const std::string& path, Image& image, std::string* error = nullptr);
// Widens an ARGB 1555 pixel of a graphic record to ARGB: alpha bit 1 is
// opaque, 0 all clear; 5-bit channels widen as (v << 3) | (v >> 2).
uint32_t argbFrom1555(uint16_t pixel);
// Unpacks the pixels of graphic record `gd` (TAP_Osd_PutGd's format,
// platform/tap.h) from `stream` of `length` bytes, without a region: width x
// height ARGB pixels, row by row. *complete (out) tells whether the stream
// held every pixel; the missing ones stay all clear. An unknown format gives
// an empty result.
std::vector<uint32_t> unpackGraphic(const TYPE_GrData& gd, const uint8_t* stream, size_t length, bool* complete);
// The region table as the firmware keeps it (OSD_RegionTableSize entries).
const OsdRegionInfo* regionTable();
int syncCount();  // TAP_Osd_Sync calls since reset

// ---- hard disk and player ---------------------------------------------------

// The TAP's current directory as a Linux path, as its directory record holds it.
std::string currentDir();
void setCurrentDir(const std::string& linuxPath);
bool playing();
// The play record as TAP_Hdd_GetPlayInfo would fill it now (not traced).
TYPE_PlayInfo playInfo();
std::string playingFile();  // Linux path, empty when nothing plays
std::string workFolder();   // Linux path of the firmware's work folder

// What the player is doing, for front ends.
struct PlayerStatus {
  bool playing = false;
  std::string file;                // Linux path
  uint32_t currentBlock = 0;       // 188-byte packets played
  uint32_t totalBlock = 0;         // 188-byte packets in the file now
  std::string videoCodec;          // such as "h264"; empty when there is none
  uint32_t width = 0, height = 0;  // of the decoded pictures
  uint64_t pictures = 0;           // pictures decoded and shown
  std::string audioCodec;          // such as "aac"; empty when there is none
  uint32_t sampleRate = 0;
  double audioSeconds = 0;        // audio decoded
  uint64_t damagedStretches = 0;  // damaged stretches of the file skipped
  uint32_t startTick = 0;         // when the playback started
  uint32_t firstPictureTick = 0;  // when its first picture was shown; 0 before
  // When the picture shown now is due by its timestamp, in milliseconds of
  // the emulator's clock (ticks x 10); -1 before the first. The sound given
  // to Config::audioSink carries the same clock, so the two can be lined up.
  int64_t pictureDueMs = -1;
};
// The player's state now (decodes what is due first). Empty when nothing plays.
// Like screen(), call it from the thread that runs the TAP: the player decodes
// on that thread as the clock moves on.
PlayerStatus playerStatus();

namespace detail {
class Playback;
}

// The player on its own: one playback of a transport-stream file, outside the
// firmware's player and on a clock of the caller's, for benchmarks and fuzzing.
// It reads and decodes as the firmware's player does (console lines included).
class FilePlayback {
 public:
  // Plays `path` from tick `now`; ends after waiting `giveUpTicks` at the end
  // of a file that no longer grows. A file that cannot be read ends at once.
  FilePlayback(const std::string& path, uint32_t now, uint32_t giveUpTicks);
  ~FilePlayback();
  FilePlayback(const FilePlayback&) = delete;
  FilePlayback& operator=(const FilePlayback&) = delete;
  // Decodes what is due by tick `now`; false once the playback has ended.
  bool advance(uint32_t now);
  // Position, size, codecs and counts so far (playing and file left empty).
  PlayerStatus status() const;
  std::string summary() const;  // what was decoded, as the console says it
  // Lays the current picture into a 720 x 576 `plane`; false before the first.
  bool picture(Image& plane);

 private:
  std::unique_ptr<detail::Playback> playback_;
};

// ---- the firmware's own functions ---------------------------------------------

// What the TAP reaches by symbol name (platform/firmware.h), callable here
// without a symbol look-up, so a front end or test can drive the firmware
// directly. Each does exactly what the exported symbol does.
namespace firmware {
void saveWorkFolder();     // ApplHdd_SaveWorkFolder
void restoreWorkFolder();  // ApplHdd_RestoreWorkFolder
// ApplHdd_SelectFolder: selects Linux folder `path` (no leading "/") into the
// 16-byte record `folder`. Returns 0 when selected.
int selectFolder(void* folder, const char* path);
void setWorkFolder(void* folder);  // ApplHdd_SetWorkFolder
// Appl_StartPlayback: plays `name` of the work folder. Returns 0 when started.
int startPlayback(const char* name, unsigned int a, bool b);
// Appl_StartPlaybackMedia: plays media file `name` of the work folder.
// Returns 0 when started.
int startPlaybackMedia(const char* name, unsigned int a, bool b, bool c);
// Appl_ConvertToValidUTF8Str: mends `text` (of `length` bytes) into valid UTF-8.
int convertToValidUTF8Str(unsigned char* text, int length);
}  // namespace firmware

// ---- firmware records -------------------------------------------------------

TapTableEntry* tapTable();  // TAP_TableSize entries
int32_t& curTapTask();

// ---- console ----------------------------------------------------------------

// Lines that the TAP wrote with TAP_Print, in order, and what the receiver
// reported itself (refused playbacks and the like).
const std::vector<std::string>& consoleLines();
// Called for each console line as it is written; the front end prints them.
void setConsoleSink(std::function<void(const std::string& line)> sink);
// The receiver writes a line of its own to the console.
void console(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Prints a console line on standard output as front ends show it:
// "[receiver console] <line>", flushed at once.
void printConsoleLine(const std::string& line);

// The TAP's status column, as its console lines report it: a line
// "status: TEXT (N s)" (TAP_Print, one call or several) shows TEXT for N
// seconds from the tick it was printed at. Like Orvado's own column on the
// screen it holds at most kStatusShown texts; one printed while that many
// show is left out. The texts shown now, oldest first; reset() clears them.
// Like screen(), call it on the thread that runs the TAP.
constexpr size_t kStatusShown = 10;
std::vector<std::string> statusTexts();

// ---- shell ------------------------------------------------------------------

// One shell command of the TAP (system or popen), as it ran.
struct ShellCommand {
  uint64_t number = 0;  // 1, 2, ... since the program started
  std::string kind;     // "system" or "popen"
  std::string command;  // the command line
  uint32_t startTick = 0;
  bool done = false;   // the shell has ended (popen: at pclose)
  int status = -1;     // its wait status, -1 when it could not start
  std::string result;  // "exit 0", "exit 8", "killed by Terminated", "could not start"
  double seconds = 0;  // how long it ran
  // The end (2 kB at most) of what it, and the jobs it left in the
  // background, wrote to standard error so far. That output also goes on to
  // the emulator's stderr.
  std::string errorTail;
};
// The TAP's last 50 shell commands since reset, oldest first. With tracing,
// each one also makes a trace line when it ends: "system(\"...\") = exit 0
// in 0.012 s" (popen's at pclose). Any thread may call it.
std::vector<ShellCommand> shellCommands();

// system() and popen() as the TAP's calls run them, whoever calls: inside a
// sandbox in its receiver's root, else on the PC. The program's own calls
// of system() and popen() (and the tests') always run on the PC.
int tapSystem(const char* line);
FILE* tapPopen(const char* line, const char* mode);

// ---- TAP files --------------------------------------------------------------

struct TapHeader {
  std::string programName, description, author, buildDate;
  uint32_t id = 0;
  uint32_t headerVersion = 0;
};

// Reads the header sections of a TAP file as the firmware's loader does.
// Returns false with a message when the file is no TAP.
bool readTapHeader(const std::string& path, TapHeader& header, std::string* error);

// Loads the TAP: reads its header, opens it, calls __TAP_Init_ and enters its
// handler into its TAP table slot. Returns false with a message on failure.
bool loadTap(const std::string& path, std::string* error);
// Calls the start routine. Returns its result: 0 means the TAP ends at once.
int startTap();
// Delivers one event through the TAP table slot (so a hook put there sees it
// first). Returns the handler's result.
uint32_t sendEvent(uint32_t event, uint32_t param1 = 0, uint32_t param2 = 0);
// Sends the stop event unless the TAP has ended, then unloads it.
void unloadTap();
bool tapLoaded();  // loaded and not ended
bool tapEnded();   // its start routine returned 0, or it called TAP_Exit, or it crashed
// Why the TAP crashed ("Segmentation fault in its event handler (event
// 0x100, 0x10016)"), empty when it did not. A fault (SIGSEGV, SIGBUS, SIGILL,
// SIGFPE) in a call into the TAP ends that call instead of the emulator; the
// TAP then gets no more events and stays in memory until the program ends.
const std::string& tapCrash();
// Why the TAP hangs or hung ("Hello (hello.tap) has not returned from its
// event handler (event 0x100, 0x0: idle) for 10.0 s"), empty when it did not
// since it was loaded. Safe from any thread. A hung call is ended when the
// run is over (its time is up, requestStop, stopHungTap); the TAP then gets
// no more events and stays in memory, as a crashed one does (tapCrash()
// stays empty).
std::string tapHang();
// Asks the watchdog to end the hung call (from any thread): runTap then
// returns. Nothing happens while no call hangs.
void stopHungTap();

// ---- running ----------------------------------------------------------------

// A key press at a time after the start routine returned.
struct ScriptedKey {
  uint32_t atTick = 0;  // ticks after start
  uint32_t code = 0;
};

// Where runTap's keys come from (a script, standard input, a web page, a
// test). Called on the loop's thread before each round's events and after
// every wake-up (wakeRun), with the ticks since the start routine returned:
// appends the keys to press now, in order. Returns false to end the run (the
// stop event follows).
using KeySource = std::function<bool(uint32_t now, std::vector<uint32_t>& keys)>;

// A source that presses each key at its tick (in the order given for equal
// ticks). It never ends the run.
KeySource scriptedKeys(std::vector<ScriptedKey> keys);
// A source that reads key names (as parseKey takes them) from standard input,
// one a line, without blocking; it ends the run at "quit" or when standard
// input closes. An unknown name gets a console line and is skipped.
KeySource stdinKeys();
// All of `sources` in turn; ends the run as soon as one of them does.
KeySource keySources(std::vector<KeySource> sources);

struct RunOptions {
  std::string tapPath;
  // Stop (with the stop event) this many ticks after start; 0 means when the
  // TAP ends or a key source ends the run.
  uint32_t runTicks = 0;
  uint32_t idleEveryTicks = 10;  // an idle event every 100 ms
  // The console's pseudo-terminal master, drained into onConsole; -1 for none.
  int consoleMaster = -1;
  std::function<void(const std::string&)> onConsole;
  // The keys to press; none when empty.
  KeySource takeKeys;
  // A front end beside the loop, such as the web page or the command line's
  // screenshots, called on the loop's thread with the ticks since start:
  // after each round, and between rounds at each multiple of `lookEveryMs`
  // milliseconds of the steady clock (0: only after rounds), so the front
  // end can take the screen and state while the picture moves between idle
  // events. With lookEveryMs the loop also wakes at once for wakeRun.
  std::function<void(uint32_t now)> look;
  uint32_t lookEveryMs = 0;
  // Called once when the run is over, before the TAP gets the stop event and
  // is unloaded, so the front end sees the last screen.
  std::function<void()> atEnd;
  // Called on the watchdog's thread when a call into the TAP hangs
  // (Config::watchdogMs), with tapHang()'s text; the loop's thread is held
  // by the TAP meanwhile. Called again with "" on the loop's thread when the
  // call returns after all.
  std::function<void(const std::string& why)> onHang;
};

// Parses a key name ("0".."9", "exit", "stop", "ok", "menu", "up", "down",
// "left", "right", "red", "green", "yellow", "blue", "volup", "voldown",
// "mute") or a number of two or more digits such as 0x1003C.
bool parseKey(const std::string& text, uint32_t& code);
// The name that parseKey takes for a key code, or "" for a code without one.
std::string keyName(uint32_t code);
// Parses a time ("2s", "1.5s", "250ms", "40t" for ticks) into ticks.
bool parseTicks(const std::string& text, uint32_t& ticks);

// Loads the TAP, starts it and delivers events until the TAP ends or the run
// is over, then unloads it. Returns false with a message when the TAP cannot
// be loaded.
bool runTap(const RunOptions& options, std::string* error);
// Asks a running runTap to stop (safe from a signal handler).
void requestStop();
// Ends the loop's current wait at once, so keys that a front end queued are
// taken without waiting for the next idle event. Safe from any thread (not
// from a signal handler).
void wakeRun();

}  // namespace emu
