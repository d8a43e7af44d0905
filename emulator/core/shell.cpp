// The TAP's shell commands. The core defines system, popen and pclose, so the
// TAP's calls (bound through the process's global scope, where this library
// comes before the C library) run here: as the C library runs them, but with
// the command's error output passed through a pipe that keeps its end, and
// each command traced with its exit status and time and kept for front ends.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

#include "core/internal.h"

namespace emu {
namespace {

constexpr size_t kKept = 50;         // commands a front end can see
constexpr size_t kTailBytes = 2048;  // of each command's error output
constexpr int kPipeBytes = 1 << 20;  // so background writers rarely wait for a drain

struct Running {
  std::shared_ptr<ShellCommand> command;
  int errorFd = -1;  // read end of the command's error output; -1 once closed
  pid_t pid = -1;
  std::chrono::steady_clock::time_point started;
};

std::mutex g_lock;
uint64_t g_numbers = 0;
std::deque<std::shared_ptr<ShellCommand>> g_kept;
// Error pipes still open after their shell ended (its background jobs write
// on), and the pipes of popen's streams until pclose.
std::vector<Running> g_open;
std::map<FILE*, Running> g_streams;

void keepTail(ShellCommand& command, const char* data, size_t n) {
  command.errorTail.append(data, n);
  if (command.errorTail.size() > kTailBytes) command.errorTail.erase(0, command.errorTail.size() - kTailBytes);
}

// Passes what waits in `fd` on to the emulator's stderr and into the
// command's tail. Returns false at end of file.
bool pass(int fd, ShellCommand& command) {
  char buf[4096];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n == 0) return false;
    if (n < 0) return errno == EAGAIN || errno == EINTR;
    ssize_t ignored = write(2, buf, static_cast<size_t>(n));
    (void)ignored;
    std::lock_guard<std::mutex> guard(g_lock);
    keepTail(command, buf, static_cast<size_t>(n));
  }
}

std::shared_ptr<ShellCommand> begin(const char* kind, const char* line) {
  auto command = std::make_shared<ShellCommand>();
  command->kind = kind;
  command->command = line;
  command->startTick = ticks();
  std::lock_guard<std::mutex> guard(g_lock);
  command->number = ++g_numbers;
  g_kept.push_back(command);
  if (g_kept.size() > kKept) g_kept.pop_front();
  return command;
}

// The file that a command's last "2>FILE" sends its error output to, when it
// names one by absolute path and the command does not go on in the
// background: wget's messages are there, not on the pipe.
std::string redirectedErrorFile(const std::string& line) {
  size_t at = line.rfind("2>");
  if (at == std::string::npos || line.find_last_not_of(" \t") == line.rfind('&')) return "";
  size_t start = line.find_first_not_of(' ', at + 2);
  if (start == std::string::npos || line[start] != '/') return "";
  size_t end = line.find_first_of(" \t;)&|", start);
  std::string file = line.substr(start, end == std::string::npos ? std::string::npos : end - start);
  return file == "/dev/null" ? "" : file;
}

std::string fileTail(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return "";
  std::string text;
  if (std::fseek(f, -static_cast<long>(kTailBytes), SEEK_END) != 0) std::rewind(f);
  char buf[kTailBytes];
  size_t n = std::fread(buf, 1, sizeof buf, f);
  std::fclose(f);
  return std::string(buf, n);
}

std::string statusText(int status) {
  if (status < 0) return "could not start";
  if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return std::string("killed by ") + strsignal(WTERMSIG(status));
  return "status " + std::to_string(status);
}

void finish(Running& run, int status, const char* name) {
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - run.started).count();
  std::string file = redirectedErrorFile(run.command->command);
  std::string fromFile = file.empty() ? "" : fileTail(file);
  {
    std::lock_guard<std::mutex> guard(g_lock);
    if (!fromFile.empty())
      keepTail(*run.command, ("[" + file + "]\n" + fromFile).data(), file.size() + 3 + fromFile.size());
    run.command->done = true;
    run.command->status = status;
    run.command->result = statusText(status);
    run.command->seconds = seconds;
  }
  trace("%s(%s) = %s in %.3f s", name, detail::quote(run.command->command.c_str()).c_str(), run.command->result.c_str(),
        seconds);
  if (run.errorFd >= 0) {
    if (pass(run.errorFd, *run.command)) {
      g_open.push_back(run);  // background jobs still hold it
    } else {
      close(run.errorFd);
    }
  }
}

// A pipe whose ends are closed in every program started later.
bool errorPipe(int fds[2]) {
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  fcntl(fds[0], F_SETPIPE_SZ, kPipeBytes);
  fcntl(fds[0], F_SETFL, O_NONBLOCK);
  return true;
}

// Starts "/bin/sh -c line" with its error output on `errorFd` and, when
// `childFd` >= 0, that as its descriptor `childTarget`.
pid_t startShell(const char* line, int errorFd, int childFd, int childTarget, const sigset_t* mask) {
  // posix_spawn, as the C library's system does: no copy of a large
  // process's page tables for every command.
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  if (childFd >= 0) posix_spawn_file_actions_adddup2(&actions, childFd, childTarget);
  posix_spawn_file_actions_adddup2(&actions, errorFd, 2);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGQUIT);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setsigmask(&attr, mask);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  const char* argv[] = {"sh", "-c", line, nullptr};
  pid_t pid = -1;
  if (posix_spawn(&pid, "/bin/sh", &actions, &attr, const_cast<char* const*>(argv), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  return pid;
}

}  // namespace

