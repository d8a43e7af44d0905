// StrToUTF8 on any text with any code table number. The output buffer has
// exactly the room the callers give (three bytes per source byte and the
// terminator), and everything written must read as whole UTF-8 characters.
#include "lib/text/text.h"
#include "text_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  textFuzzSetup();
  uint8_t number = data[0];
  char* src = textFuzzCopy(data + 1, size - 1);
  // The source's length counts the selector's bytes: the 0x00 inside a 0x10
  // selector hides the rest of the text from strlen.
  const char* body = SkipCharTableBytes(src);
  size_t len = (size_t)(body - src) + std::strlen(body);
  char* dst = (char*)std::malloc(len * 3 + 1);
  int result = StrToUTF8(src, dst, number);
  FUZZ_CHECK(result == 0 || result == 1);

  // Except for the UTF-8 selector (copied as it is), no byte of 0x80 or more
  // stands alone in the output: tables, compositions and control codes all
  // come out as UTF-8.
  if (src[0] != 0x15) {
    for (const char* p = dst; *p;) {
      uint8_t n = 1;
      if (!isUTF8Char(p, &n)) FUZZ_CHECK((uint8_t)*p < 0x80);
      p += n;
    }
  }
  std::free(dst);
  std::free(src);
  return 0;
}
