// The HTTP side: the page, the live picture, keys, TAP control and state,
// served by Debian's libmicrohttpd behind a gate against slow clients.
#include "web/server.h"

#include <netdb.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <ctime>
#include <vector>

namespace emu::web {
namespace {

constexpr const char* kBoundary = "orvadoframe";
constexpr int kJpegQuality = 85;
constexpr size_t kMaxBody = 64 * 1024;
// A response that the client does not take within this long is cut, and a
// stream that has not moved on for this long (its client stopped reading).
constexpr int64_t kResponseMs = 30000;
constexpr int64_t kStalledStreamMs = 20000;

int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The gate's view of a connection beside WebServer::Connection: what a
// stream last sent.
struct Gate : WebServer::Connection {
  bool stream = false;
  std::atomic<int64_t> progressMs{0};
  bool cut = false;
};

struct Request {
  std::string body;
  bool tooBig = false;
};

struct Reply {
  int status = 200;
  std::string body;
  std::string type = "text/plain; charset=utf-8";
  std::vector<std::pair<std::string, std::string>> headers;
};

Reply text(int status, const std::string& words) { return {status, words + "\n", "text/plain; charset=utf-8", {}}; }

void addCommonHeaders(MHD_Response* response) {
  MHD_add_response_header(response, "Cache-Control", "no-store");
  MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
  MHD_add_response_header(response, "X-Frame-Options", "DENY");
}

MHD_Result send(MHD_Connection* connection, const Reply& reply) {
  MHD_Response* response =
      MHD_create_response_from_buffer(reply.body.size(), const_cast<char*>(reply.body.data()), MHD_RESPMEM_MUST_COPY);
  if (!response) return MHD_NO;
  addCommonHeaders(response);
  MHD_add_response_header(response, "Content-Type", reply.type.c_str());
  for (const auto& [name, value] : reply.headers) MHD_add_response_header(response, name.c_str(), value.c_str());
  MHD_Result r = MHD_queue_response(connection, static_cast<unsigned>(reply.status), response);
  MHD_destroy_response(response);
  return r;
}

const std::string& jpegOf(Frame& frame) {
  std::call_once(frame.jpegOnce,
                 [&] { frame.jpeg = encodeJpeg(frame.pixels, frame.width, frame.height, kJpegQuality); });
  return frame.jpeg;
}

// How often a header comes in the request, and its value.
struct HeaderCount {
  const char* name;
  int count = 0;
  std::string value;
};

MHD_Result countHeader(void* cls, MHD_ValueKind, const char* key, const char* value) {
  auto* h = static_cast<HeaderCount*>(cls);
  if (key && strcasecmp(key, h->name) == 0) {
    ++h->count;
    h->value = value ? value : "";
  }
  return MHD_YES;
}

HeaderCount header(MHD_Connection* connection, const char* name) {
  HeaderCount h{name, 0, {}};
  MHD_get_connection_values(connection, MHD_HEADER_KIND, countHeader, &h);
  return h;
}

// A value of an application/x-www-form-urlencoded body; false when the body
// is malformed.
bool formValue(const std::string& body, const std::string& name, std::string& value, bool& found) {
  found = false;
  size_t start = 0;
  while (start <= body.size()) {
    size_t amp = body.find('&', start);
    std::string pair = body.substr(start, amp == std::string::npos ? std::string::npos : amp - start);
    size_t eq = pair.find('=');
    if (pair.substr(0, eq) == name) {
      std::string raw = eq == std::string::npos ? "" : pair.substr(eq + 1), out;
      for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '+') {
          out += ' ';
        } else if (raw[i] == '%') {
          if (i + 2 >= raw.size() || !isxdigit(static_cast<unsigned char>(raw[i + 1])) ||
              !isxdigit(static_cast<unsigned char>(raw[i + 2])))
            return false;
          out += static_cast<char>(std::stoi(raw.substr(i + 1, 2), nullptr, 16));
          i += 2;
        } else {
          out += raw[i];
        }
      }
      value = out;
      found = true;
      return true;
    }
    if (amp == std::string::npos) break;
    start = amp + 1;
  }
  return true;
}

