// The keys of AES-128 segments, fetched with wget once per key URL, and
// their IVs.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/ResolveUrl.h"
#include "app/stream_internal.h"
#include "lib/files/files.h"

namespace stream_internal {

namespace {

constexpr uint32_t kKeySeconds = 3;

}  // namespace

bool KeyFor(const PlaylistSegment& segment, const char* base, Chunk& chunk) {
  chunk.encrypted = segment.key.method == KEY_AES128;
  if (!chunk.encrypted) return true;
  char url[StreamUrlSize];
  if (segment.key.uri.at == nullptr || !ResolveUrl(base, segment.key.uri.at, segment.key.uri.length, url, sizeof url) ||
      !ShellSafe(url))
    return Fail("Encrypted", "a key that cannot be fetched in", _OrvadoChunkListURL, -1, SHOW_ONCE).ok;
  if (strcmp(url, Run.keyUrl) != 0) {
    Run.keyUrl[0] = '\0';
    char command[CommandSize];
    WgetFetch fetch = {url, ORVADO_SETTINGS "key.bin", nullptr, kKeySeconds, kKeySeconds, 1, -1, 0, false, 0};
    if (!WgetCommand(command, fetch, "Encrypted").ok) return false;
    int result = system(command);
    HDD_ChangeDir(SettingsDir);
    TYPE_File* file = result == 0 ? TAP_Hdd_Fopen("key.bin") : nullptr;
    bool whole = file != nullptr && TAP_Hdd_Flen(file) == 16 && TAP_Hdd_Fread(Run.keyBytes, 16, 1, file) == 1;
    if (file != nullptr) {
      TAP_Hdd_Fclose(file);
      TAP_MemFree(file);
    }
    if (!whole) return Fail("Encrypted", "the key cannot be fetched:", url, ExitStatus(result), SHOW_ONCE).ok;
    snprintf(Run.keyUrl, sizeof Run.keyUrl, "%s", url);
  }
  memcpy(chunk.key, Run.keyBytes, 16);
  // IV=0x followed by 32 hex digits; without it the sequence number, big-endian.
  memset(chunk.iv, 0, 16);
  const TextSpan& iv = segment.key.iv;
  if (iv.at != nullptr && iv.length == 34 && (iv.at[1] == 'x' || iv.at[1] == 'X')) {
    for (uint32_t i = 0; i < 32; ++i) {
      char c = iv.at[2 + i];
      int v = c >= '0' && c <= '9'   ? c - '0'
              : c >= 'a' && c <= 'f' ? c - 'a' + 10
              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                     : -1;
      if (v < 0) return Fail("Encrypted", "an IV that cannot be read in", _OrvadoChunkListURL, -1, SHOW_ONCE).ok;
      chunk.iv[i / 2] = static_cast<uint8_t>(chunk.iv[i / 2] << 4 | v);
    }
  } else {
    for (int i = 0; i < 8; ++i) chunk.iv[15 - i] = static_cast<uint8_t>(segment.sequence >> (8 * i));
  }
  return true;
}

}  // namespace stream_internal
