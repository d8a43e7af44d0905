// runSandboxed: the caller forks a helper that makes the namespaces, and the
// helper forks the sandbox's PID 1, which mounts the sandbox and runs the body
// in a worker. The caller itself never changes namespace, so it can make one
// sandbox after another.
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "core/sandbox_internal.h"

namespace emu {

using namespace sandbox_detail;

namespace {

const char* const kSandboxVariable = "ORVADO_SANDBOX";
bool gInSandbox = false;
// The wgetrc that the sandbox's wgets read (SandboxOptions::caFile), if any.
std::string gWgetrc;

// The caller's signal state while it waits for a sandbox. The first end
// signal is passed on to the body, which may stop in its own way; a second
// one, or a body still running after kGraceSeconds, kills the sandbox.
constexpr int kEndSignals[] = {SIGINT, SIGTERM, SIGHUP};
const int kGraceSeconds = 5;
volatile sig_atomic_t gSignal = 0;
volatile sig_atomic_t gKilled = 0;
volatile pid_t gInitPid = 0;
// An end signal that the caller caught while no sandbox was catching them.
volatile sig_atomic_t gEndBefore = 0;
// The caller's own handlers, which the body gets back.
struct sigaction gCallerActions[std::size(kEndSignals)];
static_assert(kEndSignals[1] == SIGTERM);

void killSandbox() {
  pid_t init = gInitPid;
  gKilled = 1;
  // Killing PID 1 kills every process of the sandbox.
  if (init > 0) kill(init, SIGKILL);
}

void onEndSignal(int sig) {
  if (gSignal) {
    killSandbox();
    return;
  }
  gSignal = sig;
  pid_t init = gInitPid;
  if (init > 0) kill(init, sig);
}

// Catches the end signals for as long as it lives, except those the caller
// ignores.
class EndSignalGuard {
 public:
  EndSignalGuard() {
    gSignal = 0;
    gKilled = 0;
    gInitPid = 0;
    for (size_t i = 0; i < std::size(kEndSignals); i++) {
      sigaction(kEndSignals[i], nullptr, &gCallerActions[i]);
      if (gCallerActions[i].sa_handler == SIG_IGN) continue;
      struct sigaction action = {};
      action.sa_handler = onEndSignal;
      sigemptyset(&action.sa_mask);
      sigaction(kEndSignals[i], &action, nullptr);  // no SA_RESTART: waits end with EINTR
    }
    // Forwarded once PID 1 is known.
    if (gEndBefore) gSignal = gEndBefore;
    gEndBefore = 0;
  }
  ~EndSignalGuard() {
    for (size_t i = 0; i < std::size(kEndSignals); i++) sigaction(kEndSignals[i], &gCallerActions[i], nullptr);
    gInitPid = 0;
  }
};

void setEndSignals(void (*handler)(int)) {
  for (int sig : kEndSignals) signal(sig, handler);
}

// PID 1 passes end signals from outside on to the worker.
volatile pid_t gWorkerPid = 0;
volatile sig_atomic_t gPendingSignal = 0;

void forwardEndSignal(int sig) {
  // The C library's system() ignores SIGINT in its caller while the command
  // runs, and a TAP calls it often: a SIGINT would be lost there. The body
  // ends on SIGTERM alike, which system() leaves alone.
  if (sig == SIGINT && gCallerActions[1].sa_handler != SIG_IGN) sig = SIGTERM;
  pid_t worker = gWorkerPid;
  if (worker > 0)
    kill(worker, sig);
  else
    gPendingSignal = sig;
}

std::string mountNamespaceId() {
  char link[64];
  ssize_t n = readlink("/proc/self/ns/mnt", link, sizeof link - 1);
  return n > 0 ? std::string(link, static_cast<size_t>(n)) : std::string();
}

void writeAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

std::string readAll(int fd) {
  std::string text;
  char buffer[512];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return text;
    text.append(buffer, static_cast<size_t>(n));
  }
}

int statusCode(int status) { return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status); }

struct ChildSetup {
  std::string privateDir;
  std::string diskDir;      // the image, or empty when `fresh` fills one
  const DiskSource* fresh;  // a fresh image that need not outlive the run
                            // is filled in the sandbox's own tmpfs
  bool hideWget;
  SealedRootOptions sealed;
  bool userNamespace;
  uid_t uid;
  gid_t gid;
  pid_t caller;
  int pidPipe;    // write end: the helper reports PID 1's pid
  int errorPipe;  // write end: setup errors; closed without a word on success
};

[[noreturn]] void failSetup(const ChildSetup& setup, const std::string& message) {
  writeAll(setup.errorPipe, message);
  _exit(1);
}

