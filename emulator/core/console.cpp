// The receiver's console: what the TAP prints with TAP_Print, and what the
// receiver reports itself; and the TAP's status column, which its
// "status: TEXT (N s)" lines report.
#include <cstdarg>
#include <cstdio>
#include <limits>
#include <mutex>

#include "core/internal.h"

namespace emu {
namespace {

std::vector<std::string> g_lines;
std::string g_partial;
std::function<void(const std::string&)> g_sink;
std::mutex g_otherLock;
std::vector<std::string> g_otherLines;  // from other threads, not yet in g_lines

struct StatusMessage {
  std::string text;
  uint32_t until = 0;  // shown while the tick is below this
};
std::vector<StatusMessage> g_status;  // oldest first

void dropExpiredStatus(uint32_t now) {
  std::erase_if(g_status, [now](const StatusMessage& m) { return m.until <= now; });
}

// "status: TEXT (N s)" puts TEXT into the column for N seconds. As in
// Orvado's own column, a message that finds ten shown is left out.
void statusLine(const std::string& line) {
  static const std::string prefix = "status: ", suffix = " s)";
  if (!line.starts_with(prefix) || !line.ends_with(suffix)) return;
  size_t open = line.rfind(" (");
  if (open == std::string::npos || open < prefix.size()) return;
  std::string number = line.substr(open + 2, line.size() - suffix.size() - (open + 2));
  if (number.empty() || number.size() > 9 || number.find_first_not_of("0123456789") != std::string::npos) return;
  uint32_t now = ticks();
  dropExpiredStatus(now);
  if (g_status.size() >= kStatusShown) return;
  uint64_t until = now + std::stoull(number) * 100;
  g_status.push_back({line.substr(prefix.size(), open - prefix.size()),
                      static_cast<uint32_t>(std::min<uint64_t>(until, std::numeric_limits<uint32_t>::max()))});
}

void addLine(const std::string& line) {
  g_lines.push_back(line);
  if (g_sink) g_sink(line);
}

// TAP_Print may write part of a line; a line is complete at its line feed.
void addText(const std::string& text) {
  for (char c : text) {
    if (c == '\n') {
      statusLine(g_partial);
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
void consoleFromAnyThread(const std::string& line) {
  std::lock_guard<std::mutex> guard(g_otherLock);
  g_otherLines.push_back("receiver: " + line);
  // The loop's thread is held in the TAP while this is called: the sink
  // shows the line now.
  if (g_sink) g_sink(g_otherLines.back());
}

void takeOtherThreadsLines() {
  std::lock_guard<std::mutex> guard(g_otherLock);
  for (std::string& line : g_otherLines) g_lines.push_back(std::move(line));
  g_otherLines.clear();
}

void resetConsole() {
  g_lines.clear();
  g_partial.clear();
  g_status.clear();
  TAP_SPrint = tapSPrint;
  TAP_Print = tapPrint;
}
}  // namespace detail

const std::vector<std::string>& consoleLines() { return g_lines; }

std::vector<std::string> statusTexts() {
  dropExpiredStatus(ticks());
  std::vector<std::string> texts;
  texts.reserve(g_status.size());
  for (const StatusMessage& m : g_status) texts.push_back(m.text);
  return texts;
}

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
