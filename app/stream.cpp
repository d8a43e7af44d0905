// The download pipeline: one step per call. wget fetches the playlists and
// the first chunk synchronously, each within a time limit, and every later
// chunk in the background; the step appends finished chunks to Stream.ts in
// the order they were started. Each playlist is read once, into a Playlist
// (ParsePlaylist), and every decision reads that. Every failure goes through
// Fail: a word on the status line and a line in the log.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/PlayMediaFile.h"
#include "app/orvado.h"
#include "app/stream_internal.h"
#include "lib/files/files.h"

char _OrvadoURLXXX[StreamUrlSize];
char _OrvadoChunkName[StreamUrlSize];
char _OrvadoChunkListURL[StreamUrlSize];
uint32_t _Stream_Block_Ok = 0;
int64_t _StreamFileSize = 0;

using namespace stream_internal;

namespace {

const char kSettingsDir[] = "/ProgramFiles/Settings/orvado/";
const char kMediaTmpDir[] = "/MediaFiles/tmp/";
constexpr uint32_t kCommandSize = 1024;
constexpr uint32_t kMinListLength = 10;
constexpr uint32_t kProgressSeconds = 10;
constexpr int64_t kPlayThreshold = 7000000;

// Seconds that each synchronous fetch may take at most. Together they keep
// the first step of a channel, the longest, within about 15 seconds.
constexpr uint32_t kPlaylistSeconds = 3;
constexpr uint32_t kFirstChunkSeconds = 8;
// A background job's whole life: -T30 -t2 bound each wait and the tries, but
// not a server that trickles, and every later chunk waits behind this one.
constexpr uint32_t kBackgroundSeconds = 90;
// wget's status for a file it could not write.
constexpr int kWgetFileError = 3;

// Channel-run state: reset when the first chunk of a channel start arrives.
bool playerStarted = false;  // the player was started for this run
bool diskFull = false;       // the run was stopped for want of disk space

// The playlist read in this step; its spans point into the text being read.
Playlist list;

// Formats a shell command; a failure (`word`) when it would not fit.
StepResult Format(char (&command)[kCommandSize], const char* word, const char* subject, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = vsnprintf(command, sizeof command, format, args);
  va_end(args);
  if (n >= 0 && static_cast<uint32_t>(n) < sizeof command) return StepOk();
  return Fail(word, "a command too long for", subject);
}

// "timeout N " in front of a synchronous wget where the shell has a timeout
// that takes that form: wget's -T bounds each wait but not a server that
// trickles. Without it, -T and -t alone bound the fetch.
const char* TimeLimit(uint32_t seconds) {
  static int usable = -1;
  if (usable < 0) usable = system("timeout 5 true >/dev/null 2>&1") == 0;
  static char prefix[24];
  if (!usable) return "";
  TAP_SPrint(prefix, "timeout %u ", seconds);
  return prefix;
}

// Runs a synchronous fetch of `requested` into the file `name` of the
// settings folder and loads it; null, after the failure that says where it
// went wrong, when the step ends. `finalUrl` receives the URL that wget's
// redirects, told in its log `logName`, led to: what the file's relative
// URIs resolve against. `words` are the step's words for a failed fetch, a
// missing file and a short one.
char* FetchText(const char* command, const char* requested, const char* logName, char* finalUrl, const char* name,
                const char* const (&words)[3]) {
  int result = system(command);
  if (result != 0) {
    Fail(words[0], "the fetch failed:", requested, ExitStatus(result));
    return nullptr;
  }
  HDD_ChangeDir(kSettingsDir);
  char* log = nullptr;
  if (TAP_Hdd_Exist(logName)) ReadText(logName, 1, &log);
  FollowRedirects(log, requested, finalUrl, StreamUrlSize);
  if (log != nullptr) TAP_MemFree(log);
  char* text = nullptr;
  switch (TAP_Hdd_Exist(name) ? ReadText(name, kMinListLength, &text) : READ_CANNOT_OPEN) {
    case READ_OK: return text;
    case READ_CANNOT_OPEN: Fail(words[1], "wget left no file", name); break;
    case READ_TOO_SHORT: Fail(words[2], "a file shorter than 10 bytes:", name); break;
    case READ_NO_MEMORY: Fail(nullptr, "no memory to read", name); break;
  }
  return nullptr;
}

// First step of a channel: base URL, playlist, and for a master playlist the
// variant. False when the step ends.
bool Prepare(void) {
  system("rm /mnt/hd/ProgramFiles/Settings/orvado/*.lok");
  ResetPlaylistWatch();
  const char* url = _OrvadoURL[_StreamNr - 1];
  size_t length = strnlen(url, StreamUrlSize - 1);
  memcpy(_OrvadoURLXXX, url, length);
  _OrvadoURLXXX[length] = '\0';
  char* slash = strrchr(_OrvadoURLXXX, '/');
  if (slash == nullptr) return Fail("No URL set", "the channel has no playlist URL:", url, -1, SHOW_ONCE).ok;
  // The playlist itself, until a master playlist names a variant.
  strcpy(_OrvadoChunkListURL, _OrvadoURLXXX);
  strcpy(_OrvadoChunkName, slash + 1);
  *slash = '\0';
  int chmod = system("chmod 755 /mnt/hd/ProgramFiles/wget");
  if (chmod != 0) return Fail("wget Error", "no downloader", "/mnt/hd/ProgramFiles/wget", ExitStatus(chmod)).ok;
  HDD_ChangeDir(kSettingsDir);
  TAP_Hdd_Delete("playlist.txt");
  if (TAP_Hdd_Exist("playlist.txt")) return Fail("Pl 1 Error", "cannot remove", "playlist.txt").ok;
  char command[kCommandSize];
  if (!ShellSafe(_OrvadoChunkListURL)) return Fail("URL >> 1", "cannot quote for the shell:", url).ok;
  if (!Format(command, "URL >> 1", url,
              "%swget -T%u -t1 -O /mnt/hd/ProgramFiles/Settings/orvado/playlist.txt '%s/%s' "
              "2>/mnt/hd/ProgramFiles/Settings/orvado/playlist.log",
              TimeLimit(kPlaylistSeconds), kPlaylistSeconds, _OrvadoURLXXX, _OrvadoChunkName)
           .ok)
    return false;
  char finalUrl[StreamUrlSize];
  static const char* const kWords[3] = {"Pl 2\tError", "Pl 3 Error", "Pl 4 Error"};
  char* text = FetchText(command, _OrvadoChunkListURL, "playlist.log", finalUrl, "playlist.txt", kWords);
  if (text == nullptr) return false;
  ParsePlaylist(text, -1, &list);
  // A master playlist holds variants, a media playlist segments; only a list
  // with neither tag is told by a ".ts" in it. Variants resolve against
  // where a redirect led.
  if (list.master) strcpy(_OrvadoChunkListURL, finalUrl);
  bool ok = true;
  if (!list.master && (list.media || list.holdsTs)) {
    SetStatusAusgabe("Playlistmode", _StatusShowTime);
  } else {
    SetStatusAusgabe("Chunklistmode", _StatusShowTime);
    ok = ChooseVariant(list);
  }
  TAP_MemFree(text);
  return ok;
}

// The URL the chunk list came from in this step, after redirects: its chunk
// lines resolve against it.
char chunkListBase[StreamUrlSize];

// Fetches and loads the chunk list; null when the step ends.
char* FetchChunkList(void) {
  HDD_ChangeDir(kSettingsDir);
  TAP_Hdd_Delete("chlist.txt");
  if (TAP_Hdd_Exist("chlist.txt")) {
    Fail("CL 1 Error", "cannot remove", "chlist.txt");
    return nullptr;
  }
  char command[kCommandSize];
  if (!ShellSafe(_OrvadoChunkListURL)) {
    Fail("URL >> 1", "cannot quote for the shell:", _OrvadoChunkListURL);
    return nullptr;
  }
  if (!Format(command, "URL >> 1", _OrvadoChunkListURL,
              "%swget -T%u -t1 -O /mnt/hd/ProgramFiles/Settings/orvado/chlist.txt '%s' "
              "2>/mnt/hd/ProgramFiles/Settings/orvado/chlist.log",
              TimeLimit(kPlaylistSeconds), kPlaylistSeconds, _OrvadoChunkListURL)
           .ok)
    return nullptr;
  static const char* const kWords[3] = {"CL 2 Error", "CL 3 Error", "CL 4 Error"};
  return FetchText(command, _OrvadoChunkListURL, "chlist.log", chunkListBase, "chlist.txt", kWords);
}

// The first chunk goes straight into Stream.ts. False, with Stream.ts gone,
// when it did not come whole or is no transport stream.
bool FetchFirstChunk(const char* url) {
  char command[kCommandSize];
  if (!Format(command, "Start ts err", url, "%swget -T%u -t1 -O /mnt/hd/MediaFiles/tmp/Stream.ts '%s'",
              TimeLimit(kFirstChunkSeconds), kFirstChunkSeconds, url)
           .ok)
    return false;
  int result = system(command);
  HDD_ChangeDir(kMediaTmpDir);
  if (result == 0 && TransportStreamSize("Stream.ts") > 0) return true;
  TAP_Hdd_Delete("Stream.ts");
  int status = ExitStatus(result);
  Fail("Start ts err", result == 0 ? "the first chunk is no transport stream:" : "the first chunk failed:", url,
       status);
  if (status == kWgetFileError) Fail("Disk full", "cannot write", "/mnt/hd/MediaFiles/tmp/Stream.ts", -1, SHOW_ONCE);
  return false;
}

// The disk takes no more: the run's downloads stop and what they left goes,
// so the player keeps what Stream.ts holds.
void StopForFullDisk(const char* file) {
  Fail("Disk full", "no room for", file);
  diskFull = true;
  KillTask("wget");
  system("rm -f /mnt/hd/MediaFiles/tmp/tmp*.ts");
}

// Appends chunk n of `bytes` bytes to Stream.ts (the media folder is the
// current directory) and gives Stream.ts's new size; false, with Stream.ts as
// it was, when the disk cannot take the chunk whole.
bool AppendChunk(uint32_t n, int64_t bytes, uint64_t* size) {
  int64_t room = FreeDiskBytes("/mnt/hd/MediaFiles/tmp");
  if (room >= 0 && room < bytes) return false;
  uint64_t before = 0;
  if (!HDD_GetFileSizeAndInode("Stream.ts", nullptr, &before)) before = 0;
  char command[kCommandSize];
  TAP_SPrint(command, "cat /mnt/hd/MediaFiles/tmp/tmp%u.ts >> /mnt/hd/MediaFiles/tmp/Stream.ts", n);
  system(command);
  uint64_t after = 0;
  HDD_GetFileSizeAndInode("Stream.ts", nullptr, &after);
  *size = after;
  if (after == before + static_cast<uint64_t>(bytes)) return true;
  // Cut back to the last whole chunk. dd truncates at its seek offset, and
  // unlike truncate(1) it is in every shell's tool set.
  TAP_SPrint(command, "dd if=/dev/null of=/mnt/hd/MediaFiles/tmp/Stream.ts bs=1 seek=%llu 2>/dev/null",
             static_cast<unsigned long long>(before));
  system(command);
  return false;
}

// Starts the player on Stream.ts; the play record shows it from the next event.
void StartPlayer(void) {
  cls();
  HDD_ChangeDir(kMediaTmpDir);
  playerStarted = PlayMediaFile("Stream.ts") == 1;
  if (!playerStarted) Fail(nullptr, "the player did not start on", "/mnt/hd/MediaFiles/tmp/Stream.ts");
}

// Appends finished chunks in number order until one is missing, still
// loading or failed; starts the player once Stream.ts is large enough.
void AppendFinishedChunks(void) {
  char name[32];
  char message[32];
  for (;;) {
    HDD_ChangeDir(kSettingsDir);
    uint32_t n = _Stream_Block_Ok;
    TAP_SPrint(name, "%u.lok", n);
    if (!TAP_Hdd_Exist(name)) return;
    char* log = nullptr;
    ReadResult read = ReadText(name, 1, &log);
    if (read == READ_NO_MEMORY) Fail(nullptr, "no memory to read", name);
    if (read != READ_OK) return;  // nothing written yet
    int32_t status = -1;
    ChunkLogState state = JudgeChunkLog(log, &status);
    TAP_MemFree(log);
    if (state == CHUNK_LOADING) return;
    int64_t bytes = -1;
    if (state == CHUNK_COMPLETE) {
      HDD_ChangeDir(kMediaTmpDir);
      TAP_SPrint(name, "tmp%u.ts", n);
      bytes = TransportStreamSize(name);
    }
    if (bytes < 0) {
      // Failed, or not video: left out, its log and file stay for a look.
      TAP_SPrint(message, "%u Read err", n);
      TAP_SPrint(name, "tmp%u.ts", n);
      Fail(message, state == CHUNK_COMPLETE ? "a chunk that is no transport stream:" : "a chunk download failed:",
           name, status, SHOW_LONG);
      _Stream_Block_Ok = n + 1;
      if (status == kWgetFileError) StopForFullDisk(name);
      return;
    }
    uint64_t size = 0;
    if (!AppendChunk(n, bytes, &size)) {
      StopForFullDisk("/mnt/hd/MediaFiles/tmp/Stream.ts");
      return;
    }
    _StreamFileSize = static_cast<int64_t>(size);
    TAP_Hdd_Delete(name);
    HDD_ChangeDir(kSettingsDir);
    TAP_SPrint(name, "%u.lok", n);
    TAP_Hdd_Delete(name);
    _Stream_Block_Ok = n + 1;
    if (_PlayFile.playMode != 0) continue;
    TAP_SPrint(message, "%d: %d kB", static_cast<int>(_Stream_Block_Ok), static_cast<int>(_StreamFileSize / 1024));
    SetStatusAusgabe(message, kProgressSeconds);
    // Once per run: the play record shows a start only from the next event.
    if (_StreamFileSize > kPlayThreshold && !playerStarted) StartPlayer();
  }
}

// Starts background job n for `url`. The job's shell writes wget's exit
// status as the log's last line, so the scan can tell a finished download
// from one still retrying.
bool StartJob(uint32_t n, const char* url) {
  char command[kCommandSize];
  if (!Format(command, "URL >> 2", url,
              "(%swget -T30 -t2 -O /mnt/hd/MediaFiles/tmp/tmp%u.ts '%s'; echo \"%s$?\" >&2) "
              "2>/mnt/hd/ProgramFiles/Settings/orvado/%u.lok &",
              TimeLimit(kBackgroundSeconds), n, url, ChunkExitMarker, n)
           .ok)
    return false;
  system(command);
  return true;
}

}  // namespace

