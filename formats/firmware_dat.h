// FirmwareTMS.dat, the firmware description file: the one definition of its
// layout. tools/fwdat writes it into the disk image; lib/firmware reads it on
// the receiver. Both include this header, so they cannot drift apart.
//
// Little-endian: a 20-byte header, `Count` model records of 348 bytes each
// from offset 20, then further data that the TAP does not read. The structs
// below have no padding, so on a little-endian machine they are the bytes.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

static_assert(std::endian::native == std::endian::little,
              "the description file is little-endian, like the receiver and the PC");

// The file header.
struct FWDAT_Header {
  uint32_t Magic;     // FWDAT_Magic (the bytes 78 56 34 12)
  uint32_t Version;   // 1; not read by the TAP
  uint32_t Zero;      // must be 0: anything else rejects the file
  uint32_t Count;     // number of model records
  uint32_t Reserved;  // 0; not read by the TAP
};

// One receiver model.
struct FWDAT_Record {
  uint16_t SystemId;     // model number: the low 16 bits of TAP_GetSystemId()
  char Name[32];         // model name, NUL-padded; not read by the TAP
  uint8_t Unread1[286];  // not read by the TAP
  int32_t RemoteType;    // 1, 2 or 3: which key codes the remote sends
  uint8_t Unread2[24];   // not read by the TAP
};

constexpr uint32_t FWDAT_Magic = 0x12345678;
constexpr uint32_t FWDAT_HeaderSize = sizeof(FWDAT_Header);
constexpr uint32_t FWDAT_RecordSize = sizeof(FWDAT_Record);
constexpr uint32_t FWDAT_ZeroOffset = offsetof(FWDAT_Header, Zero);
constexpr uint32_t FWDAT_CountOffset = offsetof(FWDAT_Header, Count);
constexpr uint32_t FWDAT_SystemIdOffset = offsetof(FWDAT_Record, SystemId);
constexpr uint32_t FWDAT_RemoteTypeOffset = offsetof(FWDAT_Record, RemoteType);

static_assert(FWDAT_HeaderSize == 20 && offsetof(FWDAT_Header, Version) == 4 && FWDAT_ZeroOffset == 8 &&
                  FWDAT_CountOffset == 12 && offsetof(FWDAT_Header, Reserved) == 16,
              "header: magic at 0, version at 4, zero word at 8, count at 12, 20 bytes");
static_assert(FWDAT_RecordSize == 348 && FWDAT_SystemIdOffset == 0 && offsetof(FWDAT_Record, Name) == 2 &&
                  FWDAT_RemoteTypeOffset == 320,
              "record: system id at 0, name at 2, remote type at 320, 348 bytes");

// Where the data behind the records starts in a file of `count` records.
constexpr uint64_t FWDAT_TailOffset(uint32_t count) {
  return FWDAT_HeaderSize + static_cast<uint64_t>(count) * FWDAT_RecordSize;
}
