// The download pipeline's helpers, open to the tests and fuzz targets.
#pragma once

#include <cstddef>
#include <cstdint>

#include "app/ChunkToTs.h"
#include "app/Mp4.h"
#include "app/orvado.h"
#include "app/paths.h"

constexpr uint32_t StreamMaxChunks = 3;  // chunk URLs taken from each chunk list
// The last line that a background job's shell writes into its log once wget
// has ended, followed by wget's exit status.
constexpr const char* ChunkExitMarker = "wget exit ";

namespace stream_internal {

// One line of a playlist text, blanks around it left out.
struct PlaylistLine {
  const char* at = "";
  size_t length = 0;
  bool found = false;       // false past the end of the text
  bool terminated = false;  // a line feed ends it (the last line may lack one)
};
// The line at *p (carriage returns already turned into line feeds), without
// a leading byte-order mark; *p moves to the next line.
PlaylistLine NextPlaylistLine(const char** p);
// True when `line` begins with `tag` (such as "#EXTINF:").
bool IsTag(const PlaylistLine& line, const char* tag);
// Looks up attribute `name` (any case, blanks around it allowed) in the
// attribute list of `length` bytes at `list`; items are split at commas
// outside double quotes. True with the value, its quotes taken off, in
// *value and *valueLength; false when the list holds no such attribute.
bool AttributeValue(const char* list, size_t length, const char* name, const char** value, size_t* valueLength);

enum ReadResult { READ_OK, READ_CANNOT_OPEN, READ_TOO_SHORT, READ_NO_MEMORY };
// Loads the file `name` of the current directory whole into a TAP_MemAlloc
// buffer of twice its length (*text, released by the caller with
// TAP_MemFree), NUL after the last byte. A file shorter than `minLength`
// (at least 1) is not read; *text is null unless READ_OK.
ReadResult ReadText(const char* name, uint32_t minLength, char** text);

// AES-128-CBC decryption of `length` bytes (a multiple of 16) of `data` in
// place with `key`; `iv` is the chaining value, updated for a next call.
void Aes128CbcDecrypt(const uint8_t key[16], uint8_t iv[16], uint8_t* data, uint32_t length);
// Decrypts the file at the Linux path `path` (HLS METHOD=AES-128: CBC with
// PKCS#7 padding) in place. False, with the file as it was, when it cannot
// be read or written or its length or padding is wrong.
bool DecryptFile(const char* path, const uint8_t key[16], const uint8_t iv[16]);

// Whether the transport stream of `size` bytes at `data` (whole packets
// from its start) carries a picture, by its first program's map: 1 when it
// lists a video stream, 0 when it lists sound and no picture (radio), -1
// when no map is found or it lists neither.
int TsPicture(const uint8_t* data, size_t size);

// ---- One way to fail ---------------------------------------------------

// How a part of a pipeline step ended. Made only by StepOk and Fail.
struct StepResult {
  bool ok;
  const char* word;  // the status word shown for a failure, or null
};

// How a failure's word is shown: for the usual time, for 10 seconds, or
// only while no live line says it already (a cause that lasts).
enum FailShow { SHOW_USUAL, SHOW_LONG, SHOW_ONCE };

StepResult StepOk(void);

// A part of the step failed. Shows `word` on the status line (none when
// null) and writes one log line through LogEntryZindraPrintf:
// "Orvado: <word>: <what> <subject> (wget exit N)", the word, the subject (a
// URL or a file) and wget's exit status (-1: none) left out when absent. A line the
// same as the last one logged is not written again, so a cause that lasts
// is logged once. Returns the failure.
StepResult Fail(const char* word, const char* what, const char* subject, int wgetExit = -1, FailShow show = SHOW_USUAL);

// wget's exit status from a system() result; -1 when it did not exit.
int ExitStatus(int result);

// ---- Shell commands -------------------------------------------------------

constexpr uint32_t CommandSize = 1024;  // a shell command, terminator included
// wget's statuses: a file it could not write, a network failure, a refused
// certificate, an error answer of the server; and timeout's for a fetch it
// ended.
constexpr int WgetFileError = 3;
constexpr int WgetNetworkError = 4;
constexpr int WgetTlsError = 5;
constexpr int WgetServerError = 8;
constexpr int TimedOut = 124;

// True when the shell has a timeout that takes the form "timeout N CMD".
bool TimeLimitUsable(void);

// ---- One playlist, read once -------------------------------------------
//
// A playlist text is read in one pass (ParsePlaylist) into a Playlist, and
// every decision of the step reads that record instead of the text. Spans
// point into the text, which must outlive the record.

constexpr uint32_t PlaylistWindow = 32;     // segments kept of a media playlist
constexpr uint32_t PlaylistVariants = 20;   // variants read of a master playlist
constexpr uint32_t PlaylistRenditions = 8;  // #EXT-X-MEDIA entries read

// A piece of the playlist text; `at` null when absent.
struct TextSpan {
  const char* at;
  uint32_t length;
};

enum KeyMethod : uint8_t { KEY_NONE, KEY_AES128, KEY_OTHER };

// The #EXT-X-KEY in force for a segment: its method, URI and IV as written.
struct PlaylistKey {
  KeyMethod method;
  TextSpan uri;
  TextSpan iv;
};

struct PlaylistSegment {
  TextSpan uri;            // the URI line as written, blanks around it left out
  uint32_t lineHash;       // HashText of the URI line and its byte range
  bool terminated;         // a line end follows it (a last line may still be being written)
  bool opensText;          // it is the text's first line (the ".ts" rule stops there)
  bool discontinuity;      // #EXT-X-DISCONTINUITY before it
  uint32_t durationMs;     // from #EXTINF, 0 without
  int64_t sequence;        // media sequence number: #EXT-X-MEDIA-SEQUENCE plus its place
  int64_t rangeStart;      // #EXT-X-BYTERANGE: first byte, or -1 for the whole resource
  int64_t rangeLength;     // and its length
  PlaylistKey key;         // the key in force (method KEY_NONE without)
  TextSpan map;            // URI of the #EXT-X-MAP in force
  int64_t mapRangeStart;   // its BYTERANGE: first byte, or -1 for the whole resource
  int64_t mapRangeLength;  // and its length
};

struct PlaylistVariant {
  TextSpan uri;         // null when the entry has no URI line
  uint32_t bandwidth;   // BANDWIDTH as the receiver's 32-bit strtol reads it
  TextSpan audio;       // AUDIO group, quotes taken off
  TextSpan codecs;      // CODECS
  TextSpan resolution;  // RESOLUTION
};

struct PlaylistRendition {
  TextSpan type;     // TYPE (AUDIO, VIDEO, SUBTITLES ...)
  TextSpan groupId;  // GROUP-ID
  TextSpan name;     // NAME
  TextSpan uri;      // URI; null when the rendition is carried in the variant's own segments
  bool isDefault;    // DEFAULT=YES
};

struct Playlist {
  bool master;             // a #EXT-X-STREAM-INF line: a master playlist
  bool media;              // a #EXTINF line: a media playlist
  bool holdsTs;            // ".ts" anywhere in the text
  bool ended;              // #EXT-X-ENDLIST
  bool hasSequence;        // #EXT-X-MEDIA-SEQUENCE given
  bool fragmentedMp4;      // an #EXT-X-MAP whose URI is no ".ts"
  int64_t targetDuration;  // #EXT-X-TARGETDURATION, -1 without
  uint64_t totalMs;        // the durations of all its segments, added up
  int64_t mediaSequence;   // #EXT-X-MEDIA-SEQUENCE, 0 without
  uint32_t hash;           // HashText of the whole text
  PlaylistKey lastKey;     // the last #EXT-X-KEY of the text (method KEY_NONE without)
  // The segments: in a list with #EXTINF the URI lines after the first
  // #EXTINF, in one without the lines that hold ".ts".
  uint32_t segmentCount;  // all of them
  PlaylistSegment first;  // the list's first segment (when segmentCount > 0)
  // A window of consecutive segments, window[0] being segment windowStart of
  // the list: the last PlaylistWindow of them, moved no later than the first
  // segment whose sequence number is at least the `from` given to the parse.
  uint32_t windowStart;
  uint32_t windowCount;
  PlaylistSegment window[PlaylistWindow];
  uint32_t variantCount;
  PlaylistVariant variant[PlaylistVariants];
  uint32_t renditionCount;
  PlaylistRendition rendition[PlaylistRenditions];
};

// Reads the NUL-terminated playlist `text` (line ends: line feed or carriage
// return) in one pass into *list. `from` (-1 for none) keeps the window from
// passing over the segment with that sequence number: see Playlist::window.
void ParsePlaylist(const char* text, int64_t from, Playlist* list);

// The segment at place `index` of the list, when the window (or `first`)
// holds it; null otherwise.
const PlaylistSegment* SegmentAt(const Playlist& list, uint32_t index);

// True when `span` equals `word` (exact case).
bool SpanIs(const TextSpan& span, const char* word);
// True when `span` holds `text` exactly, an absent span counting as "".
bool SameText(const TextSpan& span, const char* text);

// ---- Chunks and their background jobs -------------------------------------

// A segment to fetch: its URL, where it stands in the list, its byte range
// and its key.
struct Chunk {
  char url[StreamUrlSize];
  int64_t sequence;
  uint32_t lineHash;
  uint32_t id;         // what the segment is, whatever its number: URI without query, and range
  int64_t rangeStart;  // -1 for the whole resource
  int64_t rangeLength;
  uint32_t durationMs;  // #EXTINF, 0 without
  bool encrypted;       // METHOD=AES-128: decrypted with key and iv before the append
  uint8_t key[16];
  uint8_t iv[16];
  uint32_t map;            // fragmented MP4: its init segment (#EXT-X-MAP) in Run.maps; 0 for TS
  int64_t mapRangeStart;   // the init segment's byte range: first byte, or -1 for the whole resource
  int64_t mapRangeLength;  // and its length
};

constexpr uint32_t RunJobs = 16;  // chunk jobs remembered

// Tries of one chunk while the list holds it.
constexpr uint8_t ChunkTries = 3;

// A background job, by its number, while it may need to be started again
// or its chunk decrypted.
struct ChunkJob {
  uint32_t n;         // 0: the slot is free
  uint8_t tries;      // starts so far
  bool listed;        // the last list read still holds its segment
  bool startFailed;   // the shell did not take the job: it will never log
  uint32_t deadline;  // tick by which its log must have finished
  Chunk chunk;
  bool withSound;      // a job "Ns" fetches the sound of its rendition too
  bool soundPending;   // the sound list does not hold its sound yet
  uint32_t soundWait;  // tick until which its append waits for a pending sound
  Chunk sound;         // that sound's segment
};

// The key and IV of `segment` into `chunk` (METHOD=AES-128: the key fetched
// once per URL, resolved against `base`; the IV from the tag or else the
// sequence number). False, after "Encrypted", when the key cannot be had.
bool KeyFor(const PlaylistSegment& segment, const char* base, Chunk& chunk);

// Starts background job n for `chunk` (or, for a job known already, its own
// chunk again): wget in the background, its log n.lok ending with wget's
// exit status, its deadline set from _tick. False when the command does not
// fit; a shell that did not start marks the job lost (JobLost).
bool StartJob(uint32_t n, const Chunk& chunk);
// Starts the fetch of `sound`, the rendition's segment that matches job n
// (started just before): into "tmpNs.ts" of the media folder, its log
// "Ns.lok", bound by job n's deadline. Nothing more when the command does
// not fit (the chunk then plays without sound).
void StartSoundJob(uint32_t n, const Chunk& sound);
// Job n, started just before, waits a little for its sound: the rendition's
// list may not hold it yet (PendingSound).
void AwaitSound(uint32_t n);
// The jobs from number `from` on whose sound is still awaited (up to
// RunJobs of them, into `jobs`); how many.
uint32_t PendingSound(uint32_t from, uint32_t (&jobs)[RunJobs]);
// The job numbered n, or null when it is not (or no longer) known.
const ChunkJob* JobFor(uint32_t n);
// True when job n will never finish its log by itself: the shell did not
// start it, or its deadline has passed at tick `now` (its wget is then
// ended). It then counts as failed, with TimedOut.
bool JobLost(uint32_t n, uint32_t now);
// A failed job whose segment the list still holds is started again under
// its own number, up to ChunkTries in all, when wget's `status` says the
// network or the server failed. True when it was.
bool RetryJob(uint32_t n, int32_t status);
// Notes which jobs from number `from` on the list still holds: by sequence
// number, or by their line for lists without numbers.
void MarkListedJobs(const Playlist& list, bool bySequence, uint32_t from);

// Makes the fragmented MP4 segment in the file at the Linux path `path` TS
// in place, written through c->ts, with the init segment of `chunk` (its
// map URL and range, fetched into init.mp4 of the settings folder when it is
// not the one read last). *fetchedBytes (may be null) receives the segment's size as it came
// (-1 when it cannot be read). False, told, when it cannot be made TS:
// "Init error" for an init segment that did not come or cannot be read,
// "Cannot decode" for codecs the receiver lacks; the file and the writer's
// counters are then as they were.
bool Fmp4ChunkToTs(const char* path, const Chunk& chunk, TsConversion* c, int64_t* fetchedBytes);

// ---- Decisions on a parsed playlist ------------------------------------

// True when the newest segments of a media playlist are encrypted: its last
// #EXT-X-KEY has a METHOD other than NONE. The receiver cannot play them.
bool Encrypted(const Playlist& list);

// Makes a Chunk of `segment` of a list fetched from `base` (its URL after
// redirects); false when it cannot be fetched (told). In a list of
// fragmented MP4 (`fragmented`) the chunk names its init segment.
bool ChunkOf(const PlaylistSegment& segment, bool fragmented, const char* base, Chunk& chunk);

// The segment of the rendition's list `sound` that goes with `chunk` of the
// picture's list `video`: the one of the same sequence number; where the two
// lists number apart (no number in common), the one that covers the chunk's
// start time, counted by #EXTINF from each list's first segment. Made a
// Chunk (relative to `base`) into *out; false when there is none (yet: a
// live sound list may lag a little behind the picture's).
bool SoundChunkFor(const Playlist& video, const Chunk& chunk, const Playlist& sound, const char* base, Chunk* out);

// Master playlist: the variant with the highest BANDWIDTH attribute becomes
// _OrvadoChunkName, of equal ones the earlier; shows "%u kb/s". The chosen
// line is then resolved against _OrvadoChunkListURL (the master playlist's
// URL) into _OrvadoChunkListURL. False when the step ends (a variant without
// its URI line, or "URL >> 1" for one that is too long, cannot be resolved
// within 511 characters or cannot be quoted for the shell).
// Of the variants, those with a picture come first, and of those the ones
// whose own segments carry sound; after
// a failed start the next variant down is tried (VariantSkip). When the
// chosen variant's sound is only in a rendition of its own, that rendition
// (of its AUDIO group: DEFAULT=YES first, else the first with a URI) goes
// into Run.soundListUrl; "Sound apart" when there is none to fetch.
bool ChooseVariant(const Playlist& list);
// False only for a variant that says it is sound alone: CODECS names no
// video codec and there is no RESOLUTION.
bool VariantHasPicture(const PlaylistVariant& v);
// True when the receiver's decoder plays variant `v`: its RESOLUTION (when
// given) within 1920 x 1080, and no codec of its CODECS (when given) that
// the decoder lacks (it plays MPEG-2 and H.264 video, MPEG audio, AAC and
// AC-3 sound).
bool VariantDecodable(const PlaylistVariant& v);
// True when variant `v`'s own segments carry sound: no AUDIO group, or one
// with a rendition in the variant itself, and CODECS (when given) naming an
// audio codec.
bool VariantHasSound(const Playlist& list, const PlaylistVariant& v);

// Resolves a segment's URI line against `base` into `url` (StreamUrlSize
// bytes). False, with "URL >> 2" the first time the line is met, when the
// URL does not fit or cannot be quoted for the shell.
bool UsableChunk(const char* base, const PlaylistSegment& segment, char* url);

// True when `url` can stand between single quotes on a shell line and cannot
// be taken for an option: no quote, no leading "-".
bool ShellSafe(const char* url);

enum ChunkLogState { CHUNK_LOADING, CHUNK_COMPLETE, CHUNK_FAILED };
// Judges a chunk log by how its download ended: complete when its last line
// is ChunkExitMarker with status 0, failed with any other status, loading
// while that line has not come. `status` (may be null) receives the exit
// status, or -1 while loading.
ChunkLogState JudgeChunkLog(const char* log, int32_t* status);

// Size of the file `name` in the TAP's current directory when it is whole
// MPEG transport stream packets (a sync byte 0x47 every 188 bytes, at least
// one packet); -1 when it is not, or cannot be read.
int64_t TransportStreamSize(const char* name);

// Bytes free for an unprivileged writer on the file system that holds the
// Linux folder `linuxDir`, as df reports them; -1 when unknown.
int64_t FreeDiskBytes(const char* linuxDir);

// A 32-bit hash of `length` bytes of `text` (FNV-1a).
uint32_t HashText(const char* text, size_t length);

// The URL that a wget fetch of `requested` ended at, from wget's log `log`
// (may be null): each "Location: X [following]" line resolved against the
// URL before it. Into `out` (`outSize` bytes); a redirect that cannot be
// resolved within StreamUrlSize ends the chain there. False, with `out`
// empty, only when `requested` does not fit.
bool FollowRedirects(const char* log, const char* requested, char* out, size_t outSize);

// Looks at a freshly fetched chunk list at tick `now`: shows "Playlist ended"
// once for a list with #EXT-X-ENDLIST, and "Playlist stale" once when the
// list has not changed for three target durations (until it changes again).
void WatchPlaylist(const Playlist& list, uint32_t now);

// ---- Fetches -------------------------------------------------------------

// One wget fetch, as WgetCommand writes it.
struct WgetFetch {
  const char* url;       // fetched; ShellSafe
  const char* output;    // Linux path of the file written
  const char* log;       // Linux path for wget's messages, or null for none
  uint32_t seconds;      // the whole fetch's limit, where the shell has timeout
  uint32_t waitSeconds;  // -T: each wait for the network
  uint32_t tries;        // -t
  int64_t rangeStart;    // a byte range from here, -1 for the whole resource
  int64_t rangeLength;   // and its length
  bool background;       // a chunk job: runs on its own, its pid kept, its log closed by its exit status
  uint32_t job;          // the chunk job's number (background only; its log "<job>.lok" names its pid file)
};

// Writes the shell command for `fetch` into `command`, calling the run's
// downloader (the package's wget by its full path when it is there). A job
// in the background keeps wget's pid beside its log ("N.lok": "N.pid")
// and ends its log with ChunkExitMarker and wget's exit status. A failure
// with `word` (and a log line) when the command does not fit or the URL
// cannot be quoted for the shell.
StepResult WgetCommand(char (&command)[CommandSize], const WgetFetch& fetch, const char* word);

// The downloader the run's commands call: ORVADO_WGET when the package's
// wget is there (made executable), else the shell's "wget". Decided at each
// channel start.
const char* ChooseDownloader(void);

// wget's statuses when the shell could not find or start it.
constexpr int CannotExecute = 126;
constexpr int NotFound = 127;

// ---- One channel's run ---------------------------------------------------

constexpr uint32_t RunMaps = 2;  // init segment URLs remembered

// Everything that a channel's run learns and sets, from the digit that
// starts it to the next one: StreamStart clears it whole. The application's
// named globals (orvado.h) refer into it.
struct StreamRun {
  uint8_t channel;                           // _StreamNr
  uint32_t block;                            // _Stream_Block: the next job's number; 0 while starting
  uint32_t blockOk;                          // _Stream_Block_Ok: the next log to examine
  int64_t fileSize;                          // _StreamFileSize
  char baseUrl[StreamUrlSize];               // _OrvadoURLXXX
  char chunkName[StreamUrlSize];             // _OrvadoChunkName
  char chunkListUrl[StreamUrlSize];          // _OrvadoChunkListURL
  char ring[StreamRingSize][StreamUrlSize];  // _OrvadoDlTsFileName_OK
  char chunkListBase[StreamUrlSize];         // where this step's chunk list came from, after redirects
  const char* wget;                          // the downloader (ChooseDownloader)

