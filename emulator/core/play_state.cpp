// The player's state as a front end shows it: file, position and the streams
// that the file's programme map table announces.
#include <sys/stat.h>

#include <fstream>
#include <vector>

#include "core/internal.h"

namespace emu {
namespace {

constexpr size_t kPacket = 188;
// The tables come first in a segment; a few hundred kilobytes always hold them.
constexpr size_t kProbeBytes = 256 * 1024;

std::string g_probedFile;
std::string g_codec;
uint32_t g_probedAt = 0;

const char* streamTypeName(uint8_t type) {
  switch (type) {
    case 0x01: return "MPEG-1 video";
    case 0x02: return "MPEG-2 video";
    case 0x03: return "MPEG-1 audio";
    case 0x04: return "MPEG-2 audio";
    case 0x06: return "private data";
    case 0x0F: return "AAC audio";
    case 0x11: return "AAC-LATM audio";
    case 0x1B: return "H.264 video";
    case 0x24: return "HEVC video";
    case 0x81: return "AC-3 audio";
    case 0x87: return "E-AC-3 audio";
    default: return nullptr;
  }
}

// The section that starts in this packet's payload (whole within the packet),
// or null. `length` gets the bytes from the table id to the end of the CRC.
const uint8_t* sectionIn(const uint8_t* packet, uint8_t tableId, size_t& length) {
  if (!(packet[1] & 0x40)) return nullptr;  // no section starts here
  uint8_t control = (packet[3] >> 4) & 3;
  if (!(control & 1)) return nullptr;  // no payload
  size_t at = 4;
  if (control & 2) at += 1 + size_t{packet[4]};
  if (at >= kPacket) return nullptr;
  at += 1 + size_t{packet[at]};  // pointer field
  if (at + 3 > kPacket || packet[at] != tableId) return nullptr;
  length = 3 + (((size_t{packet[at + 1]} & 0x0F) << 8) | packet[at + 2]);
  if (at + length > kPacket || length < 3 + 5 + 4) return nullptr;
  return packet + at;
}

}  // namespace

std::string transportStreamCodecs(const uint8_t* data, size_t size) {
  int pmtPid = -1;
  for (size_t off = 0; off + kPacket <= size; off += kPacket) {
    const uint8_t* p = data + off;
    if (p[0] != 0x47) return {};
    int pid = ((p[1] & 0x1F) << 8) | p[2];
    size_t length = 0;
    if (pid == 0 && pmtPid < 0) {
      const uint8_t* s = sectionIn(p, 0x00, length);
      if (!s) continue;
      for (size_t i = 8; i + 4 <= length - 4; i += 4) {
        int program = (s[i] << 8) | s[i + 1];
        if (program != 0) {
          pmtPid = ((s[i + 2] & 0x1F) << 8) | s[i + 3];
          break;
        }
      }
    } else if (pid == pmtPid) {
      const uint8_t* s = sectionIn(p, 0x02, length);
      if (!s || length < 12 + 4) continue;
      size_t i = 12 + (((size_t{s[10]} & 0x0F) << 8) | s[11]);
      std::string out;
      while (i + 5 <= length - 4) {
        const char* name = streamTypeName(s[i]);
        std::string item = name ? name : detail::format("stream type 0x%02X", s[i]);
        out += (out.empty() ? "" : ", ") + item;
        i += 5 + (((size_t{s[i + 3]} & 0x0F) << 8) | s[i + 4]);
      }
      return out;
    }
  }
  return {};
}

PlayState playState() {
  PlayState state;
  TYPE_PlayInfo info = playInfo();
  if (!info.playMode) return state;
  state.playing = true;
  state.file = playingFile();
  state.position = uint64_t{info.currentBlock} * kPacket;
  struct stat st;
  state.size =
      stat(state.file.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : uint64_t{info.totalBlock} * kPacket;
  // Probed once per file; again at most once a second while the file is too
  // young to hold its tables.
  if (state.file != g_probedFile || (g_codec.empty() && ticks() - g_probedAt >= 100)) {
    g_probedFile = state.file;
    g_probedAt = ticks();
    std::vector<uint8_t> head(kProbeBytes);
    std::ifstream in(state.file, std::ios::binary);
    in.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()));
    g_codec = transportStreamCodecs(head.data(), static_cast<size_t>(in.gcount()));
  }
  state.codec = g_codec;
  return state;
}

}  // namespace emu
