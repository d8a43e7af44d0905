// Helpers shared by the files folder: bounded path building and the TAP's
// own slot of the firmware's TAP table.
#pragma once

#include <cstdint>
#include <cstring>

#include "lib/files/files.h"
#include "platform/firmware.h"

// Appends the first `n` bytes of `src` to the path in `dst` (FILES_PathSize
// bytes). False, leaving dst unchanged, when the result would not fit.
inline bool PathAppendN(char* dst, const char* src, size_t n) {
  size_t have = strlen(dst);
  if (have + n >= FILES_PathSize) return false;
  memcpy(dst + have, src, n);
  dst[have + n] = '\0';
  return true;
}

inline bool PathAppend(char* dst, const char* src) { return PathAppendN(dst, src, strlen(src)); }

// Appends "/" unless the path already ends in one (the empty path gets it).
inline bool PathAddSlash(char* dst) {
  size_t n = strlen(dst);
  if (n > 0 && dst[n - 1] == '/') return true;
  return PathAppend(dst, "/");
}

// Result of CurrentDirInto for a directory that does not fit the buffer.
constexpr int32_t FILES_DirTooLong = 1;

// The TAP's current directory in the TAP view into `dst` of `size` bytes
// (dst may be null). Returns 0, -3 when the firmware records are missing
// (dst empty), or FILES_DirTooLong when it does not fit (dst empty).
int32_t CurrentDirInto(char* dst, uint32_t size);

// The TAP's current directory with a closing "/" into `dst` (FILES_PathSize
// bytes); "/" when it cannot be read. False when it does not fit.
inline bool CurrentDirSlash(char* dst) {
  dst[0] = '\0';
  if (CurrentDirInto(dst, FILES_PathSize) == FILES_DirTooLong) return false;
  return PathAddSlash(dst);
}

// The directory stack: slots of saved TAP-view directories, and the index of
// the top slot in use (-1 when empty).
extern char TAPDirStack[FILES_DirStackDepth][FILES_DirStackSlot];
extern int32_t TAPDirStackDepth;

// The status calls as every MIPS C library since 2.2 exports them: the plain
// stat64 functions came only with 2.33, and a receiver's firmware is older.
// The first argument is the layout version of struct stat64 (3 on MIPS).
#if defined(__mips__) && defined(__GLIBC__)
#include <sys/stat.h>
extern "C" int __xstat64(int version, const char* path, struct stat64* st);
extern "C" int __lxstat64(int version, const char* path, struct stat64* st);
extern "C" int __fxstat64(int version, int fd, struct stat64* st);
constexpr int FILES_StatVersion = 3;
#endif

// Copies what the library uses of a status record into `facts` (may be null).
template <typename Stat>
inline bool FillFileFacts(const Stat& st, FileFacts* facts) {
  if (facts != nullptr) {
    facts->size = static_cast<uint64_t>(st.st_size);
    facts->inode = static_cast<uint64_t>(st.st_ino);
    facts->isDirectory = (st.st_mode & 0xF000) == 0x4000;
  }
  return true;
}