  // The stream as the lists tell it.
  bool bySequence;         // segments are told apart by their sequence numbers
  int64_t lastStarted;     // sequence number of the newest segment started
  uint32_t lastStartedId;  // and what it was (SegmentId); 0 when not known
  int64_t firstListed;     // the last list's #EXT-X-MEDIA-SEQUENCE
  bool ended;              // the list has ended (VOD, or a live event over)
  int64_t lastListed;      // sequence number of an ended list's last segment

  // The player and the disk.
  bool playerStarted;       // the player was started on this Stream.ts
  bool playerSeen;          // and the play record has shown it playing
  bool diskFull;            // the downloads were stopped for want of disk space
  bool pictureBack;         // Stream.ts was begun anew at the live edge after the player ran dry
  uint32_t paceTicks;       // ticks from one step to the next; 0 for the usual StreamStepTicks
  int64_t lastChunkBytes;   // size of the chunk appended last
  uint32_t msAppended;      // the stream's milliseconds in Stream.ts, by the #EXTINF durations
  bool soundOnly;           // its program has no picture (radio)
  uint32_t soundShownTick;  // when "Sound only" was last shown

  // Variants of a master playlist.
  uint32_t variantSkip;             // variants passed over after failures
  uint32_t variantChoices;          // how many the master playlist offered
  char bestListUrl[StreamUrlSize];  // the best variant's chunk list
  uint32_t variantBandwidth;        // the chosen variant's BANDWIDTH
  char variantResolution[24];       // and its RESOLUTION ("" without)
  uint32_t listFailures;            // chunk-list fetches failed in a row
  uint32_t bestTriedTick;           // when the best variant was last tried again

