// Reading a playlist the way real servers write it: one item a line, lines
// ended by a line feed (carriage returns already turned into line feeds),
// blanks around a line, a byte-order mark before the first, and attribute
// lists whose quoted values may hold commas.
#include <cstring>

#include "app/stream_internal.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

}  // namespace

namespace stream_internal {

PlaylistLine NextPlaylistLine(const char** p) {
  PlaylistLine line;
  const char* at = *p;
  if (*at == '\0') return line;
  // The UTF-8 byte-order mark some servers put before the first line.
  if (strncmp(at, "\xEF\xBB\xBF", 3) == 0) at += 3;
  const char* end = at;
  while (*end != '\0' && *end != '\n') ++end;
  line.found = true;
  line.terminated = *end == '\n';
  *p = line.terminated ? end + 1 : end;
  while (at < end && IsBlank(*at)) ++at;
  while (end > at && IsBlank(end[-1])) --end;
  line.at = at;
  line.length = static_cast<size_t>(end - at);
  return line;
}

bool IsTag(const PlaylistLine& line, const char* tag) {
  size_t n = strlen(tag);
  return line.length >= n && memcmp(line.at, tag, n) == 0;
}

bool AttributeValue(const char* list, size_t length, const char* name, const char** value, size_t* valueLength) {
  size_t i = 0;
  size_t nameLength = strlen(name);
  while (i < length) {
    // One item: up to the next comma that is not within quotes.
    size_t start = i;
    bool quoted = false;
    while (i < length && (quoted || list[i] != ',')) {
      if (list[i] == '"') quoted = !quoted;
      ++i;
    }
    size_t end = i++;
    const char* equals = static_cast<const char*>(memchr(list + start, '=', end - start));
    if (equals == nullptr) continue;
    size_t a = start, b = static_cast<size_t>(equals - list);
    while (a < b && IsBlank(list[a])) ++a;
    while (b > a && IsBlank(list[b - 1])) --b;
    if (b - a != nameLength) continue;
    bool same = true;
    for (size_t k = 0; k < nameLength && same; ++k) same = Upper(list[a + k]) == Upper(name[k]);
    if (!same) continue;
    size_t v = static_cast<size_t>(equals - list) + 1, w = end;
    while (v < w && IsBlank(list[v])) ++v;
    while (w > v && IsBlank(list[w - 1])) --w;
    if (w - v >= 2 && list[v] == '"' && list[w - 1] == '"') {
      ++v;
      --w;
    }
    *value = list + v;
    *valueLength = w - v;
    return true;
  }
  return false;
}

}  // namespace stream_internal
