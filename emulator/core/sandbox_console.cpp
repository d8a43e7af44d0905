// The sandbox's console: the first pseudo terminal of its devpts instance,
// where the TAP writes its log lines.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "core/sandbox_internal.h"

namespace emu {

namespace {

const char* const kConsole = "/dev/pts/0";

std::mutex gPendingMutex;
// Per master: the start of a line whose end has not arrived yet.
std::map<int, std::string> gPending;

}  // namespace

int openConsole(std::string* error) {
  std::string ignored;
  std::string& err = error ? *error : ignored;
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0) {
    err = sandbox_detail::systemError("Cannot open a pseudo terminal");
    return -1;
  }
  char name[64];
  if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0) {
    err = sandbox_detail::systemError("Cannot unlock the pseudo terminal");
    close(master);
    return -1;
  }
  if (strcmp(name, kConsole) != 0) {
    err = std::string("The console would be ") + name + ", not " + kConsole +
          ": a pseudo terminal was opened before it, or this is not a sandbox";
    close(master);
    return -1;
  }
  // Kept open for the whole run: with no terminal side open, lines written
  // between two opens of the TAP could be lost.
  int terminal = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  struct termios mode;
  if (terminal < 0 || tcgetattr(terminal, &mode) != 0) {
    err = sandbox_detail::systemError(std::string("Cannot open ") + name);
    if (terminal >= 0) close(terminal);
    close(master);
    return -1;
  }
  // Raw, so that every byte arrives as written: no CR added, no zero byte or
  // control character taken as a command.
  cfmakeraw(&mode);
  int flags = fcntl(master, F_GETFL);
  if (tcsetattr(terminal, TCSANOW, &mode) != 0 || flags < 0 || fcntl(master, F_SETFL, flags | O_NONBLOCK) != 0) {
    err = sandbox_detail::systemError("Cannot set up the console");
    close(terminal);
    close(master);
    return -1;
  }
  std::lock_guard<std::mutex> lock(gPendingMutex);
  gPending.erase(master);
  return master;
}

size_t drainConsole(int master, const std::function<void(const std::string&)>& line) {
  std::vector<std::string> lines;
  size_t total = 0;
  {
    std::lock_guard<std::mutex> lock(gPendingMutex);
    std::string& pending = gPending[master];
    char buffer[4096];
    for (;;) {
      // Polling first keeps a blocking descriptor from hanging the caller.
      struct pollfd ready = {master, POLLIN, 0};
      if (poll(&ready, 1, 0) <= 0 || !(ready.revents & POLLIN)) break;
      ssize_t n = read(master, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      total += static_cast<size_t>(n);
      for (ssize_t i = 0; i < n; i++) {
        char c = buffer[i];
        if (c == '\0') continue;
        if (c == '\n') {
          lines.push_back(std::move(pending));
          pending.clear();
        } else {
          pending += c;
        }
      }
    }
  }
  // Outside the lock, so that `line` may drain again.
  for (const std::string& text : lines) line(text);
  return total;
}

}  // namespace emu
