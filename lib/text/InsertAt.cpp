#include "lib/text/text.h"
#include "platform/tap.h"

void InsertAt(char* text, int pos, const char* insert) {
  if (!text || !insert) return;
  char* body = SkipCharTableBytes(text);  // the character-table bytes stay in front
  uint32_t len = 0, insertLen = 0;
  while (body[len]) len++;
  while (insert[insertLen]) insertLen++;
  if (insertLen == 0) return;

  if (pos >= strlenUC(text)) {
    TAP_MemCpy(body + len, insert, insertLen);
    body[len + insertLen] = 0;
    return;
  }
  if (pos < 0) pos = 0;
  char* at = GetUCPos(text, pos);
  uint32_t from = (uint32_t)(at - body);
  body[len + insertLen] = 0;
  // Move the tail back from its last byte down, so the move works in place.
  for (uint32_t i = len; i-- > from;) body[i + insertLen] = body[i];
  TAP_MemCpy(at, insert, insertLen);
}
