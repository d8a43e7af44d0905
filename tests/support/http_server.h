// A small HTTP server for the tests, on loopback, in threads of the test
// process. It serves the files of a folder (a query is ignored; a missing
// file is a 404), and faults under path prefixes:
//   /hang/...     reads the request, then never answers (a 503 when it stops);
//   /trickle/...  answers the headers and then one byte a second;
//   /chunked/P    serves P with chunked transfer encoding, no Content-Length;
//   /once/P       promises P whole but closes halfway at the first request;
//   /short/P      does that at every request;
//   /ranges/P     serves P and answers a Range request with that range;
//   /moved/P      redirects a playlist (P ends in .m3u8) with 302 to "/P",
//                 or to "<U>P" with the query "to=<U>"; anything else is 404.
// Every answer closes its connection.
#pragma once

#include <memory>
#include <string>

namespace orvado_test {

class HttpServer {
 public:
  // Serves the folder `root` on a free port of the loopback `address`; returns
  // once it listens. On failure (an address outside 127.0.0.0/8, no port)
  // `port` stays 0 and up() is false.
  explicit HttpServer(std::string root, std::string address = "127.0.0.1");
  // Stops at once, also while requests hang or trickle: their connections end.
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // True when a connection to host:port succeeds.
  bool up() const;
  // "http://host:port/" followed by `path`.
  std::string url(const std::string& path) const;

  const std::string host;
  int port = 0;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace orvado_test
