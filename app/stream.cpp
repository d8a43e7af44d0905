// The download pipeline: one step per call. wget fetches the playlists and
// the first chunk synchronously, each within a time limit, and every later
// chunk in the background; the step appends finished chunks to Stream.ts in
// the order they were started. Each playlist is read once, into a Playlist
// (ParsePlaylist), and every decision reads that. Every failure goes through
// Fail: a word on the status line and a line in the log.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/PlayMediaFile.h"
#include "app/ResolveUrl.h"
#include "app/orvado.h"
#include "app/stream_internal.h"
#include "lib/files/files.h"

using namespace stream_internal;

namespace {

constexpr uint32_t kMinListLength = 10;
constexpr uint32_t kProgressSeconds = 10;
constexpr int64_t kPlayThreshold = 7000000;
// Or this much of the stream, whichever comes first: radio and low bitrates
// would take minutes to fill 7,000,000 bytes.
constexpr uint32_t kPlayMs = 20000;
// How long a run stays on a lower variant before the best is tried again.
constexpr uint32_t kBestAgainTicks = 60 * 100;

// Seconds that each synchronous fetch may take at most. Together they keep
// the first step of a channel, the longest, within about 15 seconds.
constexpr uint32_t kPlaylistSeconds = 3;
constexpr uint32_t kFirstChunkSeconds = 8;

// The playlist read in this step; its spans point into the text being read.
Playlist list;
// The chunk list of the sound's rendition read in this step, likewise.
Playlist soundList;

// How a synchronous fetch ended.
enum Fetched { FETCH_OK, FETCH_FAILED, FETCH_GONE, FETCH_REFUSED };

// True when wget's log `log` says the server refused the request (HTTP 401
// or 403), as for a token that has expired.
bool SaysRefused(const char* log) {
  return log != nullptr && (strstr(log, "ERROR 401") != nullptr || strstr(log, "ERROR 403") != nullptr ||
                            strstr(log, " 401 Unauthorized") != nullptr || strstr(log, " 403 Forbidden") != nullptr);
}

// True when wget's log `log` says the server answered that the resource is
// gone (HTTP 404 or 410).
bool SaysGone(const char* log) {
  return log != nullptr && (strstr(log, "ERROR 404") != nullptr || strstr(log, "ERROR 410") != nullptr ||
                            strstr(log, " 404 Not Found") != nullptr || strstr(log, " 410 Gone") != nullptr);
}

// Runs a synchronous fetch `command` of `requested` into the file `name` of
// the settings folder and loads it; null, after the failure that says where
// it went wrong, when the step ends (*fetched then says whether the server
// called the file gone). `finalUrl` receives the URL that wget's redirects,
// told in its log `logName`, led to: what the file's relative URIs resolve
// against. `words` are the step's words for a failed fetch, a missing file
// and a short one.
char* FetchText(const char* command, const char* requested, const char* logName, char* finalUrl, const char* name,
                const char* const (&words)[3], Fetched* fetched, bool quietRefusal = false) {
  *fetched = FETCH_FAILED;
  int result = system(command);
  HDD_ChangeDir(SettingsDir);
  char* log = nullptr;
  if (TAP_Hdd_Exist(logName)) ReadText(logName, 1, &log);
  if (result != 0) {
    int status = ExitStatus(result);
    if (SaysGone(log)) *fetched = FETCH_GONE;
    if (SaysRefused(log)) *fetched = FETCH_REFUSED;
    if (log != nullptr) TAP_MemFree(log);
    if (quietRefusal && *fetched != FETCH_FAILED)
      Fail(nullptr, "the chunk list was refused; asking the master playlist for a fresh one:", requested, status);
    else if (status == CannotExecute || status == NotFound)
      Fail("wget Error", "the downloader cannot be started:", Run.wget, status, SHOW_ONCE);
    else if (status == WgetTlsError)
      Fail("TLS Error", "the server's certificate was refused:", requested, status, SHOW_ONCE);
    else
      Fail(words[0], "the fetch failed:", requested, status);
    return nullptr;
  }
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
    snprintf(unzip, sizeof unzip, "gunzip -c %s%s > %s%s.unz 2>/dev/null && mv %s%s.unz %s%s", ORVADO_SETTINGS, name,
             ORVADO_SETTINGS, name, ORVADO_SETTINGS, name, ORVADO_SETTINGS, name);
    if (system(unzip) != 0) {
      Fail("Gzip list", "cannot unpack the gzip-compressed list", requested, -1, SHOW_ONCE);
      return nullptr;
    }
    HDD_ChangeDir(SettingsDir);
    read = ReadText(name, kMinListLength, &text);
  }
  switch (read) {
    case READ_OK: *fetched = FETCH_OK; return text;
    case READ_CANNOT_OPEN: Fail(words[1], "wget left no file", name); break;
    case READ_TOO_SHORT: Fail(words[2], "a file shorter than 10 bytes:", name); break;
    case READ_NO_MEMORY: Fail(nullptr, "no memory to read", name); break;
  }
  return nullptr;
}

