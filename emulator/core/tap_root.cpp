// The TAP's own C library calls (fopen, open, opendir, getcwd, relative
// paths) see the receiver's root, as its shell commands do: the thread that
// calls into the TAP has a root and current folder of its own (CLONE_FS),
// switched to the sealed root for each call and back after it. The rest of
// the emulator (its other threads, and this one between calls) keeps the
// PC's view.
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/internal.h"
#include "core/sandbox_internal.h"

namespace emu::detail {

namespace {

struct ThreadRoot {
  bool own = false;     // this thread's root is its own (unshared)
  bool failed = false;  // it could not be, or the switch failed: stay outside
  bool inside = false;
  int outsideRoot = -1;
  int outsideCwd = -1;
  int insideCwd = -1;  // the TAP's current folder, kept from call to call
};

thread_local ThreadRoot t_root;

void closeFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

bool prepare(ThreadRoot& r) {
  if (r.own) return true;
  if (r.failed) return false;
  if (unshare(CLONE_FS) != 0) {
    consoleFromAnyThread(
        format("receiver: the TAP's own file calls see the PC's files: cannot give its thread a "
               "root of its own (%s)",
               strerror(errno)));
    r.failed = true;
    return false;
  }
  r.outsideRoot = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
  r.own = r.outsideRoot >= 0;
  r.failed = !r.own;
  return r.own;
}

// The PC's root and this thread's folder in it again. The descriptor of the
// PC's root leads back out; chroot needs the capability that the shell's
// commands lack but the emulator keeps.
bool backToPc(ThreadRoot& r) {
  if (fchdir(r.outsideRoot) != 0 || chroot(".") != 0) return false;
  return (r.outsideCwd >= 0 && fchdir(r.outsideCwd) == 0) || chdir("/") == 0;
}

}  // namespace

void enterTapRoot() {
#if defined(__mips__)
  // This build runs under qemu-user, which does not take a thread back out
  // of a root of its own: the receiver build's TAP calls keep the PC's view.
  return;
#endif
  ThreadRoot& r = t_root;
  int root = sandbox_detail::sealedRootFd();
  if (r.inside || root < 0 || !prepare(r)) return;
  closeFd(r.outsideCwd);
  r.outsideCwd = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fchdir(root) != 0 || chroot(".") != 0) {
    if (!r.failed)
      consoleFromAnyThread(
          format("receiver: the TAP's own file calls see the PC's files: cannot enter its root (%s)", strerror(errno)));
    r.failed = true;
    // Still in the PC's root: only the folder moved.
    if (r.outsideCwd >= 0 && fchdir(r.outsideCwd) != 0) closeFd(r.outsideCwd);
    return;
  }
  // A receiver's firmware runs in "/"; a folder that the TAP changed to
  // stays its current one.
  if ((r.insideCwd < 0 || fchdir(r.insideCwd) != 0) && chdir("/") != 0) {
    // A root without "/" cannot be: go back rather than run the TAP nowhere.
    backToPc(r);
    r.failed = true;
    return;
  }
  r.inside = true;
}

void leaveTapRoot() {
  ThreadRoot& r = t_root;
  if (!r.inside) return;
  closeFd(r.insideCwd);
  r.insideCwd = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (backToPc(r)) r.inside = false;
}

OutsideTapRoot::OutsideTapRoot() : wasInside_(t_root.inside) {
  if (wasInside_) leaveTapRoot();
}

OutsideTapRoot::~OutsideTapRoot() {
  if (wasInside_) enterTapRoot();
}

}  // namespace emu::detail
