// Tells the user when a live chunk list stops moving or says it has ended;
// without these the picture just stops, or never comes, without a word.
#include "app/stream_internal.h"

namespace {

uint32_t listHash = 0;
uint32_t listChangedTick = 0;
bool listSeen = false;
bool staleShown = false;
bool endShown = false;

}  // namespace

namespace stream_internal {

void ResetPlaylistWatch(void) {
  listSeen = staleShown = endShown = false;
  listHash = listChangedTick = 0;
}

void WatchPlaylist(const Playlist& list, uint32_t now) {
  if (list.ended) {
    if (!endShown) SetStatusAusgabe("Playlist ended", _StatusShowTime);
    endShown = true;
    return;
  }
  if (!listSeen || list.hash != listHash) {
    listSeen = true;
    listHash = list.hash;
    listChangedTick = now;
    staleShown = false;
    return;
  }
  // A list without a target duration is given the common 10 seconds.
  int64_t target = list.targetDuration < 0 ? 10 : list.targetDuration;
  if (target < 1) target = 1;
  if (target > 3600) target = 3600;
  if (!staleShown && now - listChangedTick >= static_cast<uint32_t>(3 * target * 100)) {
    SetStatusAusgabe("Playlist stale", _StatusShowTime);
    staleShown = true;
  }
}

}  // namespace stream_internal
