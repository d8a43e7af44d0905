#include <cstring>

#include "lib/files/internal.h"

namespace {

constexpr char kHd[] = "/mnt/hd";
constexpr size_t kHdLen = 7;

bool StartsWithHd(const char* p) { return strncmp(p, kHd, kHdLen) == 0; }

// P without its last "/" and what follows; empty when P has no "/".
bool AppendDirPart(char* out, const char* p) {
  const char* slash = strrchr(p, '/');
  if (slash == nullptr) return true;
  return PathAppendN(out, p, static_cast<size_t>(slash - p));
}

const char* NamePart(const char* p) {
  const char* slash = strrchr(p, '/');
  return slash != nullptr ? slash + 1 : p;
}

// Builds the conversion into `out`. False when the source cannot be given in
// that form or the result does not fit; `out` is then not used.
bool Convert(const char* p, PathForm from, PathForm to, char* out) {
  char cur[FILES_PathSize];
  out[0] = '\0';

  if (from == to) {
    if (!PathAppend(out, p)) return false;
    return (to == PATH_TAP_DIR || to == PATH_LINUX_DIR) ? PathAddSlash(out) : true;
  }

  switch (from) {
    case PATH_NAME:
      if (!CurrentDirSlash(cur)) return false;
      if ((to == PATH_LINUX_DIR || to == PATH_LINUX_FILE) && !PathAppend(out, kHd)) return false;
      if (!PathAppend(out, cur)) return false;
      return (to == PATH_TAP_FILE || to == PATH_LINUX_FILE) ? PathAppend(out, p) : true;

    case PATH_TAP_DIR:
      if (to != PATH_LINUX_DIR) return false;
      if (!PathAppend(out, kHd)) return false;
      if (p[0] != '/' && !(CurrentDirSlash(cur) && PathAppend(out, cur))) return false;
      return PathAppend(out, p) && PathAddSlash(out);

    case PATH_LINUX_DIR:
      if (to != PATH_TAP_DIR || !StartsWithHd(p)) return false;
      return PathAppend(out, p + kHdLen) && PathAddSlash(out);

    case PATH_TAP_FILE:
      if (to == PATH_NAME) return PathAppend(out, NamePart(p));
      if (to == PATH_TAP_DIR) return AppendDirPart(out, p) && PathAddSlash(out);
      if (to == PATH_LINUX_DIR || to == PATH_LINUX_FILE) {
        char q[FILES_PathSize] = "";
        if (p[0] != '/' && !(CurrentDirSlash(cur) && PathAppend(q, cur))) return false;
        if (!PathAppend(q, p) || !PathAppend(out, kHd)) return false;
        if (to == PATH_LINUX_FILE) return PathAppend(out, q);
        return AppendDirPart(out, q) && PathAddSlash(out);
      }
      return false;

    case PATH_LINUX_FILE:
      if (to == PATH_NAME) return PathAppend(out, NamePart(p));
      if (to == PATH_TAP_DIR) {
        const char* slash = strrchr(p, '/');
        // Only the seven characters are compared, so /mnt/hdd/x gives d/;
        // a path whose last "/" lies inside them has no TAP folder at all.
        if (!StartsWithHd(p) || slash == nullptr || slash < p + kHdLen) return false;
        return PathAppendN(out, p + kHdLen, static_cast<size_t>(slash - (p + kHdLen))) && PathAddSlash(out);
      }
      if (to == PATH_LINUX_DIR) {
        // A relative Linux file (no "/") has no folder we could name.
        if (strchr(p, '/') == nullptr) return false;
        return AppendDirPart(out, p) && PathAddSlash(out);
      }
      if (to == PATH_TAP_FILE) return StartsWithHd(p) && PathAppend(out, p + kHdLen);
      return false;
  }
  return false;
}

}  // namespace

void ConvertPathType(const char* source, char* destination, PathForm form) {
  if (source == nullptr || destination == nullptr) return;
  if (form < PATH_NAME || form > PATH_LINUX_FILE) return;
  char out[FILES_PathSize];
  if (Convert(source, GetPathType(source), form, out))
    memcpy(destination, out, strlen(out) + 1);
  else
    destination[0] = '\0';
}
