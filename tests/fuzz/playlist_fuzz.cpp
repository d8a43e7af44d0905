// The download pipeline's parsers on random input: URI resolution, playlists,
// attribute lists, wget's redirect lines, chunk lists and chunk logs. The input's first line is the URL of the
// playlist (the base), the rest its text. Texts sit in blocks of twice their
// length, as the pipeline loads files, and results in blocks of exactly their
// size, so ASan sees any access beyond them. Nothing chosen may leave the
// shell's quotes or exceed the URL limit.
#include <cstdlib>
#include <cstring>

#include "app/ResolveUrl.h"
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

// A URL that the pipeline may hand to the shell.
void checkUsable(const char* url) {
  size_t n = strnlen(url, StreamUrlSize);
  FUZZ_CHECK(n < StreamUrlSize);
  FUZZ_CHECK(std::strchr(url, '\'') == nullptr);
  FUZZ_CHECK(url[0] != '-');
  FUZZ_CHECK(std::strchr(url, '\n') == nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_support::receiver();
  // The status line draws with the TAP's fonts and region.
  TAP_Main();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const uint8_t* lineEnd = static_cast<const uint8_t*>(std::memchr(data, '\n', size));
  size_t baseLength = lineEnd ? static_cast<size_t>(lineEnd - data) : size;
  if (std::memchr(data, '\0', baseLength) != nullptr)
    baseLength = strnlen(reinterpret_cast<const char*>(data), baseLength);
  if (baseLength >= StreamUrlSize) baseLength = StreamUrlSize - 1;
  const uint8_t* body = lineEnd ? lineEnd + 1 : data + size;
  size_t bodySize = static_cast<size_t>(data + size - body);

  // The resolver alone, into a block of a size the input picks.
  char base[StreamUrlSize] = {};
  std::memcpy(base, data, baseLength);
  size_t outSize = 1 + (bodySize > 0 ? body[0] % 64 : 0) * 8;
  char* out = static_cast<char*>(std::malloc(outSize));
  char* reference = loaded(body, bodySize);
  bool fits = ResolveUrl(base, reference, bodySize, out, outSize);
  FUZZ_CHECK(strnlen(out, outSize) < outSize);
  if (!fits) FUZZ_CHECK(out[0] == '\0');
  std::free(out);

  // The pipeline's parsers with that base.
  std::strcpy(_OrvadoURLXXX, "http://127.0.0.1:8080/live");
  std::strcpy(_OrvadoChunkName, "index.m3u8");
  std::strcpy(_OrvadoChunkListURL, base);
  char* master = loaded(body, bodySize);
  replaceAll(master, '\r', '\n');
  if (stream_internal::ChooseVariant(master) && std::strcmp(_OrvadoChunkListURL, base) != 0)
    checkUsable(_OrvadoChunkListURL);
  FUZZ_CHECK(std::memchr(_OrvadoChunkName, '\0', sizeof _OrvadoChunkName) != nullptr);
  FUZZ_CHECK(std::memchr(_OrvadoChunkListURL, '\0', sizeof _OrvadoChunkListURL) != nullptr);
  std::free(master);

  char* list = loaded(body, bodySize);
  replaceAll(list, '\r', '\n');
  stream_internal::Encrypted(list);
  stream_internal::FragmentedMp4(list);
  char chunk[StreamMaxChunks][StreamUrlSize] = {};
  int32_t k = stream_internal::SelectChunks(list, base, chunk);
  FUZZ_CHECK(k >= 0 && k <= static_cast<int32_t>(StreamMaxChunks));
  for (int32_t i = 0; i < k; ++i) checkUsable(chunk[i]);
  std::free(list);

  // wget's log of redirects: the URL it led to fits, whatever the log says.
  char led[StreamUrlSize];
  if (stream_internal::FollowRedirects(reference, base, led, sizeof led)) {
    FUZZ_CHECK(strnlen(led, sizeof led) < sizeof led);
  }

  // Attribute lists: a value found lies within the list.
  const char* value = nullptr;
  size_t valueLength = 0;
  for (const char* name : {"BANDWIDTH", "METHOD", "URI"}) {
    if (stream_internal::AttributeValue(reference, bodySize, name, &value, &valueLength)) {
      FUZZ_CHECK(value >= reference && value + valueLength <= reference + bodySize);
    }
  }

  char* log = loaded(data, size);
  int32_t status = 0;
  stream_internal::ChunkLogState state = stream_internal::JudgeChunkLog(log, &status);
  FUZZ_CHECK((state == stream_internal::CHUNK_LOADING) == (status < 0));
  FUZZ_CHECK((state == stream_internal::CHUNK_COMPLETE) == (status == 0));
  std::free(log);
  std::free(reference);
  return 0;
}
