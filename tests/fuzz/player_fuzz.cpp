// The player's file reading on random and mutated transport streams: it opens
// what it can, decodes what is due as the clock moves on, skips what is
// damaged and never reports more played than the file holds.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "emulator/core/emulator.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = "/tmp/orvado_player_fuzz_" + std::to_string(getpid()) + ".ts";
  std::FILE* f = std::fopen(path.c_str(), "wb");
  FUZZ_CHECK(f);
  FUZZ_CHECK(std::fwrite(data, 1, size, f) == size);
  std::fclose(f);

  emu::FilePlayback playback(path, 1000, 200);
  emu::Image plane;
  // Ten seconds of stream time at most, in steps of an idle event.
  for (uint32_t now = 1000; now <= 2000 && playback.advance(now); now += 10) {
    emu::PlayerStatus status = playback.status();
    FUZZ_CHECK(status.currentBlock <= status.totalBlock);
    if (now % 200 == 0 && playback.picture(plane)) FUZZ_CHECK(plane.pixels.size() == 720u * 576u);
  }
  emu::PlayerStatus status = playback.status();
  FUZZ_CHECK(status.currentBlock <= status.totalBlock);
  FUZZ_CHECK(status.totalBlock == size / 188);
  FUZZ_CHECK(!playback.summary().empty());
  if (getenv("ORVADO_FUZZ_VERBOSE")) std::fprintf(stderr, "decoded: %s\n", playback.summary().c_str());
  std::remove(path.c_str());
  return 0;
}
