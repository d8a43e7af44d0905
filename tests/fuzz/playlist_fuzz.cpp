// The download pipeline's parsers on random playlists, chunk lists and chunk
// logs. The text sits in a block of twice its length, as the pipeline loads
// files, so ASan sees any read or write beyond it; the chosen names and URLs
// must stay within their buffers.
#include <cstdlib>
#include <cstring>

#include "app/orvado.h"
#include "app/stream_internal.h"
#include "fuzz_support.h"

namespace {

char* loaded(const uint8_t* data, size_t size) {
  char* text = static_cast<char*>(std::calloc(size * 2 + 1, 1));
  if (size) std::memcpy(text, data, size);
  return text;
}

void replaceAll(char* text, char from, char to) {
  for (char* c = text; *c; ++c)
    if (*c == from) *c = to;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_support::receiver();
  // The status line draws with the TAP's fonts and region.
  TAP_Main();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::strcpy(_OrvadoURLXXX, "http://127.0.0.1:8080/live");
  std::strcpy(_OrvadoChunkName, "index.m3u8");

  char* master = loaded(data, size);
  replaceAll(master, '\r', '\n');
  replaceAll(master, ',', '\n');
  stream_internal::ChooseVariant(master);
  FUZZ_CHECK(std::memchr(_OrvadoChunkName, '\0', sizeof _OrvadoChunkName) != nullptr);
  std::free(master);

  char* list = loaded(data, size);
  replaceAll(list, '\r', '\n');
  char chunk[StreamMaxChunks][StreamUrlSize] = {};
  int32_t k = stream_internal::SelectChunks(list, chunk);
  FUZZ_CHECK(k >= -1 && k <= static_cast<int32_t>(StreamMaxChunks));
  for (int32_t i = 0; i < k; ++i) {
    size_t n = strnlen(chunk[i], StreamUrlSize);
    FUZZ_CHECK(n < StreamUrlSize);
    FUZZ_CHECK(std::strstr(chunk[i], ".ts") != nullptr);
  }
  std::free(list);

  char* log = loaded(data, size);
  stream_internal::LogShowsFailure(log);
  std::free(log);
  return 0;
}