// A stream of the page: pictures or sound, made part by part on the
// connection's own thread.
struct Stream {
  Hub* hub = nullptr;
  Gate* gate = nullptr;
  uint64_t id = 0;
  uint64_t last = 0;
  bool audio = false;
  bool listening = false;
  std::string pending;
  size_t at = 0;
};

bool nextPicture(Stream& s) {
  std::shared_ptr<Frame> frame = s.hub->frameAfter(s.last, std::chrono::milliseconds(500));
  if (!frame) return false;
  const std::string& jpeg = jpegOf(*frame);
  s.pending = std::string("--") + kBoundary +
              "\r\nContent-Type: image/jpeg\r\nContent-Length: " + std::to_string(jpeg.size()) +
              "\r\nX-Frame: " + std::to_string(frame->seq) + "\r\nX-Key: " + std::to_string(frame->keys) +
              "\r\nX-Key-Effect: " + std::to_string(frame->keyEffect) +
              "\r\nX-Due: " + std::to_string(frame->pictureDueMs) + "\r\n\r\n" + jpeg + "\r\n";
  s.last = frame->seq;
  return true;
}

// Records of a 4-byte frame count and an 8-byte due time (ms of the
// emulator's clock, the X-Due of the pictures), little-endian, then the
// frames as 16-bit stereo PCM at 48 kHz.
bool nextSound(Stream& s) {
  if (!s.listening) {
    s.listening = true;
    s.hub->listen(true);
  }
  s.pending.clear();
  for (const auto& chunk : s.hub->audioAfter(s.last, std::chrono::milliseconds(500))) {
    uint32_t frames = static_cast<uint32_t>(chunk->pcm.size() / 4);
    char head[12];
    std::memcpy(head, &frames, 4);
    std::memcpy(head + 4, &chunk->dueMs, 8);
    s.pending.append(head, sizeof head);
    s.pending += chunk->pcm;
    s.last = chunk->seq;
  }
  return !s.pending.empty();
}

ssize_t readStream(void* cls, uint64_t, char* buf, size_t max) {
  auto& s = *static_cast<Stream*>(cls);
  if (s.gate) s.gate->progressMs.store(nowMs());
  if (s.at >= s.pending.size()) {
    if (s.hub->streamEvicted(s.id) || s.hub->quitting()) return MHD_CONTENT_READER_END_OF_STREAM;
    s.at = 0;
    s.pending.clear();
    if (!(s.audio ? nextSound(s) : nextPicture(s))) return s.hub->quitting() ? MHD_CONTENT_READER_END_OF_STREAM : 0;
  }
  size_t n = std::min(max, s.pending.size() - s.at);
  std::memcpy(buf, s.pending.data() + s.at, n);
  s.at += n;
  return static_cast<ssize_t>(n);
}

void endStream(void* cls) {
  auto* s = static_cast<Stream*>(cls);
  if (s->listening) s->hub->listen(false);
  delete s;
}

Gate* gateOf(MHD_Connection* connection) {
  const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
  return info ? static_cast<Gate*>(info->socket_context) : nullptr;
}

MHD_Result sendStream(MHD_Connection* connection, Hub& hub, bool audio) {
  auto* s = new Stream;
  s->hub = &hub;
  s->gate = gateOf(connection);
  s->id = hub.openStream();
  s->audio = audio;
  if (s->gate) {
    s->gate->stream = true;
    s->gate->progressMs.store(nowMs());
  }
  MHD_Response* response = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 64 * 1024, readStream, s, endStream);
  if (!response) {
    delete s;
    return MHD_NO;
  }
  addCommonHeaders(response);
  MHD_add_response_header(
      response, "Content-Type",
      audio ? "application/octet-stream" : (std::string("multipart/x-mixed-replace; boundary=") + kBoundary).c_str());
  MHD_Result r = MHD_queue_response(connection, 200, response);
  MHD_destroy_response(response);
  return r;
}

}  // namespace

WebServer::WebServer(Hub& hub) : hub_(hub) {}

