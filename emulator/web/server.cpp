// The HTTP side: the page, the live picture, keys, TAP control and state.
#include "web/server.h"

#include <cstring>
#include <ctime>

namespace emu::web {
namespace {

constexpr const char* kBoundary = "orvadoframe";
constexpr int kJpegQuality = 85;

void sendText(httplib::Response& res, int status, const std::string& text) {
  res.status = status;
  res.set_content(text + "\n", "text/plain; charset=utf-8");
}

const std::string& jpegOf(Frame& frame) {
  std::call_once(frame.jpegOnce,
                 [&] { frame.jpeg = encodeJpeg(frame.pixels, frame.width, frame.height, kJpegQuality); });
  return frame.jpeg;
}

}  // namespace

WebServer::WebServer(Hub& hub) : hub_(hub) {
  // Streams hold a thread each while they are open (four at most live on);
  // the rest serve keys and state.
  server_.new_task_queue = [] { return new httplib::ThreadPool(16); };
  server_.set_read_timeout(5, 0);
  server_.set_write_timeout(5, 0);
  server_.set_payload_max_length(64 * 1024);
  server_.set_keep_alive_max_count(100);
  // An idle connection holds a thread, and the end of the emulator waits for it.
  server_.set_keep_alive_timeout(1);
  // SO_REUSEADDR only: the library's default, SO_REUSEPORT, lets a second
  // emulator listen on the same port and take every other request.
  server_.set_socket_options([](socket_t sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });

  // Another web page in the same browser may send requests here too: only
  // this front end's own names and page get through.
  server_.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    if (req.get_header_value_count("Host") != 1 || req.get_header_value_count("Origin") > 1) {
      sendText(res, 400, "one Host header is needed, and at most one Origin");
      return httplib::Server::HandlerResponse::Handled;
    }
    if (!hostAllowed(req.get_header_value("Host"), host_, port_)) {
      sendText(res, 403, "refused: foreign Host");
      return httplib::Server::HandlerResponse::Handled;
    }
    if (req.has_header("Origin") && !originAllowed(req.get_header_value("Origin"), host_, port_)) {
      sendText(res, 403, "refused: foreign Origin");
      return httplib::Server::HandlerResponse::Handled;
    }
    res.set_header("Cache-Control", "no-store");
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("X-Frame-Options", "DENY");
    return httplib::Server::HandlerResponse::Unhandled;
  });

  server_.Get("/", [](const httplib::Request&, httplib::Response& res) {
    res.set_header("Content-Security-Policy", "default-src 'self'; img-src 'self' blob:");
    res.set_content(kPageHtml, "text/html; charset=utf-8");
  });
  server_.Get("/page.css", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(kPageCss, "text/css; charset=utf-8");
  });
  server_.Get("/page.js", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(kPageJs, "text/javascript; charset=utf-8");
  });

  // Browsers ask for it on their own; there is none.
  server_.Get("/favicon.ico", [](const httplib::Request&, httplib::Response& res) { res.status = 204; });

  server_.Get("/stream.mjpg", [this](const httplib::Request&, httplib::Response& res) {
    uint64_t id = hub_.openStream();
    auto last = std::make_shared<uint64_t>(0);
    res.set_chunked_content_provider(
        std::string("multipart/x-mixed-replace; boundary=") + kBoundary,
        [this, id, last](size_t, httplib::DataSink& sink) {
          if (hub_.streamEvicted(id)) return false;
          std::shared_ptr<Frame> frame = hub_.frameAfter(*last, std::chrono::milliseconds(500));
          if (!frame) return !hub_.quitting() && sink.is_writable();
          const std::string& jpeg = jpegOf(*frame);
          std::string head = std::string("--") + kBoundary +
                             "\r\nContent-Type: image/jpeg\r\nContent-Length: " + std::to_string(jpeg.size()) +
                             "\r\nX-Frame: " + std::to_string(frame->seq) +
                             "\r\nX-Key: " + std::to_string(frame->keys) +
                             "\r\nX-Key-Effect: " + std::to_string(frame->keyEffect) +
                             "\r\nX-Due: " + std::to_string(frame->pictureDueMs) + "\r\n\r\n";
          *last = frame->seq;
          return sink.write(head.data(), head.size()) && sink.write(jpeg.data(), jpeg.size()) && sink.write("\r\n", 2);
        });
  });

  // The player's sound while the page listens: records of a 4-byte frame
  // count and an 8-byte due time (ms of the emulator's clock, the X-Due of
  // the pictures), little-endian, then the frames as 16-bit stereo PCM at
  // 48 kHz. Only a page that has turned the sound on opens it.
  server_.Get("/audio.pcm", [this](const httplib::Request&, httplib::Response& res) {
    uint64_t id = hub_.openStream();
    auto last = std::make_shared<uint64_t>(0);
    auto listening = std::make_shared<bool>(false);
    res.set_chunked_content_provider(
        "application/octet-stream",
        [this, id, last, listening](size_t, httplib::DataSink& sink) {
          if (!*listening) {
            *listening = true;
            hub_.listen(true);
          }
          if (hub_.streamEvicted(id)) return false;
          for (const auto& chunk : hub_.audioAfter(*last, std::chrono::milliseconds(500))) {
            uint32_t frames = static_cast<uint32_t>(chunk->pcm.size() / 4);
            char head[12];
            std::memcpy(head, &frames, 4);
            std::memcpy(head + 4, &chunk->dueMs, 8);
            *last = chunk->seq;
            if (!sink.write(head, sizeof head) || !sink.write(chunk->pcm.data(), chunk->pcm.size())) return false;
          }
          return !hub_.quitting() && sink.is_writable();
        },
        [this, listening](bool) {
          if (*listening) hub_.listen(false);
        });
  });

  server_.Get("/frame.jpg", [this](const httplib::Request&, httplib::Response& res) {
    std::shared_ptr<Frame> frame = hub_.latestFrame();
    if (!frame) return sendText(res, 503, "no screen yet");
    res.set_header("X-Frame", std::to_string(frame->seq));
    res.set_content(jpegOf(*frame), "image/jpeg");
  });

  server_.Get("/screenshot.png", [this](const httplib::Request&, httplib::Response& res) {
    std::shared_ptr<Frame> frame = hub_.latestFrame();
    if (!frame) return sendText(res, 503, "no screen yet");
    std::string png = encodePng(frame->pixels, frame->width, frame->height);
    if (png.empty()) return sendText(res, 500, "the screenshot could not be made");
    char name[64];
    std::time_t now = std::time(nullptr);
    std::strftime(name, sizeof name, "orvado-%Y%m%d-%H%M%S.png", std::localtime(&now));
    res.set_header("Content-Disposition", std::string("attachment; filename=\"") + name + "\"");
    res.set_content(png, "image/png");
  });

  server_.Post("/api/key", [this](const httplib::Request& req, httplib::Response& res) {
    if (!req.has_param("key")) return sendText(res, 400, "missing key, such as key=1, key=ok or key=0x1003C");
    std::string name = req.get_param_value("key");
    uint32_t code = 0;
    if (name.size() > 16 || !parseKey(name, code))
      return sendText(res, 400, "unknown key \"" + name.substr(0, 16) + "\"");
    uint64_t number = hub_.queueKey(code);
    if (number == Hub::kNoTap) return sendText(res, 409, "no TAP is running");
    if (number == 0) return sendText(res, 503, "too many keys waiting");
    res.set_content("{\"key\":" + std::to_string(number) + ",\"code\":" + std::to_string(code) + "}\n",
                    "application/json");
  });

  server_.Post("/api/tap/stop", [this](const httplib::Request&, httplib::Response& res) {
    if (!hub_.askStop()) return sendText(res, 409, "no TAP is running");
    res.set_content("{\"ok\":true}\n", "application/json");
  });
  server_.Post("/api/tap/restart", [this](const httplib::Request&, httplib::Response& res) {
    hub_.askRestart();
    res.set_content("{\"ok\":true}\n", "application/json");
  });

  server_.Get("/api/state", [this](const httplib::Request& req, httplib::Response& res) {
    uint64_t since = 0;
    if (req.has_param("since")) {
      std::string text = req.get_param_value("since");
      char* end = nullptr;
      since = std::strtoull(text.c_str(), &end, 10);
      if (text.empty() || *end || text[0] == '-') return sendText(res, 400, "since must be a line number");
    }
    res.set_content(hub_.stateJson(since), "application/json");
  });
}

bool WebServer::bind(const Address& address, std::string* error) {
  host_ = address.host;
  if (address.port == 0) {
    port_ = server_.bind_to_any_port(host_);
  } else {
    port_ = server_.bind_to_port(host_, address.port) ? address.port : -1;
  }
  if (port_ <= 0) {
    if (error)
      *error = "cannot listen on " + host_ + ":" + std::to_string(address.port) +
               " (in use, or not an address of this machine)";
    return false;
  }
  thread_ = std::thread([this] { server_.listen_after_bind(); });
  return true;
}

std::string WebServer::url() const {
  std::string host = host_ == "0.0.0.0" ? "127.0.0.1" : host_ == "::" ? "::1" : host_;
  if (host.find(':') != std::string::npos) host = "[" + host + "]";
  return "http://" + host + ":" + std::to_string(port_) + "/";
}

WebServer::~WebServer() {
  hub_.quit();
  server_.stop();
  if (thread_.joinable()) thread_.join();
}

}  // namespace emu::web
