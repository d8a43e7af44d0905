// Tells the user when a live chunk list stops moving or says it has ended;
// without these the picture just stops, or never comes, without a word.
#include "app/stream_internal.h"

namespace stream_internal {

void WatchPlaylist(const Playlist& list, uint32_t now) {
  if (list.ended) {
    if (!Run.endShown) SetStatusAusgabe("Playlist ended", _StatusShowTime);
    Run.endShown = true;
    return;
  }
  if (!Run.listSeen || list.hash != Run.listHash) {
    Run.listSeen = true;
    Run.listHash = list.hash;
    Run.listChangedTick = now;
    Run.staleShown = false;
    return;
  }
  // A list without a target duration is given the common 10 seconds.
  int64_t target = list.targetDuration < 0 ? 10 : list.targetDuration;
  if (target < 1) target = 1;
  if (target > 3600) target = 3600;
  if (!Run.staleShown && now - Run.listChangedTick >= static_cast<uint32_t>(3 * target * 100)) {
    SetStatusAusgabe("Playlist stale", _StatusShowTime);
    Run.staleShown = true;
  }
}

}  // namespace stream_internal
