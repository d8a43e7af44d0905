// The receiver's player and its work folder. The firmware's player plays
// files of the work folder; a TAP selects a folder into a 16-byte record,
// makes it the work folder, starts a file there and puts the old work folder
// back. The player accepts only MPEG transport streams.
#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <vector>

#include "core/player_internal.h"

namespace emu {
namespace {

constexpr uint32_t kPacket = 188;
constexpr uint8_t kSync = 0x47;

std::string g_workFolder;
std::optional<std::string> g_savedWorkFolder;
// Folders handed out in records by SelectFolder; the record holds the index.
std::vector<std::string> g_selected;

bool g_playing = false;
std::string g_playFile;
std::unique_ptr<detail::Playback> g_playback;
// Decoded audio of every playback of the run, when the front end asked for it.
std::unique_ptr<detail::WavWriter> g_wav;

// Hands the sound to the WAV file and to the front end's sink.
class RunAudio : public detail::AudioSink {
 public:
  void write(const int16_t* samples, size_t frames, int64_t dueMs) override {
    if (g_wav && g_wav->isOpen()) g_wav->write(samples, frames, dueMs);
    if (config().audioSink) config().audioSink(samples, frames, dueMs);
  }
};
RunAudio g_audio;
bool g_pumping = false;

uint32_t get32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
void put32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }

// The record check word ties the index to the marker, so a record that
// SelectFolder did not fill is recognised.
uint32_t checkWord(uint32_t index) { return ~(index * 2654435761u) ^ FW_FolderRecordMarker; }

bool isDir(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Why `path` is not a transport stream, or empty when it is one: every
// packet that is there, the last one even when cut short, starts with 0x47.
std::string notTransportStream(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "cannot be read";
  std::vector<char> buffer(kPacket * 1024);
  uint64_t offset = 0;
  while (in) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    std::streamsize got = in.gcount();
    for (std::streamsize i = 0; i < got; i += kPacket) {
      uint8_t byte = static_cast<uint8_t>(buffer[static_cast<size_t>(i)]);
      if (byte != kSync)
        return detail::format(
            "not an MPEG transport stream: byte 0x%02X at offset %llu where the sync byte 0x47 belongs", byte,
            static_cast<unsigned long long>(offset + static_cast<uint64_t>(i)));
    }
    offset += static_cast<uint64_t>(got);
  }
  if (offset < kPacket)
    return detail::format("not an MPEG transport stream: %llu bytes, less than one 188-byte packet",
                          static_cast<unsigned long long>(offset));
  return {};
}

// Ends the playback with a console line: `what` and what was decoded.
void stopPlayback(const std::string& what) {
  console("%s: %s", what.c_str(), g_playback ? g_playback->summary().c_str() : "nothing decoded");
  g_playing = false;
  g_playFile.clear();
  g_playback.reset();
}

int start(const char* call, const char* name) {
  if (!name || !*name) {
    console("%s: no file name", call);
    return 1;
  }
  if (g_workFolder.empty() || !isDir(g_workFolder)) {
    console("%s: cannot play %s: the work folder %s does not exist", call, name, g_workFolder.c_str());
    return 1;
  }
  std::string path = g_workFolder + "/" + name;
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    console("%s: cannot play %s: no such file", call, path.c_str());
    return 1;
  }
  std::string why = notTransportStream(path);
  if (!why.empty()) {
    console("%s: cannot play %s: %s", call, path.c_str(), why.c_str());
    return 2;
  }
  if (g_playing) stopPlayback("Player: stopped " + g_playFile + " for the next file");
  if (!config().audioFile.empty() && !g_wav) {
    g_wav = std::make_unique<detail::WavWriter>();
    detail::OutsideTapRoot pc;  // a file of the PC that the user named
    std::string error;
    if (!g_wav->open(config().audioFile, &error)) console("Player: no audio file: %s", error.c_str());
  }
  detail::Playback::Options options;
  options.giveUpTicks = config().playerGiveUpTicks;
  options.realTime = !config().virtualClock;
  options.audio = g_wav || config().audioSink ? &g_audio : nullptr;
  g_playing = true;
  g_playFile = path;
  g_playback = detail::openPlayback(path, ticks(), options);
  console("%s: playing %s", call, path.c_str());
  return 0;
}

void fillPlayInfo(TYPE_PlayInfo* info) {
  std::memset(info, 0, sizeof *info);
  detail::playerPump();
  if (g_playing) {
    PlayerStatus s = playerStatus();
    info->playMode = 1;
    info->totalBlock = s.totalBlock;
    info->currentBlock = s.currentBlock;
    std::strncpy(info->fileName, g_playFile.c_str(), sizeof info->fileName - 1);
  }
}

int hddGetPlayInfo(TYPE_PlayInfo* info) {
  if (!info) {
    trace("TAP_Hdd_GetPlayInfo(null) = 0");
    return 0;
  }
  fillPlayInfo(info);
  trace("TAP_Hdd_GetPlayInfo(%p) = 1, playMode %u, block %u of %u, %s", static_cast<void*>(info), info->playMode,
        info->currentBlock, info->totalBlock, detail::quote(info->fileName).c_str());
  return 1;
}

