// The sandbox, seen from inside and from the process that makes it. The test
// program already runs in a sandbox, so each test makes a nested one; its
// "host" is the outer sandbox, and every folder lies under the outer /mnt/hd.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "emulator/core/emulator.h"
#include "emulator/core/sandbox.h"
#include "support/testing.h"

using namespace orvado_test;
namespace fs = std::filesystem;

namespace {

void writeAllTo(int fd, const std::string& text) {
  for (size_t done = 0; done < text.size();) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

std::string readAllFrom(int fd) {
  std::string text;
  char buf[512];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
  return text;
}

// True when the pipe's last writer is gone within `ms`.
bool writersGone(int fd, int ms) {
  struct pollfd p = {fd, POLLIN, 0};
  while (poll(&p, 1, ms) > 0) {
    char c;
    if (read(fd, &c, 1) <= 0) return true;
  }
  return false;
}

// Lines from the console until `count` have come or two seconds have passed:
// the terminal hands bytes to its master asynchronously.
std::vector<std::string> consoleLines(int master, size_t count) {
  std::vector<std::string> lines;
  for (int i = 0; i < 200 && lines.size() < count; i++) {
    emu::drainConsole(master, [&](const std::string& line) { lines.push_back(line); });
    if (lines.size() < count) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return lines;
}

// Writes as the TAP's log does: open, the line with its zero byte, close.
void writeToTerminal(const std::string& text) {
  int fd = open("/dev/pts/0", O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  writeAllTo(fd, text);
  close(fd);
}

struct Outcome {
  int status;
  std::string report;
  std::string error;
};

// Runs `probe` in a new sandbox; what it returns comes back as the report.
Outcome runInside(const emu::SandboxOptions& options, const std::function<std::string()>& probe) {
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  Outcome out;
  out.status = emu::runSandboxed(
      options,
      [&]() {
        close(fds[0]);
        writeAllTo(fds[1], probe());
        return 0;
      },
      &out.error);
  close(fds[1]);
  out.report = readAllFrom(fds[0]);
  close(fds[0]);
  return out;
}

class Sandbox : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/mnt/hd/sandbox-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    scratch_ = pattern;
    chmod(pattern, 0755);
    tmp_ = scratch_ + "/tmp";
    ASSERT_EQ(mkdir(tmp_.c_str(), 0777), 0);
    chmod(tmp_.c_str(), 01777);
    const char* old = getenv("TMPDIR");
    oldTmp_ = old ? old : "";
    hadTmp_ = old != nullptr;
    setenv("TMPDIR", tmp_.c_str(), 1);

    template_ = scratch_ + "/template";
    writeFile(template_ + "/ProgramFiles/Settings/a.ini", "[x]\n");
    writeFile(template_ + "/readme.txt", "hello");
    chmod((template_ + "/readme.txt").c_str(), 0640);
    fs::create_directories(template_ + "/MediaFiles");
    fs::create_symlink("readme.txt", template_ + "/link");
  }
  void TearDown() override {
    if (hadTmp_)
      setenv("TMPDIR", oldTmp_.c_str(), 1);
    else
      unsetenv("TMPDIR");
    removeAll(scratch_);
  }
  emu::SandboxOptions options() const {
    emu::SandboxOptions o;
    o.diskTemplate = template_;
    return o;
  }
  // What the sandboxes left in the temporary folder.
  std::vector<std::string> leftovers() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(tmp_)) names.push_back(entry.path().filename());
    return names;
  }

  std::string scratch_, tmp_, template_, oldTmp_;
  bool hadTmp_ = false;
};

