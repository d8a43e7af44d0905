// The firmware's own records and functions that a TAP reaches by symbol name.
//
// The receiver is a 32-bit little-endian machine; there the records must have
// exactly the offsets below, which the 32-bit build checks. On a 64-bit PC the
// pointer fields are pointer-sized and the offsets move accordingly.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tap.h"

// The directory record of a TAP slot.
struct TapDirRecord {
  uint32_t unknown0;
  char* path;  // Linux path of the TAP's current directory, "/mnt/hd/..."
};

// One entry of the firmware's TAP table ("_tapTask").
struct TapTableEntry {
  uint32_t unknown0[5];
  TAP_EventHandlerFunction eventHandler;  // replaced by the key translation hook
  uint32_t unknown1[4];
  TapDirRecord* currentDir;
};

// One entry of the firmware's region table ("_osdInfo"), indexed by region number.
struct OsdRegionInfo {
  uint32_t unknown0;
  uint16_t width;  // 0 for a region that does not exist
  uint16_t height;
  uint32_t unknown1[2];
};

constexpr int TAP_TableSize = 16;         // TAP slots in "_tapTask"
constexpr int OSD_RegionTableSize = 256;  // entries in "_osdInfo"

static_assert(sizeof(OsdRegionInfo) == 16, "region table entry is 16 bytes");
static_assert(offsetof(OsdRegionInfo, width) == 4 && offsetof(OsdRegionInfo, height) == 6,
              "region size sits at bytes 4 and 6");
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(TapTableEntry) == 44, "TAP table entry is 44 bytes");
static_assert(offsetof(TapTableEntry, eventHandler) == 20, "event handler at byte 20");
static_assert(offsetof(TapTableEntry, currentDir) == 40, "directory record at byte 40");
static_assert(offsetof(TapDirRecord, path) == 4, "directory path at byte 4");
static_assert(sizeof(TYPE_GrData) == 16, "graphic record is 16 bytes");
static_assert(offsetof(TYPE_GrData, data) == 4 && offsetof(TYPE_GrData, size) == 8 &&
                  offsetof(TYPE_GrData, width) == 12 && offsetof(TYPE_GrData, height) == 14,
              "graphic record layout");
#endif

// Mangled names of the firmware functions, as the TAP looks them up.
constexpr const char* FW_ApplHdd_RestoreWorkFolder = "_Z25ApplHdd_RestoreWorkFolderv";
constexpr const char* FW_ApplHdd_SaveWorkFolder = "_Z22ApplHdd_SaveWorkFolderv";
constexpr const char* FW_ApplHdd_SelectFolder = "_Z20ApplHdd_SelectFolderPvPKc";
constexpr const char* FW_ApplHdd_SetWorkFolder = "_Z21ApplHdd_SetWorkFolderPv";
constexpr const char* FW_Appl_StartPlayback = "_Z18Appl_StartPlaybackPKcjb";
constexpr const char* FW_Appl_StartPlaybackMedia = "_Z23Appl_StartPlaybackMediaPKcjbb";
constexpr const char* FW_Appl_ConvertToValidUTF8Str = "_Z26Appl_ConvertToValidUTF8StrPhi";
constexpr const char* FW_osdInfo = "_osdInfo";
constexpr const char* FW_tapTask = "_tapTask";
constexpr const char* FW_curTapTask = "_curTapTask";

// The 16-byte folder record of ApplHdd_SelectFolder starts with this word.
constexpr uint32_t FW_FolderRecordMarker = 0xBACAED31;

// Signatures of the firmware functions, for calls through looked-up addresses.
typedef void (*FW_ApplHdd_RestoreWorkFolder_t)();
typedef void (*FW_ApplHdd_SaveWorkFolder_t)();
typedef int (*FW_ApplHdd_SelectFolder_t)(void* folder, const char* path);
typedef void (*FW_ApplHdd_SetWorkFolder_t)(void* folder);
typedef int (*FW_Appl_StartPlayback_t)(const char* name, unsigned int a, bool b);
typedef int (*FW_Appl_StartPlaybackMedia_t)(const char* name, unsigned int a, bool b, bool c);
typedef int (*FW_Appl_ConvertToValidUTF8Str_t)(unsigned char* text, int length);