namespace detail {
void drainShell() {
  for (size_t i = 0; i < g_open.size();) {
    if (pass(g_open[i].errorFd, *g_open[i].command)) {
      ++i;
    } else {
      close(g_open[i].errorFd);
      g_open.erase(g_open.begin() + static_cast<long>(i));
    }
  }
  for (auto& [stream, run] : g_streams)
    if (run.errorFd >= 0 && !pass(run.errorFd, *run.command)) {
      close(run.errorFd);
      run.errorFd = -1;
    }
}

void resetShell() {
  std::lock_guard<std::mutex> guard(g_lock);
  g_kept.clear();
}
}  // namespace detail

std::vector<ShellCommand> shellCommands() {
  std::lock_guard<std::mutex> guard(g_lock);
  std::vector<ShellCommand> out;
  for (const auto& c : g_kept) out.push_back(*c);
  return out;
}

}  // namespace emu

using emu::detail::drainShell;

extern "C" __attribute__((visibility("default"))) int system(const char* line) {
  if (!line) return 1;  // there is a shell
  drainShell();
  int fds[2];
  if (!emu::errorPipe(fds)) return -1;
  emu::Running run;
  run.command = emu::begin("system", line);
  run.started = std::chrono::steady_clock::now();
  run.errorFd = fds[0];
  // As the C library's system: the caller ignores SIGINT and SIGQUIT and
  // holds SIGCHLD while the command runs.
  struct sigaction ignore {
  }, oldInt{}, oldQuit{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGINT, &ignore, &oldInt);
  sigaction(SIGQUIT, &ignore, &oldQuit);
  sigset_t block, old;
  sigemptyset(&block);
  sigaddset(&block, SIGCHLD);
  sigprocmask(SIG_BLOCK, &block, &old);
  pid_t pid = emu::startShell(line, fds[1], -1, -1, &old);
  close(fds[1]);
  int status = -1;
  if (pid > 0) {
    // The command's error output is read while it runs, so it never waits
    // on a full pipe.
    for (;;) {
      pid_t r = waitpid(pid, &status, WNOHANG);
      if (r == pid || (r < 0 && errno != EINTR)) break;
      struct pollfd p = {run.errorFd, POLLIN, 0};
      if (poll(&p, 1, 20) > 0) emu::pass(run.errorFd, *run.command);
    }
  }
  sigaction(SIGINT, &oldInt, nullptr);
  sigaction(SIGQUIT, &oldQuit, nullptr);
  sigprocmask(SIG_SETMASK, &old, nullptr);
  emu::finish(run, pid > 0 ? status : -1, "system");
  return pid > 0 ? status : -1;
}

extern "C" __attribute__((visibility("default"))) FILE* popen(const char* line, const char* mode) {
  if (!line || !mode || (mode[0] != 'r' && mode[0] != 'w')) {
    errno = EINVAL;
    return nullptr;
  }
  drainShell();
  bool reading = mode[0] == 'r';
  int data[2], fds[2];
  if (pipe2(data, O_CLOEXEC) != 0) return nullptr;
  if (!emu::errorPipe(fds)) {
    close(data[0]);
    close(data[1]);
    return nullptr;
  }
  emu::Running run;
  run.command = emu::begin("popen", line);
  run.started = std::chrono::steady_clock::now();
  run.errorFd = fds[0];
  sigset_t none;
  sigprocmask(SIG_SETMASK, nullptr, &none);
  int childEnd = reading ? data[1] : data[0], ourEnd = reading ? data[0] : data[1];
  run.pid = emu::startShell(line, fds[1], childEnd, reading ? 1 : 0, &none);
  close(fds[1]);
  close(childEnd);
  FILE* stream = run.pid > 0 ? fdopen(ourEnd, reading ? "r" : "w") : nullptr;
  if (!stream) {
    close(ourEnd);
    if (run.pid > 0) {
      int status;
      waitpid(run.pid, &status, 0);
    }
    emu::finish(run, -1, "popen");
    return nullptr;
  }
  emu::trace("popen(%s, %s) = %p", emu::detail::quote(line).c_str(), emu::detail::quote(mode).c_str(),
             static_cast<void*>(stream));
  emu::g_streams[stream] = run;
  return stream;
}

extern "C" __attribute__((visibility("default"))) int pclose(FILE* stream) {
  auto it = emu::g_streams.find(stream);
  if (it == emu::g_streams.end()) {
    // Not one of ours: whatever else opened it closes it.
    using Close = int (*)(FILE*);
    static Close next = reinterpret_cast<Close>(dlsym(RTLD_NEXT, "pclose"));
    return next ? next(stream) : -1;
  }
  emu::Running run = it->second;
  emu::g_streams.erase(it);
  fclose(stream);
  int status = -1;
  while (waitpid(run.pid, &status, 0) < 0 && errno == EINTR) {
  }
  emu::finish(run, status, "pclose");
  return status;
}
