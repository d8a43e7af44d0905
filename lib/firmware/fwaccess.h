// Access to the firmware's own functions and records, found by symbol name in
// the running firmware. Every accessor returns the symbol's address, or null
// when the firmware lacks it; a found address is kept, a missing one is looked
// up again on the next call. The wrappers call the firmware function when it
// exists and give a fixed result when it does not.
#pragma once

#include <cstdint>

#include "platform/firmware.h"

// Looks a symbol up in the running program. Returns its address, or null.
void* TryResolve(const char* name);

void* FIS_fwApplHdd_RestoreWorkFolder(void);
void* FIS_fwApplHdd_SaveWorkFolder(void);
void* FIS_fwApplHdd_SelectFolder(void);
void* FIS_fwApplHdd_SetWorkFolder(void);
void* FIS_fwAppl_StartPlayback(void);
void* FIS_fwAppl_StartPlaybackMedia(void);
void* FIS_fwAppl_ConvertToValidUTF8Str(void);
// The firmware's region table ("_osdInfo"), OSD_RegionTableSize entries.
OsdRegionInfo* FIS_vOsdMap(void);
// The firmware's TAP table ("_tapTask"), TAP_TableSize entries.
TapTableEntry* FIS_vTAPTable(void);
// The index of the TAP slot being served now ("_curTapTask").
int32_t* FIS_vCurTapTask(void);

// Remembers the firmware's work folder. Does nothing without the firmware function.
void ApplHdd_SaveWorkFolder(void);
// Puts back the remembered work folder. Does nothing without the firmware function.
void ApplHdd_RestoreWorkFolder(void);
// Selects a folder (Linux path without leading and closing "/") into the
// 16-byte record `folder`. Returns the firmware's result (0 selected), or 0
// without the firmware function.
int ApplHdd_SelectFolder(void* folder, const char* path);
// Makes the selected folder the work folder. Does nothing without the function.
void ApplHdd_SetWorkFolder(void* folder);
// Starts playback of a file of the work folder; the fourth value is not passed
// on. Returns the firmware's result (0 started), or -1 without the function.
int Appl_StartPlayback(const char* name, unsigned int a, bool b, bool c);
// Starts playback of a media file of the work folder. Returns the firmware's
// result (0 started), or 1 without the function.
int Appl_StartPlaybackMedia(const char* name, unsigned int a, bool b, bool c);

// Set once InitTAPex has run.
extern int32_t LibInitialized;
// The TAP interface version, as TAP_GetVersion reports it.
extern uint16_t ApplID;
// This TAP's index in the firmware's TAP table, -1 until it is known.
extern int32_t TAP_TableIndex;

// Fills ApplID and TAP_TableIndex once. Always returns 1.
int InitTAPex(void);