// Fetches the channel's playlist at `url` into playlist.txt and loads it;
// null when it did not come (told, and *fetched says how). `finalUrl`
// (StreamUrlSize bytes) receives where redirects led.
char* FetchPlaylist(const char* url, char* finalUrl, Fetched* fetched) {
  char command[CommandSize];
  WgetFetch fetch = {url,
                     ORVADO_SETTINGS "playlist.txt",
                     ORVADO_SETTINGS "playlist.log",
                     kPlaylistSeconds,
                     kPlaylistSeconds,
                     1,
                     -1,
                     0,
                     false,
                     0};
  *fetched = FETCH_FAILED;
  if (!WgetCommand(command, fetch, "URL >> 1").ok) return nullptr;
  static const char* const kWords[3] = {"Pl 2\tError", "Pl 3 Error", "Pl 4 Error"};
  return FetchText(command, url, "playlist.log", finalUrl, "playlist.txt", kWords, fetched);
}

// First step of a channel: base URL, playlist, and for a master playlist the
// variant. False when the step ends (*fetched says how the playlist fetch
// ended).
bool Prepare(Fetched* fetched) {
  *fetched = FETCH_OK;
  system("rm -f " ORVADO_SETTINGS "*.lok " ORVADO_SETTINGS "*.pid");
  const char* url = _OrvadoURL[_StreamNr - 1];
  snprintf(Run.baseUrl, sizeof Run.baseUrl, "%.*s", static_cast<int>(StreamUrlSize - 1), url);
  char* slash = strrchr(Run.baseUrl, '/');
  if (slash == nullptr) return Fail("No URL set", "the channel has no playlist URL:", url, -1, SHOW_ONCE).ok;
  // The playlist itself, until a master playlist names a variant.
  memcpy(Run.chunkListUrl, Run.baseUrl, sizeof Run.chunkListUrl);
  snprintf(Run.chunkName, sizeof Run.chunkName, "%s", slash + 1);
  *slash = '\0';
  Run.wget = ChooseDownloader();
  HDD_ChangeDir(SettingsDir);
  TAP_Hdd_Delete("playlist.txt");
  if (TAP_Hdd_Exist("playlist.txt")) return Fail("Pl 1 Error", "cannot remove", "playlist.txt").ok;
  char finalUrl[StreamUrlSize];
  char* text = FetchPlaylist(Run.chunkListUrl, finalUrl, fetched);
  if (text == nullptr) return false;
  ParsePlaylist(text, -1, &list);
  // A master playlist holds variants, a media playlist segments; only a list
  // with neither tag is told by a ".ts" in it. Variants resolve against
  // where a redirect led.
  if (list.master) memcpy(Run.chunkListUrl, finalUrl, sizeof Run.chunkListUrl);
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

// Fetches the chunk list at `url` into chlist.txt and loads it; null when it
// did not come (told, and *fetched says how).
char* FetchChunkList(const char* url, Fetched* fetched, bool quietRefusal = false) {
  *fetched = FETCH_FAILED;
  HDD_ChangeDir(SettingsDir);
  TAP_Hdd_Delete("chlist.txt");
  if (TAP_Hdd_Exist("chlist.txt")) {
    Fail("CL 1 Error", "cannot remove", "chlist.txt");
    return nullptr;
  }
  char command[CommandSize];
  WgetFetch fetch = {url,
                     ORVADO_SETTINGS "chlist.txt",
                     ORVADO_SETTINGS "chlist.log",
                     kPlaylistSeconds,
                     kPlaylistSeconds,
                     1,
                     -1,
                     0,
                     false,
                     0};
  if (!WgetCommand(command, fetch, "URL >> 1").ok) return nullptr;
  static const char* const kWords[3] = {"CL 2 Error", "CL 3 Error", "CL 4 Error"};
  return FetchText(command, url, "chlist.log", Run.chunkListBase, "chlist.txt", kWords, fetched, quietRefusal);
}

// Fetches the chunk list of the sound's rendition into slist.txt, within the
// chunk list's limits, and reads it into soundList; null when the run has no
// such rendition or the list did not come (told: the picture plays alone).
char* FetchSoundList(void) {
  if (Run.soundListUrl[0] == '\0') return nullptr;
  HDD_ChangeDir(SettingsDir);
  TAP_Hdd_Delete("slist.txt");
  char command[CommandSize];
  WgetFetch fetch = {Run.soundListUrl,
                     ORVADO_SETTINGS "slist.txt",
                     ORVADO_SETTINGS "slist.log",
                     kPlaylistSeconds,
                     kPlaylistSeconds,
                     1,
                     -1,
                     0,
                     false,
                     0};
  if (!WgetCommand(command, fetch, "Sound apart").ok) return nullptr;
  static const char* const kWords[3] = {"Sound apart", "Sound apart", "Sound apart"};
  Fetched fetched;
  char* text = FetchText(command, Run.soundListUrl, "slist.log", Run.soundListBase, "slist.txt", kWords, &fetched);
  if (text != nullptr) ParsePlaylist(text, -1, &soundList);
  return text;
}

// Puts the rendition's sound, fetched into the file `soundPath` (null: none
// came) for `sound`, into the chunk file `path`, which holds the picture as
// TS. Sound of another form is made TS first. Without its sound the picture
// plays alone, and "Sound apart" says why. False when the picture cannot be
// written.
bool MergeSound(const char* path, const char* soundPath, const Chunk* sound) {
  bool ok =
      soundPath != nullptr && sound != nullptr && (!sound->encrypted || DecryptFile(soundPath, sound->key, sound->iv));
  if (ok)
    ok = sound->map != 0 ? Fmp4ChunkToTs(soundPath, *sound, &Run.convert, nullptr)
                         : ChunkToTs(soundPath, &Run.convert, nullptr);
  if (!ok) Fail("Sound apart", "no sound from the rendition for", sound != nullptr ? sound->url : path, -1, SHOW_ONCE);
  return MergeSoundChunk(path, ok ? soundPath : nullptr, &Run.merge);
}

// Makes the chunk file at the Linux path `path` TS when it is of another
// form: fragmented MP4 when `chunk` (may be null) has an init segment,
// packed audio by its content; TS stays as it came. *fetched receives its
// size as it came. False, told, when it could not be made TS.
bool ConvertChunk(const char* path, const Chunk* chunk, int64_t* fetched) {
  if (chunk != nullptr && chunk->map != 0) return Fmp4ChunkToTs(path, *chunk, &Run.convert, fetched);
  return ChunkToTs(path, &Run.convert, fetched);
}

// The first chunk goes straight into Stream.ts. False, with Stream.ts gone,
// when it did not come whole or is no transport stream.
bool FetchFirstChunk(const Chunk& chunk, const Chunk* sound) {
  char command[CommandSize];
  WgetFetch fetch = {chunk.url,
                     ORVADO_STREAM_TS,
                     nullptr,
                     kFirstChunkSeconds,
                     kFirstChunkSeconds,
                     1,
                     chunk.rangeStart,
                     chunk.rangeLength,
                     false,
                     0};
  if (!WgetCommand(command, fetch, "Start ts err").ok) return false;
  int result = system(command);
  bool plain = result == 0 && (!chunk.encrypted || DecryptFile(ORVADO_STREAM_TS, chunk.key, chunk.iv));
  int64_t fetched = -1;
  bool converted = plain && ConvertChunk(ORVADO_STREAM_TS, &chunk, &fetched);
  if (converted && Run.soundListUrl[0] != '\0') {
    const char* soundPath = nullptr;
    WgetFetch soundFetch = {sound != nullptr ? sound->url : "",
                            ORVADO_TMP "tmp0s.ts",
                            nullptr,
                            kFirstChunkSeconds,
                            kFirstChunkSeconds,
                            1,
                            sound != nullptr ? sound->rangeStart : -1,
                            sound != nullptr ? sound->rangeLength : 0,
                            false,
                            0};
    if (sound != nullptr && WgetCommand(command, soundFetch, "Sound apart").ok && system(command) == 0)
      soundPath = ORVADO_TMP "tmp0s.ts";
    converted = MergeSound(ORVADO_STREAM_TS, soundPath, sound);
    unlink(ORVADO_TMP "tmp0s.ts");
  }
  HDD_ChangeDir(MediaTmpDir);
  int64_t size = converted ? TransportStreamSize("Stream.ts") : -1;
  // A server that ignores the range sends the whole file.
  bool whole = size > 0 && (chunk.rangeLength <= 0 || fetched == chunk.rangeLength);
  if (whole) return true;
  TAP_Hdd_Delete("Stream.ts");
  int status = ExitStatus(result);
  if (status == CannotExecute || status == NotFound) {
    Fail("wget Error", "the downloader cannot be started:", Run.wget, status, SHOW_ONCE);
    return false;
  }
  if (status == WgetTlsError) {
    Fail("TLS Error", "the server's certificate was refused:", chunk.url, status, SHOW_ONCE);
    return false;
  }
  Fail("Start ts err",
       result != 0  ? "the first chunk failed:"
       : !plain     ? "the first chunk cannot be decrypted:"
       : !converted ? "the first chunk cannot be made transport stream:"
       : size > 0   ? "the first chunk does not match its byte range:"
                    : "the first chunk is no transport stream:",
       chunk.url, status);
  if (status == WgetFileError) Fail("Disk full", "cannot write", ORVADO_STREAM_TS, -1, SHOW_ONCE);
  return false;
}

// The disk takes no more: the run's downloads stop and what they left goes,
// so the player keeps what Stream.ts holds.
void StopForFullDisk(const char* file) {
  Fail("Disk full", "no room for", file);
  Run.diskFull = true;
  KillTask("wget");
  system("rm -f " ORVADO_TMP "tmp*.ts");
}

// Appends chunk n of `bytes` bytes to Stream.ts (the media folder is the
// current directory) and gives Stream.ts's new size; false, with Stream.ts as
// it was, when the disk cannot take the chunk whole.
bool AppendChunk(uint32_t n, int64_t bytes, uint64_t* size) {
  int64_t room = FreeDiskBytes(ORVADO_TMP);
  if (room >= 0 && room < bytes) return false;
  uint64_t before = 0;
  if (!HDD_GetFileSizeAndInode("Stream.ts", nullptr, &before)) before = 0;
  char command[CommandSize];
  snprintf(command, sizeof command, "cat " ORVADO_TMP "tmp%u.ts >> " ORVADO_STREAM_TS, n);
  system(command);
  uint64_t after = 0;
  HDD_GetFileSizeAndInode("Stream.ts", nullptr, &after);
  *size = after;
  if (after == before + static_cast<uint64_t>(bytes)) return true;
  // Cut back to the last whole chunk. dd truncates at its seek offset, and
  // unlike truncate(1) it is in every shell's tool set.
  snprintf(command, sizeof command, "dd if=/dev/null of=" ORVADO_STREAM_TS " bs=1 seek=%llu 2>/dev/null",
           static_cast<unsigned long long>(before));
  system(command);
  return false;
}

// Starts the player on Stream.ts; the play record shows it from the next event.
void StartPlayer(void) {
  cls();
  HDD_ChangeDir(MediaTmpDir);
  Run.playerStarted = PlayMediaFile("Stream.ts") == 1;
  Run.playerSeen = false;
  if (!Run.playerStarted) {
    Fail(nullptr, "the player did not start on", ORVADO_STREAM_TS);
  } else if (Run.pictureBack) {
    Run.pictureBack = false;
    Fail("Picture back", "the player starts on the new", ORVADO_STREAM_TS);
  }
}

// How the log of job n stands: complete, failed (with wget's status) or
// still loading. A job that will never finish its log by itself counts as
// failed with TimedOut.
ChunkLogState JudgeJob(uint32_t n, const char* name, int32_t* status) {
  *status = -1;
  ChunkLogState state = CHUNK_LOADING;
  if (TAP_Hdd_Exist(name)) {
    char* log = nullptr;
    ReadResult read = ReadText(name, 1, &log);
    if (read == READ_NO_MEMORY) Fail(nullptr, "no memory to read", name);
    if (read == READ_OK) {
      state = JudgeChunkLog(log, status);
      TAP_MemFree(log);
    }
  }
  if (state == CHUNK_LOADING && JobLost(n, _tick)) {
    const ChunkJob* job = JobFor(n);
    Fail(nullptr,
         job->startFailed ? "a chunk job that never started:" : "a chunk job past its deadline:", job->chunk.url);
    *status = TimedOut;
    state = CHUNK_FAILED;
  }
  return state;
}

// Appends finished chunks in number order until one is missing, still
// loading or failed; starts the player once Stream.ts is large enough.
void AppendFinishedChunks(void) {
  char name[48];  // "tmp%u.ts" and "%u.lok" for any 32-bit n, or the Linux path of a chunk
  char message[24];
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
    HDD_ChangeDir(SettingsDir);
    uint32_t n = Run.blockOk;
    snprintf(name, sizeof name, "%u.lok", n);
    int32_t status = -1;
    ChunkLogState state = JudgeJob(n, name, &status);
    if (state == CHUNK_LOADING) return;
    if (state == CHUNK_FAILED && !Run.diskFull && RetryJob(n, status)) return;
    int64_t bytes = -1;
    const ChunkJob* job = JobFor(n);
    // With a rendition every chunk goes through the merge, with its sound
    // when that came by the chunk's deadline.
    const bool merge = Run.soundListUrl[0] != '\0';
    char soundPath[48];
    snprintf(soundPath, sizeof soundPath, ORVADO_TMP "tmp%us.ts", n);
    bool soundCame = false;
    if (state == CHUNK_COMPLETE && merge && job != nullptr && job->soundPending &&
        static_cast<int32_t>(_tick - job->soundWait) < 0)
      return;
    if (state == CHUNK_COMPLETE && merge && job != nullptr && job->withSound) {
      snprintf(name, sizeof name, "%us.lok", n);
      int32_t soundStatus = -1;
      char* log = nullptr;
      ChunkLogState sound = CHUNK_LOADING;
      if (TAP_Hdd_Exist(name) && ReadText(name, 1, &log) == READ_OK) {
        sound = JudgeChunkLog(log, &soundStatus);
        TAP_MemFree(log);
      }
      if (sound == CHUNK_LOADING && static_cast<int32_t>(_tick - job->deadline) < 0) return;
      if (sound == CHUNK_LOADING) {
        // Past the deadline: its wget is ended, and the picture plays alone.
        char kill[160];
        snprintf(kill, sizeof kill, "kill $(cat " ORVADO_SETTINGS "%us.pid) 2>/dev/null", n);
        system(kill);
      }
      soundCame = sound == CHUNK_COMPLETE;
    }
    bool plain = true;
    bool converted = true;
    bool ranged = false;
    if (state == CHUNK_COMPLETE) {
      snprintf(name, sizeof name, ORVADO_TMP "tmp%u.ts", n);
      if (job != nullptr && job->chunk.encrypted) plain = DecryptFile(name, job->chunk.key, job->chunk.iv);
      int64_t fetched = -1;
      converted = plain && ConvertChunk(name, job != nullptr ? &job->chunk : nullptr, &fetched);
      if (converted && merge)
        converted =
            MergeSound(name, soundCame ? soundPath : nullptr, job != nullptr && job->withSound ? &job->sound : nullptr);
      HDD_ChangeDir(MediaTmpDir);
      snprintf(name, sizeof name, "tmp%u.ts", n);
      if (converted) bytes = TransportStreamSize(name);
      // A server that ignores the range sends the whole file.
      ranged = bytes >= 0 && job != nullptr && job->chunk.rangeLength > 0 && fetched != job->chunk.rangeLength;
      if (ranged) bytes = -1;
    }
    if (bytes < 0) {
      // Failed, or not video: left out, its log and file stay for a look.
      progress.show();
      snprintf(message, sizeof message, "%u Read err", n);
      snprintf(name, sizeof name, "tmp%u.ts", n);
      Fail(message,
           state != CHUNK_COMPLETE ? "a chunk download failed:"
           : !plain                ? "a chunk that cannot be decrypted:"
           : !converted            ? "a chunk that cannot be made transport stream:"
           : ranged                ? "a chunk that does not match its byte range:"
                                   : "a chunk that is no transport stream:",
           job != nullptr ? job->chunk.url : name, status, SHOW_LONG);
      Run.blockOk = n + 1;
      if (status == WgetFileError) StopForFullDisk(name);
      return;
    }
    uint64_t size = 0;
    if (!AppendChunk(n, bytes, &size)) {
      StopForFullDisk(ORVADO_STREAM_TS);
      return;
    }
    Run.fileSize = static_cast<int64_t>(size);
    Run.lastChunkBytes = bytes;
    if (job != nullptr) Run.msAppended += job->chunk.durationMs;
    TAP_Hdd_Delete(name);
    if (merge) unlink(soundPath);
    HDD_ChangeDir(SettingsDir);
    snprintf(name, sizeof name, "%u.lok", n);
    TAP_Hdd_Delete(name);
    snprintf(name, sizeof name, "%u.pid", n);
    TAP_Hdd_Delete(name);
    if (merge) {
      snprintf(name, sizeof name, "%us.lok", n);
      TAP_Hdd_Delete(name);
      snprintf(name, sizeof name, "%us.pid", n);
      TAP_Hdd_Delete(name);
    }
    Run.blockOk = n + 1;
    if (_PlayFile.playMode != 0) continue;
    snprintf(progress.text, sizeof progress.text, "%d: %d kB", static_cast<int>(Run.blockOk),
             static_cast<int>(Run.fileSize / 1024));
    // Once per Stream.ts: the play record shows a start only from the next event.
    if ((Run.fileSize > kPlayThreshold || Run.msAppended >= kPlayMs) && !Run.playerStarted) {
      progress.show();
      StartPlayer();
    }
  }
}

