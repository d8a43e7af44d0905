// The chunk ring: the last ten chunk URLs that a download was started for.
#include <cstring>

#include "app/orvado.h"

int StremDlTest(const char* url) {
  if (url == nullptr) return 0;
  for (uint32_t i = 0; i < StreamRingSize; ++i)
    if (strcmp(_OrvadoDlTsFileName_OK[i], url) == 0) return 0;
  memmove(_OrvadoDlTsFileName_OK[0], _OrvadoDlTsFileName_OK[1], (StreamRingSize - 1) * StreamUrlSize);
  // The pipeline never passes a URL that does not fit; any other caller's is cut.
  size_t length = strnlen(url, StreamUrlSize - 1);
  memcpy(_OrvadoDlTsFileName_OK[StreamRingSize - 1], url, length);
  _OrvadoDlTsFileName_OK[StreamRingSize - 1][length] = '\0';
  return 1;
}
