// The sandbox a TAP runs in: private mount and PID namespaces (and a user
// namespace when not run as root), a private /mnt/hd filled from a disk
// template, a fresh devpts instance whose first terminal is the emulator's
// console, a /proc that shows only the sandbox's processes, and a /usr/bin
// whose changes stay inside the sandbox. The TAP's shell commands run in a
// receiver's root of their own: busybox tools on read-only folders, /mnt/hd,
// a private /tmp, the sandbox's /proc and terminals, and the downloader.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace emu {

// A file that a new disk image gets beside the template's.
struct DiskFile {
  // Where in the image, relative to /mnt/hd ("ProgramFiles/orvado.ini"; a
  // leading "/mnt/hd/" is allowed). Folders on the way are made.
  std::string path;
  // The file on the PC to copy; when empty, `text` is written instead.
  std::string source;
  std::string text;
};

struct SandboxOptions {
  // Template copied into a fresh disk image; empty means the built template.
  std::string diskTemplate;
  // Use this folder as /mnt/hd itself (kept after the run) instead of a fresh
  // copy of the template. Empty for a fresh image that is removed afterwards.
  std::string diskDir;
  // Where the image's ProgramFiles/wget comes from; empty means the
  // template's own when it has one (the user package does), else the wget
  // found on the PATH.
  std::string wget;
  // Hide the host's wget inside the sandbox, as on a receiver without one.
  bool hideHostWget = false;
  // Keep the fresh image after the run and say where it is.
  bool keepDisk = false;
  // Make the fresh image in the sandbox's own tmpfs rather than in a folder
  // of $TMPDIR: quicker to make and remove, for short runs such as tests,
  // but everything written to it stays in memory. Not with keepDisk.
  bool imageInMemory = false;
  // Files put into the image after the template (over any of the same name),
  // into a fresh image and into a --disk folder alike.
  std::vector<DiskFile> files;
  // A certificate authority (PEM) that the TAP's wget trusts besides the
  // host's CA bundle, for HTTPS sources with a certificate of their own:
  // given to every wget of the sandbox through a wgetrc of its own (WGETRC).
  std::string caFile;
  // Leave `timeout` out of the busybox tools of the TAP's shell, as older
  // firmware has none.
  bool withoutTimeout = false;
};

// Checks the image path of a DiskFile and gives it relative to /mnt/hd.
// Returns false with a message for an empty path, one that leaves /mnt/hd
// ("..") or names a folder.
bool diskFilePath(const std::string& path, std::string& relative, std::string* error);

// Runs `body` in a new sandbox and returns its exit status (or 128 + signal).
// Returns -1 with a message when the sandbox cannot be made.
// `body` runs in a forked worker (only the calling thread lives on there),
// PID 2 of the sandbox; PID 1 reaps whatever it leaves behind, and every
// process of the sandbox ends with the worker. A SIGINT, SIGTERM or SIGHUP to
// the caller meanwhile goes on to the worker, which has the caller's handlers,
// so the body may stop in its own way (a SIGINT as SIGTERM, unless the caller
// ignores that: system() in the body ignores SIGINT while its command runs); a second one, or a worker still running
// 5 s later, kills the whole sandbox and gives 128 + the signal. The folders
// are removed in every case; a kept image is announced on stderr with
// keptDiskMessage. The caller's own namespaces never change, so it may make
// one sandbox after another, or one inside another.
int runSandboxed(const SandboxOptions& options, const std::function<int()>& body, std::string* error);

// For the caller's own handler of SIGINT or SIGTERM (async-signal-safe): a
// signal that comes between two sandboxes, or before the next one catches
// signals, is passed on to that sandbox as soon as it has one, instead of
// being lost. Nothing is forwarded when no sandbox follows.
void endNextSandbox(int sig);

// The end signal that the last sandbox passed on to its worker, or one that
// came since and waits for the next sandbox; 0 when none did. The body may
// have returned as if none had come.
int lastSandboxEndSignal();

// The line that says where a kept disk image is: "The disk image is kept in
// <dir>".
std::string keptDiskMessage(const std::string& dir);

// Makes the calling process a sandbox of its own without forking: a private
// mount namespace (and user namespace when not root) with /mnt/hd and /usr/bin
// set up as above and a devpts instance without terminals (so log lines are
// dropped), but no PID namespace, console or /proc. For programs that
// cannot fork, such as fuzzers. A fresh image lives in memory and goes with
// the process (keepDisk does not apply). Needs a single-threaded caller when
// not root. Returns false with a message on failure; the process may then be
// half set up and should end.
bool enterSandboxInPlace(const SandboxOptions& options, std::string* error);

// One process of the sandbox, as a front end lists it.
struct SandboxProcess {
  int pid = 0;
  std::string name;               // the command's name, such as "wget"
  std::vector<std::string> args;  // its command line
  // The files it writes, as wget names them (-O FILE, --output-document=FILE,
  // -o/-a for its log), each with its size now (-1 while it does not exist).
  std::vector<std::pair<std::string, long long>> files;
};

// The processes that this process's /proc shows (inside a sandbox: the
// sandbox's own), those named `name` only unless it is empty, by process id.
// A process that ends while it is read is left out.
std::vector<SandboxProcess> sandboxProcesses(const std::string& name = "");

// Inside a sandbox: the folder of the receiver's root that the TAP's shell
// commands run in, as this mount namespace sees it; "" elsewhere.
std::string shellRoot();

// For a process that made a mount namespace of its own inside the sandbox:
// the TAP's shell commands run in this namespace's copy of the root from now
// on, so they see what the process mounts there. False outside a sandbox.
bool useShellRootOfThisNamespace();

// True inside a sandbox made by runSandboxed, also in programs started there.
bool inSandbox();

// The folder of the built disk template.
std::string defaultDiskTemplate();

// Inside the sandbox: opens the master of its first pseudo terminal
// (/dev/pts/0) in raw mode and keeps the terminal itself open, so the TAP's
// log lines can always reach it. Returns the master's descriptor (non-blocking),
// or -1 with a message when the new terminal is not /dev/pts/0.
int openConsole(std::string* error);

// Reads what waits on the console and hands each finished line to `line`.
// Zero bytes that follow a line (the TAP writes its terminator too) are
// dropped. An unfinished line waits for its end in a later call. Never blocks.
// Returns the number of bytes read.
size_t drainConsole(int master, const std::function<void(const std::string&)>& line);

}  // namespace emu
