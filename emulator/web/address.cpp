// "[ADDR:]PORT" for --web.
#include <arpa/inet.h>

#include <cstdlib>

#include "web/web.h"

namespace emu::web {

bool parseAddress(const std::string& text, Address& address, std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = "bad web address \"" + text + "\": " + why;
    return false;
  };
  std::string host = "127.0.0.1", port = text;
  if (!text.empty() && text[0] == '[') {
    auto close = text.find("]:");
    if (close == std::string::npos) return fail("expected [IPv6]:PORT");
    host = text.substr(1, close - 1);
    port = text.substr(close + 2);
  } else if (auto colon = text.rfind(':'); colon != std::string::npos) {
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (host.find(':') != std::string::npos) return fail("put an IPv6 address in brackets, as [::1]:8080");
  }
  if (host == "localhost") host = "127.0.0.1";
  unsigned char buf[16];
  if (inet_pton(AF_INET, host.c_str(), buf) != 1 && inet_pton(AF_INET6, host.c_str(), buf) != 1)
    return fail("the address must be numeric (such as 127.0.0.1) or localhost");
  char* end = nullptr;
  long value = std::strtol(port.c_str(), &end, 10);
  if (port.empty() || *end || value < 0 || value > 65535) return fail("the port must be a number from 0 to 65535");
  address.host = host;
  address.port = static_cast<int>(value);
  return true;
}

}  // namespace emu::web
