// Private to the web front end: the HTTP server over the hub.
#pragma once

#include <microhttpd.h>

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "web/internal.h"

namespace emu::web {

// Debian's libmicrohttpd, one thread per connection (a stream or a slow
// client holds only its own), behind a gate that keeps slow clients from
// piling up: a request's headers and body must arrive within
// kRequestSeconds of its connection's start (or of the end of the request
// before it), and one address keeps at most kPerAddress connections. Each
// connection takes two descriptors (its socket and the gate's duplicate):
// bind() raises the limit of open files to what that needs.
class WebServer {
 public:
  static constexpr int kRequestSeconds = 5;
  // Room for a few hundred slow connections from the loopback address beside
  // the page's own (all of them come from 127.0.0.1), and for other
  // addresses beside one that takes its whole share.
  static constexpr size_t kPerAddress = 256;
  static constexpr unsigned kConnections = 600;  // in all

  explicit WebServer(Hub& hub);
  // Stops serving: open streams end, requests in flight finish.
  ~WebServer();
  // Listens at `address` and serves on threads of its own. False with a
  // message when the address cannot be used.
  bool bind(const Address& address, std::string* error);
  std::string url() const;  // the page's address
  int port() const { return port_; }

  // One connection as the gate sees it.
  struct Connection {
    int fd = -1;  // a duplicate, so that the gate can cut it at any time
    std::string address;
    int64_t sinceMs = 0;  // when its connection or its last request began
    bool waiting = true;  // for a whole request
    bool served = false;  // a request of it has been answered
  };

 private:
  static MHD_Result onRequest(void* self, MHD_Connection* connection, const char* url, const char* method,
                              const char* version, const char* upload, size_t* uploadSize, void** request);
  static void onCompleted(void* self, MHD_Connection* connection, void** request, MHD_RequestTerminationCode why);
  static void onConnection(void* self, MHD_Connection* connection, void** context, MHD_ConnectionNotificationCode what);
  MHD_Result handle(MHD_Connection* connection, const std::string& url, const std::string& method,
                    const std::string& body);
  void admit(Connection* connection);
  void sweep();

  Hub& hub_;
  MHD_Daemon* daemon_ = nullptr;
  int listenFd_ = -1;
  std::string host_;
  int port_ = 0;

  std::mutex gateLock_;
  std::condition_variable gateWake_;
  std::map<Connection*, int> connections_;  // the open ones, in no order
  bool closing_ = false;
  std::thread sweeper_;
};

}  // namespace emu::web
