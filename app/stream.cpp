// The download pipeline: one step per call. wget fetches the playlists and
// the first chunk synchronously, each within a time limit, and every later
// chunk in the background; the step appends finished chunks to Stream.ts in
// the order they were started. URIs resolve against the playlist that holds
// them (RFC 8216 section 4.1).
#include <sys/wait.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/PlayMediaFile.h"
#include "app/ResolveUrl.h"
#include "app/orvado.h"
#include "app/stream_internal.h"
#include "lib/files/files.h"

char _OrvadoURLXXX[StreamUrlSize];
char _OrvadoChunkName[StreamUrlSize];
char _OrvadoChunkListURL[StreamUrlSize];
uint32_t _Stream_Block_Ok = 0;
int64_t _StreamFileSize = 0;

namespace {

const char kSettingsDir[] = "/ProgramFiles/Settings/orvado/";
const char kMediaTmpDir[] = "/MediaFiles/tmp/";
constexpr uint32_t kCommandSize = 1024;
constexpr uint32_t kMaxVariants = 20;
constexpr uint32_t kMinListLength = 10;
constexpr uint32_t kProgressSeconds = 10;
constexpr int64_t kPlayThreshold = 7000000;
const char kStreamInf[] = "#EXT-X-STREAM-INF:";

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

void Status(const char* text) { SetStatusAusgabe(text, _StatusShowTime); }

// For a notice that would otherwise stack up while its cause lasts: shown
// unless a live line already says it.
void StatusUnlessShown(const char* text) {
  for (int i = 0; i < 10; ++i)
    if (_StatusausgabeTick[i] > _tick && strcmp(_StatusausgabeText[i], text) == 0) return;
  Status(text);
}

// Formats a shell command; false when it would not fit the buffer.
bool Format(char (&command)[kCommandSize], const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = vsnprintf(command, sizeof command, format, args);
  va_end(args);
  return n >= 0 && static_cast<uint32_t>(n) < sizeof command;
}

// The handle's memory stays with the TAP after the close.
void CloseFile(TYPE_File* file) {
  TAP_Hdd_Fclose(file);
  TAP_MemFree(file);
}

enum ReadResult { READ_OK, READ_CANNOT_OPEN, READ_TOO_SHORT, READ_NO_MEMORY };

// Loads the file `name` of the current directory whole into a TAP_MemAlloc
// buffer of twice its length, NUL after the last byte. A file shorter than
// `minLength` (at least 1) is not read.
ReadResult ReadText(const char* name, uint32_t minLength, char** text) {
  *text = nullptr;
  TYPE_File* file = TAP_Hdd_Fopen(name);
  if (file == nullptr) return READ_CANNOT_OPEN;
  uint32_t length = TAP_Hdd_Flen(file);
  if (length < minLength || length == 0) {
    CloseFile(file);
    return READ_TOO_SHORT;
  }
  // Twice the length has to stay a 32-bit size.
  char* buffer = length <= UINT32_MAX / 2 ? static_cast<char*>(TAP_MemAlloc(length * 2)) : nullptr;
  if (buffer == nullptr) {
    CloseFile(file);
    return READ_NO_MEMORY;
  }
  // A short read must not leave stale heap bytes in the text.
  memset(buffer, 0, length * 2);
  TAP_Hdd_Fread(buffer, length, 1, file);
  CloseFile(file);
  buffer[length] = '\0';
  *text = buffer;
  return READ_OK;
}

void ReplaceAll(char* text, char from, char to) {
  for (char* c = text; *c != '\0'; ++c)
    if (*c == from) *c = to;
}

// The line feed that opens the line holding `at`, or null on the first line.
const char* LineFeedBefore(const char* text, const char* at) {
  while (at > text) {
    --at;
    if (*at == '\n') return at;
  }
  return nullptr;
}

// Copies `length` bytes of `line` into a URL buffer.
void CopyLine(char* destination, const char* line, size_t length) {
  memcpy(destination, line, length);
  destination[length] = '\0';
}

// The receiver's strtol has a 32-bit long and saturates there.
uint32_t Bandwidth(const char* digits, char** end) {
  int64_t value = strtol(digits, end, 10);
  if (value > INT32_MAX) value = INT32_MAX;
  if (value < INT32_MIN) value = INT32_MIN;
  return static_cast<uint32_t>(static_cast<int32_t>(value));
}

}  // namespace

