// Private to the web front end: the HTTP server over the hub.
#pragma once

#include <httplib.h>

#include <thread>

#include "web/internal.h"

namespace emu::web {

class WebServer {
 public:
  explicit WebServer(Hub& hub);
  // Stops serving: open streams end, requests in flight finish.
  ~WebServer();
  // Listens at `address` and serves on threads of its own. False with a
  // message when the address cannot be used.
  bool bind(const Address& address, std::string* error);
  std::string url() const;  // the page's address
  int port() const { return port_; }

 private:
  Hub& hub_;
  httplib::Server server_;
  std::string host_;
  int port_ = 0;
  std::thread thread_;
};

}  // namespace emu::web
