// Whether the shell bounds a whole fetch: the time limit of the fetches
// that a step waits for.
#include <cstdio>
#include <cstdlib>

#include "app/stream_internal.h"

namespace stream_internal {

// wget's -T bounds each wait but not a server that trickles: where the
// shell has a timeout that takes "timeout N", it bounds the whole fetch.
// Without it, -T and -t alone bound a synchronous fetch, and a chunk job's
// deadline ends it.
bool TimeLimitUsable(void) {
  static int usable = -1;
  if (usable < 0) usable = system("timeout 5 true >/dev/null 2>&1") == 0;
  return usable == 1;
}

}  // namespace stream_internal