TEST_F(Sandbox, FreshImageIsACopyOfTheTemplateWithAnExecutableWget) {
  Outcome out = runInside(options(), [] {
    struct stat readme, wget;
    std::string r;
    r += "inSandbox=" + std::to_string(emu::inSandbox()) + " pid=" + std::to_string(getpid());
    r += " readme=" + readFile("/mnt/hd/readme.txt");
    r += " mode=" + std::to_string(stat("/mnt/hd/readme.txt", &readme) == 0 ? readme.st_mode & 0777 : 0);
    r += " link=" + fs::read_symlink("/mnt/hd/link").string();
    r += " ini=" + readFile("/mnt/hd/ProgramFiles/Settings/a.ini");
    r += " media=" + std::to_string(fs::is_directory("/mnt/hd/MediaFiles"));
    r += " wget=" + std::to_string(stat("/mnt/hd/ProgramFiles/wget", &wget) == 0 && S_ISREG(wget.st_mode)
                                       ? wget.st_mode & 0777
                                       : 0);
    r += " " + commandOutput("/mnt/hd/ProgramFiles/wget --version | head -c 8");
    writeFile("/mnt/hd/written.txt", "x");
    return r;
  });
  ASSERT_EQ(out.status, 0) << out.error;
  EXPECT_EQ(out.report, "inSandbox=1 pid=2 readme=hello mode=416 link=readme.txt ini=[x]\n media=1 wget=493 GNU Wget");
  // The image was a copy: neither the template nor the outer disk saw the
  // write, and nothing is left behind.
  EXPECT_FALSE(exists(template_ + "/written.txt"));
  EXPECT_FALSE(exists(template_ + "/ProgramFiles/wget"));
  EXPECT_FALSE(exists("/mnt/hd/written.txt"));
  EXPECT_TRUE(leftovers().empty());
}

TEST_F(Sandbox, BodyStatusIsPassedOn) {
  std::string error;
  EXPECT_EQ(emu::runSandboxed(
                options(), [] { return 7; }, &error),
            7)
      << error;
  EXPECT_EQ(emu::runSandboxed(
                options(), [] { return raise(SIGUSR1); }, &error),
            128 + SIGUSR1)
      << error;
  EXPECT_TRUE(leftovers().empty());
}

TEST_F(Sandbox, DiskDirTakesTheWritesAndIsFilledOnlyWhenEmpty) {
  emu::SandboxOptions o = options();
  o.diskDir = scratch_ + "/disk/new";
  Outcome first = runInside(o, [] {
    std::string had =
        std::to_string(exists("/mnt/hd/readme.txt")) + std::to_string(exists("/mnt/hd/ProgramFiles/wget"));
    writeFile("/mnt/hd/MediaFiles/rec.ts", "data");
    removeAll("/mnt/hd/readme.txt");
    return had;
  });
  ASSERT_EQ(first.status, 0) << first.error;
  EXPECT_EQ(first.report, "11");
  EXPECT_EQ(readFile(o.diskDir + "/MediaFiles/rec.ts"), "data");
  EXPECT_FALSE(exists(template_ + "/MediaFiles/rec.ts"));
  EXPECT_TRUE(exists(template_ + "/readme.txt"));
  EXPECT_FALSE(exists("/mnt/hd/MediaFiles/rec.ts"));
  EXPECT_TRUE(leftovers().empty());

  Outcome second =
      runInside(o, [] { return std::to_string(exists("/mnt/hd/readme.txt")) + readFile("/mnt/hd/MediaFiles/rec.ts"); });
  ASSERT_EQ(second.status, 0) << second.error;
  EXPECT_EQ(second.report, "0data");
  EXPECT_TRUE(exists(o.diskDir + "/MediaFiles/rec.ts"));
}

TEST_F(Sandbox, KeptImageStaysAndIsAnnounced) {
  emu::SandboxOptions o = options();
  o.keepDisk = true;
  testing::internal::CaptureStderr();
  Outcome out = runInside(o, [] {
    writeFile("/mnt/hd/kept.txt", "k");
    return "";
  });
  std::string said = testing::internal::GetCapturedStderr();
  ASSERT_EQ(out.status, 0) << out.error;
  std::vector<std::string> left = leftovers();
  ASSERT_EQ(left.size(), 1u);
  std::string image = tmp_ + "/" + left[0];
  EXPECT_EQ(readFile(image + "/kept.txt"), "k");
  EXPECT_NE(said.find(emu::keptDiskMessage(image)), std::string::npos) << said;
}