// After an outage the player has run dry: what it would play next is minutes
// behind live. Stream.ts begins anew with the newest segments, as at a
// channel start, and the player starts on it by the same rule.
void RestartAtLiveEdge(void) {
  Fail(nullptr, "the player ran dry; the stream begins anew at the live edge in", ORVADO_STREAM_TS);
  KillTask("wget");
  system("rm -f " ORVADO_TMP "* " ORVADO_SETTINGS "*.lok " ORVADO_SETTINGS "*.pid");
  // The jobs under way were ended before their chunks were appended: the
  // ring must not refuse those segments to the new file.
  memset(Run.jobs, 0, sizeof Run.jobs);
  memset(Run.ring, 0, sizeof Run.ring);
  ChunkToTsReset(&Run.convert);
  TsMergeReset(&Run.merge);
  Run.block = 0;
  Run.blockOk = 0;
  Run.fileSize = 0;
  Run.msAppended = 0;
  Run.playerStarted = false;
  Run.playerSeen = false;
  Run.pictureBack = true;
}

// The player after the run's first start. One that ran dry (an outage)
// starts the stream anew at the live edge. A list that has ended and is all
// in Stream.ts plays whatever its size.
void WatchPlayer(void) {
  if (Run.diskFull) return;
  if (_PlayFile.playMode != 0) {
    Run.playerSeen = Run.playerStarted;
    // The black screen of a radio channel is explained while it plays.
    if (Run.soundOnly && _tick - Run.soundShownTick >= 1000) {  // shown for 10 s, again after
      Fail("Sound only", "the stream has no picture, only sound:", Run.chunkListUrl, -1, SHOW_LONG);
      Run.soundShownTick = _tick;
    }
    return;
  }
  if (!Run.playerStarted) {
    if (Run.ended && Run.lastStarted >= Run.lastListed && Run.blockOk == Run.block && Run.fileSize > 0) StartPlayer();
    return;
  }
  // Only a player seen playing has run dry; the record shows a start only
  // from the next event.
  if (Run.playerSeen && !Run.ended) RestartAtLiveEdge();
}

