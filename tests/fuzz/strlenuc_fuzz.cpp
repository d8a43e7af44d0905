// Counting and positions on any text: strlenUC and GetUCPos agree with each
// other and with the character rule, and stay on the text's own bytes.
#include "lib/text/text.h"
#include "text_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  char* text = textFuzzCopy(data, size);
  char* body = SkipCharTableBytes(text);
  char* end = body + std::strlen(body);
  int count = strlenUC(text);
  FUZZ_CHECK(count >= 0 && count <= end - body);
  FUZZ_CHECK(GetUCPos(text, count) == end);
  FUZZ_CHECK(GetUCPos(text, count + 7) == end);
  FUZZ_CHECK(GetUCPos(text, -3) == body);

  char* prev = body;
  for (int i = 1; i <= count; i++) {
    char* at = GetUCPos(text, i);
    uint8_t n = 0, m = 0;
    int multi = isUTF8Char(prev, &n);
    uint32_t cp = UTF8ToUTF32(prev, &m);
    FUZZ_CHECK(n == m && at == prev + n);
    // A multi-byte character re-encodes to its own bytes unless it was overlong.
    if (multi) {
      char again[4];
      int k = UTF32ToUTF8(cp, again, nullptr);
      FUZZ_CHECK(k < n || std::memcmp(again, prev, n) == 0);
    }
    prev = at;
  }
  int eight = -1, utf8 = -1;
  GetStringEncoding(text, &eight, &utf8);
  FUZZ_CHECK((eight == 0 || eight == 1) && (utf8 == 0 || utf8 == 1));
  std::free(text);
  return 0;
}
