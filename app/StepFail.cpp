// The application's one way to fail: the word on the status line for the
// user in front of the screen, and a line in the log for the one who wants
// to know why.
#include <sys/wait.h>

#include <cstdio>
#include <cstring>

#include "app/stream_internal.h"
#include "lib/log/log.h"

namespace {

uint32_t lastLogged = 0;  // hash of the last line logged

// Shown unless a live line already says it.
bool Showing(const char* text) {
  for (int i = 0; i < 10; ++i)
    if (_StatusausgabeTick[i] > _tick && strcmp(_StatusausgabeText[i], text) == 0) return true;
  return false;
}

}  // namespace

namespace stream_internal {

StepResult StepOk(void) { return StepResult{true, nullptr}; }

StepResult Fail(const char* word, const char* what, const char* subject, int wgetExit, FailShow show) {
  if (word != nullptr) {
    if (show == SHOW_LONG)
      SetStatusAusgabe(word, 10);
    else if (show == SHOW_USUAL || !Showing(word))
      SetStatusAusgabe(word, _StatusShowTime);
  }
  char exit[24] = "";
  if (wgetExit >= 0) snprintf(exit, sizeof exit, " (wget exit %d)", wgetExit);
  char line[700];
  snprintf(line, sizeof line, "Orvado: %s%s%s%s%s%s", word != nullptr ? word : "", word != nullptr ? ": " : "", what,
           subject != nullptr ? " " : "", subject != nullptr ? subject : "", exit);
  uint32_t hash = HashText(line, strlen(line));
  if (hash != lastLogged) {
    lastLogged = hash;
    LogEntryZindraPrintf(1, "%s", line);
  }
  return StepResult{false, word};
}

int ExitStatus(int result) { return result >= 0 && WIFEXITED(result) ? WEXITSTATUS(result) : -1; }

}  // namespace stream_internal
