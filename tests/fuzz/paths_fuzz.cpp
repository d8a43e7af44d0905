// Path forms, conversion, directory changes and file queries on random path
// strings, against a disk with a few real folders. The first byte picks the
// requested form, the second the TAP's current directory; the rest is the
// path. No conversion may write past its 512-byte destination.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "lib/files/files.h"

namespace {

void disk() {
  static bool made = [] {
    for (const char* dir : {"/mnt/hd/MediaFiles", "/mnt/hd/MediaFiles/tmp", "/mnt/hd/MediaFiles/tmp/sub",
                            "/mnt/hd/ProgramFiles/Settings/orvado"})
      mkdir(dir, 0755);
    std::FILE* f = std::fopen("/mnt/hd/MediaFiles/tmp/Stream.ts", "wb");
    if (f) std::fclose(f);
    return true;
  }();
  (void)made;
}

const std::string kCurrent[] = {
    "/mnt/hd/MediaFiles/tmp",           "/mnt/hd",   "/mnt/hd/ProgramFiles/", "/mnt/hd/" + std::string(300, 'c'),
    "/mnt/hd/" + std::string(505, 'd'), "/elsewhere"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 || size > 2048) return 0;
  fuzz_support::receiver();
  disk();
  PathForm form = static_cast<PathForm>(data[0] % 7);
  emu::setCurrentDir(kCurrent[data[1] % (sizeof kCurrent / sizeof kCurrent[0])]);
  // Exactly the path and its terminator, so a read behind it is seen.
  char* path = static_cast<char*>(std::malloc(size - 1));
  std::memcpy(path, data + 2, size - 2);
  path[size - 2] = '\0';

  PathForm type = GetPathType(path);
  FUZZ_CHECK(type >= PATH_NAME && type <= PATH_LINUX_FILE);

  char* out = static_cast<char*>(std::malloc(FILES_PathSize));
  std::memcpy(out, "untouched", 10);
  ConvertPathType(path, out, form);
  if (form > PATH_LINUX_FILE)
    FUZZ_CHECK(std::strcmp(out, "untouched") == 0);
  else
    FUZZ_CHECK(strnlen(out, FILES_PathSize) < FILES_PathSize);
  if ((form == PATH_TAP_DIR || form == PATH_LINUX_DIR) && out[0] != '\0') FUZZ_CHECK(out[strlen(out) - 1] == '/');
  std::free(out);

  HDD_Exist(path);
  uint64_t inode, length;
  HDD_GetFileSizeAndInode(path, &inode, &length);
  if (HDD_ChangeDir(path)) FUZZ_CHECK(emu::currentDir().rfind("/mnt/hd", 0) == 0);
  if (HDD_TAP_PushDir()) HDD_TAP_PopDir();
  std::free(path);
  return 0;
}