// PID 1 of the sandbox: mounts, then runs the worker and reaps every orphan
// until the worker ends.
[[noreturn]] void runInit(const ChildSetup& setup, int helperAlive, const std::function<int()>& body) {
  // Dies with the helper, which dies with the caller.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  struct pollfd helper = {helperAlive, POLLIN, 0};
  if (poll(&helper, 1, 0) > 0 && (helper.revents & POLLHUP)) _exit(1);
  close(helperAlive);
  setEndSignals(forwardEndSignal);

  std::string error;
  if (!mountSandboxTree(setup.privateDir, setup.diskDir, setup.fresh, setup.hideWget, &error)) failSetup(setup, error);
  if (mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0)
    failSetup(setup, systemError("Cannot mount /proc"));
  if (mount("devpts", "/dev/pts", "devpts", MS_NOSUID | MS_NOEXEC, "newinstance,ptmxmode=0666,mode=0620") != 0)
    failSetup(setup, systemError("Cannot mount a new devpts instance on /dev/pts"));
  if (mount("/dev/pts/ptmx", "/dev/ptmx", nullptr, MS_BIND, nullptr) != 0)
    failSetup(setup, systemError("Cannot bind /dev/pts/ptmx to /dev/ptmx"));
  if (!makeSealedRoot(setup.sealed, &error)) failSetup(setup, error);
  // Same user, but not to be looked into: the shell commands must not reach
  // the PC's files through /proc/<pid>/root of the sandbox's own processes.
  prctl(PR_SET_DUMPABLE, 0);
  markInSandbox();

  pid_t worker = fork();
  if (worker < 0) failSetup(setup, systemError("Cannot start the sandbox's worker"));
  if (worker == 0) {
    close(setup.errorPipe);
    for (size_t i = 0; i < std::size(kEndSignals); i++) sigaction(kEndSignals[i], &gCallerActions[i], nullptr);
    int status = 70;
    try {
      status = body();
    } catch (const std::exception& e) {
      fprintf(stderr, "Uncaught exception in the sandbox: %s\n", e.what());
    }
    fflush(nullptr);
    _exit(status);
  }
  gWorkerPid = worker;
  if (gPendingSignal) kill(worker, gPendingSignal);
  close(setup.errorPipe);
  int code = 1;
  for (;;) {
    int status;
    pid_t ended = waitpid(-1, &status, 0);
    if (ended == worker) {
      code = statusCode(status);
      break;
    }
    if (ended < 0 && errno == ECHILD) break;
  }
  // Leaving kills whatever the worker left running.
  _exit(code);
}

// Makes the namespaces, forks PID 1 and passes on how it ended.
[[noreturn]] void runHelper(const ChildSetup& setup, const std::function<int()>& body) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != setup.caller) _exit(1);
  // The caller ends the sandbox on these; the helper must outlive PID 1 so the
  // caller learns when the sandbox is gone.
  setEndSignals(SIG_IGN);

  int flags = CLONE_NEWNS | CLONE_NEWPID | (setup.userNamespace ? CLONE_NEWUSER : 0);
  if (unshare(flags) != 0) {
    failSetup(setup, systemError(setup.userNamespace
                                     ? "Cannot make the sandbox's namespaces (does the kernel allow user namespaces?)"
                                     : "Cannot make the sandbox's namespaces"));
  }
  std::string error;
  if (setup.userNamespace && !writeOwnIdMaps(setup.uid, setup.gid, &error)) failSetup(setup, error);

  int alive[2];
  if (pipe2(alive, O_CLOEXEC) != 0) failSetup(setup, systemError("Cannot make a pipe"));
  pid_t init = fork();
  if (init < 0) failSetup(setup, systemError("Cannot start the sandbox's PID 1"));
  if (init == 0) {
    close(alive[1]);
    close(setup.pidPipe);
    runInit(setup, alive[0], body);
  }
  close(alive[0]);
  close(setup.errorPipe);
  writeAll(setup.pidPipe, std::string(reinterpret_cast<const char*>(&init), sizeof init));
  close(setup.pidPipe);
  int status;
  while (waitpid(init, &status, 0) < 0) {
    if (errno != EINTR) _exit(1);
  }
  _exit(statusCode(status));
}

}  // namespace

namespace sandbox_detail {

const std::string& sandboxWgetrc() { return gWgetrc; }

void markInSandbox() {
  gInSandbox = true;
  // The shell commands of the TAP find their programs as on a receiver.
  setenv("PATH", kReceiverPath, 1);
  setenv(kSandboxVariable, mountNamespaceId().c_str(), 1);
  if (!gWgetrc.empty()) setenv("WGETRC", gWgetrc.c_str(), 1);
}

}  // namespace sandbox_detail

bool inSandbox() {
  if (gInSandbox) return true;
  // A program started inside a sandbox shares its mount namespace.
  const char* marked = getenv(kSandboxVariable);
  return marked && *marked && mountNamespaceId() == marked;
}

void endNextSandbox(int sig) { gEndBefore = sig; }

int lastSandboxEndSignal() { return gSignal ? gSignal : gEndBefore; }

