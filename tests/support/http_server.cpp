// The test HTTP server on cpp-httplib. Its threads keep a descriptor table of
// their own (unshare(CLONE_FILES)): the processes that the test starts (the
// shell, wget) copy the table of the thread that starts them, and one that
// held a copy of an accepted socket would keep the connection open after the
// server closed it (a cut answer would never end). So the server's sockets
// are never inherited, and stop() closes them in the table they live in.
#include "support/http_server.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <iterator>
#include <mutex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

namespace orvado_test {
namespace {

using std::chrono::seconds;

// What the faults hold to, as the answers of a slow or stuck server would.
constexpr seconds kHangLimit{120};
constexpr size_t kTrickleBytes = 120;
constexpr size_t kTrickleLength = 100000;
constexpr size_t kChunkedPiece = 1000;
const char kBinary[] = "application/octet-stream";

// One thread a connection, so that a request that hangs never holds up
// another; they are joined when the server stops.
class ThreadPerConnection : public httplib::TaskQueue {
 public:
  void enqueue(std::function<void()> fn) override { threads_.emplace_back(std::move(fn)); }
  void shutdown() override {
    for (std::thread& t : threads_) t.join();
    threads_.clear();
  }

 private:
  std::vector<std::thread> threads_;  // only the listening thread touches it
};

bool readRegularFile(const std::string& name, std::string* body) {
  struct stat st {};
  if (stat(name.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  std::ifstream in(name, std::ios::binary);
  if (!in) return false;
  body->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

bool isLoopback(const std::string& address) {
  in_addr a{};
  return inet_pton(AF_INET, address.c_str(), &a) == 1 && (ntohl(a.s_addr) >> 24) == 127;
}

}  // namespace

struct HttpServer::State {
  std::string root;
  std::unique_ptr<httplib::Server> server;
  std::thread owner;
  std::mutex mutex;
  std::condition_variable changed;
  bool started = false;   // the owner has bound (or failed to)
  bool stopping = false;  // the destructor asks every wait to end
  std::set<std::string> seen;

  // Waits up to `limit` or until the server stops; true when it stops.
  bool waitForStop(std::chrono::steady_clock::duration limit) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, limit, [this] { return stopping; });
  }

  // The first request of a path, as /once counts them.
  bool firstRequest(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex);
    return seen.insert(path).second;
  }

