// Every wget command line of the pipeline, from one builder: the downloader,
// its time limits, tries, byte range and where its output and messages go.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/stream_internal.h"
#include "lib/files/files.h"

namespace stream_internal {

bool ShellSafe(const char* url) {
  for (const char* c = url; *c != '\0'; ++c)
    if (*c == '\'' || *c == '\n' || *c == '\r') return false;
  return url[0] != '-';
}

const char* ChooseDownloader(void) {
  if (!HDD_Exist(ORVADO_WGET)) return "wget";
  // Copied by FTP, the file may have lost its executable bit.
  system("chmod 755 " ORVADO_WGET " 2>/dev/null");
  return ORVADO_WGET;
}

// " --user-agent='...'" with the channel's own User-Agent, or the TAP's:
// any text, single-quoted for the shell (a quote as '\''), control
// characters (which would end wget's header line) as blanks.
static void UserAgentOption(char* out, size_t size) {
  const char* own = Run.channel >= 1 && Run.channel <= 9 ? _OrvadoUserAgent[Run.channel - 1] : "";
  const char* agent = own[0] != '\0' ? own : "Orvado/" ORVADO_VERSION;
  size_t at = static_cast<size_t>(snprintf(out, size, " --user-agent='"));
  for (const char* c = agent; *c != '\0' && at + 6 < size; ++c) {
    if (*c == '\'') {
      memcpy(out + at, "'\\''", 4);
      at += 4;
    } else {
      out[at++] = static_cast<uint8_t>(*c) < 0x20 || *c == 0x7F ? ' ' : *c;
    }
  }
  out[at++] = '\'';
  out[at] = '\0';
}

StepResult WgetCommand(char (&command)[CommandSize], const WgetFetch& fetch, const char* word) {
  if (!ShellSafe(fetch.url)) return Fail(word, "cannot quote for the shell:", fetch.url);
  const char* wget = Run.wget != nullptr ? Run.wget : "wget";
  // wget gives up on a 206 answer to a Range header of the user's own; with
  // --start-pos it expects one, and the header (which replaces wget's own)
  // sets the end.
  char range[112] = "";
  if (fetch.rangeStart >= 0 && fetch.rangeLength > 0)
    snprintf(range, sizeof range, " --start-pos=%lld --header 'Range: bytes=%lld-%lld'",
             static_cast<long long>(fetch.rangeStart), static_cast<long long>(fetch.rangeStart),
             static_cast<long long>(fetch.rangeStart + fetch.rangeLength - 1));
  char limit[24] = "";
  if (TimeLimitUsable()) snprintf(limit, sizeof limit, "timeout %u ", fetch.seconds);
  char agent[sizeof _OrvadoUserAgent[0] * 4 + 24];
  UserAgentOption(agent, sizeof agent);
  int n;
  if (fetch.background) {
    // wget runs as a job of the subshell, so its own pid is known (to end it
    // at its deadline) and its exit status closes the log.
    // The pid goes beside the log: "<job>.lok" keeps it in "<job>.pid".
    size_t stem = fetch.log != nullptr ? strlen(fetch.log) : 0;
    stem = stem > 4 && strcmp(fetch.log + stem - 4, ".lok") == 0 ? stem - 4 : stem;
    n = snprintf(command, sizeof command,
                 "(%s%s%s -T%u -t%u%s -O '%s' '%s' & echo $! >'%.*s.pid'; wait $!; echo \"%s$?\" >&2) "
                 "2>'%s' &",
                 limit, wget, agent, fetch.waitSeconds, fetch.tries, range, fetch.output, fetch.url,
                 static_cast<int>(stem), fetch.log != nullptr ? fetch.log : "", ChunkExitMarker,
                 fetch.log != nullptr ? fetch.log : "/dev/null");
  } else {
    n = snprintf(command, sizeof command, "%s%s%s -T%u -t%u%s -O '%s' '%s' 2>%s", limit, wget, agent, fetch.waitSeconds,
                 fetch.tries, range, fetch.output, fetch.url, fetch.log != nullptr ? fetch.log : "/dev/null");
  }
  if (n >= 0 && static_cast<uint32_t>(n) < sizeof command) return StepOk();
  return Fail(word, "a command too long for", fetch.url);
}

}  // namespace stream_internal
