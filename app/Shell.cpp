// The pipeline's shell commands: formatted within their buffer, and time
// limits for the fetches that a step waits for.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "app/stream_internal.h"

namespace stream_internal {

StepResult FormatCommand(char (&command)[CommandSize], const char* word, const char* subject, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = vsnprintf(command, sizeof command, format, args);
  va_end(args);
  if (n >= 0 && static_cast<uint32_t>(n) < sizeof command) return StepOk();
  return Fail(word, "a command too long for", subject);
}

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
