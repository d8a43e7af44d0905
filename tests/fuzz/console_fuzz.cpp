// The console's line splitting, fed through a pipe in two writes so that a
// line may span them: every byte other than zero bytes and line ends must
// come out in order, and no line may hold either.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "emulator/core/sandbox.h"

namespace {

size_t feed(int fds[2], const uint8_t* data, size_t size, std::string* out) {
  if (size && write(fds[1], data, size) != static_cast<ssize_t>(size)) abort();
  return emu::drainConsole(fds[0], [&](const std::string& line) {
    if (line.find('\0') != std::string::npos || line.find('\n') != std::string::npos) abort();
    *out += line + "\n";
  });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Within one pipe buffer, so the writes never block.
  if (size > 60000) return 0;
  int fds[2];
  if (pipe2(fds, O_NONBLOCK) != 0) abort();
  std::string out;
  size_t half = size / 2;
  size_t read = feed(fds, data, half, &out) + feed(fds, data + half, size - half, &out);
  // Ends the line still waiting, so that it is checked too.
  const uint8_t end = '\n';
  feed(fds, &end, 1, &out);
  close(fds[0]);
  close(fds[1]);
  if (read != size) abort();
  std::string expected;
  for (size_t i = 0; i < size; i++)
    if (data[i] != '\0') expected += static_cast<char>(data[i]);
  expected += '\n';
  if (out != expected) abort();
  return 0;
}
