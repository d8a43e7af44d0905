// Helpers of the screen and font tests.
#pragma once

#include <string>
#include <vector>

#include "support/testing.h"

namespace screen_test {

// The messages of the log lines that reached the console since the last
// call, without their time stamp and "ZINDRA - ".
inline std::vector<std::string> logMessages() {
  std::vector<std::string> out;
  for (const std::string& line : orvado_test::takeConsoleLines()) {
    size_t at = line.find("ZINDRA - ");
    std::string m = at == std::string::npos ? line : line.substr(at + 9);
    if (!m.empty() && m.back() == '\r') m.pop_back();  // a terminal may add it
    out.push_back(m);
  }
  return out;
}

}  // namespace screen_test
