// ValidFileName with any mask and any dstSize into a buffer of exactly that
// size; MakeValidFileName must agree with it.
#include "lib/text/text.h"
#include "text_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  uint32_t mask = data[0] & 0x0F;
  uint32_t dstSize = ((uint32_t)data[1] << 8 | data[2]) % 600;
  char* src = textFuzzCopy(data + 3, size - 3);
  size_t srcLen = std::strlen(src);
  char* dst = (char*)std::malloc(dstSize ? dstSize : 1);
  FUZZ_CHECK(ValidFileName(src, mask, dst, dstSize) == dst);

  if (dstSize > 0) {
    size_t outLen = strnlen(dst, dstSize);
    FUZZ_CHECK(outLen < dstSize && outLen <= 129);
    if (srcLen >= dstSize) FUZZ_CHECK(outLen == 0);
    // Each output character's lead byte passed the rules.
    for (const char* p = dst; *p;) {
      FUZZ_CHECK(isLegalChar(p, mask));
      uint8_t n = 1;
      isUTF8Char(p, &n);
      p += n;
    }
    // The output is the source with bytes left out, in order. (Leaving a byte
    // out can join the pieces around it into one UTF-8 character.)
    const char* s = src;
    for (const char* p = dst; *p; p++) {
      while (*s && *s != *p) s++;
      FUZZ_CHECK(*s);
      s++;
    }
    if (dstSize == 512) {
      char* copy = (char*)std::malloc(srcLen + 1);
      std::memcpy(copy, src, srcLen + 1);
      MakeValidFileName(copy, mask);
      FUZZ_CHECK(std::strcmp(copy, dst) == 0);
      std::free(copy);
    }
  }
  std::free(dst);
  std::free(src);
  return 0;
}