TEST_F(Sandbox, MissingTemplateOrWgetIsAClearError) {
  std::string error;
  auto body = [] { return 0; };
  emu::SandboxOptions o = options();
  o.diskTemplate = scratch_ + "/no-template";
  EXPECT_EQ(emu::runSandboxed(o, body, &error), -1);
  EXPECT_NE(error.find(o.diskTemplate), std::string::npos) << error;

  o = options();
  o.wget = scratch_ + "/no-wget";
  EXPECT_EQ(emu::runSandboxed(o, body, &error), -1);
  EXPECT_NE(error.find(o.wget), std::string::npos) << error;
  EXPECT_TRUE(leftovers().empty());
}

// A version manager's shim first on the caller's PATH becomes neither the
// disk's wget nor the one the TAP's shell finds: inside, the PATH is a
// receiver's, and its wget is the program the disk holds.
TEST_F(Sandbox, ThePathIsAReceiversAndItsWgetTheDisks) {
  writeFile(scratch_ + "/wget", "#!/bin/sh\necho shim\n");
  chmod((scratch_ + "/wget").c_str(), 0755);
  std::string path = getenv("PATH");
  setenv("PATH", (scratch_ + ":" + path).c_str(), 1);
  Outcome out = runInside(options(), [] {
    std::string found;
    if (FILE* p = popen("command -v wget", "r")) {
      char line[256] = "";
      if (fgets(line, sizeof line, p)) found = line;
      pclose(p);
    }
    while (!found.empty() && found.back() == '\n') found.pop_back();
    return std::string(getenv("PATH")) + "|" + std::to_string(readFile(found) == readFile("/mnt/hd/ProgramFiles/wget"));
  });
  setenv("PATH", path.c_str(), 1);
  ASSERT_EQ(out.status, 0) << out.error;
  EXPECT_EQ(out.report, "/bin:/sbin:/usr/bin:/usr/sbin|1");
}

TEST_F(Sandbox, ChangesToBinStayInside) {
  std::string hostWget = readFile("/usr/bin/wget");
  ASSERT_FALSE(hostWget.empty());
  Outcome out = runInside(options(), [] {
    writeFile("/bin/wget", "#!/bin/sh\necho fake\n");
    writeFile("/bin/orvado-probe", "p");
    return readFile("/usr/bin/wget");
  });
  ASSERT_EQ(out.status, 0) << out.error;
  EXPECT_EQ(out.report, "#!/bin/sh\necho fake\n");
  EXPECT_TRUE(readFile("/usr/bin/wget") == hostWget);
  EXPECT_FALSE(exists("/bin/orvado-probe"));
  EXPECT_TRUE(leftovers().empty());
}

TEST_F(Sandbox, HiddenHostWgetIsGoneButTheImageKeepsItsCopy) {
  emu::SandboxOptions o = options();
  o.hideHostWget = true;
  Outcome out = runInside(o, [] {
    return std::to_string(access("/usr/bin/wget", F_OK)) + std::to_string(access("/bin/wget", F_OK)) +
           std::to_string(system("wget --version >/dev/null 2>&1") != 0) +
           std::to_string(access("/mnt/hd/ProgramFiles/wget", X_OK));
  });
  ASSERT_EQ(out.status, 0) << out.error;
  EXPECT_EQ(out.report, "-1-110");
  EXPECT_EQ(access("/usr/bin/wget", X_OK), 0);
}

