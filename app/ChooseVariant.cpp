// The variant of a master playlist that the channel plays.
#include <cstring>

#include "app/ResolveUrl.h"
#include "app/stream_internal.h"

namespace stream_internal {

bool ChooseVariant(const Playlist& list) {
  const char* master = _OrvadoChunkListURL;
  for (uint32_t i = 0; i < list.variantCount; ++i) {
    const PlaylistVariant& v = list.variant[i];
    if (v.uri.at == nullptr) return Fail(nullptr, "a variant without its URI line in", master).ok;
    if (v.uri.length >= StreamUrlSize) return Fail("URL >> 1", "a variant URI too long in", master).ok;
  }
  int32_t chosen = -1;
  uint32_t best = 0;
  // Nothing is chosen when the first variant says no bandwidth.
  if (list.variantCount > 0 && list.variant[0].bandwidth != 0) {
    for (uint32_t i = 0; i < list.variantCount; ++i) {
      if (chosen < 0 || list.variant[i].bandwidth > best) {
        chosen = static_cast<int32_t>(i);
        best = list.variant[i].bandwidth;
      }
    }
  }
  char message[32];
  TAP_SPrint(message, "%u kb/s", best / 1000);
  SetStatusAusgabe(message, _StatusShowTime);
  if (chosen < 0) return true;  // the master playlist itself stays the chunk list
  const TextSpan& uri = list.variant[chosen].uri;
  memcpy(_OrvadoChunkName, uri.at, uri.length);
  _OrvadoChunkName[uri.length] = '\0';
  // The variant's URI is relative to the master playlist that holds it.
  char resolved[StreamUrlSize];
  if (!ResolveUrl(master, uri.at, uri.length, resolved, sizeof resolved) || !ShellSafe(resolved))
    return Fail("URL >> 1", "the variant cannot be fetched:", _OrvadoChunkName).ok;
  strcpy(_OrvadoChunkListURL, resolved);
  return true;
}

}  // namespace stream_internal