MHD_Result WebServer::onRequest(void* self, MHD_Connection* connection, const char* url, const char* method,
                                const char*, const char* upload, size_t* uploadSize, void** request) {
  auto& server = *static_cast<WebServer*>(self);
  std::string m = method ? method : "";
  if (!*request) {
    // The headers are in: what can be answered now is.
    *request = new Request;
    if (m != "GET" && m != "HEAD" && m != "POST") return send(connection, text(400, "unknown method"));
    HeaderCount host = header(connection, "Host"), origin = header(connection, "Origin");
    if (host.count != 1 || origin.count > 1)
      return send(connection, text(400, "one Host header is needed, and at most one Origin"));
    if (!hostAllowed(host.value, server.host_, server.port_))
      return send(connection, text(403, "refused: foreign Host"));
    if (origin.count && !originAllowed(origin.value, server.host_, server.port_))
      return send(connection, text(403, "refused: foreign Origin"));
    // A body without a length is not waited for.
    if (m == "POST" && !header(connection, "Content-Length").count && !header(connection, "Transfer-Encoding").count)
      return send(connection, text(411, "a POST needs a Content-Length"));
    return MHD_YES;
  }
  auto& req = *static_cast<Request*>(*request);
  if (*uploadSize) {
    if (req.body.size() + *uploadSize > kMaxBody)
      req.tooBig = true;
    else
      req.body.append(upload, *uploadSize);
    *uploadSize = 0;
    return MHD_YES;
  }
  if (Gate* gate = gateOf(connection)) {
    std::lock_guard<std::mutex> guard(server.gateLock_);
    gate->waiting = false;
    gate->sinceMs = nowMs();
  }
  if (req.tooBig) return send(connection, text(413, "the request's body is too large"));
  return server.handle(connection, url ? url : "", m, req.body);
}

MHD_Result WebServer::handle(MHD_Connection* connection, const std::string& url, const std::string& method,
                             const std::string& body) {
  const bool get = method == "GET" || method == "HEAD", post = method == "POST";
  if (get && url == "/") {
    Reply r{200, kPageHtml, "text/html; charset=utf-8", {}};
    r.headers.push_back({"Content-Security-Policy", "default-src 'self'; img-src 'self' blob:"});
    return send(connection, r);
  }
  if (get && url == "/page.css") return send(connection, {200, kPageCss, "text/css; charset=utf-8", {}});
  if (get && url == "/page.js") return send(connection, {200, kPageJs, "text/javascript; charset=utf-8", {}});
  // Browsers ask for it on their own; there is none.
  if (get && url == "/favicon.ico") return send(connection, {204, "", "text/plain", {}});
  if (get && url == "/stream.mjpg") return sendStream(connection, hub_, false);
  // The player's sound while the page listens; only a page that has turned
  // the sound on opens it.
  if (get && url == "/audio.pcm") return sendStream(connection, hub_, true);
  if (get && url == "/frame.jpg") {
    std::shared_ptr<Frame> frame = hub_.latestFrame();
    if (!frame) return send(connection, text(503, "no screen yet"));
    return send(connection, {200, jpegOf(*frame), "image/jpeg", {{"X-Frame", std::to_string(frame->seq)}}});
  }
  if (get && url == "/screenshot.png") {
    std::shared_ptr<Frame> frame = hub_.latestFrame();
    if (!frame) return send(connection, text(503, "no screen yet"));
    std::string png = encodePng(frame->pixels, frame->width, frame->height);
    if (png.empty()) return send(connection, text(500, "the screenshot could not be made"));
    char name[64];
    std::time_t now = std::time(nullptr);
    std::strftime(name, sizeof name, "orvado-%Y%m%d-%H%M%S.png", std::localtime(&now));
    return send(
        connection,
        {200, png, "image/png", {{"Content-Disposition", std::string("attachment; filename=\"") + name + "\""}}});
  }
  if (get && url == "/api/state") {
    uint64_t since = 0;
    if (MHD_lookup_connection_value_n(connection, MHD_GET_ARGUMENT_KIND, "since", 5, nullptr, nullptr) == MHD_YES) {
      const char* value = MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, "since");
      std::string t = value ? value : "";
      char* end = nullptr;
      since = std::strtoull(t.c_str(), &end, 10);
      if (t.empty() || *end || t[0] == '-' || t[0] == '+' || t[0] == ' ')
        return send(connection, text(400, "since must be a line number"));
    }
    return send(connection, {200, hub_.stateJson(since), "application/json", {}});
  }
  if (post && url == "/api/key") {
    std::string name;
    bool found = false;
    if (!formValue(body, "key", name, found)) return send(connection, text(400, "a malformed form"));
    if (!found) return send(connection, text(400, "missing key, such as key=1, key=ok or key=0x1003C"));
    uint32_t code = 0;
    if (name.size() > 16 || !parseKey(name, code))
      return send(connection, text(400, "unknown key \"" + name.substr(0, 16) + "\""));
    uint64_t number = hub_.queueKey(code);
    if (number == Hub::kNoTap) return send(connection, text(409, "no TAP is running"));
    if (number == 0) return send(connection, text(503, "too many keys waiting"));
    return send(connection, {200,
                             "{\"key\":" + std::to_string(number) + ",\"code\":" + std::to_string(code) + "}\n",
                             "application/json",
                             {}});
  }
  if (post && url == "/api/tap/stop") {
    if (!hub_.askStop()) return send(connection, text(409, "no TAP is running"));
    return send(connection, {200, "{\"ok\":true}\n", "application/json", {}});
  }
  if (post && url == "/api/tap/restart") {
    hub_.askRestart();
    return send(connection, {200, "{\"ok\":true}\n", "application/json", {}});
  }
  return send(connection, text(404, "not found"));
}

