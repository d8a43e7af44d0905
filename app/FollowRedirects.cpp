// Where wget's redirects led: each "Location: X [following]" line of its log
// is resolved against the URL before it, as wget itself follows them.
#include <cstring>

#include "app/ResolveUrl.h"
#include "app/stream_internal.h"

namespace stream_internal {

bool FollowRedirects(const char* log, const char* requested, char* out, size_t outSize) {
  if (out == nullptr || outSize == 0) return false;
  out[0] = '\0';
  if (requested == nullptr || strlen(requested) >= outSize) return false;
  strcpy(out, requested);
  if (log == nullptr) return true;
  const char kLocation[] = "Location: ";
  const char kFollowing[] = " [following]";
  const size_t head = strlen(kLocation), tail = strlen(kFollowing);
  char next[StreamUrlSize];
  const char* p = log;
  for (PlaylistLine line = NextPlaylistLine(&p); line.found; line = NextPlaylistLine(&p)) {
    if (line.length <= head + tail || !IsTag(line, kLocation) ||
        memcmp(line.at + line.length - tail, kFollowing, tail) != 0)
      continue;
    // A target that cannot be resolved here ends the chain where it stands.
    if (!ResolveUrl(out, line.at + head, line.length - head - tail, next, sizeof next) || strlen(next) >= outSize)
      return true;
    strcpy(out, next);
  }
  return true;
}

}  // namespace stream_internal