  void handle(const httplib::Request& req, httplib::Response& res);
  void run(const std::string& host, int* port);
};

void HttpServer::State::handle(const httplib::Request& req, httplib::Response& res) {
  // The request's own target, undecoded, as the client sent it.
  const std::string& target = req.target;
  std::string path = target.substr(0, target.find_first_of("?#"));
  std::string query = target.find('?') == std::string::npos ? "" : target.substr(target.find('?') + 1);
  std::string rest = path.substr(std::min(path.find_first_not_of('/'), path.size()));
  size_t slash = rest.find('/');
  std::string fault = rest.substr(0, slash);
  rest = slash == std::string::npos ? "" : rest.substr(slash + 1);

  if (fault == "hang") {
    // No answer is written while it hangs; at the stop the thread must end.
    waitForStop(kHangLimit);
    res.status = 503;
    return;
  }
  if (fault == "trickle") {
    res.status = 200;
    res.set_content_provider(kTrickleLength, kBinary, [this](size_t offset, size_t, httplib::DataSink& sink) {
      if (offset >= kTrickleBytes || !sink.write("#", 1)) return false;
      return !waitForStop(seconds(1));
    });
    return;
  }
  if (fault == "moved") {
    bool playlist = rest.ends_with(".m3u8");
    res.status = playlist ? 302 : 404;
    if (playlist) res.set_header("Location", (query.compare(0, 3, "to=") == 0 ? query.substr(3) : "/") + rest);
    return;
  }
  if (fault != "chunked" && fault != "once" && fault != "short" && fault != "ranges") {
    fault.clear();
    rest = path.substr(std::min(path.find_first_not_of('/'), path.size()));
  }
  auto body = std::make_shared<std::string>();
  if (!readRegularFile(root + "/" + rest, body.get())) {
    res.status = 404;
    return;
  }
  res.status = 200;
  if (fault == "chunked") {
    res.set_chunked_content_provider(kBinary, [body](size_t offset, httplib::DataSink& sink) {
      if (offset >= body->size()) {
        sink.done();
        return true;
      }
      return sink.write(body->data() + offset, std::min(kChunkedPiece, body->size() - offset));
    });
    return;
  }
  bool cut = fault == "short" || (fault == "once" && firstRequest(path));
  if (!cut) {
    res.set_content(*body, kBinary);
    return;
  }
  // The whole length promised, half of it sent, then the connection closes.
  res.set_content_provider(body->size(), kBinary, [body](size_t, size_t, httplib::DataSink& sink) {
    sink.write(body->data(), body->size() / 2);
    return false;
  });
}

void HttpServer::State::run(const std::string& host, int* port) {
  // A table of its own, holding none of the test's descriptors either: a
  // copy of a pipe's end here would keep that pipe open.
  bool ownTable = unshare(CLONE_FILES) == 0;
  if (ownTable) close_range(3, ~0U, 0);
  // No signal stops the server's threads (an accept that a signal ended
  // would end the server); the test's threads take them. A write to a
  // connection that the client closed fails with EPIPE, its SIGPIPE waits
  // blocked. The server's constructor ignores SIGPIPE for the whole process,
  // which the test's own commands would inherit: the test's setting comes back.
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, nullptr);
  struct sigaction before {};
  sigaction(SIGPIPE, nullptr, &before);
  server = std::make_unique<httplib::Server>();
  sigaction(SIGPIPE, &before, nullptr);
  server->new_task_queue = [] { return new ThreadPerConnection; };
  server->set_keep_alive_max_count(1);
  // Every answer is the whole file, whatever Range asks for, as from a
  // server that does not know ranges: a client that resumes gets it all
  // again. Under /ranges/ a Range is answered. The request is not const
  // where the server keeps it.
  server->set_pre_routing_handler([](const httplib::Request& req, httplib::Response&) {
    if (req.path.rfind("/ranges/", 0) != 0) const_cast<httplib::Request&>(req).ranges.clear();
    return httplib::Server::HandlerResponse::Unhandled;
  });
  server->Get(".*", [this](const httplib::Request& req, httplib::Response& res) { handle(req, res); });
  int bound = ownTable && isLoopback(host) ? server->bind_to_any_port(host) : -1;
  std::thread listener;
  std::atomic<bool> listening{bound > 0};
  if (bound > 0) {
    listener = std::thread([this, &listening] {
      server->listen_after_bind();
      listening = false;
    });
    // stop() acts only on a running server; the wait is short and bounded.
    for (int i = 0; i < 10000 && listening && !server->is_running(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  bool running = server->is_running();
  {
    std::lock_guard<std::mutex> lock(mutex);
    *port = running ? bound : 0;
    started = true;
  }
  changed.notify_all();
  {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [this] { return stopping; });
  }
  if (running) server->stop();
  if (listener.joinable()) listener.join();
  server.reset();  // here, where its descriptors live
}

HttpServer::HttpServer(std::string root, std::string address) : host(std::move(address)), state_(new State) {
  state_->root = std::move(root);
  state_->owner = std::thread([this] { state_->run(host, &port); });
  std::unique_lock<std::mutex> lock(state_->mutex);
  state_->changed.wait(lock, [this] { return state_->started; });
}

HttpServer::~HttpServer() {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->stopping = true;
  }
  state_->changed.notify_all();
  state_->owner.join();
}

bool HttpServer::up() const {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  bool ok = port > 0 && inet_pton(AF_INET, host.c_str(), &a.sin_addr) == 1 &&
            connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(fd);
  return ok;
}

std::string HttpServer::url(const std::string& path) const {
  return "http://" + host + ":" + std::to_string(port) + "/" + path;
}

}  // namespace orvado_test
