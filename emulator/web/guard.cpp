// Which Host and Origin headers a request may carry.
#include <arpa/inet.h>

#include <cctype>

#include "web/internal.h"

namespace emu::web {
namespace {

bool isWildcard(const std::string& host) { return host == "0.0.0.0" || host == "::"; }

bool isAddressLiteral(const std::string& name) {
  unsigned char buf[16];
  if (name.size() > 2 && name.front() == '[' && name.back() == ']')
    return inet_pton(AF_INET6, name.substr(1, name.size() - 2).c_str(), buf) == 1;
  return inet_pton(AF_INET, name.c_str(), buf) == 1;
}

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

bool hostAllowed(const std::string& hostHeader, const std::string& boundHost, int port) {
  std::string host = lower(hostHeader);
  std::string name = host, portText;
  auto colon = host.rfind(':');
  if (colon != std::string::npos && host.find(']', colon) == std::string::npos) {
    name = host.substr(0, colon);
    portText = host.substr(colon + 1);
  }
  if (portText.empty() ? port != 80 : portText != std::to_string(port)) return false;
  if (name == "localhost" || name == "127.0.0.1" || name == "[::1]") return true;
  std::string bound = boundHost.find(':') != std::string::npos ? "[" + boundHost + "]" : boundHost;
  if (name == lower(bound)) return true;
  return isWildcard(boundHost) && isAddressLiteral(name);
}

bool originAllowed(const std::string& origin, const std::string& boundHost, int port) {
  const std::string scheme = "http://";
  if (origin.compare(0, scheme.size(), scheme) != 0) return false;
  return hostAllowed(origin.substr(scheme.size()), boundHost, port);
}

}  // namespace emu::web
