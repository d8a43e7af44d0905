#include "lib/text/internal.h"
#include "lib/text/text.h"

void DeleteAt(char* text, int pos, int count) {
  if (!text || !*text || count <= 0) return;
  if (pos < 0) pos = 0;
  int total = strlenUC(text);
  if (pos >= total) return;

  char* start = GetUCPos(text, pos);
  if ((int64_t)pos + count > total) {
    *start = 0;
    return;
  }
  // Step over the characters one by one: a byte 0x01..0x1F at start is an
  // ordinary character here, not a selector, so exactly count go.
  const uint8_t* end = (const uint8_t*)start;
  for (int i = 0; i < count && *end; i++) end += text_internal::utf8Len(end);
  uint8_t* out = (uint8_t*)start;
  do {
    *out++ = *end;
  } while (*end++);
}
