// The receiver's hard disk as a TAP sees it: /mnt/hd is the TAP view's "/",
// and the TAP's current directory lives in the directory record of its slot
// in the firmware's TAP table, as a Linux path ("/mnt/hd/ProgramFiles").
#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <set>
#include <vector>

#include "core/internal.h"

// An open file of the hard disk. The TAP only holds the pointer.
struct TYPE_File {
  std::FILE* stream;
  std::string path;
};

namespace emu {
namespace {

constexpr const char* kRoot = "/mnt/hd";

TapDirRecord g_dirRecord;
std::string g_dirPath;
std::set<TYPE_File*> g_open;

void storeDir(const std::string& linuxPath) {
  g_dirPath = linuxPath;
  g_dirRecord.path = g_dirPath.data();
}

std::vector<std::string> split(const std::string& path) {
  std::vector<std::string> parts;
  size_t i = 0;
  while (i <= path.size()) {
    size_t j = path.find('/', i);
    if (j == std::string::npos) j = path.size();
    if (j > i) parts.push_back(path.substr(i, j - i));
    i = j + 1;
  }
  return parts;
}

// A TAP-view name, absolute or relative to the current directory, as a Linux
// path under /mnt/hd. ".." stops at the disk's root, as it does at "/".
std::optional<std::string> resolve(const char* name) {
  if (!name || !*name) return std::nullopt;
  std::vector<std::string> parts;
  if (name[0] != '/') {
    std::string cur = currentDir();
    if (cur.rfind(kRoot, 0) == 0 && (cur.size() == 7 || cur[7] == '/')) parts = split(cur.substr(7));
  }
  for (auto& part : split(name)) {
    if (part == ".") continue;
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(part);
  }
  std::string out = kRoot;
  for (auto& part : parts) out += "/" + part;
  return out;
}

// True when `linuxPath` exists and, links followed, still lies on the disk.
bool onDisk(const std::string& linuxPath) {
  char real[PATH_MAX], root[PATH_MAX];
  if (!realpath(linuxPath.c_str(), real) || !realpath(kRoot, root)) return false;
  size_t n = std::strlen(root);
  return std::strncmp(real, root, n) == 0 && (real[n] == '\0' || real[n] == '/');
}

int changeDirResult(bool ok) {
  if (config().changeDir == ChangeDirConvention::OneOnSuccess) return ok ? 1 : 0;
  return ok ? 0 : -1;
}

int hddChangeDir(const char* path) {
  auto target = resolve(path);
  struct stat st;
  bool ok = target && stat(target->c_str(), &st) == 0 && S_ISDIR(st.st_mode) && onDisk(*target);
  if (ok) storeDir(*target);
  int r = changeDirResult(ok);
  trace("TAP_Hdd_ChangeDir(%s) = %d, current directory %s", detail::quote(path).c_str(), r, g_dirPath.c_str());
  return r;
}

int hddExist(const char* name) {
  auto target = resolve(name);
  int r = target && onDisk(*target) ? 1 : 0;
  trace("TAP_Hdd_Exist(%s) = %d", detail::quote(name).c_str(), r);
  return r;
}

int hddDelete(const char* name) {
  auto target = resolve(name);
  int r = -1;
  if (target && *target != kRoot && onDisk(*target) && std::remove(target->c_str()) == 0) r = 0;
  trace("TAP_Hdd_Delete(%s) = %d", detail::quote(name).c_str(), r);
  return r;
}

TYPE_File* hddFopen(const char* name) {
  auto target = resolve(name);
  TYPE_File* file = nullptr;
  struct stat st;
  if (target && stat(target->c_str(), &st) == 0 && S_ISREG(st.st_mode) && onDisk(*target)) {
    std::FILE* stream = std::fopen(target->c_str(), "r+b");
    if (!stream) stream = std::fopen(target->c_str(), "rb");
    // The handle comes from the TAP's own heap: the firmware leaves it to the
    // TAP, which releases it with TAP_MemFree after TAP_Hdd_Fclose.
    void* block = stream ? memAlloc(sizeof(TYPE_File)) : nullptr;
    if (block) {
      file = new (block) TYPE_File{stream, *target};
      g_open.insert(file);
    } else if (stream) {
      std::fclose(stream);
    }
  }
  trace("TAP_Hdd_Fopen(%s) = %s", detail::quote(name).c_str(), file ? file->path.c_str() : "null");
  return file;
}

uint32_t hddFlen(TYPE_File* file) {
  uint32_t r = 0;
  struct stat st;
  if (g_open.count(file) && fstat(fileno(file->stream), &st) == 0)
    r = static_cast<uint64_t>(st.st_size) > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(st.st_size);
  trace("TAP_Hdd_Flen(%p) = %u", static_cast<void*>(file), r);
  return r;
}

uint32_t hddFread(void* buffer, uint32_t size, uint32_t count, TYPE_File* file) {
  uint32_t r = 0;
  if (buffer && g_open.count(file) && size > 0 && count > 0)
    r = static_cast<uint32_t>(std::fread(buffer, size, count, file->stream));
  trace("TAP_Hdd_Fread(%p, %u, %u, %p) = %u", buffer, size, count, static_cast<void*>(file), r);
  return r;
}

void hddFclose(TYPE_File* file) {
  bool known = g_open.erase(file) > 0;
  trace("TAP_Hdd_Fclose(%p)%s", static_cast<void*>(file), known ? "" : ": not an open file");
  if (!known) return;
  std::fclose(file->stream);
  file->~TYPE_File();
}

}  // namespace

namespace detail {

void resetHdd(TapTableEntry* tapTable) {
  for (TYPE_File* file : g_open) {
    std::fclose(file->stream);
    file->~TYPE_File();
  }
  g_open.clear();
  g_dirRecord = TapDirRecord{};
  storeDir(std::string(kRoot) + "/ProgramFiles");
  tapTable[config().tapSlot].currentDir = &g_dirRecord;
  TAP_Hdd_ChangeDir = hddChangeDir;
  TAP_Hdd_Exist = hddExist;
  TAP_Hdd_Delete = hddDelete;
  TAP_Hdd_Fopen = hddFopen;
  TAP_Hdd_Flen = hddFlen;
  TAP_Hdd_Fread = hddFread;
  TAP_Hdd_Fclose = hddFclose;
}

}  // namespace detail

std::string currentDir() {
  const TapDirRecord* record = detail::tapSlot().currentDir;
  return record && record->path ? std::string(record->path) : std::string();
}

void setCurrentDir(const std::string& linuxPath) {
  storeDir(linuxPath);
  detail::tapSlot().currentDir = &g_dirRecord;
}

}  // namespace emu
