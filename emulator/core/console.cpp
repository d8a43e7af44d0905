// The receiver's console: what the TAP prints with TAP_Print, and what the
// receiver reports itself.
#include <cstdarg>
#include <cstdio>

#include "core/internal.h"

namespace emu {
namespace {

std::vector<std::string> g_lines;
std::string g_partial;
std::function<void(const std::string&)> g_sink;

void addLine(const std::string& line) {
  g_lines.push_back(line);
  if (g_sink) g_sink(line);
}

// TAP_Print may write part of a line; a line is complete at its line feed.
void addText(const std::string& text) {
  for (char c : text) {
    if (c == '\n') {
      addLine(g_partial);
      g_partial.clear();
    } else if (c != '\r') {
      g_partial += c;
    }
  }
}

int tapSPrint(char* s, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = std::vsprintf(s, format, args);
  va_end(args);
  trace("TAP_SPrint(%s) = %d", detail::quote(s).c_str(), n);
  return n;
}

int tapPrint(const char* format, ...) {
  if (!format) return 0;
  va_list args;
  va_start(args, format);
  std::string text = detail::vformat(format, args);
  va_end(args);
  trace("TAP_Print(%s) = %zu", detail::quote(text.c_str()).c_str(), text.size());
  addText(text);
  return static_cast<int>(text.size());
}

}  // namespace

namespace detail {
void resetConsole() {
  g_lines.clear();
  g_partial.clear();
  TAP_SPrint = tapSPrint;
  TAP_Print = tapPrint;
}
}  // namespace detail

const std::vector<std::string>& consoleLines() { return g_lines; }

void setConsoleSink(std::function<void(const std::string&)> sink) { g_sink = std::move(sink); }

void console(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = detail::vformat(format, args);
  va_end(args);
  addLine("receiver: " + text);
}

void printConsoleLine(const std::string& line) {
  std::printf("[receiver console] %s\n", line.c_str());
  std::fflush(stdout);
}

}  // namespace emu