std::string keptDiskMessage(const std::string& dir) { return "The disk image is kept in " + dir; }

int runSandboxed(const SandboxOptions& options, const std::function<int()>& body, std::string* error) {
  std::string ignored;
  std::string& err = error ? *error : ignored;
  err.clear();
  bool fresh = options.diskDir.empty();
  std::string image;
  DiskSource source;
  bool inTmpfs = fresh && options.imageInMemory && !options.keepDisk;
  if (fresh && !resolveDiskSource(options, &source, &err)) return -1;
  if (fresh && !inTmpfs) {
    image = makeTempDir("orvado-disk-", &err);
    if (image.empty()) return -1;
    chmod(image.c_str(), 0755);
    if (!fillDiskImage(source, image, &err)) {
      removeTree(image);
      return -1;
    }
  } else if (!fresh && !prepareDiskDir(options, &image, &err)) {
    return -1;
  }

  std::string privateDir = makeTempDir("orvado-sandbox-", &err);
  int pidPipe[2] = {-1, -1}, errorPipe[2] = {-1, -1};
  bool ready = !privateDir.empty();
  std::string trustDir;
  gWgetrc.clear();
  if (ready && !options.caFile.empty()) {
    trustDir = makeTempDir("orvado-trust-", &err);
    ready = !trustDir.empty() && writeTrustFiles(options.caFile, trustDir, &gWgetrc, &err);
  }
  if (ready && (pipe2(pidPipe, O_CLOEXEC) != 0 || pipe2(errorPipe, O_CLOEXEC) != 0)) {
    err = systemError("Cannot make a pipe");
    ready = false;
  }

  int result = -1;
  bool sandboxRan = false;
  pid_t helper = -1;
  {
    EndSignalGuard guard;
    if (ready) {
      // Whatever waits in the buffers would otherwise be written again by the
      // children.
      fflush(nullptr);
      SealedRootOptions sealed;
      sealed.busybox = ORVADO_BUSYBOX;
      // The PC's wget and the disk's, with the libraries that they load: the
      // receiver build's tests, too, put the PC's wget on the disk. A MIPS
      // program starts through qemu, with its libraries.
      sealed.hostWget = findOnPath("wget");
      sealed.diskWget = source.wget;
      sealed.mipsInterpreter = mipsInterpreter();
      sealed.hideWget = options.hideHostWget;
      sealed.withoutTimeout = options.withoutTimeout;
      sealed.trustDir = trustDir;
      sealed.place = privateDir;
      ChildSetup setup{privateDir,
                       image,
                       inTmpfs ? &source : nullptr,
                       options.hideHostWget,
                       sealed,
                       geteuid() != 0,
                       geteuid(),
                       getegid(),
                       getpid(),
                       pidPipe[1],
                       errorPipe[1]};
      helper = fork();
      if (helper == 0) {
        close(pidPipe[0]);
        close(errorPipe[0]);
        runHelper(setup, body);
      }
      if (helper < 0) err = systemError("Cannot start the sandbox");
    }
    if (pidPipe[1] >= 0) close(pidPipe[1]);
    if (errorPipe[1] >= 0) close(errorPipe[1]);
    if (helper > 0) {
      std::string pidText = readAll(pidPipe[0]);
      if (pidText.size() == sizeof(pid_t)) {
        gInitPid = *reinterpret_cast<const pid_t*>(pidText.data());
        // A signal that came before PID 1 was known.
        if (gKilled)
          kill(gInitPid, SIGKILL);
        else if (gSignal)
          kill(gInitPid, gSignal);
      }
      std::string setupError = readAll(errorPipe[0]);
      int status = 0;
      int waited = 0;
      for (;;) {
        pid_t ended = waitpid(helper, &status, gSignal ? WNOHANG : 0);
        if (ended == helper || (ended < 0 && errno != EINTR)) break;
        if (!gSignal) continue;
        if (waited >= kGraceSeconds * 50 && !gKilled) killSandbox();
        usleep(20000);
        waited++;
      }
      if (!setupError.empty() || pidText.size() != sizeof(pid_t)) {
        err = setupError.empty() ? "The sandbox ended before it was set up" : setupError;
      } else {
        sandboxRan = true;
        result = gKilled ? 128 + gSignal : statusCode(status);
      }
    }
  }
  if (pidPipe[0] >= 0) close(pidPipe[0]);
  if (errorPipe[0] >= 0) close(errorPipe[0]);
  if (!privateDir.empty()) removeTree(privateDir);
  if (!trustDir.empty()) removeTree(trustDir);
  gWgetrc.clear();
  if (fresh && !inTmpfs) {
    if (options.keepDisk && sandboxRan)
      fprintf(stderr, "%s\n", keptDiskMessage(image).c_str());
    else
      removeTree(image);
  }
  return result;
}

}  // namespace emu
