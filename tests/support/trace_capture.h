// The emulator's trace of one test, caught in memory.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/testing.h"

namespace orvado_test {

class TraceCapture {
 public:
  TraceCapture() : stream_(open_memstream(&text_, &size_)) {}
  ~TraceCapture() {
    std::fclose(stream_);
    std::free(text_);
  }
  TraceCapture(const TraceCapture&) = delete;
  TraceCapture& operator=(const TraceCapture&) = delete;

  std::FILE* stream() { return stream_; }
  // A virtual-clock receiver that traces into this capture.
  emu::Config config() {
    emu::Config c = virtualConfig();
    c.trace = true;
    c.traceOut = stream_;
    return c;
  }
  // Everything traced so far.
  std::string text() {
    std::fflush(stream_);
    return std::string(text_, size_);
  }

 private:
  char* text_ = nullptr;
  size_t size_ = 0;
  std::FILE* stream_;
};

}  // namespace orvado_test
