// The TAP's shell commands. The core defines system, popen and pclose, so the
// TAP's calls (bound through the process's global scope, where this library
// comes before the C library) run here: as the C library runs them, but with
// the command's error output passed through a pipe that keeps its end, and
// each command traced with its exit status and time and kept for front ends.
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <linux/capability.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
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
#include "core/sandbox_internal.h"

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

// True when the code at `caller` lies in the TAP or another object loaded at
// run time, not in the program itself or this library: the program's (and the
// tests') own commands run on the PC, the TAP's in the receiver's root.
bool fromTap(const void* caller) {
  Dl_info info;
  struct link_map* map = nullptr;
  if (dladdr1(caller, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) == 0 || !map) return false;
  if (!map->l_name || !map->l_name[0]) return false;  // the program
  Dl_info own;
  return dladdr(reinterpret_cast<const void*>(&fromTap), &own) == 0 || own.dli_fbase != info.dli_fbase;
}

// The environment of a receiver's shell: nothing of the PC's but the wget
// settings file, which the sandbox names (SandboxOptions::caFile) and which a
// TAP may name itself, on its disk, as it could on a receiver.
std::vector<std::string> receiverEnvironment() {
  std::vector<std::string> env = {std::string("PATH=") + sandbox_detail::kReceiverPath, "HOME=/", "PWD=/"};
  const char* wgetrc = getenv("WGETRC");
  if (wgetrc && *wgetrc) env.push_back(std::string("WGETRC=") + wgetrc);
  // What qemu-user takes from the environment, so that the MIPS programs of
  // a box run on the same core and can be counted with the emulator
  // (scripts/box-mips-insns.sh); a receiver has none of these.
  for (const char* name : {"QEMU_CPU", "QEMU_PLUGIN", "QEMU_LOG", "QEMU_LOG_FILENAME"}) {
    const char* value = getenv(name);
    if (value && *value) env.push_back(std::string(name) + "=" + value);
  }
  return env;
}

// The capabilities a receiver's root shell keeps: enough for the files of the
// disk and its own processes, none to leave the root (chroot, mounts,
// ptrace, file handles).
constexpr uint64_t kKeptCapabilities = uint64_t{1} << CAP_CHOWN | uint64_t{1} << CAP_DAC_OVERRIDE |
                                       uint64_t{1} << CAP_FOWNER | uint64_t{1} << CAP_FSETID | uint64_t{1} << CAP_KILL;

// Starts "/bin/sh -c line" in the receiver's root `rootFd`, as startShell
// does on the PC. Forked by vfork: the child only makes system calls.
pid_t startSealedShell(int rootFd, const char* line, int errorFd, int childFd, int childTarget, const sigset_t* mask) {
  std::vector<std::string> env = receiverEnvironment();
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  const char* argv[] = {"sh", "-c", line, nullptr};
  // Every handler of the parent would run in the child until exec.
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  pid_t pid = vfork();
  if (pid == 0) {
    struct sigaction dfl = {};
    dfl.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; sig++) {
      struct sigaction now;
      if (sigaction(sig, nullptr, &now) == 0 && (now.sa_handler != SIG_IGN || sig == SIGINT || sig == SIGQUIT))
        sigaction(sig, &dfl, nullptr);
    }
    if (childFd >= 0 && dup2(childFd, childTarget) < 0) _exit(127);
    if (dup2(errorFd, 2) < 0) _exit(127);
    if (fchdir(rootFd) != 0 || chroot(".") != 0 || chdir("/") != 0) _exit(127);
    for (int cap = 0; cap <= CAP_LAST_CAP; cap++)
      if (!(kKeptCapabilities >> cap & 1)) prctl(PR_CAPBSET_DROP, cap, 0, 0, 0);
    struct __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    struct __user_cap_data_struct data[2] = {};
    if (syscall(SYS_capget, &header, data) == 0) {
      for (int i = 0; i < 2; i++) {
        auto mine = static_cast<uint32_t>(kKeptCapabilities >> (32 * i));
        data[i].effective &= mine;
        data[i].permitted &= mine;
        data[i].inheritable = 0;
      }
      syscall(SYS_capset, &header, data);
    }
    prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
    sigprocmask(SIG_SETMASK, mask, nullptr);
    execve("/bin/sh", const_cast<char* const*>(argv), envp.data());
    _exit(127);
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return pid;
}

// Starts "/bin/sh -c line" with its error output on `errorFd` and, when
// `childFd` >= 0, that as its descriptor `childTarget`.
pid_t startShell(bool tap, const char* line, int errorFd, int childFd, int childTarget, const sigset_t* mask) {
  int rootFd = sandbox_detail::sealedRootFd();
  if (rootFd >= 0 && tap) return startSealedShell(rootFd, line, errorFd, childFd, childTarget, mask);
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

namespace emu {
// system and popen for the TAP (`tap`, in the receiver's root when the
// sandbox has one) or for the program itself (on the PC).
static int runSystem(const char* line, bool tap);
static FILE* openPipe(const char* line, const char* mode, bool tap);
}  // namespace emu

namespace emu {

int tapSystem(const char* line) { return runSystem(line, true); }
FILE* tapPopen(const char* line, const char* mode) { return openPipe(line, mode, true); }

}  // namespace emu

// The same for C: the tests link the TAP's code into their programs with its
// calls of system and popen renamed to these (tests/CMakeLists.txt).
extern "C" __attribute__((visibility("default"))) int orvado_tap_system(const char* line) {
  return emu::tapSystem(line);
}

extern "C" __attribute__((visibility("default"))) FILE* orvado_tap_popen(const char* line, const char* mode) {
  return emu::tapPopen(line, mode);
}

extern "C" __attribute__((visibility("default"))) int system(const char* line) {
  return emu::runSystem(line, emu::fromTap(__builtin_return_address(0)));
}

extern "C" __attribute__((visibility("default"))) FILE* popen(const char* line, const char* mode) {
  return emu::openPipe(line, mode, emu::fromTap(__builtin_return_address(0)));
}

namespace emu {
static int runSystem(const char* line, bool tap) {
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
  pid_t pid = emu::startShell(tap, line, fds[1], -1, -1, &old);
  close(fds[1]);
  int status = -1;
  if (pid > 0) {
    // The command's error output is read while it runs, so it never waits
    // on a full pipe. Once the pipe is at its end (a command that sent its
    // error output elsewhere and runs on), only the wait is left: polling a
    // closed pipe returns at once and would spin a core.
    bool reading = true;
    for (;;) {
      pid_t r = waitpid(pid, &status, reading ? WNOHANG : 0);
      if (r == pid || (r < 0 && errno != EINTR)) break;
      if (!reading) continue;
      struct pollfd p = {run.errorFd, POLLIN, 0};
      if (poll(&p, 1, 20) > 0 && !emu::pass(run.errorFd, *run.command)) reading = false;
    }
  }
  sigaction(SIGINT, &oldInt, nullptr);
  sigaction(SIGQUIT, &oldQuit, nullptr);
  sigprocmask(SIG_SETMASK, &old, nullptr);
  emu::finish(run, pid > 0 ? status : -1, "system");
  return pid > 0 ? status : -1;
}

static FILE* openPipe(const char* line, const char* mode, bool tap) {
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
  run.pid = emu::startShell(tap, line, fds[1], childEnd, reading ? 1 : 0, &none);
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
}  // namespace emu

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