void WebServer::onCompleted(void* self, MHD_Connection* connection, void** request, MHD_RequestTerminationCode) {
  delete static_cast<Request*>(*request);
  *request = nullptr;
  auto& server = *static_cast<WebServer*>(self);
  if (Gate* gate = gateOf(connection)) {
    std::lock_guard<std::mutex> guard(server.gateLock_);
    gate->waiting = true;  // for the next request on the connection
    gate->served = true;
    gate->stream = false;
    gate->sinceMs = nowMs();
  }
}

void WebServer::onConnection(void* self, MHD_Connection* connection, void** context,
                             MHD_ConnectionNotificationCode what) {
  auto& server = *static_cast<WebServer*>(self);
  if (what == MHD_CONNECTION_NOTIFY_STARTED) {
    auto* gate = new Gate;
    const MHD_ConnectionInfo* fd = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    gate->fd = fd ? dup(fd->connect_fd) : -1;
    const MHD_ConnectionInfo* peer = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    char host[NI_MAXHOST] = "";
    if (peer && peer->client_addr)
      getnameinfo(peer->client_addr,
                  peer->client_addr->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in), host,
                  sizeof host, nullptr, 0, NI_NUMERICHOST);
    gate->address = host;
    gate->sinceMs = nowMs();
    *context = gate;
    server.admit(gate);
  } else if (what == MHD_CONNECTION_NOTIFY_CLOSED) {
    auto* gate = static_cast<Gate*>(*context);
    if (!gate) return;
    {
      std::lock_guard<std::mutex> guard(server.gateLock_);
      server.connections_.erase(gate);
    }
    if (gate->fd >= 0) close(gate->fd);
    delete gate;
    *context = nullptr;
  }
}

// An address over its share makes room by cutting its oldest connection
// that has not sent a whole request yet (one that never had an answer
// first): slow clients go, not the page's working connections. With no such
// connection, the new one is refused.
void WebServer::admit(Connection* connection) {
  std::lock_guard<std::mutex> guard(gateLock_);
  size_t same = 0;
  Gate* victim = nullptr;
  for (auto& [c, unused] : connections_) {
    auto* g = static_cast<Gate*>(c);
    if (g->address != connection->address || g->cut) continue;
    ++same;
    if (!g->waiting) continue;
    auto rank = [](const Gate* x) { return std::pair{x->served, x->sinceMs}; };
    if (!victim || rank(g) < rank(victim)) victim = g;
  }
  connections_[connection] = 0;
  if (same < kPerAddress) return;
  Gate* cut = victim ? victim : static_cast<Gate*>(connection);
  cut->cut = true;
  if (cut->fd >= 0) shutdown(cut->fd, SHUT_RDWR);
}

