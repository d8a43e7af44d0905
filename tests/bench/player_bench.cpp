// The player's cost: decoding and scaling every picture of 720p and 1080p
// H.264 (with AAC sound) into the video plane, as a share of one core per
// second of stream, side by side with `ffmpeg -f null` decoding the same file
// (and with ffmpeg scaling it the same way), in the same run.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "emulator/core/emulator.h"

namespace {

constexpr int kSeconds = 6;
constexpr int kFps = 25;

double cpuSeconds(const rusage& u) {
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

bool exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && st.st_size > 0;
}

// Runs a shell command and returns the CPU time it and its children used.
double childCpu(const std::string& command) {
  pid_t pid = fork();
  if (pid == 0) {
    execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "player_bench: failed: %s\n", command.c_str());
    std::exit(1);
  }
  return cpuSeconds(usage);
}

// A broadcast-like H.264 file: a moving test picture at `rate`, AAC sound.
std::string media(const std::string& folder, int w, int h, const char* rate) {
  std::string path = folder + "/h264_" + std::to_string(h) + "p.ts";
  if (!exists(path)) {
    std::printf("making %s with ffmpeg (once)\n", path.c_str());
    std::fflush(stdout);
    childCpu("ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i testsrc2=size=" + std::to_string(w) + "x" +
             std::to_string(h) + ":rate=" + std::to_string(kFps) +
             " -f lavfi -i sine=frequency=1000:sample_rate=48000 -t " + std::to_string(kSeconds) +
             " -c:v libx264 -preset veryfast -b:v " + rate + " -g 50 -c:a aac -b:a 128k -f mpegts " + path +
             ".part && mv " + path + ".part " + path);
  }
  return path;
}

// Plays the whole file on a virtual clock a frame (4 ticks) at a time and
// lays every picture into the plane; returns the CPU seconds it took.
double playerCpu(const std::string& path, uint64_t& pictures) {
  rusage before{}, after{};
  getrusage(RUSAGE_SELF, &before);
  emu::FilePlayback playback(path, 0, 100);
  emu::Image plane;
  for (uint32_t now = 0; now < (kSeconds + 5) * 100 && playback.advance(now); now += 4) playback.picture(plane);
  getrusage(RUSAGE_SELF, &after);
  pictures = playback.status().pictures;
  return cpuSeconds(after) - cpuSeconds(before);
}

}  // namespace

int main() {
  std::string folder = std::string(ORVADO_BINARY_DIR) + "/bench-media";
  mkdir(folder.c_str(), 0755);
  struct Case {
    int w, h;
    const char* rate;
  } cases[] = {{1280, 720, "4M"}, {1920, 1080, "8M"}};
  emu::setConsoleSink([](const std::string&) {});
  for (const Case& c : cases) {
    std::string path = media(folder, c.w, c.h, c.rate);
    uint64_t pictures = 0;
    double ours = playerCpu(path, pictures);
    double seconds = static_cast<double>(pictures) / kFps;
    if (pictures == 0) {
      std::fprintf(stderr, "player_bench: the player decoded nothing from %s\n", path.c_str());
      return 1;
    }
    const std::string ff = "ffmpeg -nostdin -hide_banner -loglevel error -threads 2 -i " + path;
    double plain = childCpu(ff + " -f null -");
    double scaled = childCpu(ff + " -vf scale=720:" + std::to_string(720 * c.h / c.w / 2 * 2) +
                             ":flags=fast_bilinear -pix_fmt bgra -f null -");
    double media = static_cast<double>(kSeconds);
    std::printf(
        "%dp H.264 %s: player (decode + scale every picture, %llu pictures) %.3f of one core per second; "
        "ffmpeg -f null %.3f, ffmpeg with the same scaling %.3f\n",
        c.h, c.rate, static_cast<unsigned long long>(pictures), ours / seconds, plain / media, scaled / media);
    std::printf(
        "%dp player cost against ffmpeg -f null: %.2fx (against ffmpeg scaling too: %.2fx; goal: below 1.5x, "
        "and below 1 core for real time)\n",
        c.h, (ours / seconds) / (plain / media), (ours / seconds) / (scaled / media));
  }
  return 0;
}
