// Private to the sandbox files: the steps runSandboxed and enterSandboxInPlace
// share. Every step returns false (or an empty string) with a message in
// `error` when it fails.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "core/sandbox.h"

namespace emu::sandbox_detail {

// What a new disk image is made of.
struct DiskSource {
  std::string templateDir;
  std::string wget;  // empty: the template brings its own
  std::vector<DiskFile> files;
};

// Finds the template and the wget that `options` name, or the defaults.
bool resolveDiskSource(const SandboxOptions& options, DiskSource* source, std::string* error);

// Writes into the new folder `dir` a CA bundle of the host's bundle (when it
// has one) and the PEM certificates of `caFile`, and a wgetrc naming it;
// gives that wgetrc's path. False with a message when `caFile` cannot be
// read or holds no certificate.
bool writeTrustFiles(const std::string& caFile, const std::string& dir, std::string* wgetrc, std::string* error);

// Copies the template into `dir` (which exists) and adds ProgramFiles/wget
// and the source's files.
bool fillDiskImage(const DiskSource& source, const std::string& dir, std::string* error);

// Writes `files` into the image folder `dir`.
bool putDiskFiles(const std::vector<DiskFile>& files, const std::string& dir, std::string* error);

// The PATH of a receiver's shell, which the sandbox's programs get.
constexpr const char* kReceiverPath = "/bin:/sbin:/usr/bin:/usr/sbin";

// The program `name` in a folder of kReceiverPath, or "".
std::string findOnPath(const std::string& name);

// Makes the user's disk folder ready: created when missing, filled when empty,
// and the options' files put into it.
// Sets `path` to its absolute form.
bool prepareDiskDir(const SandboxOptions& options, std::string* path, std::string* error);

// A new folder (mode 0700) under $TMPDIR or /tmp named `prefix` plus a random
// part. Returns "" on failure.
std::string makeTempDir(const std::string& prefix, std::string* error);

// Removes a folder tree without following links; says on stderr what it could
// not remove.
void removeTree(const std::string& path);

// Maps root of a new user namespace to the caller's `uid` and `gid`.
bool writeOwnIdMaps(uid_t uid, gid_t gid, std::string* error);

// In a new mount namespace: makes every mount private, puts an overlay on
// /usr/bin (and /bin when it is a folder of its own) whose layers live in a
// tmpfs on `privateDir`, a tmpfs on /mnt and the disk image on /mnt/hd. The
// image is the folder `diskDir`, or, when `fresh` is given, a new image in
// that tmpfs. The tmpfs is detached from `privateDir` at the end, so
// the folder is empty again for whoever removes it.
bool mountSandboxTree(const std::string& privateDir, const std::string& diskDir, const DiskSource* fresh, bool hideWget,
                      std::string* error);

// What the receiver's root of the TAP's shell commands is made of.
struct SealedRootOptions {
  std::string busybox;          // busybox; its "applets" list (and any lib/ of its own) lies beside it
  std::string hostWget;         // the PC's wget, which the root gets with its libraries, or ""
  std::string diskWget;         // the image's wget when another: its libraries too
  bool hideWget = false;        // its libraries only, not the wget itself
  bool withoutTimeout = false;  // no timeout applet, as older firmware
  std::string trustDir;         // the folder of the sandbox's wgetrc, or ""
  std::string mipsInterpreter;  // the PC's interpreter of MIPS programs, or ""
  std::string place;            // an empty folder to mount it on
};

// Inside the sandbox, once /proc and /dev/pts are its own: builds the root in
// a tmpfs on the options' place, held by a descriptor (sealedRootFd).
bool makeSealedRoot(const SealedRootOptions& options, std::string* error);

// The interpreter that the kernel starts MIPS programs with (binfmt_misc,
// scripts/mips-binfmt.sh), or "". Opened at its registration (flag F), it
// needs only its own libraries inside the root. Read before the sandbox's
// /proc covers binfmt_misc; inside another sandbox, /usr/bin/qemu-mipsel
// when it is there.
std::string mipsInterpreter();

// The descriptor of the root that makeSealedRoot made, or -1.
int sealedRootFd();

// The wgetrc that the sandbox's wgets read, or "".
const std::string& sandboxWgetrc();

// `what` followed by the text of errno.
std::string systemError(const std::string& what);

// Marks the calling process as inside a sandbox made by runSandboxed, for it
// and for the programs it starts.
void markInSandbox();

}  // namespace emu::sandbox_detail
