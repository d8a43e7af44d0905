// The download pipeline: one step per call. wget fetches the playlists and
// the first chunk synchronously, each within a time limit, and every later
// chunk in the background; the step appends finished chunks to Stream.ts in
// the order they were started. Each playlist is read once, into a Playlist
// (ParsePlaylist), and every decision reads that. Every failure goes through
// Fail: a word on the status line and a line in the log.
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

using namespace stream_internal;

namespace {

const char kSettingsDir[] = "/ProgramFiles/Settings/orvado/";
const char kMediaTmpDir[] = "/MediaFiles/tmp/";
const char kSettingsPath[] = "/mnt/hd/ProgramFiles/Settings/orvado/";
constexpr uint32_t kMinListLength = 10;
constexpr uint32_t kProgressSeconds = 10;
constexpr int64_t kPlayThreshold = 7000000;

// Seconds that each synchronous fetch may take at most. Together they keep
// the first step of a channel, the longest, within about 15 seconds.
constexpr uint32_t kPlaylistSeconds = 3;
constexpr uint32_t kFirstChunkSeconds = 8;

// Channel-run state: reset when the first chunk of a channel start arrives.
struct Run {
  bool playerStarted;      // the player was started for this run
  bool diskFull;           // the run was stopped for want of disk space
  bool bySequence;         // segments are told apart by their sequence numbers
  int64_t lastStarted;     // sequence number of the newest segment started
  uint32_t lastStartedId;  // and what it was (SegmentId); 0 when not known
  int64_t firstListed;     // the last list's #EXT-X-MEDIA-SEQUENCE
  bool ended;              // the list has ended (VOD, or a live event over)
  int64_t lastListed;      // sequence number of an ended list's last segment
  int64_t playerEndedAt;   // size of Stream.ts when the player was seen ended, -1
  int64_t lastChunkBytes;  // size of the chunk appended last
};
Run run;

// The playlist read in this step; its spans point into the text being read.
Playlist list;

// What a segment is, whatever the number a list gives it: its URI without
// the query (which some servers sign anew for every list) and its byte range.
uint32_t SegmentId(const PlaylistSegment& segment) {
  uint32_t length = 0;
  while (length < segment.uri.length && segment.uri.at[length] != '?') ++length;
  const int64_t range[2] = {segment.rangeStart, segment.rangeLength};
  return (HashText(segment.uri.at, length) ^ (HashText(reinterpret_cast<const char*>(range), sizeof range) * 31u)) | 1u;
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
    int status = ExitStatus(result);
    if (status == WgetTlsError)
      Fail("TLS Error", "the server's certificate was refused:", requested, status, SHOW_ONCE);
    else
      Fail(words[0], "the fetch failed:", requested, status);
    return nullptr;
  }
  HDD_ChangeDir(kSettingsDir);
  char* log = nullptr;
  if (TAP_Hdd_Exist(logName)) ReadText(logName, 1, &log);
  FollowRedirects(log, requested, finalUrl, StreamUrlSize);
  if (log != nullptr) TAP_MemFree(log);
  char* text = nullptr;
  ReadResult read = TAP_Hdd_Exist(name) ? ReadText(name, kMinListLength, &text) : READ_CANNOT_OPEN;
  // A server may send the list gzip-compressed without being asked; the
  // shell's gunzip unpacks it.
  if (read == READ_OK && static_cast<uint8_t>(text[0]) == 0x1F && static_cast<uint8_t>(text[1]) == 0x8B) {
    TAP_MemFree(text);
    text = nullptr;
    char unzip[CommandSize];
    TAP_SPrint(unzip, "gunzip -c %s%s > %s%s.unz 2>/dev/null && mv %s%s.unz %s%s", kSettingsPath, name, kSettingsPath,
               name, kSettingsPath, name, kSettingsPath, name);
    if (system(unzip) != 0) {
      Fail("Gzip list", "cannot unpack the gzip-compressed list", requested, -1, SHOW_ONCE);
      return nullptr;
    }
    HDD_ChangeDir(kSettingsDir);
    read = ReadText(name, kMinListLength, &text);
  }
  switch (read) {
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
  char command[CommandSize];
  if (!ShellSafe(_OrvadoChunkListURL)) return Fail("URL >> 1", "cannot quote for the shell:", url).ok;
  if (!FormatCommand(command, "URL >> 1", url,
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
  char command[CommandSize];
  if (!ShellSafe(_OrvadoChunkListURL)) {
    Fail("URL >> 1", "cannot quote for the shell:", _OrvadoChunkListURL);
    return nullptr;
  }
  if (!FormatCommand(command, "URL >> 1", _OrvadoChunkListURL,
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
bool FetchFirstChunk(const Chunk& chunk) {
  char command[CommandSize];
  if (!FormatCommand(command, "Start ts err", chunk.url, "%swget -T%u -t1%s -O /mnt/hd/MediaFiles/tmp/Stream.ts '%s'",
                     TimeLimit(kFirstChunkSeconds), kFirstChunkSeconds,
                     RangeOption(chunk.rangeStart, chunk.rangeLength), chunk.url)
           .ok)
    return false;
  int result = system(command);
  bool plain =
      result == 0 && (!chunk.encrypted || DecryptFile("/mnt/hd/MediaFiles/tmp/Stream.ts", chunk.key, chunk.iv));
  HDD_ChangeDir(kMediaTmpDir);
  if (plain && TransportStreamSize("Stream.ts") > 0) return true;
  TAP_Hdd_Delete("Stream.ts");
  int status = ExitStatus(result);
  if (status == WgetTlsError) {
    Fail("TLS Error", "the server's certificate was refused:", chunk.url, status, SHOW_ONCE);
    return false;
  }
  Fail("Start ts err",
       result != 0 ? "the first chunk failed:"
       : plain     ? "the first chunk is no transport stream:"
                   : "the first chunk cannot be decrypted:",
       chunk.url, status);
  if (status == WgetFileError) Fail("Disk full", "cannot write", "/mnt/hd/MediaFiles/tmp/Stream.ts", -1, SHOW_ONCE);
  return false;
}

// The disk takes no more: the run's downloads stop and what they left goes,
// so the player keeps what Stream.ts holds.
void StopForFullDisk(const char* file) {
  Fail("Disk full", "no room for", file);
  run.diskFull = true;
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
  char command[CommandSize];
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
  run.playerStarted = PlayMediaFile("Stream.ts") == 1;
  run.playerEndedAt = -1;
  if (!run.playerStarted) Fail(nullptr, "the player did not start on", "/mnt/hd/MediaFiles/tmp/Stream.ts");
}

// Appends finished chunks in number order until one is missing, still
// loading or failed; starts the player once Stream.ts is large enough.
void AppendFinishedChunks(void) {
  char name[32];
  char message[32];
  // A step that appends several chunks (after an outage, up to ten) shows
  // the progress of the last one only: a line for each would fill the
  // column, and the words that come after them would be dropped.
  struct Progress {
    char text[32] = "";
    void show() {
      if (text[0] != '\0') SetStatusAusgabe(text, kProgressSeconds);
      text[0] = '\0';
    }
    ~Progress() { show(); }
  } progress;
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
    if (state == CHUNK_FAILED && !run.diskFull && RetryJob(n, status)) return;
    int64_t bytes = -1;
    const ChunkJob* job = JobFor(n);
    bool plain = true;
    if (state == CHUNK_COMPLETE) {
      TAP_SPrint(name, "/mnt/hd/MediaFiles/tmp/tmp%u.ts", n);
      if (job != nullptr && job->chunk.encrypted) plain = DecryptFile(name, job->chunk.key, job->chunk.iv);
      HDD_ChangeDir(kMediaTmpDir);
      TAP_SPrint(name, "tmp%u.ts", n);
      if (plain) bytes = TransportStreamSize(name);
    }
    if (bytes < 0) {
      // Failed, or not video: left out, its log and file stay for a look.
      progress.show();
      TAP_SPrint(message, "%u Read err", n);
      TAP_SPrint(name, "tmp%u.ts", n);
      Fail(message,
           state != CHUNK_COMPLETE ? "a chunk download failed:"
           : plain                 ? "a chunk that is no transport stream:"
                                   : "a chunk that cannot be decrypted:",
           job != nullptr ? job->chunk.url : name, status, SHOW_LONG);
      _Stream_Block_Ok = n + 1;
      if (status == WgetFileError) StopForFullDisk(name);
      return;
    }
    uint64_t size = 0;
    if (!AppendChunk(n, bytes, &size)) {
      StopForFullDisk("/mnt/hd/MediaFiles/tmp/Stream.ts");
      return;
    }
    _StreamFileSize = static_cast<int64_t>(size);
    run.lastChunkBytes = bytes;
    TAP_Hdd_Delete(name);
    HDD_ChangeDir(kSettingsDir);
    TAP_SPrint(name, "%u.lok", n);
    TAP_Hdd_Delete(name);
    _Stream_Block_Ok = n + 1;
    if (_PlayFile.playMode != 0) continue;
    TAP_SPrint(progress.text, "%d: %d kB", static_cast<int>(_Stream_Block_Ok),
               static_cast<int>(_StreamFileSize / 1024));
    // Once per run: the play record shows a start only from the next event.
    if (_StreamFileSize > kPlayThreshold && !run.playerStarted) {
      progress.show();
      StartPlayer();
    }
  }
}

// The player after the run's first start. A player that ran dry (an outage)
// is started again once Stream.ts has grown by about a segment since it was
// seen ended, at most once a step. A list that has ended and is all in
// Stream.ts plays whatever its size.
void WatchPlayer(void) {
  if (_PlayFile.playMode != 0 || run.diskFull) {
    run.playerEndedAt = -1;
    return;
  }
  if (!run.playerStarted) {
    if (run.ended && run.lastStarted >= run.lastListed && _Stream_Block_Ok == _Stream_Block && _StreamFileSize > 0)
      StartPlayer();
    return;
  }
  if (run.playerEndedAt < 0) {
    run.playerEndedAt = _StreamFileSize;
    return;
  }
  int64_t segment = run.lastChunkBytes > 188 ? run.lastChunkBytes : 188;
  if (_StreamFileSize - run.playerEndedAt < segment) return;
  Fail("Picture back", "the player ran dry and is started again on", "/mnt/hd/MediaFiles/tmp/Stream.ts");
  StartPlayer();
}

// Makes a Chunk of a segment; false when it cannot be fetched (told).
bool ChunkOf(const PlaylistSegment& segment, Chunk& chunk) {
  if (!UsableChunk(chunkListBase, segment, chunk.url)) return false;
  chunk.sequence = segment.sequence;
  chunk.lineHash = segment.lineHash;
  chunk.id = SegmentId(segment);
  chunk.rangeStart = segment.rangeStart;
  chunk.rangeLength = segment.rangeLength;
  return KeyFor(segment, chunkListBase, chunk);
}

// The chunk ring tells segments apart by URL, and by byte range within one.
int RingTest(const Chunk& chunk) {
  if (chunk.rangeStart < 0) return StremDlTest(chunk.url);
  char identity[StreamUrlSize + 48];
  snprintf(identity, sizeof identity, "%s bytes=%lld-%lld", chunk.url, static_cast<long long>(chunk.rangeStart),
           static_cast<long long>(chunk.rangeLength));
  return StremDlTest(identity);
}

// The chunks to start in this step, oldest first, into `chunk`; how many.
// A channel's first step takes the last three of a live list, or the first
// three of one that has ended. Later steps take, where segments are told
// apart by number, every listed segment after the last one started (up to
// the ring's ten jobs under way), and otherwise the last three. -1 when a
// key cannot be had ("Encrypted" has said so).
int32_t SelectStep(Chunk (&chunk)[StreamRingSize]) {
  uint32_t k = 0;
  if (_Stream_Block != 0 && run.bySequence) {
    uint32_t busy = _Stream_Block - _Stream_Block_Ok;
    for (uint32_t i = 0; i < list.windowCount && k + busy < StreamRingSize; ++i) {
      const PlaylistSegment& segment = list.window[i];
      if (segment.sequence <= run.lastStarted) continue;
      // A last line without its line end may still be being written.
      if (!segment.terminated) break;
      if (ChunkOf(segment, chunk[k])) {
        ++k;
      } else if (chunk[k].url[0] == '\0') {
        run.lastStarted = segment.sequence;  // skipped alone
        run.lastStartedId = SegmentId(segment);
      } else {
        return k > 0 ? k : -1;  // no key: the rest waits
      }
    }
    return static_cast<int32_t>(k);
  }
  uint32_t count = list.segmentCount;
  uint32_t from = count > StreamMaxChunks ? count - StreamMaxChunks : 0;
  if (_Stream_Block == 0 && list.ended) from = 0;
  for (uint32_t i = from; i < count && k < StreamMaxChunks; ++i) {
    const PlaylistSegment* segment = SegmentAt(list, i);
    if (segment == nullptr) continue;
    if (!list.media && (segment->opensText || !segment->terminated)) break;
    if (!segment->terminated) continue;
    if (ChunkOf(*segment, chunk[k]))
      ++k;
    else if (chunk[k].url[0] != '\0')
      return -1;  // no key: nothing this step
  }
  return static_cast<int32_t>(k);
}

// What a fresh list says of the run: a sequence that went back is a server's
// restart, so the ring starts anew; which jobs the server still lists.
void FollowList(void) {
  if (run.bySequence && run.firstListed >= 0 && list.hasSequence && list.mediaSequence < run.firstListed) {
    memset(_OrvadoDlTsFileName_OK, 0, sizeof _OrvadoDlTsFileName_OK);
    run.lastStarted = list.mediaSequence - 1;
    run.lastStartedId = 0;
    Fail(nullptr, "the list's sequence went back, the server restarted:", _OrvadoChunkListURL);
  }
  // Some servers keep the sequence number while the window moves on (one
  // growing file, say): the number of the segment started last then names
  // another one. The run goes on from where that segment stands now, or
  // from the list's first when it has left.
  if (run.bySequence && run.lastStartedId != 0) {
    const PlaylistSegment* numbered = nullptr;
    for (uint32_t i = 0; i < list.windowCount && numbered == nullptr; ++i)
      if (list.window[i].sequence == run.lastStarted) numbered = &list.window[i];
    if (numbered != nullptr && SegmentId(*numbered) != run.lastStartedId) {
      const PlaylistSegment* same = nullptr;
      for (uint32_t i = 0; i < list.windowCount; ++i)
        if (SegmentId(list.window[i]) == run.lastStartedId) same = &list.window[i];
      Fail(nullptr, "the list's sequence numbers do not follow its segments:", _OrvadoChunkListURL);
      run.lastStarted = same != nullptr ? same->sequence : list.window[0].sequence - 1;
    }
  }
  run.firstListed = list.mediaSequence;
  run.ended = list.ended;
  run.lastListed = list.mediaSequence + list.segmentCount - 1;
  MarkListedJobs(list, run.bySequence, _Stream_Block_Ok);
}

// After a failed start on a variant of a master playlist, the next one down.
void LowerVariant(void) {
  if (VariantChoices < 2) return;
  ++VariantSkip;
  if (VariantSkip % VariantChoices != 0)
    Fail("Lower variant", "trying the next variant down after", _OrvadoChunkListURL);
}

}  // namespace

void StreamChannelStarted(void) {
  VariantSkip = 0;
  VariantChoices = 0;
}

void stream(void) {
  if (_StreamNr < 1 || _StreamNr > 9) return;
  if (_Stream_Block != 0 && run.diskFull) return;
  if (_Stream_Block == 0 && !Prepare()) return;
  bool starting = _Stream_Block == 0;

  // The log scan, the appends and the player go on whether or not the list
  // came: what has downloaded already reaches Stream.ts.
  char* text = FetchChunkList();
  if (text != nullptr) {
    // The window keeps the segment started last, which FollowList checks.
    ParsePlaylist(text, !starting && run.bySequence ? run.lastStarted : -1, &list);
    if (starting) run.bySequence = list.hasSequence || list.ended;
    WatchPlaylist(list, _tick);
    if (!starting) FollowList();
    // Chunks that are encrypted in a way the receiver cannot undo, and
    // fragmented MP4 ones, would only ever be "Read err": the user is told
    // why instead, and nothing is fetched.
    StepResult refused = StepOk();
    if (list.lastKey.method == KEY_OTHER)
      refused = Fail("Encrypted", "the chunks are encrypted (not AES-128):", _OrvadoChunkListURL, -1, SHOW_ONCE);
    else if (FragmentedMp4(list))
      refused = Fail("No TS stream", "the chunks are fragmented MP4:", _OrvadoChunkListURL, -1, SHOW_ONCE);
    static Chunk chunk[StreamRingSize];
    int32_t selected = refused.ok ? SelectStep(chunk) : -1;
    uint32_t k = selected > 0 ? static_cast<uint32_t>(selected) : 0;
    TAP_MemFree(text);
    if (starting && selected >= 0) {
      // No chunk in the list: nothing to start from, so the start is retried.
      if (k == 0) {
        Fail("Start ts err", "no chunk in", _OrvadoChunkListURL);
        LowerVariant();
        return;
      }
      if (!FetchFirstChunk(chunk[0])) {
        LowerVariant();
        return;
      }
      strcpy(_OrvadoDlTsFileName_OK[StreamRingSize - 1], chunk[0].url);
      _Stream_Block = 1;
      _Stream_Block_Ok = 1;
      memset(&run, 0, sizeof run);
      ResetJobs();
      run.bySequence = list.hasSequence || list.ended;
      run.lastStarted = chunk[0].sequence;
      run.lastStartedId = chunk[0].id;
      run.firstListed = list.mediaSequence;
      run.ended = list.ended;
      run.lastListed = list.mediaSequence + list.segmentCount - 1;
      run.playerEndedAt = -1;
      HDD_ChangeDir(kMediaTmpDir);
      uint64_t size = 0;
      if (HDD_GetFileSizeAndInode("Stream.ts", nullptr, &size)) _StreamFileSize = static_cast<int64_t>(size);
      run.lastChunkBytes = _StreamFileSize;
      // The newest chunk waits for the next step; the first is in already.
      for (uint32_t i = 1; i + 1 < k; ++i) chunk[i - 1] = chunk[i];
      k = k >= 2 ? k - 2 : 0;
    }
    for (uint32_t i = 0; i < k; ++i) {
      if (RingTest(chunk[i]) != 0 && StartJob(_Stream_Block, chunk[i])) ++_Stream_Block;
      if (chunk[i].sequence > run.lastStarted) {
        run.lastStarted = chunk[i].sequence;
        run.lastStartedId = chunk[i].id;
      }
    }
  } else if (starting) {
    LowerVariant();
  }
  if (_Stream_Block == 0) return;
  AppendFinishedChunks();
  WatchPlayer();
}
