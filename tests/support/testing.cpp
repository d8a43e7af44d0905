#include "testing.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "core/sandbox.h"

namespace orvado_test {

void freshReceiver(const emu::Config& config) {
  std::string error;
  ASSERT_TRUE(emu::reset(config, &error)) << error;
  takeConsoleLines();
}

emu::Config virtualConfig() {
  emu::Config c;
  c.virtualClock = true;
  return c;
}

void inFreshProcess(const std::function<void()>& body) {
  std::fflush(nullptr);
  pid_t pid = fork();
  ASSERT_GE(pid, 0) << "fork failed";
  if (pid == 0) {
    body();
    std::fflush(nullptr);
    _exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << "the test body failed in its own process (see the messages above), status " << status;
}

int& consoleMasterFd() {
  static int fd = -1;
  return fd;
}

std::vector<std::string> takeConsoleLines() {
  std::vector<std::string> lines;
  if (consoleMasterFd() < 0) return lines;
  emu::drainConsole(consoleMasterFd(), [&](const std::string& line) { lines.push_back(line); });
  return lines;
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

}  // namespace orvado_test
