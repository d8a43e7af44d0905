// The mounts every sandbox has, and the in-place sandbox that has only them.
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "core/sandbox_internal.h"

namespace fs = std::filesystem;

namespace emu {
namespace sandbox_detail {

namespace {

bool writeText(const std::string& path, const std::string& text, std::string* error) {
  int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = systemError("Cannot open " + path);
    return false;
  }
  bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  if (!ok) *error = systemError("Cannot write \"" + text + "\" to " + path);
  close(fd);
  return ok;
}

bool makeDir(const std::string& path, mode_t mode, std::string* error) {
  if (mkdir(path.c_str(), mode) != 0 && errno != EEXIST) {
    *error = systemError("Cannot make " + path);
    return false;
  }
  return true;
}

bool mountOrFail(const char* source, const std::string& target, const char* type, unsigned long flags, const char* data,
                 const std::string& what, std::string* error) {
  if (mount(source, target.c_str(), type, flags, data) == 0) return true;
  *error = systemError("Cannot " + what);
  return false;
}

// An overlay on `target` whose changes go to `privateDir`/`name`-upper. The
// layer paths are given relative to `privateDir`, so no character of $TMPDIR
// can upset the option string.
bool overlay(const std::string& privateDir, const std::string& target, const std::string& name, bool hideWget,
             std::string* error) {
  std::string upper = name + "-upper", work = name + "-work";
  if (!makeDir(privateDir + "/" + upper, 0755, error) || !makeDir(privateDir + "/" + work, 0700, error)) return false;
  // A whiteout made before the mount hides the file even where the sandbox's
  // root may not write to the real folder (a user namespace).
  if (hideWget && mknod((privateDir + "/" + upper + "/wget").c_str(), S_IFCHR, makedev(0, 0)) != 0) {
    *error = systemError("Cannot hide wget in " + target);
    return false;
  }
  int cwd = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (chdir(privateDir.c_str()) != 0) {
    *error = systemError("Cannot enter " + privateDir);
    if (cwd >= 0) close(cwd);
    return false;
  }
  std::string options = "lowerdir=" + target + ",upperdir=" + upper + ",workdir=" + work;
  bool ok = mountOrFail("overlay", target, "overlay", 0, options.c_str(), "mount an overlay on " + target, error);
  if (cwd >= 0) {
    if (fchdir(cwd) != 0) chdir("/");
    close(cwd);
  }
  return ok;
}

}  // namespace

bool writeOwnIdMaps(uid_t uid, gid_t gid, std::string* error) {
  // Kernels without the setgroups file allow the gid map without it.
  if (access("/proc/self/setgroups", F_OK) == 0 && !writeText("/proc/self/setgroups", "deny", error)) return false;
  return writeText("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1", error) &&
         writeText("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1", error);
}

bool mountSandboxTree(const std::string& privateDir, const std::string& diskDir, const DiskSource* fresh, bool hideWget,
                      std::string* error) {
  // Nothing mounted below may reach the host.
  if (!mountOrFail(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr, "make the mounts private", error)) return false;
  if (!mountOrFail("tmpfs", privateDir, "tmpfs", MS_NOSUID | MS_NODEV, "mode=0700", "mount a tmpfs on " + privateDir,
                   error))
    return false;
  // Like the image, the folder may lie under /mnt: it is reached through
  // descriptors once /mnt is covered.
  int privateFd = open(privateDir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (privateFd < 0) {
    *error = systemError("Cannot open " + privateDir);
    return false;
  }

  // Opened before /mnt is covered, as the image may lie under it; opened in
  // this namespace, as a bind takes only mounts of its own namespace.
  std::string image = fresh ? privateDir + "/hd" : diskDir;
  if (fresh && (!makeDir(image, 0755, error) || !fillDiskImage(*fresh, image, error))) {
    close(privateFd);
    return false;
  }
  int diskFd = open(image.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (diskFd < 0) {
    *error = systemError("Cannot open the disk image " + image);
    close(privateFd);
    return false;
  }

  bool ok = overlay(privateDir, "/usr/bin", "usr-bin", hideWget, error);
  // Debian's /bin is a link into /usr; elsewhere it is a folder of its own.
  struct stat bin, usrBin;
  if (ok && lstat("/bin", &bin) == 0 && S_ISDIR(bin.st_mode) && stat("/usr/bin", &usrBin) == 0 &&
      (bin.st_dev != usrBin.st_dev || bin.st_ino != usrBin.st_ino))
    ok = overlay(privateDir, "/bin", "bin", hideWget, error);

  std::string diskPath = "/proc/self/fd/" + std::to_string(diskFd);
  ok = ok && mountOrFail("tmpfs", "/mnt", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755", "mount a tmpfs on /mnt", error) &&
       makeDir("/mnt/hd", 0755, error) &&
       mountOrFail(diskPath.c_str(), "/mnt/hd", nullptr, MS_BIND | MS_REC, nullptr, "mount the disk image on /mnt/hd",
                   error);
  // The overlay and the bind hold the tmpfs; the folder itself goes back to
  // being empty.
  std::string privatePath = "/proc/self/fd/" + std::to_string(privateFd);
  if (ok && umount2(privatePath.c_str(), MNT_DETACH) != 0) {
    *error = systemError("Cannot detach the tmpfs from " + privateDir);
    ok = false;
  }
  close(privateFd);
  close(diskFd);
  return ok;
}

}  // namespace sandbox_detail

bool enterSandboxInPlace(const SandboxOptions& options, std::string* error) {
  using namespace sandbox_detail;
  std::string ignored;
  std::string& err = error ? *error : ignored;
  DiskSource source;
  std::string diskDir;
  if (options.diskDir.empty() ? !resolveDiskSource(options, &source, &err) : !prepareDiskDir(options, &diskDir, &err))
    return false;
  uid_t uid = geteuid();
  gid_t gid = getegid();
  bool userNamespace = uid != 0;
  bool ok = true;
  if (unshare(CLONE_NEWNS | (userNamespace ? CLONE_NEWUSER : 0)) != 0) {
    err = systemError(userNamespace ? "Cannot make a user and mount namespace (a single-threaded process and a "
                                      "kernel that allows user namespaces are needed)"
                                    : "Cannot make a mount namespace");
    ok = false;
  }
  ok = ok && (!userNamespace || writeOwnIdMaps(uid, gid, &err));
  std::string privateDir = ok ? makeTempDir("orvado-sandbox-", &err) : "";
  if (!privateDir.empty()) {
    // Held open: once /mnt is covered the folder may be out of reach by name.
    std::string parent = fs::path(privateDir).parent_path().string();
    int parentFd = open(parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    ok = mountSandboxTree(privateDir, diskDir, options.diskDir.empty() ? &source : nullptr, options.hideHostWget, &err);
    if (parentFd >= 0) {
      unlinkat(parentFd, fs::path(privateDir).filename().c_str(), AT_REMOVEDIR);
      close(parentFd);
    }
  } else {
    ok = false;
  }
  // A devpts instance of its own without terminals: log lines of the code
  // under test are dropped instead of reaching a terminal of the host.
  if (ok && mount("devpts", "/dev/pts", "devpts", MS_NOSUID | MS_NOEXEC, "newinstance,ptmxmode=0666,mode=0620") != 0) {
    err = systemError("Cannot mount a new devpts instance on /dev/pts");
    ok = false;
  }
  return ok;
}

}  // namespace emu
