// The local HLS test source as a process of a test: started on a free
// loopback port with the given options (and a --stop-after safety net), its
// base URL read from the first line it prints, and always ended with SIGTERM.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace orvado_test {

class HlsServer {
 public:
  explicit HlsServer(const std::vector<std::string>& options) {
    int out[2];
    if (pipe(out) != 0) return;
    std::vector<std::string> args = {ORVADO_PYTHON,  std::string(ORVADO_SOURCE_DIR) + "/tools/hlssource/hlssource.py",
                                     "--port",       "0",
                                     "--stop-after", "60"};
    args.insert(args.end(), options.begin(), options.end());
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      close(out[0]);
      close(out[1]);
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execvp(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    out_ = out[0];
    // The line comes once the source has made its video, which ffmpeg does
    // on the first run and a busy machine slows down: the wait ends with the
    // line, or when the source ends without one. The bound is a safety net.
    line_ = readLine(std::chrono::seconds(120));
  }
  ~HlsServer() { stop(); }

  // The first line the server printed ("serving http://127.0.0.1:PORT/").
  const std::string& line() const { return line_; }
  std::string url() const {
    const std::string prefix = "serving ";
    return line_.compare(0, prefix.size(), prefix) == 0 ? line_.substr(prefix.size()) : std::string();
  }

  // What the server answers to GET `path` (relative to its base URL), or the
  // empty string when it refuses; for /control and /raw.
  std::string get(const std::string& path) const {
    std::string text;
    // The test's own wget, also where the receiver's has been taken away.
    const char* wget = getenv("ORVADO_TEST_WGET");
    FILE* in = popen((std::string(wget != nullptr ? wget : "wget") + " -q -O - '" + url() + path + "'").c_str(), "r");
    if (!in) return text;
    char buffer[65536];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, in)) > 0;) text.append(buffer, n);
    pclose(in);
    return text;
  }

  // Ends the server with `sig`; its exit status, or -1 if it did not exit.
  // One that has not ended 10 s later is killed, so no test waits for ever.
  int stop(int sig = SIGTERM) {
    if (pid_ <= 0) return status_;
    kill(pid_, sig);
    int st = 0;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (waitpid(pid_, &st, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > end) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &st, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
    close(out_);
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return status_;
  }

  // Waits for the server to end by itself; its status, or -2 if it still runs.
  int waitExit(std::chrono::milliseconds limit) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      int st = 0;
      if (waitpid(pid_, &st, WNOHANG) == pid_) {
        pid_ = -1;
        close(out_);
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
        return status_;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -2;
  }

 private:
  std::string readLine(std::chrono::milliseconds limit) {
    std::string text;
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      pollfd p{out_, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      char c;
      if (read(out_, &c, 1) != 1 || c == '\n') break;
      text += c;
    }
    return text;
  }

  pid_t pid_ = -1;
  int out_ = -1;
  int status_ = -1;
  std::string line_;
};

}  // namespace orvado_test