namespace stream_internal {

// Master playlist: the variant with the highest bandwidth becomes the chunk
// list; of equal ones the earlier. False when the step ends.
bool ChooseVariant(const char* text) {
  char variant[kMaxVariants][StreamUrlSize];
  uint32_t bandwidth[kMaxVariants];
  uint32_t n = 0;
  const char* p = text;
  const size_t tagLength = strlen(kStreamInf);
  while (n < kMaxVariants) {
    PlaylistLine tag = NextPlaylistLine(&p);
    if (!tag.found) break;
    if (!IsTag(tag, kStreamInf)) continue;  // also I-frame and rendition entries
    // BANDWIDTH by its whole name: AVERAGE-BANDWIDTH may come first.
    const char* value = nullptr;
    size_t valueLength = 0;
    char digits[16] = "";
    if (AttributeValue(tag.at + tagLength, tag.length - tagLength, "BANDWIDTH", &value, &valueLength))
      CopyLine(digits, value, valueLength < sizeof digits ? valueLength : sizeof digits - 1);
    bandwidth[n++] = Bandwidth(digits, nullptr);
    // The URI is the next line that is neither blank nor a tag, whatever it
    // is named; a variant without one ends the step.
    PlaylistLine uri = NextPlaylistLine(&p);
    while (uri.found && (uri.length == 0 || (uri.at[0] == '#' && !IsTag(uri, kStreamInf)))) uri = NextPlaylistLine(&p);
    if (!uri.found || uri.at[0] == '#') return false;
    if (uri.length >= StreamUrlSize) {
      Status("URL >> 1");
      return false;
    }
    CopyLine(variant[n - 1], uri.at, uri.length);
  }
  uint32_t best = 0;
  if (n > 0 && bandwidth[0] != 0) {
    strcpy(_OrvadoChunkName, variant[0]);
    best = bandwidth[0];
    for (uint32_t i = 1; i < n; ++i) {
      if (bandwidth[i] > best) {
        strcpy(_OrvadoChunkName, variant[i]);
        best = bandwidth[i];
      }
    }
  }
  char message[32];
  TAP_SPrint(message, "%u kb/s", best / 1000);
  Status(message);
  if (best == 0) return true;  // the master playlist itself stays the chunk list
  // The variant's URI is relative to the master playlist that holds it.
  char resolved[StreamUrlSize];
  if (!ResolveUrl(_OrvadoChunkListURL, _OrvadoChunkName, strlen(_OrvadoChunkName), resolved, sizeof resolved) ||
      !ShellSafe(resolved)) {
    Status("URL >> 1");
    return false;
  }
  strcpy(_OrvadoChunkListURL, resolved);
  return true;
}

// Resolves one chunk line into `url`; false, told once while the line stays
// listed, when it cannot be used.
bool UsableChunk(const char* base, const char* line, size_t length, char* url) {
  // A segment URI is relative to the chunk list that holds it.
  if (ResolveUrl(base, line, length, url, StreamUrlSize) && ShellSafe(url)) return true;
  url[0] = '\0';
  static uint32_t told[StreamMaxChunks + 1];
  static uint32_t next = 0;
  uint32_t hash = HashText(line, length);
  bool known = false;
  for (uint32_t h : told) known = known || h == hash;
  if (!known) {
    told[next++ % (StreamMaxChunks + 1)] = hash;
    Status("URL >> 2");
  }
  return false;
}

// The segment lines of a media playlist: the URI lines after its first
// #EXTINF, whatever they are named, tags between them allowed. Returns the
// next one at or after *p, or one not found.
PlaylistLine NextSegmentLine(const char** p, bool* afterInf) {
  for (PlaylistLine line = NextPlaylistLine(p); line.found; line = NextPlaylistLine(p)) {
    if (IsTag(line, "#EXTINF:")) *afterInf = true;
    if (line.length == 0 || line.at[0] == '#') continue;
    if (*afterInf) return line;
  }
  return PlaylistLine();
}

// A list without #EXTINF: its lines that hold ".ts", as the simplest lists
// write them.
int32_t SelectTsLines(const char* text, const char* base, char (&chunk)[StreamMaxChunks][StreamUrlSize]) {
  uint32_t count = 0;
  for (const char* at = strstr(text, ".ts"); at != nullptr; at = strstr(at + 1, ".ts")) ++count;
  const char* p = text;
  if (count >= 4) {
    const char* at = strstr(text, ".ts");
    for (uint32_t i = 1; i < count - 3; ++i) at = strstr(at + 1, ".ts");
    p = at + 1;
  }
  int32_t k = 0;
  for (uint32_t tries = 0; tries < StreamMaxChunks; ++tries) {
    const char* ts = strstr(p, ".ts");
    if (ts == nullptr) break;
    const char* lineEnd = strchr(ts, '\n');
    if (lineEnd == nullptr) break;
    const char* before = LineFeedBefore(text, ts);
    if (before == nullptr) break;
    const char* line = before + 1;
    size_t length = static_cast<size_t>(lineEnd - line);
    p = lineEnd;
    if (UsableChunk(base, line, length, chunk[k])) ++k;
  }
  return k;
}

// The last three chunk URLs of the list, in list order; a line that cannot
// be used is left out with one message, and the others still count.
int32_t SelectChunks(const char* text, const char* base, char (&chunk)[StreamMaxChunks][StreamUrlSize]) {
  if (!HasTagLine(text, "#EXTINF:")) return SelectTsLines(text, base, chunk);
  uint32_t count = 0;
  bool afterInf = false;
  const char* p = text;
  while (NextSegmentLine(&p, &afterInf).found) ++count;
  uint32_t skip = count > StreamMaxChunks ? count - StreamMaxChunks : 0;
  int32_t k = 0;
  afterInf = false;
  p = text;
  for (uint32_t i = 0; i < count; ++i) {
    PlaylistLine line = NextSegmentLine(&p, &afterInf);
    // A last line without its line feed may still be being written.
    if (i < skip || !line.terminated) continue;
    if (UsableChunk(base, line.at, line.length, chunk[k])) ++k;
  }
  return k;
}

bool ShellSafe(const char* url) { return strchr(url, '\'') == nullptr && url[0] != '-'; }

}  // namespace stream_internal

