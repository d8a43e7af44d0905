// Key sources for runTap: keys at set times, and key names from standard
// input. The web front end and tests bring sources of their own.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <memory>

#include "core/internal.h"

namespace emu {
namespace {

std::string trimmed(const std::string& s) {
  auto b = s.find_first_not_of(" \t");
  auto e = s.find_last_not_of(" \t");
  return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

// Standard input, non-blocking while the source lives, read in whole lines.
class StdinLines {
 public:
  StdinLines() { fcntl(0, F_SETFL, fcntl(0, F_GETFL) | O_NONBLOCK); }
  ~StdinLines() { fcntl(0, F_SETFL, fcntl(0, F_GETFL) & ~O_NONBLOCK); }
  StdinLines(const StdinLines&) = delete;
  StdinLines& operator=(const StdinLines&) = delete;
  // Appends the lines finished so far; false once standard input has closed.
  bool poll(std::vector<std::string>& lines) {
    char buf[256];
    for (;;) {
      ssize_t n = read(0, buf, sizeof buf);
      if (n == 0) return false;
      if (n < 0) return true;
      for (ssize_t i = 0; i < n; ++i) {
        if (buf[i] == '\n') {
          lines.push_back(partial_);
          partial_.clear();
        } else if (buf[i] != '\r') {
          partial_ += buf[i];
        }
      }
    }
  }

 private:
  std::string partial_;
};

}  // namespace

KeySource scriptedKeys(std::vector<ScriptedKey> keys) {
  std::stable_sort(keys.begin(), keys.end(), [](auto& a, auto& b) { return a.atTick < b.atTick; });
  auto next = std::make_shared<size_t>(0);
  return [keys = std::move(keys), next](uint32_t now, std::vector<uint32_t>& out) {
    for (; *next < keys.size() && keys[*next].atTick <= now; ++*next) out.push_back(keys[*next].code);
    return true;
  };
}

KeySource stdinKeys() {
  auto input = std::make_shared<StdinLines>();
  return [input](uint32_t, std::vector<uint32_t>& out) {
    std::vector<std::string> lines;
    bool open = input->poll(lines);
    for (const std::string& line : lines) {
      std::string name = trimmed(line);
      uint32_t code;
      if (name.empty()) continue;
      std::string lowered = name;
      std::transform(lowered.begin(), lowered.end(), lowered.begin(), [](unsigned char c) { return std::tolower(c); });
      if (lowered == "quit") return false;
      if (parseKey(name, code))
        out.push_back(code);
      else
        console("unknown key \"%s\" (use 0-9, exit, ok, menu, the arrows, the colours, stop, quit or a key code)",
                line.c_str());
    }
    return open;
  };
}

KeySource keySources(std::vector<KeySource> sources) {
  return [sources = std::move(sources)](uint32_t now, std::vector<uint32_t>& out) {
    bool going = true;
    for (const KeySource& source : sources)
      if (source && !source(now, out)) going = false;
    return going;
  };
}

}  // namespace emu