TEST_F(Sandbox, ProcessesOutsideAreNeitherSeenNorKilled) {
  pid_t outside = fork();
  if (outside == 0) {
    execlp("sleep", "sleep", "977", static_cast<char*>(nullptr));
    _exit(127);
  }
  ASSERT_GT(outside, 0);
  Outcome out = runInside(options(), [] {
    std::string r = "before=" + commandOutput("pidof sleep");
    system("sleep 1000 &");
    // The background job may not have become "sleep" yet.
    std::string inner;
    for (int i = 0; i < 200 && inner.empty(); i++) {
      inner = commandOutput("pidof sleep");
      if (inner.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (inner.empty()) return r + " inner=none";
    r += " inner=" + std::to_string(!inner.empty() && std::stoi(inner) < 100 && inner.find(' ') == std::string::npos);
    system("kill $(pidof sleep)");
    // The killed sleep was orphaned to PID 1, which must reap it.
    std::string proc = "/proc/" + std::to_string(std::stoi(inner));
    for (int i = 0; i < 200 && exists(proc); i++) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    r += " reaped=" + std::to_string(!exists(proc)) + " after=" + commandOutput("pidof sleep");
    return r;
  });
  EXPECT_EQ(out.status, 0) << out.error;
  EXPECT_EQ(out.report, "before= inner=1 reaped=1 after=");
  EXPECT_EQ(waitpid(outside, nullptr, WNOHANG), 0) << "the outside sleep ended";
  kill(outside, SIGKILL);
  waitpid(outside, nullptr, 0);
}

TEST_F(Sandbox, EveryProcessEndsWithTheBody) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::string error;
  int status = emu::runSandboxed(
      options(),
      [&]() {
        close(fds[0]);
        // A background job that holds the pipe open for as long as it lives.
        system("sleep 1000 &");
        if (fork() == 0) {
          execlp("sleep", "sleep", "1000", static_cast<char*>(nullptr));
          _exit(127);
        }
        return 0;
      },
      &error);
  close(fds[1]);
  EXPECT_EQ(status, 0) << error;
  EXPECT_TRUE(writersGone(fds[0], 0)) << "a process of the sandbox outlived it";
  close(fds[0]);
}

TEST_F(Sandbox, ConsoleIsTheFirstTerminalAndLinesArriveWhole) {
  // The test program's own console.
  char name[64] = "";
  ASSERT_GE(consoleMasterFd(), 0);
  ASSERT_EQ(ptsname_r(consoleMasterFd(), name, sizeof name), 0);
  EXPECT_STREQ(name, "/dev/pts/0");

  Outcome out = runInside(options(), [] {
    std::string error;
    int master = emu::openConsole(&error);
    if (master < 0) return "no console: " + error;
    std::string r = std::to_string(emu::drainConsole(master, [](const std::string&) {}));
    writeToTerminal(std::string("first line\n\0", 12));
    writeToTerminal("par");
    for (const std::string& line : consoleLines(master, 1)) r += "|" + line;
    writeToTerminal(std::string("tial\n\0second\r\n\0\0", 16));
    for (const std::string& line : consoleLines(master, 2)) r += "|" + line;
    // A second console cannot be the first terminal.
    int second = emu::openConsole(&error);
    r += "|" + std::to_string(second) + " " + std::to_string(error.find("/dev/pts/1") != std::string::npos);
    return r;
  });
  ASSERT_EQ(out.status, 0) << out.error;
  // Raw mode: no CR is added, and the one written arrives unchanged.
  EXPECT_EQ(out.report, "0|first line|partial|second\r|-1 1");
}

int gHandled = -1;  // in the caller's fork: where its SIGTERM handler reports

// Forks a caller that runs a sandbox whose body starts a background job that
// holds `held` and then waits for signals with the caller's SIGTERM handler
// when `handler` is set, or with none. Returns the caller's pid once the body
// is ready.
pid_t startSignalledSandbox(const emu::SandboxOptions& options, int held[2], int handled[2], bool handler) {
  int ready[2];
  if (pipe(ready) != 0) return -1;
  pid_t caller = fork();
  if (caller == 0) {
    close(ready[0]);
    close(held[0]);
    close(handled[0]);
    gHandled = handled[1];
    if (handler) signal(SIGTERM, [](int) { writeAllTo(gHandled, "h"); });
    int status = emu::runSandboxed(
        options,
        [&]() {
          system("sleep 1000 &");
          writeAllTo(ready[1], "r");
          for (;;) pause();
          return 0;
        },
        nullptr);
    _exit(status < 0 ? 2 : status);
  }
  close(ready[1]);
  close(held[1]);
  close(handled[1]);
  char c = 0;
  if (read(ready[0], &c, 1) != 1) caller = -1;
  close(ready[0]);
  return caller;
}

TEST_F(Sandbox, SignalToTheCallerEndsTheSandboxCleanly) {
  // Without a handler of the caller's, the body ends with the signal.
  int held[2], handled[2];
  ASSERT_EQ(pipe(held), 0);
  ASSERT_EQ(pipe(handled), 0);
  pid_t caller = startSignalledSandbox(options(), held, handled, false);
  ASSERT_GT(caller, 0);
  kill(caller, SIGTERM);
  int status = 0;
  ASSERT_EQ(waitpid(caller, &status, 0), caller);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + SIGTERM) << status;
  EXPECT_TRUE(writersGone(held[0], 0)) << "a process of the sandbox outlived it";
  EXPECT_TRUE(leftovers().empty());
  close(held[0]);
  close(handled[0]);

  // The caller's handler runs in the body; a body that stays is killed at the
  // second signal.
  ASSERT_EQ(pipe(held), 0);
  ASSERT_EQ(pipe(handled), 0);
  caller = startSignalledSandbox(options(), held, handled, true);
  ASSERT_GT(caller, 0);
  kill(caller, SIGTERM);
  char c = 0;
  EXPECT_EQ(read(handled[0], &c, 1), 1);
  EXPECT_EQ(c, 'h');
  EXPECT_EQ(waitpid(caller, &status, WNOHANG), 0) << "the sandbox ended at the first signal";
  kill(caller, SIGTERM);
  ASSERT_EQ(waitpid(caller, &status, 0), caller);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + SIGTERM) << status;
  EXPECT_TRUE(writersGone(held[0], 0)) << "a process of the sandbox outlived it";
  EXPECT_TRUE(leftovers().empty());
  close(held[0]);
  close(handled[0]);
}