  ChunkJob jobs[RunJobs];
  // The chunk list as WatchPlaylist last saw it.
  uint32_t listHash;
  uint32_t listChangedTick;
  bool listSeen, staleShown, endShown;
  // Chunk lines told as unusable, so each is told once.
  uint32_t told[StreamMaxChunks + 1];
  uint32_t toldNext;
  // The AES-128 key last fetched.
  char keyUrl[StreamUrlSize];
  uint8_t keyBytes[16];
  // Chunks of other forms made into transport stream for this Stream.ts.
  TsConversion convert;
  // Fragmented MP4: the init segment read last, and where it came from.
  // The map URLs the chunks name, the last RunMaps of them, by their
  // MapId: a chunk keeps only the number, as maps seldom change.
  uint32_t mapId[RunMaps];
  char maps[RunMaps][StreamUrlSize];
  uint32_t mapNext;
  uint32_t initMap;  // the map of Run.init (0: none read)
  int64_t initRangeStart, initRangeLength;
  mp4::Init init;
  // Sound in a rendition of its own: its chunk list ("" without), where that
  // list came from after redirects, and the merge with the picture. Its
  // segments of other forms are made TS through `convert` too: the merge
  // writes their packets anew, under its own counters.
  char soundListUrl[StreamUrlSize];
  char soundListBase[StreamUrlSize];
  TsMerge merge;
};
extern StreamRun Run;

// ---- Choosing what to fetch ----------------------------------------------

// What a segment is, whatever the number a list gives it: its URI without
// the query (which some servers sign anew for every list) and its byte range.
// Never 0.
uint32_t SegmentId(const PlaylistSegment& segment);

// The chunks of `list` (the chunk list of this step) to start now, oldest
// first, into `chunk`; how many. While the run starts, the last three of a
// live list, or the first three of one that has ended. Later, where segments
// are told apart by number, every listed segment after the last one started
// (up to the ring's ten jobs under way), and otherwise the last three. A
// last line without its line end is not taken; in a list without #EXTINF a
// chunk on the text's first line ends the selection. -1 when a key cannot be
// had ("Encrypted" has said so).
int32_t SelectStep(const Playlist& list, Chunk (&chunk)[StreamRingSize]);

// The identity under which the ring keeps `chunk`: its URL, and its byte
// range where it has one. Into `out` (`size` bytes).
void ChunkIdentity(const Chunk& chunk, char* out, size_t size);

}  // namespace stream_internal
