// The TAP interface of the receiver, as the firmware's libtap offers it.
//
// Every TAP_ entry is a pointer to a firmware routine. On the receiver the
// firmware fills the pointers; on a PC the emulator does. The TAP calls the
// routines through these pointers and never defines them itself.
#pragma once

#include <cstdint>

#if defined(__GNUC__)
#define TAP_API_VISIBLE __attribute__((visibility("default")))
#else
#define TAP_API_VISIBLE
#endif

// ---- events and keys -------------------------------------------------------

constexpr uint32_t EVT_IDLE = 0x0000;  // sent at a steady rate while nothing else happens
constexpr uint32_t EVT_KEY = 0x0100;   // param1 is the key code
constexpr uint32_t EVT_STOP = 0x0900;  // the TAP is asked to end

constexpr uint32_t RKEY_1 = 0x10001;  // digit keys 1..9 are RKEY_1 + n - 1
constexpr uint32_t RKEY_2 = 0x10002;
constexpr uint32_t RKEY_3 = 0x10003;
constexpr uint32_t RKEY_4 = 0x10004;
constexpr uint32_t RKEY_5 = 0x10005;
constexpr uint32_t RKEY_6 = 0x10006;
constexpr uint32_t RKEY_7 = 0x10007;
constexpr uint32_t RKEY_8 = 0x10008;
constexpr uint32_t RKEY_9 = 0x10009;
constexpr uint32_t RKEY_Exit = 0x10017;
constexpr uint32_t RKEY_Red = 0x10023;  // remote type 3 sends it where others send RKEY_Sat
constexpr uint32_t RKEY_Stop = 0x1003C;
constexpr uint32_t RKEY_Sat = 0x1003F;
// The other keys of the remote. The TAP handles none of them today; the
// emulator's front ends send them so a TAP under development can.
constexpr uint32_t RKEY_0 = 0x10000;
constexpr uint32_t RKEY_VolUp = 0x1000A;
constexpr uint32_t RKEY_VolDown = 0x1000B;
constexpr uint32_t RKEY_Mute = 0x1000C;
constexpr uint32_t RKEY_Up = 0x1000D;
constexpr uint32_t RKEY_Down = 0x1000E;
constexpr uint32_t RKEY_Left = 0x1000F;
constexpr uint32_t RKEY_Right = 0x10010;
constexpr uint32_t RKEY_Ok = 0x10011;
constexpr uint32_t RKEY_Menu = 0x10012;
constexpr uint32_t RKEY_Green = 0x10024;
constexpr uint32_t RKEY_Yellow = 0x10025;
constexpr uint32_t RKEY_Blue = 0x10026;
constexpr uint32_t RKEY_LastCode = 0x10050;  // highest key code the application handles
constexpr uint32_t RKEY_CodeMask = 0x1FFFF;  // key code; the bits above are flags
constexpr uint32_t RKEY_FlagMask = 0xFFFE0000;

// ---- screen ----------------------------------------------------------------

constexpr uint32_t OSD_ScreenWidth = 720;
constexpr uint32_t OSD_ScreenHeight = 576;
constexpr uint32_t OSD_Flag_Plane = 0x0000;       // a region that is shown
constexpr uint32_t OSD_Flag_WorkRegion = 0x8000;  // a region that is never shown
constexpr int OSD_FirstRegion = 128;              // region numbers below this are not the TAP's

// Graphic record for TAP_Osd_PutGd. Field order and the 16-byte size on the
// 32-bit receiver are fixed by the firmware.
//
// The pixel data that `data` points to is stored as `dataFormat` says and
// packed as `compressMethod` says:
//   dataFormat 0    : 16-bit pixels, little-endian ARGB 1555 (bit 15 alpha,
//                     then 5 bits each of red, green, blue).
//   compressMethod 0: the pixels as they are, width * height of them.
//   compressMethod 2: run-length packed. The stream is a series of blocks, each
//                     led by a control byte c:
//                       c < 0x80 : c + 1 literal pixels follow, 2 bytes each;
//                       c >= 0x80: one pixel follows, repeated c - 0x7F times.
//                     Blocks continue across row ends; the stream ends when
//                     width * height pixels are out. A stream that ends early
//                     leaves the rest transparent.
// `size` is the unpacked size in bytes (width * height * 2).
struct TYPE_GrData {
  uint8_t version;         // 1
  uint8_t reserved;        // 0
  uint8_t dataFormat;      // 0
  uint8_t compressMethod;  // 0 or 2
  const uint8_t* data;
  uint32_t size;
  uint16_t width;
  uint16_t height;
};

// ---- playback --------------------------------------------------------------

// Play-information record. Its first byte is nonzero while a playback runs.
struct TYPE_PlayInfo {
  uint8_t playMode;  // 0 none, 1 playing a file
  uint8_t trickMode;
  uint8_t reserved[2];
  uint32_t currentBlock;  // 188-byte packets played so far
  uint32_t totalBlock;    // 188-byte packets in the file
  char fileName[296];     // Linux path of the file being played
};
static_assert(sizeof(TYPE_PlayInfo) == 308, "play record is 308 bytes");

// ---- files -----------------------------------------------------------------

struct TYPE_File;  // an open file of the hard disk; only the firmware looks inside

// ---- registration ----------------------------------------------------------

typedef int (*TAP_MainFunction)(void);
typedef uint32_t (*TAP_EventHandlerFunction)(uint32_t event, uint32_t param1, uint32_t param2);