// What a fresh list says of the run: a sequence that went back is a server's
// restart, so the ring starts anew; which jobs the server still lists.
void FollowList(void) {
  if (Run.bySequence && Run.firstListed >= 0 && list.hasSequence && list.mediaSequence < Run.firstListed) {
    memset(Run.ring, 0, sizeof Run.ring);
    Run.lastStarted = list.mediaSequence - 1;
    Run.lastStartedId = 0;
    Fail(nullptr, "the list's sequence went back, the server restarted:", Run.chunkListUrl);
  }
  // Some servers keep the sequence number while the window moves on (one
  // growing file, say): the number of the segment started last then names
  // another one. The run goes on from where that segment stands now, or
  // from the list's first when it has left.
  if (Run.bySequence && Run.lastStartedId != 0) {
    const PlaylistSegment* numbered = nullptr;
    for (uint32_t i = 0; i < list.windowCount && numbered == nullptr; ++i)
      if (list.window[i].sequence == Run.lastStarted) numbered = &list.window[i];
    if (numbered != nullptr && SegmentId(*numbered) != Run.lastStartedId) {
      const PlaylistSegment* same = nullptr;
      for (uint32_t i = 0; i < list.windowCount; ++i)
        if (SegmentId(list.window[i]) == Run.lastStartedId) same = &list.window[i];
      Fail(nullptr, "the list's sequence numbers do not follow its segments:", Run.chunkListUrl);
      Run.lastStarted = same != nullptr ? same->sequence : list.window[0].sequence - 1;
    }
  }
  Run.firstListed = list.mediaSequence;
  Run.ended = list.ended;
  Run.lastListed = list.mediaSequence + list.segmentCount - 1;
  MarkListedJobs(list, Run.bySequence, Run.blockOk);
}

