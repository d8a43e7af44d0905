// ffmpeg's HLS muxer as a test's stream source: a moving test picture and a
// 1 kHz tone, encoded and cut into HLS by Debian's ffmpeg into a folder of
// its own, live (at the pace of the clock) or whole, as real origins are made.
#pragma once

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "support/media.h"
#include "support/testing.h"

namespace orvado_test {

// The test picture as H.264 that any receiver decodes, a key frame each
// second; and the tone as stereo AAC at 64 kb/s.
inline const std::vector<std::string> kH264Picture = {"-c:v",          "libx264", "-preset", "ultrafast",   "-pix_fmt",
                                                      "yuv420p",       "-g",      "25",      "-keyint_min", "25",
                                                      "-sc_threshold", "0"};
inline const std::vector<std::string> kAacSound = {"-c:a", "aac", "-b:a", "64k", "-ac", "2"};

// `a` followed by each of `rest`.
inline std::vector<std::string> joined(std::vector<std::string> a,
                                       std::initializer_list<std::vector<std::string>> rest) {
  for (const auto& r : rest) a.insert(a.end(), r.begin(), r.end());
  return a;
}

class FfmpegHls {
 public:
  // Runs ffmpeg in the folder with the two test inputs, then `output`: the
  // maps, codecs and HLS options up to the playlist name. `live` paces the
  // input by the clock (-re) and lets it run for `seconds`. `files` (name to
  // content) are put into the folder first, such as a key and its key info.
  FfmpegHls(const std::vector<std::string>& output, bool live, int seconds,
            const std::map<std::string, std::string>& files = {}) {
    char name[] = "/tmp/orvado-ffmpeg-XXXXXX";
    if (mkdtemp(name) == nullptr) return;
    folder_ = name;
    for (const auto& [file, content] : files) writeFile(folder_ + "/" + file, content);
    std::vector<std::string> args = {"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error"};
    for (const char* input : {"testsrc2=size=320x180:rate=25", "sine=frequency=1000:sample_rate=48000"}) {
      if (live) args.push_back("-re");
      args.insert(args.end(), {"-f", "lavfi", "-i", input});
    }
    args.insert(args.end(), {"-t", std::to_string(seconds), "-threads", "1"});
    args.insert(args.end(), output.begin(), output.end());
    pid_ = fork();
    if (pid_ == 0) {
      if (chdir(folder_.c_str()) != 0) _exit(127);
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execvp(argv[0], argv.data());
      _exit(127);
    }
  }
  ~FfmpegHls() {
    stop();
    if (!folder_.empty()) removeAll(folder_);
  }

  const std::string& folder() const { return folder_; }

  // Waits until the file `name` of the folder holds `text` at least `times`
  // times; false when ffmpeg ended or `seconds` passed first.
  bool waitFor(const std::string& name, const std::string& text, int times, int seconds) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
      std::string content = exists(folder_ + "/" + name) ? readFile(folder_ + "/" + name) : "";
      int n = 0;
      for (size_t at = content.find(text); at != std::string::npos; at = content.find(text, at + 1)) ++n;
      if (n >= times) return true;
      if (pid_ > 0 && waitpid(pid_, &status_, WNOHANG) == pid_) pid_ = -1;
      if (pid_ <= 0 && n < times) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  // Waits for ffmpeg to end by itself; true when it made its output.
  bool finish() {
    if (pid_ > 0) waitpid(pid_, &status_, 0);
    pid_ = -1;
    return WIFEXITED(status_) && WEXITSTATUS(status_) == 0;
  }

  void stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, &status_, 0);
    pid_ = -1;
  }

 private:
  std::string folder_;
  pid_t pid_ = -1;
  int status_ = 0;
};

// What the emulator's player played into `wavPath`: at least ten seconds of
// the sources' 1 kHz tone at 48 kHz.
inline void expectTenSecondsOfTone(const std::string& wavPath) {
  Wav wav = readWav(wavPath);
  ASSERT_EQ(wav.rate, 48000u);
  EXPECT_GE(wav.left.size(), 10u * 48000) << "ten seconds of sound";
  EXPECT_NEAR(dominantFrequency(wav.left, wav.rate), 1000.0, 20.0) << "the source's 1 kHz tone";
}

}  // namespace orvado_test
