#include "media.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "testing.h"

namespace orvado_test {

bool playChannelOne(const std::function<bool(const emu::PlayerStatus&)>& enough, std::string* out) {
  enum Step { PressDigit, Enough, ExitInMenu, Done };
  Step step = PressDigit;
  emu::RunOptions run;
  run.tapPath = ORVADO_TAP_FILE;
  run.runTicks = 12000;  // a safety net only
  run.lookEveryMs = 20;  // the hook looks between idle events too
  run.takeKeys = [&](uint32_t, std::vector<uint32_t>& keys) {
    switch (step) {
      case PressDigit:
        keys.push_back(RKEY_1);
        step = Enough;
        break;
      case Enough:
        if (enough(emu::playerStatus())) {
          keys.push_back(RKEY_Exit);  // stops the stream
          step = ExitInMenu;
        }
        break;
      case ExitInMenu:
        keys.push_back(RKEY_Exit);  // ends the TAP
        step = Done;
        break;
      case Done: break;
    }
    return true;
  };
  std::string error;
  bool ran = emu::runTap(run, &error);
  out->clear();
  if (!ran) *out += error + "\n";
  for (const std::string& line : emu::consoleLines()) *out += line + "\n";
  for (const std::string& line : takeConsoleLines()) *out += line + "\n";
  return ran && step == Done;
}

std::string RealSegments::segment(size_t i) const { return readFile(files.at(i)); }

std::string RealSegments::joined(size_t from, size_t to) const {
  std::string out;
  for (size_t i = from; i < to && i < files.size(); ++i) out += segment(i);
  return out;
}

RealSegments makeRealSegments(uint32_t width, uint32_t height, uint32_t muxRate, int seconds, double segmentSeconds) {
  RealSegments seg;
  std::ostringstream command;
  command << ORVADO_PYTHON " " << ORVADO_SOURCE_DIR << "/tools/hlssource/realvideo.py --cache " << ORVADO_BINARY_DIR
          << "/hlssource-cache --real-variants " << width << "x" << height << "@" << muxRate << " --real-seconds "
          << seconds << " --segment-seconds " << segmentSeconds;
  std::string out = commandOutput(command.str());
  while (!out.empty() && out.back() == '\n') out.pop_back();
  seg.folder = out;
  seg.width = width;
  seg.height = height;
  seg.segmentSeconds = segmentSeconds;
  for (int i = 0;; ++i) {
    std::string path = seg.folder + "/seg_" + std::to_string(i) + ".ts";
    if (seg.folder.empty() || !exists(path)) break;
    seg.files.push_back(path);
  }
  EXPECT_GE(seg.files.size(), 2u) << "realvideo.py made no segments: " << command.str();
  return seg;
}

const RealSegments& realSegments() {
  static const RealSegments seg = makeRealSegments(320, 180, 1000000, 4, 1);
  return seg;
}

std::vector<double> bestPsnr(const std::vector<emu::Image>& shots, const std::vector<std::string>& files, Area area) {
  std::vector<double> best(shots.size(), 0.0);
  if (files.empty() || area.bottom <= area.top || area.bottom > 576 || area.right <= area.left || area.right > 720)
    return best;
  // Every picture into the plane as the player lays it: as wide (or as high)
  // as fits with square pixels, even sizes, centred, black around.
  std::string input = "concat:";
  for (size_t i = 0; i < files.size(); ++i) input += (i ? "|" : "") + files[i];
  std::string command = "ffmpeg -nostdin -hide_banner -loglevel error -i '" + input +
                        "' -an -vf \"scale='if(gte(iw*576,720*ih),720,trunc(576*iw/ih/2)*2)':"
                        "'if(gte(iw*576,720*ih),trunc(720*ih/iw/"
                        "2+0.25)*2,576)':flags=fast_bilinear,"
                        "pad=720:576:(720-iw)/2:(576-ih)/2:black\" -pix_fmt bgra -f rawvideo -";
  FILE* p = popen(command.c_str(), "r");
  if (!p) return best;
  std::vector<uint32_t> frame(720u * 576u);
  while (std::fread(frame.data(), 4, frame.size(), p) == frame.size()) {
    for (size_t i = 0; i < shots.size(); ++i) {
      const emu::Image& shot = shots[i];
      if (shot.pixels.size() != frame.size()) continue;
      double sum = 0;
      for (uint32_t y = area.top; y < area.bottom; ++y)
        for (uint32_t x = area.left; x < area.right; ++x) {
          uint32_t a = shot.pixels[y * 720 + x], b = frame[y * 720 + x];
          for (int shift : {0, 8, 16}) {
            double d = static_cast<double>((a >> shift) & 0xFF) - static_cast<double>((b >> shift) & 0xFF);
            sum += d * d;
          }
        }
      double mse = sum / (3.0 * (area.right - area.left) * (area.bottom - area.top));
      best[i] = std::max(best[i], mse == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / mse));
    }
  }
  pclose(p);
  return best;
}

Wav readWav(const std::string& path) {
  Wav wav;
  std::string data = readFile(path);
  if (data.size() < 44 || data.compare(0, 4, "RIFF") != 0 || data.compare(8, 8, "WAVEfmt ") != 0) return wav;
  auto u16 = [&](size_t at) { return uint32_t(uint8_t(data[at])) | uint32_t(uint8_t(data[at + 1])) << 8; };
  auto u32 = [&](size_t at) { return u16(at) | u16(at + 2) << 16; };
  if (u16(20) != 1 || u16(22) != 2 || u16(34) != 16 || data.compare(36, 4, "data") != 0) return wav;
  uint32_t bytes = std::min<uint32_t>(u32(40), static_cast<uint32_t>(data.size() - 44));
  wav.rate = u32(24);
  for (uint32_t i = 0; i + 4 <= bytes; i += 4) wav.left.push_back(static_cast<int16_t>(u16(44 + i)));
  return wav;
}

double dominantFrequency(const std::vector<int16_t>& samples, uint32_t rate) {
  // One second from the middle, away from the decoder's start.
  size_t n = std::min<size_t>(rate, samples.size() / 2);
  size_t from = (samples.size() - n) / 2;
  double bestF = 0, bestPower = -1;
  for (double f = 50; f <= 5000; f += 5) {
    double k = 2 * std::cos(2 * M_PI * f / rate), s1 = 0, s2 = 0;
    for (size_t i = 0; i < n; ++i) {
      double s = samples[from + i] + k * s1 - s2;
      s2 = s1;
      s1 = s;
    }
    double power = s1 * s1 + s2 * s2 - k * s1 * s2;
    if (power > bestPower) bestPower = power, bestF = f;
  }
  return bestF;
}

}  // namespace orvado_test