// A start that failed on a variant of a master playlist: the next variant
// down, once the failure has come twice in a row or the server said the
// list is gone. Not while the stream begins anew after an outage: the
// variant did play.
void StartFailed(bool gone) {
  ++Run.listFailures;
  if (Run.variantChoices < 2 || Run.pictureBack || (!gone && Run.listFailures < 2)) return;
  Run.listFailures = 0;
  ++Run.variantSkip;
  Run.bestTriedTick = _tick;
  if (Run.variantSkip % Run.variantChoices != 0)
    Fail("Lower variant", "trying the next variant down after", Run.chunkListUrl);
}

// On a lower variant, about once a minute the best one's list is fetched
// instead; when it comes, the run goes back up to it. Its sequence numbers
// go on from the lower one's where they match, else it starts at its
// newest segments. Null when it did not come, or it is not the time.
char* TryBestVariant(void) {
  if (Run.block == 0 || Run.variantChoices < 2 || Run.variantSkip % Run.variantChoices == 0 ||
      Run.bestListUrl[0] == '\0' || _tick - Run.bestTriedTick < kBestAgainTicks)
    return nullptr;
  Run.bestTriedTick = _tick;
  Fetched fetched;
  char* text = FetchChunkList(Run.bestListUrl, &fetched);
  if (text == nullptr) return nullptr;
  Playlist* best = &list;
  ParsePlaylist(text, -1, best);
  if (best->segmentCount == 0 || best->master) {
    TAP_MemFree(text);
    return nullptr;
  }
  int64_t last = best->mediaSequence + best->segmentCount - 1;
  if (!Run.bySequence || Run.lastStarted < best->mediaSequence - 1 || Run.lastStarted > last)
    Run.lastStarted = last - StreamMaxChunks;
  Run.lastStartedId = 0;
  Run.variantSkip = 0;
  memcpy(Run.chunkListUrl, Run.bestListUrl, sizeof Run.chunkListUrl);
  Fail("Best variant", "back on the best variant:", Run.chunkListUrl);
  return text;
}

