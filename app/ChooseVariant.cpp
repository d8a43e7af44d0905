// The variant of a master playlist that the channel plays: the best one
// with a picture whose own segments carry sound, and after a failed start
// the next one down.
#include <cstdio>
#include <cstring>

#include "app/ResolveUrl.h"
#include "app/stream_internal.h"

namespace stream_internal {

namespace {

bool Contains(const TextSpan& span, const char* word) {
  size_t n = strlen(word);
  for (uint32_t i = 0; span.at != nullptr && i + n <= span.length; ++i)
    if (memcmp(span.at + i, word, n) == 0) return true;
  return false;
}

bool SameSpan(const TextSpan& a, const TextSpan& b) {
  return a.at != nullptr && b.at != nullptr && a.length == b.length && memcmp(a.at, b.at, a.length) == 0;
}

// Before `b` in the order of choice: a picture first (an audio-only variant
// would play sound on a black screen), then sound, then the higher
// bandwidth, then the earlier in the list.
bool Before(const Playlist& list, uint32_t a, uint32_t b) {
  bool pictureA = VariantHasPicture(list.variant[a]), pictureB = VariantHasPicture(list.variant[b]);
  if (pictureA != pictureB) return pictureA;
  bool soundA = VariantHasSound(list, list.variant[a]), soundB = VariantHasSound(list, list.variant[b]);
  if (soundA != soundB) return soundA;
  if (list.variant[a].bandwidth != list.variant[b].bandwidth)
    return list.variant[a].bandwidth > list.variant[b].bandwidth;
  return a < b;
}

// The rendition that sounds with variant `v`: of its AUDIO group, the one
// marked DEFAULT=YES, else the first with a URI; null when none has a URI.
const PlaylistRendition* SoundRendition(const Playlist& list, const PlaylistVariant& v) {
  const PlaylistRendition* first = nullptr;
  for (uint32_t i = 0; i < list.renditionCount; ++i) {
    const PlaylistRendition& r = list.rendition[i];
    if (!SpanIs(r.type, "AUDIO") || !SameSpan(r.groupId, v.audio) || r.uri.at == nullptr) continue;
    if (r.isDefault) return &r;
    if (first == nullptr) first = &r;
  }
  return first;
}

}  // namespace

bool VariantHasPicture(const PlaylistVariant& v) {
  if (v.resolution.at != nullptr || v.codecs.at == nullptr) return true;
  static const char* const kVideo[] = {"avc1", "avc3", "hvc1", "hev1", "mp4v", "vp09", "av01", "dvh1", "dvhe"};
  for (const char* video : kVideo)
    if (Contains(v.codecs, video)) return true;
  return false;
}

bool VariantHasSound(const Playlist& list, const PlaylistVariant& v) {
  if (v.audio.at != nullptr) {
    bool group = false;
    for (uint32_t i = 0; i < list.renditionCount; ++i) {
      const PlaylistRendition& r = list.rendition[i];
      if (!SpanIs(r.type, "AUDIO") || !SameSpan(r.groupId, v.audio)) continue;
      // A rendition without URI is the sound in the variant's own segments.
      if (r.uri.at == nullptr) return true;
      group = true;
    }
    if (group) return false;
  }
  if (v.codecs.at == nullptr) return true;
  return Contains(v.codecs, "mp4a") || Contains(v.codecs, "ac-3") || Contains(v.codecs, "ec-3") ||
         Contains(v.codecs, "mp3") || Contains(v.codecs, "opus");
}

bool ChooseVariant(const Playlist& list) {
  const char* master = _OrvadoChunkListURL;
  Run.variantChoices = 0;
  for (uint32_t i = 0; i < list.variantCount; ++i) {
    const PlaylistVariant& v = list.variant[i];
    if (v.uri.at == nullptr) return Fail(nullptr, "a variant without its URI line in", master).ok;
    if (v.uri.length >= StreamUrlSize) return Fail("URL >> 1", "a variant URI too long in", master).ok;
  }
  // The variants in the order of choice; nothing is chosen when the first
  // variant says no bandwidth.
  // Only variants that the receiver decodes are chosen.
  uint32_t order[PlaylistVariants];
  uint32_t n = 0;
  bool any = list.variantCount > 0 && list.variant[0].bandwidth != 0;
  for (uint32_t i = 0; any && i < list.variantCount; ++i) {
    if (!VariantDecodable(list.variant[i])) continue;
    uint32_t at = n++;
    for (; at > 0 && Before(list, i, order[at - 1]); --at) order[at] = order[at - 1];
    order[at] = i;
  }
  if (any && n == 0)
    return Fail("Cannot decode", "no variant is in a form the receiver decodes (H.264 or MPEG-2 up to 1080p):", master,
                -1, SHOW_ONCE)
        .ok;
  Run.variantChoices = n;
  const PlaylistVariant* chosen = n > 0 ? &list.variant[order[Run.variantSkip % n]] : nullptr;
  char message[32];
  snprintf(message, sizeof message, "%u kb/s", chosen != nullptr ? chosen->bandwidth / 1000 : 0);
  SetStatusAusgabe(message, _StatusShowTime);
  if (chosen == nullptr) return true;  // the master playlist itself stays the chunk list
  Run.variantBandwidth = chosen->bandwidth;
  snprintf(Run.variantResolution, sizeof Run.variantResolution, "%.*s",
           static_cast<int>(chosen->resolution.at != nullptr ? chosen->resolution.length : 0),
           chosen->resolution.at != nullptr ? chosen->resolution.at : "");
  memcpy(_OrvadoChunkName, chosen->uri.at, chosen->uri.length);
  _OrvadoChunkName[chosen->uri.length] = '\0';
  Run.soundListUrl[0] = '\0';
  if (!VariantHasSound(list, *chosen)) {
    const PlaylistRendition* sound = SoundRendition(list, *chosen);
    if (sound == nullptr ||
        !ResolveUrl(master, sound->uri.at, sound->uri.length, Run.soundListUrl, sizeof Run.soundListUrl) ||
        !ShellSafe(Run.soundListUrl)) {
      Run.soundListUrl[0] = '\0';
      Fail("Sound apart", "every variant has its sound in a rendition of its own; playing without:", _OrvadoChunkName,
           -1, SHOW_ONCE);
    }
  }
  // The variant's URI is relative to the master playlist that holds it. The
  // best one's list is kept, to go back to it after a fall-back.
  const PlaylistVariant& best = list.variant[order[0]];
  if (!ResolveUrl(master, best.uri.at, best.uri.length, Run.bestListUrl, sizeof Run.bestListUrl) ||
      !ShellSafe(Run.bestListUrl))
    Run.bestListUrl[0] = '\0';
  char resolved[StreamUrlSize];
  if (!ResolveUrl(master, chosen->uri.at, chosen->uri.length, resolved, sizeof resolved) || !ShellSafe(resolved))
    return Fail("URL >> 1", "the variant cannot be fetched:", _OrvadoChunkName).ok;
  memcpy(_OrvadoChunkListURL, resolved, sizeof resolved);
  return true;
}

}  // namespace stream_internal