void WebServer::sweep() {
  std::unique_lock<std::mutex> guard(gateLock_);
  while (!closing_) {
    gateWake_.wait_for(guard, std::chrono::milliseconds(250));
    int64_t now = nowMs();
    for (auto& [c, unused] : connections_) {
      auto* g = static_cast<Gate*>(c);
      if (g->cut) continue;
      bool late = g->waiting  ? now - g->sinceMs > kRequestSeconds * 1000
                  : g->stream ? now - g->progressMs.load() > kStalledStreamMs
                              : now - g->sinceMs > kResponseMs;
      if (!late) continue;
      g->cut = true;
      if (g->fd >= 0) shutdown(g->fd, SHUT_RDWR);
    }
  }
}

bool WebServer::bind(const Address& address, std::string* error) {
  host_ = address.host;
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < 4 * kConnections) {
    files.rlim_cur = std::min<rlim_t>(files.rlim_max, 4 * kConnections);
    setrlimit(RLIMIT_NOFILE, &files);
  }
  auto fail = [&] {
    if (error)
      *error = "cannot listen on " + host_ + ":" + std::to_string(address.port) +
               " (in use, or not an address of this machine)";
    if (listenFd_ >= 0) close(listenFd_);
    listenFd_ = -1;
    return false;
  };
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host_.c_str(), std::to_string(address.port).c_str(), &hints, &found) != 0 || !found) return fail();
  listenFd_ = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  // SO_REUSEADDR only: SO_REUSEPORT would let a second emulator listen on
  // the same port and take every other request.
  int yes = 1;
  bool ok = listenFd_ >= 0 && setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) == 0 &&
            ::bind(listenFd_, found->ai_addr, found->ai_addrlen) == 0 && listen(listenFd_, 256) == 0;
  int family = found->ai_family;
  freeaddrinfo(found);
  if (!ok) return fail();
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  getsockname(listenFd_, reinterpret_cast<sockaddr*>(&bound), &length);
  port_ = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                   : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
  unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_THREAD_PER_CONNECTION | MHD_USE_POLL;
  if (family == AF_INET6) flags |= MHD_USE_IPv6;
  daemon_ = MHD_start_daemon(flags, 0, nullptr, nullptr, &WebServer::onRequest, this, MHD_OPTION_LISTEN_SOCKET,
                             listenFd_, MHD_OPTION_CONNECTION_LIMIT, kConnections, MHD_OPTION_CONNECTION_MEMORY_LIMIT,
                             size_t{16 * 1024}, MHD_OPTION_THREAD_STACK_SIZE, size_t{256 * 1024},
                             MHD_OPTION_NOTIFY_COMPLETED, &WebServer::onCompleted, this, MHD_OPTION_NOTIFY_CONNECTION,
                             &WebServer::onConnection, this, MHD_OPTION_END);
  if (!daemon_) return fail();
  listenFd_ = -1;  // the daemon's now: MHD_stop_daemon closes it
  sweeper_ = std::thread([this] { sweep(); });
  return true;
}

std::string WebServer::url() const {
  std::string host = host_ == "0.0.0.0" ? "127.0.0.1" : host_ == "::" ? "::1" : host_;
  if (host.find(':') != std::string::npos) host = "[" + host + "]";
  return "http://" + host + ":" + std::to_string(port_) + "/";
}

WebServer::~WebServer() {
  hub_.quit();
  if (daemon_) MHD_stop_daemon(daemon_);
  {
    std::lock_guard<std::mutex> guard(gateLock_);
    closing_ = true;
  }
  gateWake_.notify_all();
  if (sweeper_.joinable()) sweeper_.join();
  if (listenFd_ >= 0) close(listenFd_);
}

}  // namespace emu::web
