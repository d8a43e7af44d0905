// The firmware description file and the translation of remote-control keys.
//
// FirmwareTMS.dat lists receiver models with their remote types; its layout
// is formats/firmware_dat.h. Remote types 2 and 3 send some keys under other
// codes; the hook in front of the TAP's event handler gives the handler the
// codes it expects.
#pragma once

#include <cstdint>

#include "formats/firmware_dat.h"
#include "platform/tap.h"

// The loaded description file (TAP_MemAlloc), or null. Kept once valid.
extern uint8_t* FWDATBin;
// Byte size of FWDATBin.
extern uint32_t FWDATSize;
// The remote type of this receiver's model record; 1 until one is found.
extern int32_t RemoteType;
// The TAP's own event handler while the hook is installed, else null.
extern TAP_EventHandlerFunction Original_TAP_EventHandler;

// Loads /mnt/hd/ProgramFiles/Settings/FirmwareTMS.dat, or else
// /mnt/hd/ProgramFiles/FirmwareTMS.dat, once, and hands out where its header,
// first model record and the data behind the records start (each out-pointer
// may be null). True when a valid image is loaded. An image is invalid when
// it is shorter than its header, has the wrong magic, a nonzero word at
// offset 8, or more records than the file holds; it is then freed and the
// next call reads the file again.
bool LoadFirmwareDat(uint8_t** header, uint8_t** records, uint8_t** tail);

// Reads the remote type of this receiver (by system id) from the description
// file, then installs (enable true, `handler` the TAP's own event handler) or
// removes (enable false) KeyTranslateHook in the TAP's slot of the firmware's
// TAP table. Returns 1 done; 0 nothing changed (no TAP table, or the slot
// does not hold the expected handler); -3 the TAP's slot is unknown.
int32_t KeyTranslate(bool enable, TAP_EventHandlerFunction handler);

// Stands in the TAP table for the TAP's event handler. Key events (low 16
// bits 0x100) reach the handler with the key code translated for RemoteType,
// the flag bits kept; if the handler returns nonzero the untranslated code is
// returned. Other events reach it with their low 16 bits. Without an
// installed handler every event is passed on (returns param1).
uint32_t KeyTranslateHook(uint32_t event, uint32_t param1, uint32_t param2);

// The receiver model: the low 16 bits of TAP_GetSystemId().
uint16_t GetSysID(void);