TEST_F(Sandbox, InPlaceSandboxHasTheDiskAndBinButLeavesNothing) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  emu::SandboxOptions o = options();
  o.hideHostWget = true;
  pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    std::string error;
    std::string r = emu::enterSandboxInPlace(o, &error) ? "" : "failed: " + error;
    r += readFile("/mnt/hd/readme.txt") + std::to_string(access("/mnt/hd/ProgramFiles/wget", X_OK)) +
         std::to_string(access("/usr/bin/wget", F_OK));
    writeFile("/mnt/hd/inplace.txt", "i");
    writeFile("/usr/bin/orvado-probe", "p");
    writeAllTo(fds[1], r);
    _exit(0);
  }
  close(fds[1]);
  EXPECT_EQ(readAllFrom(fds[0]), "hello0-1");
  close(fds[0]);
  waitpid(child, nullptr, 0);
  EXPECT_FALSE(exists("/mnt/hd/inplace.txt"));
  EXPECT_FALSE(exists(template_ + "/inplace.txt"));
  EXPECT_FALSE(exists("/usr/bin/orvado-probe"));
  EXPECT_EQ(access("/usr/bin/wget", X_OK), 0);
  EXPECT_TRUE(leftovers().empty());
}

TEST_F(Sandbox, NormalUserGetsAUserNamespace) {
  // A template that user 65534 can read.
  std::string userTemplate = scratch_ + "/user-template";
  writeFile(userTemplate + "/a.txt", "for all");
  chmod(userTemplate.c_str(), 0755);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(3);
    // Dropping root made the process undumpable, which a user's own
    // processes are not; its /proc files would stay root's.
    prctl(PR_SET_DUMPABLE, 1);
    pid_t probe = fork();
    if (probe == 0) _exit(unshare(CLONE_NEWUSER) == 0 ? 0 : 1);
    int probeStatus = 0;
    waitpid(probe, &probeStatus, 0);
    if (!WIFEXITED(probeStatus) || WEXITSTATUS(probeStatus) != 0) _exit(77);
    emu::SandboxOptions o;
    o.diskTemplate = userTemplate;
    std::string error;
    int status = emu::runSandboxed(
        o,
        [&]() {
          std::string r = "uid=" + std::to_string(getuid()) + " pid=" + std::to_string(getpid()) +
                          " a=" + readFile("/mnt/hd/a.txt") +
                          " wget=" + std::to_string(access("/mnt/hd/ProgramFiles/wget", X_OK)) +
                          " pidof=" + std::to_string(!commandOutput("pidof -s sleep").empty());
          std::string consoleError;
          int master = emu::openConsole(&consoleError);
          writeToTerminal(std::string("log\n\0", 5));
          std::vector<std::string> lines = master >= 0 ? consoleLines(master, 1) : std::vector<std::string>();
          r += " console=" + (lines.empty() ? consoleError : lines[0]);
          writeAllTo(fds[1], r);
          return 0;
        },
        &error);
    if (status != 0) writeAllTo(fds[1], "status " + std::to_string(status) + ": " + error);
    _exit(0);
  }
  close(fds[1]);
  std::string report = readAllFrom(fds[0]);
  close(fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 77)
    GTEST_SKIP() << "the kernel does not allow user namespaces to normal users";
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(report, "uid=0 pid=2 a=for all wget=0 pidof=0 console=log");
  EXPECT_TRUE(leftovers().empty());
}

}  // namespace