// The record that the firmware hands to __TAP_Init_: the TAP fills both slots.
struct TAP_EntryRecord {
  TAP_MainFunction main;
  TAP_EventHandlerFunction eventHandler;
};

// ---- the interface ---------------------------------------------------------

extern "C" {
#pragma GCC visibility push(default)

// Screen (720 x 576, ARGB colours with alpha in the top byte).
// Creates a region; flags 0 for a shown one, 0x8000 for a work region.
// Returns its number (128 or more), or a number below 128 on failure.
extern int (*TAP_Osd_Create)(uint32_t x, uint32_t y, uint32_t w, uint32_t h, uint8_t lutIdx, int flags);
// Deletes a region. Returns 0 on success.
extern int (*TAP_Osd_Delete)(uint16_t rgn);
// Shows what was drawn.
extern void (*TAP_Osd_Sync)(void);
// Fills a rectangle of a region. Returns 0 on success.
extern int (*TAP_Osd_FillBox)(uint16_t rgn, uint32_t x, uint32_t y, uint32_t w, uint32_t h, uint32_t colour);
// Draws a graphic record at x, y. Returns 0 on success.
extern int (*TAP_Osd_PutGd)(uint16_t rgn, int x, int y, const TYPE_GrData* gd, bool sprite);
// Draws text in the built-in font between x and maxX; align 0 left, 1 centre,
// 2 right; bg with alpha 0 leaves the background. Returns 0 on success.
extern int (*TAP_Osd_PutS)(uint16_t rgn, uint32_t x, uint32_t y, uint32_t maxX, const char* str, uint32_t fg,
                           uint32_t bg, uint8_t fntType, uint8_t fntSize, uint8_t bDot, uint8_t align);
// Width in pixels of text in the built-in font of size 0, 1 or 2.
extern int (*TAP_Osd_GetW)(const char* str, uint8_t fntType, uint8_t fntSize);
// Copies a rectangle between regions. Returns 0 on success.
extern int (*TAP_Osd_Copy)(uint16_t srcRgn, uint16_t dstRgn, uint32_t srcX, uint32_t srcY, uint32_t w, uint32_t h,
                           uint32_t dstX, uint32_t dstY, bool sprite);
// Returns w * h ARGB pixels of a region, row by row, in a block from
// TAP_MemAlloc, or null.
extern uint32_t* (*TAP_Osd_SaveBox)(uint16_t rgn, uint32_t x, uint32_t y, uint32_t w, uint32_t h);
// Writes w * h ARGB pixels back into a region.
extern void (*TAP_Osd_RestoreBox)(uint16_t rgn, uint32_t x, uint32_t y, uint32_t w, uint32_t h, const uint32_t* data);

// State and time.
extern void (*TAP_GetState)(uint32_t* mainState, uint32_t* subState);
extern void (*TAP_EnterNormal)(void);  // hands screen and keys to the firmware
extern void (*TAP_ExitNormal)(void);   // takes them back
extern void (*TAP_Exit)(void);         // ends the TAP after the current call
extern uint32_t (*TAP_GetTick)(void);  // 10 ms units since start
extern void (*TAP_Delay)(uint32_t ticks);
extern void (*TAP_Sleep)(uint32_t ticks);
// Current local date (Modified Julian Date) and time. Returns 1.
extern int (*TAP_GetTime)(uint16_t* mjd, uint8_t* hour, uint8_t* minute, uint8_t* second);
// Splits a Modified Julian Date; weekday 0 is Monday.
extern void (*TAP_ExtractMjd)(uint16_t mjd, uint16_t* year, uint8_t* month, uint8_t* day, uint8_t* weekday);
extern uint32_t (*TAP_GetSystemId)(void);  // the receiver model in the low 16 bits
extern uint32_t (*TAP_GetVersion)(void);   // the interface version in the low 16 bits

// Memory and text.
extern void* (*TAP_MemAlloc)(uint32_t size);  // null when no memory
extern int (*TAP_MemFree)(const void* block);
extern void (*TAP_MemSet)(void* p, uint8_t value, uint32_t n);
extern void (*TAP_MemCpy)(void* dst, const void* src, uint32_t n);
extern int (*TAP_MemCmp)(const void* a, const void* b, uint32_t n);  // 0 when equal
extern int (*TAP_SPrint)(char* s, const char* format, ...) __attribute__((format(printf, 2, 3)));
extern int (*TAP_Print)(const char* format, ...) __attribute__((format(printf, 1, 2)));  // to the receiver's console

// Hard disk; names are relative to the TAP's current directory.
// Changes the current directory; the value that means success is the
// firmware's own.
extern int (*TAP_Hdd_ChangeDir)(const char* path);
extern int (*TAP_Hdd_Exist)(const char* name);   // nonzero when it exists
extern int (*TAP_Hdd_Delete)(const char* name);  // 0 on success
// Opens a file; null on failure. The handle is a block of the TAP's heap.
extern TYPE_File* (*TAP_Hdd_Fopen)(const char* name);
extern uint32_t (*TAP_Hdd_Flen)(TYPE_File* file);
extern uint32_t (*TAP_Hdd_Fread)(void* buffer, uint32_t size, uint32_t count, TYPE_File* file);  // items read
// Closes the file. The handle's memory stays with the caller, who releases
// it with TAP_MemFree.
extern void (*TAP_Hdd_Fclose)(TYPE_File* file);
extern int (*TAP_Hdd_GetPlayInfo)(TYPE_PlayInfo* info);
extern int (*TAP_Hdd_StopTs)(void);

#pragma GCC visibility pop
}