int hddStopTs() {
  int r = g_playing ? 0 : -1;
  if (g_playing) stopPlayback("Player: stopped " + g_playFile);
  trace("TAP_Hdd_StopTs() = %d", r);
  return r;
}

}  // namespace

namespace detail {

void playerPump() {
  // Console sinks and the screen may ask for the picture while it is made.
  if (!g_playing || !g_playback || g_pumping) return;
  g_pumping = true;
  if (!g_playback->advance(ticks())) stopPlayback("Player: " + g_playFile + ": playback ended, " + g_playback->why());
  g_pumping = false;
}

void playerFinishRun() {
  if (g_playing)
    console("Player: %s was still playing when the run ended: %s", g_playFile.c_str(),
            g_playback ? g_playback->summary().c_str() : "");
}

bool playerPicture(Image& plane) {
  playerPump();
  if (!g_playback || !g_playback->hasPicture()) return false;
  g_playback->drawPicture(plane);
  return true;
}

void resetPlayer() {
  g_workFolder = "/mnt/hd/MediaFiles";
  g_savedWorkFolder.reset();
  g_selected.clear();
  g_playing = false;
  g_playFile.clear();
  g_playback.reset();
  g_wav.reset();
  TAP_Hdd_GetPlayInfo = hddGetPlayInfo;
  TAP_Hdd_StopTs = hddStopTs;
}

void fwSaveWorkFolder() {
  g_savedWorkFolder = g_workFolder;
  trace("ApplHdd_SaveWorkFolder(), saved %s", g_workFolder.c_str());
}

void fwRestoreWorkFolder() {
  if (g_savedWorkFolder) {
    g_workFolder = *g_savedWorkFolder;
    g_savedWorkFolder.reset();
  }
  trace("ApplHdd_RestoreWorkFolder(), work folder %s", g_workFolder.c_str());
}

int fwSelectFolder(void* folder, const char* path) {
  int r = 0;
  uint8_t* record = static_cast<uint8_t*>(folder);
  std::string full = path ? std::string("/") + path : std::string();
  if (!record) {
    r = 1;
  } else if (get32(record) != FW_FolderRecordMarker) {
    console("ApplHdd_SelectFolder: the folder record does not start with 0x%08X", FW_FolderRecordMarker);
    r = 2;
  } else if (!path || !isDir(full)) {
    console("ApplHdd_SelectFolder: no folder %s", path ? full.c_str() : "(null)");
    r = 3;
  } else {
    // Strip a closing "/" so the work folder reads like the TAP's folders.
    while (full.size() > 1 && full.back() == '/') full.pop_back();
    uint32_t index = static_cast<uint32_t>(g_selected.size());
    g_selected.push_back(full);
    struct stat st;
    stat(full.c_str(), &st);
    put32(record + 4, index);
    put32(record + 8, static_cast<uint32_t>(st.st_ino));
    put32(record + 12, checkWord(index));
  }
  trace("ApplHdd_SelectFolder(%p, %s) = %d", folder, quote(path).c_str(), r);
  return r;
}

void fwSetWorkFolder(void* folder) {
  const uint8_t* record = static_cast<const uint8_t*>(folder);
  bool ok = record && get32(record) == FW_FolderRecordMarker && get32(record + 4) < g_selected.size() &&
            get32(record + 12) == checkWord(get32(record + 4));
  if (ok)
    g_workFolder = g_selected[get32(record + 4)];
  else
    console("ApplHdd_SetWorkFolder: the folder record was not filled by ApplHdd_SelectFolder");
  trace("ApplHdd_SetWorkFolder(%p), work folder %s", folder, g_workFolder.c_str());
}

int fwStartPlayback(const char* name, unsigned int a, bool b) {
  int r = start("Appl_StartPlayback", name);
  trace("Appl_StartPlayback(%s, %u, %s) = %d", quote(name).c_str(), a, b ? "true" : "false", r);
  return r;
}

int fwStartPlaybackMedia(const char* name, unsigned int a, bool b, bool c) {
  int r = start("Appl_StartPlaybackMedia", name);
  trace("Appl_StartPlaybackMedia(%s, %u, %s, %s) = %d", quote(name).c_str(), a, b ? "true" : "false",
        c ? "true" : "false", r);
  return r;
}

}  // namespace detail

bool playing() {
  detail::playerPump();
  return g_playing;
}

PlayerStatus playerStatus() {
  detail::playerPump();
  PlayerStatus s;
  if (!g_playing) return s;
  s.playing = true;
  s.file = g_playFile;
  if (g_playback) g_playback->fillStatus(s);
  return s;
}
TYPE_PlayInfo playInfo() {
  TYPE_PlayInfo info;
  fillPlayInfo(&info);
  return info;
}
std::string playingFile() { return playing() ? g_playFile : std::string(); }
std::string workFolder() { return g_workFolder; }

}  // namespace emu