// A chunk list that worked is refused (its token expired, say): the master
// playlist, fetched again, hands out its variants' lists anew. The run
// follows the same variant (by bandwidth and resolution) under its new URL
// and goes on with the next sequence number. False when that fails (told).
bool FreshVariantList(void) {
  char finalUrl[StreamUrlSize];
  Fetched fetched;
  char* text = FetchPlaylist(_OrvadoURL[_StreamNr - 1], finalUrl, &fetched);
  if (text == nullptr) return false;
  ParsePlaylist(text, -1, &list);
  bool found = false;
  for (uint32_t i = 0; i < list.variantCount && !found; ++i) {
    const PlaylistVariant& v = list.variant[i];
    if (v.uri.at == nullptr || v.bandwidth != Run.variantBandwidth || !SameText(v.resolution, Run.variantResolution))
      continue;
    char url[StreamUrlSize];
    found = ResolveUrl(finalUrl, v.uri.at, v.uri.length, url, sizeof url) && ShellSafe(url);
    if (found) memcpy(Run.chunkListUrl, url, sizeof url);
  }
  TAP_MemFree(text);
  if (!found) Fail("CL 2 Error", "the master playlist no longer offers the variant of", Run.chunkListUrl);
  return found;
}

// A channel's first chunk is in Stream.ts: the run begins. The newest chunk
// waits for the next step; the ones between become jobs. Returns how many
// of `chunk` are left to start.
// Whether Stream.ts, which holds the first chunk, carries a picture (as
// TsPicture says).
int FirstChunkPicture(void) {
  constexpr uint32_t kHead = 188 * 64;
  TYPE_File* file = TAP_Hdd_Fopen("Stream.ts");
  if (file == nullptr) return -1;
  uint32_t length = TAP_Hdd_Flen(file);
  uint32_t want = length < kHead ? length - length % 188 : kHead;
  uint8_t* head = want > 0 ? static_cast<uint8_t*>(TAP_MemAlloc(want)) : nullptr;
  int picture = head != nullptr && TAP_Hdd_Fread(head, want, 1, file) == 1 ? TsPicture(head, want) : -1;
  if (head != nullptr) TAP_MemFree(head);
  TAP_Hdd_Fclose(file);
  TAP_MemFree(file);
  return picture;
}

