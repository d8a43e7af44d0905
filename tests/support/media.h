// Real media for the player's tests: the HLS test source's real-video
// segments (made once by ffmpeg into the build's cache), the pictures that
// ffmpeg decodes from them, and WAV files.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "emulator/core/emulator.h"

namespace orvado_test {

// One variant of the test source's real video: its cached segments.
struct RealSegments {
  std::string folder;
  uint32_t width = 0, height = 0;
  double segmentSeconds = 0;
  std::vector<std::string> files;  // seg_0.ts ... in order

  size_t count() const { return files.size(); }
  std::string segment(size_t i) const;
  // Segments [from, to) appended, as a download appends them.
  std::string joined(size_t from, size_t to) const;
};

// Makes (or finds in the cache) the real video of one `width` x `height`
// variant with `muxRate` bits per second, `seconds` long in segments of
// `segmentSeconds`. Fails the test when ffmpeg cannot make it.
RealSegments makeRealSegments(uint32_t width, uint32_t height, uint32_t muxRate, int seconds, double segmentSeconds);
// The small variant most tests use: 320x180, 4 segments of 1 s.
const RealSegments& realSegments();

// A part of the screen: columns [left, right), rows [top, bottom).
struct Area {
  uint32_t left, top, right, bottom;
};

// For each shot, the best PSNR (dB, over R, G and B) between its `area` and
// the same area of every picture that ffmpeg decodes from `files` (appended),
// each scaled into the 720 x 576 plane as the player places it. 0 for a shot
// that is not 720 x 576.
std::vector<double> bestPsnr(const std::vector<emu::Image>& shots, const std::vector<std::string>& files, Area area);

// Plays channel 1 through the emulator's run loop with the TAP of the build:
// presses 1, asks `enough` at every look (every 20 ms) until it says so, then
// presses Exit twice (the stream stops, then the TAP ends). The emulator's
// console and the TAP's log, as text, go to *out. False when the run ended
// (or its two-minute safety net ran out) before `enough` said so.
bool playChannelOne(const std::function<bool(const emu::PlayerStatus&)>& enough, std::string* out);

struct Wav {
  uint32_t rate = 0;
  std::vector<int16_t> left;
};
// Reads a 16-bit stereo PCM WAV file; an empty result when it is not one.
Wav readWav(const std::string& path);
// The frequency (Hz) with the most energy in `samples`, from their zero
// crossings and a Goertzel scan around them.
double dominantFrequency(const std::vector<int16_t>& samples, uint32_t rate);

}  // namespace orvado_test
