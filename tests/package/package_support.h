// The user package as the tests find it, unpacked, and the TLS front that
// its HTTPS cases need.
#pragma once

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "support/test_ca.h"
#include "support/testing.h"

namespace orvado_test {

// The newest out/orvado-*.tar.gz; empty when there is none.
inline std::string packagePath() {
  namespace fs = std::filesystem;
  std::string best;
  fs::file_time_type newest;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(std::string(ORVADO_SOURCE_DIR) + "/out", ec)) {
    std::string name = e.path().filename();
    if (name.rfind("orvado-", 0) == 0 && name.size() > 14 && name.compare(name.size() - 7, 7, ".tar.gz") == 0 &&
        (best.empty() || e.last_write_time() > newest)) {
      best = e.path();
      newest = e.last_write_time();
    }
  }
  return best;
}

// The newest package unpacked into a new folder, which `work` names (the
// caller removes it); returns the package's top folder, empty on failure.
inline std::string unpackedPackage(std::string* work) {
  std::string tarball = packagePath();
  if (tarball.empty()) {
    ADD_FAILURE() << "no out/orvado-*.tar.gz: scripts/package.sh makes it";
    return "";
  }
  char name[] = "/tmp/orvado-package-XXXXXX";
  if (mkdtemp(name) == nullptr) return "";
  *work = name;
  if (system(("tar -C " + *work + " -xzf " + tarball).c_str()) != 0) return "";
  std::string top = *work + "/" + std::filesystem::path(tarball).filename().string();
  return top.substr(0, top.size() - 7);
}

// A port on 127.0.0.1 that nothing listens on just now.
inline int freeLoopbackPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = -1;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  close(fd);
  return port;
}

// HTTPS in front of a plain HTTP server on 127.0.0.1:`target`: socat ends
// TLS with the test certificate and passes each connection on.
class TlsFront {
 public:
  TlsFront(const TestCa& ca, int target) : port_(freeLoopbackPort()) {
    std::string listen = "OPENSSL-LISTEN:" + std::to_string(port_) +
                         ",bind=127.0.0.1,reuseaddr,fork,verify=0,cert=" + ca.certPem + ",key=" + ca.keyPem;
    std::string connect = "TCP:127.0.0.1:" + std::to_string(target);
    pid_ = fork();
    if (pid_ == 0) {
      execlp("socat", "socat", listen.c_str(), connect.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    // Ready once it takes connections.
    for (int i = 0; i < 200 && !listening(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ~TlsFront() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  std::string url() const { return "https://127.0.0.1:" + std::to_string(port_) + "/"; }

 private:
  bool listening() const {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port_));
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    return ok;
  }
  int port_;
  pid_t pid_ = -1;
};

}  // namespace orvado_test