uint32_t BeginRun(Chunk (&chunk)[StreamRingSize], uint32_t k) {
  // One identity for a chunk everywhere: URL and byte range.
  ChunkIdentity(chunk[0], Run.ring[StreamRingSize - 1], StreamUrlSize);
  Run.block = 1;
  Run.blockOk = 1;
  Run.listFailures = 0;
  Run.bySequence = list.hasSequence || list.ended;
  Run.lastStarted = chunk[0].sequence;
  Run.lastStartedId = chunk[0].id;
  Run.firstListed = list.mediaSequence;
  Run.ended = list.ended;
  Run.lastListed = list.mediaSequence + list.segmentCount - 1;
  HDD_ChangeDir(MediaTmpDir);
  uint64_t size = 0;
  if (HDD_GetFileSizeAndInode("Stream.ts", nullptr, &size)) Run.fileSize = static_cast<int64_t>(size);
  Run.lastChunkBytes = Run.fileSize;
  Run.msAppended = chunk[0].durationMs;
  Run.soundOnly = FirstChunkPicture() == 0;
  for (uint32_t i = 1; i + 1 < k; ++i) chunk[i - 1] = chunk[i];
  return k >= 2 ? k - 2 : 0;
}

}  // namespace

void stream(void) {
  if (_StreamNr < 1 || _StreamNr > 9) return;
  if (Run.block != 0 && Run.diskFull) return;
  bool starting = Run.block == 0;
  Fetched fetched = FETCH_OK;
  // After an outage the stream begins anew on the variant that played.
  if (starting && !Run.pictureBack && !Prepare(&fetched)) return;

  // The log scan, the appends and the player go on whether or not the list
  // came: what has downloaded already reaches Stream.ts.
  char* text = TryBestVariant();
  if (text == nullptr) {
    // Only a list that came from a master playlist can be had afresh.
    bool fresh = !starting && Run.variantChoices > 0;
    text = FetchChunkList(Run.chunkListUrl, &fetched, fresh);
    if (text == nullptr && fresh && (fetched == FETCH_GONE || fetched == FETCH_REFUSED) && FreshVariantList())
      text = FetchChunkList(Run.chunkListUrl, &fetched);
    if (text != nullptr) ParsePlaylist(text, !starting && Run.bySequence ? Run.lastStarted : -1, &list);
    // A list that has ended is fetched from its first segment, however
    // long it is: the window then holds its beginning.
    if (text != nullptr && starting && list.ended && list.segmentCount > PlaylistWindow)
      ParsePlaylist(text, list.mediaSequence, &list);
  } else {
    // The window keeps the segment started last, which FollowList checks.
    ParsePlaylist(text, Run.bySequence ? Run.lastStarted : -1, &list);
  }
  if (text != nullptr) {
    // A live list that covers less than two steps is fetched again every
    // target duration, else a segment could come and go between two steps.
    Run.paceTicks = 0;
    if (list.media && !list.ended && list.totalMs < 2 * StreamStepTicks * 10 && list.targetDuration > 0)
      Run.paceTicks = list.targetDuration >= 3 ? StreamStepTicks : static_cast<uint32_t>(list.targetDuration) * 100;
    if (starting) Run.bySequence = list.hasSequence || list.ended;
    WatchPlaylist(list, _tick);
    if (!starting) FollowList();
    // Chunks that are encrypted in a way the receiver cannot undo would only
    // ever be "Read err": the user is told why instead, and nothing is
    // fetched.
    StepResult refused = StepOk();
    if (list.lastKey.method == KEY_OTHER)
      refused = Fail("Encrypted", "the chunks are encrypted (not AES-128):", Run.chunkListUrl, -1, SHOW_ONCE);
    static Chunk chunk[StreamRingSize];
    int32_t selected = refused.ok ? SelectStep(list, chunk) : -1;
    uint32_t k = selected > 0 ? static_cast<uint32_t>(selected) : 0;
    TAP_MemFree(text);
    // The rendition's list, read while the chunks' jobs start: the
    // segments that sound with them are found in it then.
    uint32_t pending[RunJobs];
    uint32_t waiting = Run.block != 0 ? PendingSound(Run.blockOk, pending) : 0;
    char* soundText = k > 0 || waiting > 0 ? FetchSoundList() : nullptr;
    Chunk sound;
    auto soundFor = [&](const Chunk& c) {
      return soundText != nullptr && SoundChunkFor(list, c, soundList, Run.soundListBase, &sound);
    };
    // A live sound list that has not reached a chunk's number yet lags the
    // picture's by a moment: that chunk waits for it a little.
    const bool soundLags = soundText != nullptr && !soundList.ended;
    const int64_t soundLast = soundList.mediaSequence + soundList.segmentCount - 1;
    // Chunks of earlier steps whose sound the list now names.
    for (uint32_t i = 0; i < waiting; ++i) {
      const ChunkJob* job = JobFor(pending[i]);
      if (job != nullptr && soundFor(job->chunk)) StartSoundJob(pending[i], sound);
    }
    if (starting && selected >= 0) {
      // No chunk in the list: nothing to start from, so the start is retried.
      bool started = k > 0;
      if (!started) Fail("Start ts err", "no chunk in", Run.chunkListUrl);
      if (started) started = FetchFirstChunk(chunk[0], soundFor(chunk[0]) ? &sound : nullptr);
      if (!started) {
        if (soundText != nullptr) TAP_MemFree(soundText);
        StartFailed(false);
        return;
      }
      k = BeginRun(chunk, k);
    }
    char identity[StreamUrlSize + 48];
    for (uint32_t i = 0; i < k; ++i) {
      ChunkIdentity(chunk[i], identity, sizeof identity);
      if (StremDlTest(identity) != 0 && StartJob(Run.block, chunk[i])) {
        if (soundFor(chunk[i]))
          StartSoundJob(Run.block, sound);
        else if (soundLags && chunk[i].sequence > soundLast)
          AwaitSound(Run.block);
        ++Run.block;
      }
      if (chunk[i].sequence > Run.lastStarted) {
        Run.lastStarted = chunk[i].sequence;
        Run.lastStartedId = chunk[i].id;
      }
    }
    if (soundText != nullptr) TAP_MemFree(soundText);
  } else if (starting) {
    StartFailed(fetched == FETCH_GONE);
  }
  if (Run.block == 0) return;
  AppendFinishedChunks();
  WatchPlayer();
}