using namespace stream_internal;

namespace {

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

// wget's exit status from a system() result; -1 when it did not exit.
int ExitStatus(int result) { return result >= 0 && WIFEXITED(result) ? WEXITSTATUS(result) : -1; }

// Runs a synchronous fetch of `requested` into the settings folder and loads
// the file; null, after the status message that says where it failed, when
// the step ends. `finalUrl` receives the URL that wget's redirects, told in
// its log `logName`, led to: what the file's relative URIs resolve against.
char* FetchText(const char* command, const char* requested, const char* logName, char* finalUrl, const char* name,
                const char* fetchError, const char* missingError, const char* shortError) {
  if (system(command) != 0) {
    Status(fetchError);
    return nullptr;
  }
  HDD_ChangeDir(kSettingsDir);
  char* log = nullptr;
  if (TAP_Hdd_Exist(logName)) ReadText(logName, 1, &log);
  FollowRedirects(log, requested, finalUrl, StreamUrlSize);
  if (log != nullptr) TAP_MemFree(log);
  if (!TAP_Hdd_Exist(name)) {
    Status(missingError);
    return nullptr;
  }
  char* text = nullptr;
  switch (ReadText(name, kMinListLength, &text)) {
    case READ_OK: return text;
    case READ_CANNOT_OPEN: Status(missingError); return nullptr;
    case READ_TOO_SHORT: Status(shortError); return nullptr;
    case READ_NO_MEMORY: return nullptr;
  }
  return nullptr;
}

// First step of a channel: base URL, playlist, and for a master playlist the
// variant. False when the step ends.
bool Prepare(void) {
  system("rm /mnt/hd/ProgramFiles/Settings/orvado/*.lok");
  ResetPlaylistWatch();
  const char* url = _OrvadoURL[_StreamNr - 1];
  CopyLine(_OrvadoURLXXX, url, strnlen(url, StreamUrlSize - 1));
  char* slash = strrchr(_OrvadoURLXXX, '/');
  if (slash == nullptr) {
    StatusUnlessShown("No URL set");
    return false;
  }
  // The playlist itself, until a master playlist names a variant.
  strcpy(_OrvadoChunkListURL, _OrvadoURLXXX);
  strcpy(_OrvadoChunkName, slash + 1);
  *slash = '\0';
  if (system("chmod 755 /mnt/hd/ProgramFiles/wget") != 0) {
    Status("wget Error");
    return false;
  }
  HDD_ChangeDir(kSettingsDir);
  TAP_Hdd_Delete("playlist.txt");
  if (TAP_Hdd_Exist("playlist.txt")) {
    Status("Pl 1 Error");
    return false;
  }
  char command[kCommandSize];
  if (!ShellSafe(_OrvadoChunkListURL) ||
      !Format(command,
              "%swget -T%u -t1 -O /mnt/hd/ProgramFiles/Settings/orvado/playlist.txt '%s/%s' "
              "2>/mnt/hd/ProgramFiles/Settings/orvado/playlist.log",
              TimeLimit(kPlaylistSeconds), kPlaylistSeconds, _OrvadoURLXXX, _OrvadoChunkName)) {
    Status("URL >> 1");
    return false;
  }
  char finalUrl[StreamUrlSize];
  char* text = FetchText(command, _OrvadoChunkListURL, "playlist.log", finalUrl, "playlist.txt", "Pl 2\tError",
                         "Pl 3 Error", "Pl 4 Error");
  if (text == nullptr) return false;
  // Commas stay: the variant choice reads attribute lists, whose quoted
  // values may hold commas, and a URI line may hold them too.
  ReplaceAll(text, '\r', '\n');
  // A master playlist holds variants, a media playlist segments; only a list
  // with neither tag is told by a ".ts" in it.
  bool master = HasTagLine(text, kStreamInf);
  // Variants resolve against where a redirect led.
  if (master) strcpy(_OrvadoChunkListURL, finalUrl);
  bool ok = true;
  if (!master && (HasTagLine(text, "#EXTINF:") || strstr(text, ".ts") != nullptr)) {
    Status("Playlistmode");
  } else {
    Status("Chunklistmode");
    ok = ChooseVariant(text);
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
    Status("CL 1 Error");
    return nullptr;
  }
  char command[kCommandSize];
  if (!ShellSafe(_OrvadoChunkListURL) ||
      !Format(command,
              "%swget -T%u -t1 -O /mnt/hd/ProgramFiles/Settings/orvado/chlist.txt '%s' "
              "2>/mnt/hd/ProgramFiles/Settings/orvado/chlist.log",
              TimeLimit(kPlaylistSeconds), kPlaylistSeconds, _OrvadoChunkListURL)) {
    Status("URL >> 1");
    return nullptr;
  }
  char* text = FetchText(command, _OrvadoChunkListURL, "chlist.log", chunkListBase, "chlist.txt", "CL 2 Error",
                         "CL 3 Error", "CL 4 Error");
  if (text != nullptr) ReplaceAll(text, '\r', '\n');
  return text;
}

// The first chunk goes straight into Stream.ts. False, with Stream.ts gone,
// when it did not come whole or is no transport stream.
bool FetchFirstChunk(const char* url) {
  char command[kCommandSize];
  Format(command, "%swget -T%u -t1 -O /mnt/hd/MediaFiles/tmp/Stream.ts '%s'", TimeLimit(kFirstChunkSeconds),
         kFirstChunkSeconds, url);
  int result = system(command);
  HDD_ChangeDir(kMediaTmpDir);
  if (result == 0 && TransportStreamSize("Stream.ts") > 0) return true;
  TAP_Hdd_Delete("Stream.ts");
  Status("Start ts err");
  if (ExitStatus(result) == kWgetFileError) StatusUnlessShown("Disk full");
  return false;
}

// The disk takes no more: the run's downloads stop and what they left goes,
// so the player keeps what Stream.ts holds.
void StopForFullDisk(void) {
  Status("Disk full");
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
  Format(command, "cat /mnt/hd/MediaFiles/tmp/tmp%u.ts >> /mnt/hd/MediaFiles/tmp/Stream.ts", n);
  system(command);
  uint64_t after = 0;
  HDD_GetFileSizeAndInode("Stream.ts", nullptr, &after);
  *size = after;
  if (after == before + static_cast<uint64_t>(bytes)) return true;
  // Cut back to the last whole chunk. dd truncates at its seek offset, and
  // unlike truncate(1) it is in every shell's tool set.
  Format(command, "dd if=/dev/null of=/mnt/hd/MediaFiles/tmp/Stream.ts bs=1 seek=%llu 2>/dev/null",
         static_cast<unsigned long long>(before));
  system(command);
  return false;
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
    if (ReadText(name, 1, &log) != READ_OK) return;  // nothing written yet
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
      SetStatusAusgabe(message, kProgressSeconds);
      _Stream_Block_Ok = n + 1;
      if (status == kWgetFileError) StopForFullDisk();
      return;
    }
    uint64_t size = 0;
    if (!AppendChunk(n, bytes, &size)) {
      StopForFullDisk();
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
    if (_StreamFileSize > kPlayThreshold && !playerStarted) {
      cls();
      HDD_ChangeDir(kMediaTmpDir);
      playerStarted = PlayMediaFile("Stream.ts") == 1;
    }
  }
}

}  // namespace