// The TAP's shell commands run in a receiver's root: none of them reaches a
// file of the PC (by name, by relative path or through /proc) or a program
// of the PC, while the disk and busybox's tools work.
TEST_F(Sandbox, TapShellReachesNothingOfThePc) {
  char secret[] = "/tmp/orvado-secret-XXXXXX";
  int fd = mkstemp(secret);
  ASSERT_GE(fd, 0);
  writeAllTo(fd, "secret");
  close(fd);
  const std::string home = getenv("HOME") ? getenv("HOME") : "/root";
  const std::string cwdProbe = fs::current_path().string() + "/orvado-probe";
  const std::vector<std::string> attempts = {
      std::string("cat ") + secret,
      std::string("cat /proc/1/root") + secret,
      std::string("cat /proc/2/root") + secret,
      "echo x > " + home + "/.orvado-probe",
      "echo x > " + tmp_ + "/orvado-probe",
      "echo x > orvado-probe",
      "ls " + home,
      "python3 -c 1",
      "gcc --version",
      "bash -c true",
      "chroot /proc/1/root true",
  };
  Outcome out = runInside(options(), [&] {
    std::string report;
    for (const std::string& attempt : attempts)
      report += std::to_string(emu::tapSystem((attempt + " >/dev/null 2>&1").c_str()) == 0);
    FILE* p = emu::tapPopen("echo ok >/mnt/hd/probe && cat /mnt/hd/probe && echo $HOME $PATH", "r");
    char line[128] = "";
    if (p && fgets(line, sizeof line, p)) report += std::string(" ") + line;
    if (p && fgets(line, sizeof line, p)) report += line;
    if (p) pclose(p);
#if !defined(__mips__)
    // The same reach with the TAP's own C library calls, from its start
    // routine. Under qemu-user they keep the PC's view (tap_root.cpp).
    std::ofstream("/mnt/hd/probe-targets") << secret << '\n' << home << '\n' << tmp_ << '\n';
    freshReceiver(virtualConfig());
    std::string error;
    if (!emu::loadTap(ORVADO_PROBE_TAP, &error)) return report + " " + error;
    emu::startTap();
    emu::unloadTap();
    std::ifstream result("/mnt/hd/probe-result");
    std::string probed;
    std::getline(result, probed);
    return report + " " + probed;
#else
    return report;
#endif
  });
  unlink(secret);
  ASSERT_EQ(out.status, 0) << out.error;
#if defined(__mips__)
  EXPECT_EQ(out.report, std::string(attempts.size(), '0') + " ok\n/ /bin:/sbin:/usr/bin:/usr/sbin\n");
#else
  EXPECT_EQ(out.report, std::string(attempts.size(), '0') + " ok\n/ /bin:/sbin:/usr/bin:/usr/sbin\n 0000000 /");
#endif
  EXPECT_FALSE(exists(home + "/.orvado-probe"));
  EXPECT_FALSE(exists(tmp_ + "/orvado-probe"));
  EXPECT_FALSE(exists(cwdProbe));
}
