#include "testing.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <poll.h>
#include <pthread.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "emulator/core/sandbox.h"
#include "support/coverage.h"

namespace orvado_test {
namespace {

// The console is drained all the time by a thread of its own: a terminal
// whose buffer is full would block the code under test in the middle of a
// log line. The lines wait here until a test takes them.
std::mutex g_consoleMutex;
std::vector<std::string> g_consoleLines;

void drainLocked() {
  emu::drainConsole(consoleMasterFd(), [](const std::string& line) { g_consoleLines.push_back(line); });
}

// The drain thread runs until stopConsoleDrain; a fork happens only while it
// is stopped, so the child starts single-threaded (qemu-user cannot give a
// forked child a thread of its own while the parent had one).
// (Never destroyed: a joinable thread ends the program when it is.)
std::thread& g_drain = *new std::thread;
std::atomic<bool> g_stopDrain{false};

void stopConsoleDrain() {
  g_stopDrain = true;
  if (g_drain.joinable()) g_drain.join();
}

}  // namespace

void startConsoleDrain() {
  if (consoleMasterFd() < 0) return;
  // A test that forks while the thread drains (a sandbox of its own) would
  // give the child the allocator's lock held for good under ASan, whose
  // allocator, unlike the C library's, is not made safe for fork: the fork
  // waits until the thread is between drains.
  static const bool forkWaits = [] {
    return pthread_atfork([] { g_consoleMutex.lock(); }, [] { g_consoleMutex.unlock(); },
                          [] { g_consoleMutex.unlock(); }) == 0;
  }();
  (void)forkWaits;
  g_stopDrain = false;
  g_drain = std::thread([] {
    while (!g_stopDrain) {
      pollfd p{consoleMasterFd(), POLLIN, 0};
      if (poll(&p, 1, 100) > 0) {
        std::lock_guard<std::mutex> lock(g_consoleMutex);
        drainLocked();
      }
    }
  });
}

void freshReceiver(const emu::Config& config) {
  std::string error;
  ASSERT_TRUE(emu::reset(config, &error)) << error;
  takeConsoleLines();
}

void freshReceiverWithChannel(const std::string& wav, const std::string& name, const std::string& url) {
  emu::Config config;
  config.audioFile = wav;
  freshReceiver(config);
  writeFile("/mnt/hd/ProgramFiles/Settings/orvado/orvado.ini", "tvname1=" + name + "\ntvPL1=" + url + "\n");
}

emu::Config virtualConfig() {
  emu::Config c;
  c.virtualClock = true;
  return c;
}

void inFreshProcess(const std::function<void()>& body) {
  std::fflush(nullptr);
  // The parent's drain thread rests while the child runs, so the child's
  // console lines reach the child; the child drains with a thread of its own.
  bool draining = g_drain.joinable();
  stopConsoleDrain();
  pid_t pid = fork();
  ASSERT_GE(pid, 0) << "fork failed";
  if (pid == 0) {
    g_consoleLines.clear();
    startConsoleDrain();
    body();
    std::fflush(nullptr);
    flushCoverage();
    _exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  if (draining) startConsoleDrain();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << "the test body failed in its own process (see the messages above), status " << status;
}

int& consoleMasterFd() {
  static int fd = -1;
  return fd;
}

std::vector<std::string> takeConsoleLines() {
  std::lock_guard<std::mutex> lock(g_consoleMutex);
  if (consoleMasterFd() >= 0) drainLocked();
  std::vector<std::string> lines;
  lines.swap(g_consoleLines);
  return lines;
}

std::string commandOutput(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

void writeFile(const std::string& path, const std::string& content) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  ASSERT_TRUE(out.good()) << "cannot write " << path;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool exists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(std::filesystem::symlink_status(path, ec));
}

void removeAll(const std::string& path) {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
}

void readOnlyRootWithoutWget() {
  ASSERT_EQ(unshare(CLONE_NEWNS), 0) << "a mount namespace of the test's own";
  ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
  // The test's own checks still fetch with a wget of their own, kept in the
  // sandbox's /mnt, which goes with the sandbox.
  ASSERT_EQ(system("cp \"$(command -v wget)\" /mnt/test-wget"), 0);
  setenv("ORVADO_TEST_WGET", "/mnt/test-wget", 1);
  for (const char* dir : {"/usr/bin", "/bin"}) {
    std::error_code ec;
    if (std::filesystem::is_symlink(dir, ec)) continue;  // /bin -> usr/bin
    std::string wget = std::string(dir) + "/wget";
    if (std::filesystem::exists(wget, ec)) {
      ASSERT_EQ(mount("/dev/null", wget.c_str(), nullptr, MS_BIND, nullptr), 0) << wget;
    }
    ASSERT_EQ(mount(dir, dir, nullptr, MS_BIND | MS_REC, nullptr), 0) << dir;
    ASSERT_EQ(mount(nullptr, dir, nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0) << dir;
  }
  // The TAP's shell has a read-only root of its own: only its wget goes.
  ASSERT_TRUE(emu::useShellRootOfThisNamespace());
  std::string shellWget = emu::shellRoot() + "/usr/bin/wget";
  std::error_code ec;
  if (std::filesystem::exists(shellWget, ec)) {
    ASSERT_EQ(mount("/dev/null", shellWget.c_str(), nullptr, MS_BIND, nullptr), 0) << shellWget;
  }
}

}  // namespace orvado_test
