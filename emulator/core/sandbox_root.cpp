// The receiver's root that the TAP's shell commands run in: busybox tools on
// read-only folders, the disk image, a private /tmp, the sandbox's /proc and
// terminals, a minimal /etc and the downloader. Built in a tmpfs on the
// sandbox's private folder, so only the shell commands, which enter it by its
// descriptor, can reach it. It stays mounted where it was made (a lazy
// unmount would drop the mounts inside it), in the sandbox's namespace only.
#include <elf.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "core/sandbox_internal.h"

namespace fs = std::filesystem;

namespace emu::sandbox_detail {

int gRootFd = -1;
std::string gRootPath;

namespace {

// Where the root goes when the private folder is out of reach (under /mnt).
const char* const kFallbackPlace = "/mnt/.receiver-root";
const char* const kToolDirs[] = {"bin", "sbin", "usr/bin", "usr/sbin"};

bool fail(std::string* error, const std::string& what) {
  *error = systemError(what);
  return false;
}

bool makeDirs(const std::string& path) {
  for (size_t at = path.find('/', 1);; at = path.find('/', at + 1)) {
    std::string part = path.substr(0, at);
    if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
    if (at == std::string::npos) return true;
  }
}

bool writeFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  return static_cast<bool>(out);
}

// Binds the host's `source` read-only (unless `writable`) at `target` below
// the root, making the file or folder to bind on.
bool bindInto(const std::string& root, const std::string& source, const std::string& target, bool writable,
              std::string* error) {
  struct stat st;
  if (stat(source.c_str(), &st) != 0) return fail(error, "Cannot find " + source);
  std::string path = root + target;
  if (S_ISDIR(st.st_mode)) {
    if (!makeDirs(path)) return fail(error, "Cannot make " + path);
  } else {
    if (!makeDirs(path.substr(0, path.rfind('/')))) return fail(error, "Cannot make the folder of " + path);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return fail(error, "Cannot make " + path);
    close(fd);
  }
  if (mount(source.c_str(), path.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
    return fail(error, "Cannot bind " + source + " to " + path);
  if (!writable && mount(nullptr, path.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY | MS_NOSUID, nullptr) != 0)
    return fail(error, "Cannot make " + path + " read-only");
  return true;
}

// `length` bytes of `fd` from `offset`; fewer at the end of the file.
std::string readAt(int fd, uint64_t offset, size_t length) {
  std::string out(length, '\0');
  ssize_t got = pread(fd, out.data(), length, static_cast<off_t>(offset));
  out.resize(got > 0 ? static_cast<size_t>(got) : 0);
  return out;
}

// The interpreter and the libraries (DT_NEEDED) that a 64-bit ELF program
// names, found where the dynamic loader looks without its cache. Reads only
// the headers and the dynamic section: the root takes some twenty programs
// and libraries of several megabytes each at every start.
void elfNeeds(const std::string& file, std::set<std::string>& found, std::string& interpreter) {
  int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  auto readInto = [fd](uint64_t offset, void* to, size_t length) {
    return pread(fd, to, length, static_cast<off_t>(offset)) == static_cast<ssize_t>(length);
  };
  Elf64_Ehdr eh;
  std::vector<Elf64_Phdr> ph;
  if (readInto(0, &eh, sizeof eh) && std::memcmp(eh.e_ident, ELFMAG, SELFMAG) == 0 &&
      eh.e_ident[EI_CLASS] == ELFCLASS64) {
    ph.resize(eh.e_phnum);
    if (!readInto(eh.e_phoff, ph.data(), ph.size() * sizeof(Elf64_Phdr))) ph.clear();
  }
  // Offsets of the dynamic string table are virtual addresses: map them back.
  auto fileOffset = [&](uint64_t address, uint64_t& offset, uint64_t& room) {
    for (const Elf64_Phdr& p : ph)
      if (p.p_type == PT_LOAD && address >= p.p_vaddr && address < p.p_vaddr + p.p_filesz) {
        offset = address - p.p_vaddr + p.p_offset;
        room = p.p_vaddr + p.p_filesz - address;
        return true;
      }
    return false;
  };
  // Sections past 1 MB are not what a loader reads; a damaged file stops here.
  constexpr uint64_t kMost = 1 << 20;
  std::vector<uint64_t> needed;
  uint64_t strtab = 0, strRoom = 0;
  bool haveStrtab = false;
  for (const Elf64_Phdr& p : ph) {
    if (p.p_type == PT_INTERP)
      interpreter = readAt(fd, p.p_offset, static_cast<size_t>(std::min(p.p_filesz, kMost))).c_str();
    if (p.p_type != PT_DYNAMIC) continue;
    std::vector<Elf64_Dyn> dyn(static_cast<size_t>(std::min(p.p_filesz, kMost)) / sizeof(Elf64_Dyn));
    if (!readInto(p.p_offset, dyn.data(), dyn.size() * sizeof(Elf64_Dyn))) dyn.clear();
    for (const Elf64_Dyn& d : dyn) {
      if (d.d_tag == DT_NULL) break;
      if (d.d_tag == DT_NEEDED) needed.push_back(d.d_un.d_val);
      if (d.d_tag == DT_STRTAB) haveStrtab = fileOffset(d.d_un.d_ptr, strtab, strRoom);
    }
  }
  std::string strings = haveStrtab ? readAt(fd, strtab, static_cast<size_t>(std::min(strRoom, kMost))) : std::string();
  close(fd);
  for (uint64_t name : needed) {
    if (name >= strings.size()) continue;
    std::string lib = strings.c_str() + static_cast<size_t>(name);
    for (const char* dir : {"/lib/x86_64-linux-gnu/", "/usr/lib/x86_64-linux-gnu/", "/lib64/", "/lib/", "/usr/lib/"}) {
      std::string path = dir + lib;
      if (access(path.c_str(), R_OK) != 0) continue;
      if (found.insert(path).second) {
        std::string ignored;
        elfNeeds(path, found, ignored);
      }
      break;
    }
  }
}

bool toolLinks(const std::string& root, const SealedRootOptions& options, std::string* error) {
  for (const char* dir : kToolDirs)
    if (!makeDirs(root + "/" + dir)) return fail(error, std::string("Cannot make /") + dir);
  std::ifstream from(options.busybox, std::ios::binary);
  std::ofstream to(root + "/bin/busybox", std::ios::binary);
  to << from.rdbuf();
  to.close();
  if (!from || !to || chmod((root + "/bin/busybox").c_str(), 0755) != 0) {
    *error = "Cannot copy busybox from " + options.busybox + " (scripts/receiver-busybox.sh unpacks it)";
    return false;
  }
  std::ifstream list(options.busybox.substr(0, options.busybox.rfind('/')) + "/applets");
  if (!list) {
    *error = "Cannot read the applets beside " + options.busybox;
    return false;
  }
  // The downloader is the package's (or the PC's) own; a receiver's busybox
  // has none.
  std::set<std::string> left = {"wget", "busybox"};
  if (options.withoutTimeout) left.insert("timeout");
  for (std::string line; std::getline(list, line);) {
    std::string name = line.substr(line.rfind('/') + 1);
    if (name.empty() || left.count(name)) continue;
    std::string link = root;
    link += '/';
    link += line;
    if (symlink("/bin/busybox", link.c_str()) != 0 && errno != EEXIST)
      return fail(error, "Cannot link " + line + " to busybox");
  }
  return true;
}

bool etcFiles(const std::string& root, std::string* error) {
  if (!makeDirs(root + "/etc") || !writeFile(root + "/etc/passwd", "root:x:0:0:root:/:/bin/sh\n") ||
      !writeFile(root + "/etc/group", "root:x:0:\n") ||
      !writeFile(root + "/etc/hosts", "127.0.0.1\tlocalhost\n::1\tlocalhost\n")) {
    *error = "Cannot write the receiver's /etc";
    return false;
  }
  return true;
}

// The programs of the root besides busybox's applets, and the libraries that
// they and busybox load.
bool programs(const std::string& root, const SealedRootOptions& options, std::string* error) {
  if (!options.trustDir.empty() && !bindInto(root, options.trustDir, options.trustDir, false, error)) return false;
  std::set<std::string> libraries;
  std::vector<std::string> users = {options.hostWget, options.diskWget, options.busybox};
  // MIPS programs start through the PC's interpreter, which loads the PC's
  // libraries.
  users.push_back(options.mipsInterpreter);
  for (const std::string& user : users) {
    std::string interpreter;
    if (!user.empty()) elfNeeds(user, libraries, interpreter);
    if (!interpreter.empty()) libraries.insert(interpreter);
  }
  for (const std::string& library : libraries)
    if (!bindInto(root, library, library, false, error)) return false;
  // A busybox of another architecture brings its C library along.
  const std::string own = options.busybox.substr(0, options.busybox.rfind('/')) + "/lib";
  std::error_code ec;
  for (const auto& entry : fs::recursive_directory_iterator(own, ec)) {
    if (!entry.is_regular_file()) continue;
    std::string target = "/lib" + entry.path().string().substr(own.size());
    if (!bindInto(root, entry.path().string(), target, false, error)) return false;
  }
  if (!options.hostWget.empty() && !options.hideWget &&
      !bindInto(root, options.hostWget, "/usr/bin/wget", false, error))
    return false;
  const std::string bundle = "/etc/ssl/certs/ca-certificates.crt";
  return access(bundle.c_str(), R_OK) != 0 || bindInto(root, bundle, bundle, false, error);
}

bool devices(const std::string& root, std::string* error) {
  for (const char* node : {"/dev/null", "/dev/zero", "/dev/random", "/dev/urandom", "/dev/tty"})
    if (!bindInto(root, node, node, true, error)) return false;
  return bindInto(root, "/dev/pts", "/dev/pts", true, error) &&
         bindInto(root, "/dev/pts/ptmx", "/dev/ptmx", true, error);
}

}  // namespace

bool makeSealedRoot(const SealedRootOptions& options, std::string* error) {
  const std::string root = access(options.place.c_str(), F_OK) == 0 ? options.place : kFallbackPlace;
  if (mkdir(root.c_str(), 0755) != 0 && errno != EEXIST) return fail(error, "Cannot make " + root);
  if (mount("tmpfs", root.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0)
    return fail(error, "Cannot mount a tmpfs on " + root);
  // /tmp first: the sandbox's wgetrc may lie in a folder of the PC's /tmp.
  bool ok = makeDirs(root + "/tmp") &&
            (mount("tmpfs", (root + "/tmp").c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") == 0 ||
             fail(error, "Cannot mount the receiver's /tmp"));
  ok = ok && toolLinks(root, options, error) && etcFiles(root, error) && programs(root, options, error);
  // The tools' folders are read-only, as a receiver's flash is.
  for (const char* dir : kToolDirs) {
    std::string path = root + "/" + dir;
    ok = ok && (mount(path.c_str(), path.c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0 ||
                fail(error, "Cannot bind " + path));
    ok = ok && (mount(nullptr, path.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY | MS_NOSUID, nullptr) == 0 ||
                fail(error, "Cannot make " + path + " read-only"));
  }
  // What is mounted on the disk later (a small disk of a test) shows there
  // too.
  ok = ok && (mount(nullptr, "/mnt/hd", nullptr, MS_REC | MS_SHARED, nullptr) == 0 ||
              fail(error, "Cannot share the mounts of /mnt/hd"));
  ok = ok && bindInto(root, "/mnt/hd", "/mnt/hd", true, error) &&
       (mount(nullptr, (root + "/mnt/hd").c_str(), nullptr, MS_REC | MS_SLAVE, nullptr) == 0 ||
        fail(error, "Cannot make the receiver's /mnt/hd follow the disk"));
  ok = ok && bindInto(root, "/proc", "/proc", true, error) && devices(root, error);
  // Its own root read-only too: only /mnt/hd, /tmp and the terminals take
  // writes.
  ok = ok && (mount(nullptr, root.c_str(), nullptr, MS_REMOUNT | MS_RDONLY | MS_NOSUID | MS_NODEV, "mode=0755") == 0 ||
              fail(error, "Cannot make the receiver's root read-only"));
  if (ok) {
    gRootPath = root;
    gRootFd = open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (gRootFd < 0) ok = fail(error, "Cannot open " + root);
  }
  return ok;
}

std::string mipsInterpreter() {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/proc/sys/fs/binfmt_misc", ec)) {
    std::ifstream in(entry.path());
    std::string line, interpreter;
    bool enabled = false;
    while (std::getline(in, line)) {
      if (line == "enabled") enabled = true;
      if (line.rfind("interpreter ", 0) == 0) interpreter = line.substr(12);
    }
    if (enabled && interpreter.find("qemu-mipsel") != std::string::npos) return interpreter;
  }
  // Inside another sandbox its /proc hides binfmt_misc: the registration
  // script's interpreter, when there is one.
  const char* usual = "/usr/bin/qemu-mipsel";
  return access(usual, X_OK) == 0 ? usual : "";
}

int sealedRootFd() { return gRootFd; }

}  // namespace emu::sandbox_detail

namespace emu {

std::string shellRoot() { return sandbox_detail::gRootPath; }

bool useShellRootOfThisNamespace() {
  if (sandbox_detail::gRootPath.empty()) return false;
  int fd = open(sandbox_detail::gRootPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  close(sandbox_detail::gRootFd);
  sandbox_detail::gRootFd = fd;
  return true;
}

}  // namespace emu