void stream(void) {
  if (_StreamNr < 1 || _StreamNr > 9) return;
  if (_Stream_Block != 0 && diskFull) return;
  if (_Stream_Block == 0 && !Prepare()) return;

  char* list = FetchChunkList();
  if (list == nullptr) return;
  WatchPlaylist(list, _tick);
  // Encrypted chunks would only ever be "Read err": the user is told why
  // instead, and nothing is fetched.
  if (Encrypted(list)) {
    TAP_MemFree(list);
    StatusUnlessShown("Encrypted");
    return;
  }
  // So would fragmented MP4 chunks.
  if (FragmentedMp4(list)) {
    TAP_MemFree(list);
    StatusUnlessShown("No TS stream");
    return;
  }
  char chunk[StreamMaxChunks][StreamUrlSize];
  int32_t k = SelectChunks(list, chunkListBase, chunk);
  TAP_MemFree(list);

  int32_t background = k;
  if (_Stream_Block == 0) {
    // No chunk in the list: nothing to start from, so the start is retried.
    if (k == 0) {
      Status("Start ts err");
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

  char command[kCommandSize];
  for (int32_t i = 0; i < background; ++i) {
    if (StremDlTest(chunk[i]) == 0) continue;
    uint32_t n = _Stream_Block;
    // The job's shell writes wget's exit status as the log's last line, so
    // the scan can tell a finished download from one still retrying.
    Format(command,
           "(%swget -T30 -t2 -O /mnt/hd/MediaFiles/tmp/tmp%u.ts '%s'; echo \"%s$?\" >&2) "
           "2>/mnt/hd/ProgramFiles/Settings/orvado/%u.lok &",
           TimeLimit(kBackgroundSeconds), n, chunk[i], ChunkExitMarker, n);
    system(command);
    ++_Stream_Block;
  }

  AppendFinishedChunks();
}
