// InsertAt and DeleteAt at any position, in buffers of exactly the room the
// caller must give.
#include "lib/text/text.h"
#include "text_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  textFuzzSetup();
  int pos = (int16_t)(data[0] << 8 | data[1]);
  int count = (int16_t)(data[2] << 8 | data[3]);
  size_t split = data[4] % (size - 4);
  const uint8_t* rest = data + 5;
  size_t restLen = size - 5;
  if (split > restLen) split = restLen;

  char* text = textFuzzCopy(rest, split);
  char* insert = textFuzzCopy(rest + split, restLen - split);
  size_t head = (size_t)(SkipCharTableBytes(text) - text);
  size_t bodyLen = std::strlen(text + head), insertLen = std::strlen(insert);

  char* grown = (char*)std::calloc(head + bodyLen + insertLen + 1, 1);
  std::memcpy(grown, text, head + bodyLen + 1);
  InsertAt(grown, pos, insert);
  FUZZ_CHECK(std::memcmp(grown, text, head) == 0);
  FUZZ_CHECK(std::strlen(grown + head) == bodyLen + insertLen);
  std::free(grown);

  int before = strlenUC(text);
  DeleteAt(text, pos, count);
  FUZZ_CHECK(std::strlen(text + head) <= bodyLen);
  if (count <= 0 || pos >= before) FUZZ_CHECK(std::strlen(text + head) == bodyLen);
  std::free(text);
  std::free(insert);
  return 0;
}