void stream(void) {
  if (_StreamNr < 1 || _StreamNr > 9) return;
  if (_Stream_Block != 0 && diskFull) return;
  if (_Stream_Block == 0 && !Prepare()) return;

  char* text = FetchChunkList();
  if (text == nullptr) return;
  ParsePlaylist(text, -1, &list);
  WatchPlaylist(list, _tick);
  // Encrypted chunks, and fragmented MP4 ones, would only ever be "Read err":
  // the user is told why instead, and nothing is fetched.
  StepResult refused = StepOk();
  if (Encrypted(list))
    refused = Fail("Encrypted", "the chunks are encrypted:", _OrvadoChunkListURL, -1, SHOW_ONCE);
  else if (FragmentedMp4(list))
    refused = Fail("No TS stream", "the chunks are fragmented MP4:", _OrvadoChunkListURL, -1, SHOW_ONCE);
  char chunk[StreamMaxChunks][StreamUrlSize];
  int32_t k = refused.ok ? SelectChunks(list, chunkListBase, chunk) : 0;
  TAP_MemFree(text);
  if (!refused.ok) return;

  int32_t background = k;
  if (_Stream_Block == 0) {
    // No chunk in the list: nothing to start from, so the start is retried.
    if (k == 0) {
      Fail("Start ts err", "no chunk in", _OrvadoChunkListURL);
      return;
    }
    if (!FetchFirstChunk(chunk[0])) return;
    strcpy(_OrvadoDlTsFileName_OK[StreamRingSize - 1], chunk[0]);
    _Stream_Block = 1;
    _Stream_Block_Ok = 1;
    playerStarted = false;
    diskFull = false;
    // The newest chunk waits for the next step.
    background = k - 1;
  }
  for (int32_t i = 0; i < background; ++i) {
    if (StremDlTest(chunk[i]) != 0 && StartJob(_Stream_Block, chunk[i])) ++_Stream_Block;
  }
  AppendFinishedChunks();
}
