// The download pipeline's helpers, open to the tests and fuzz targets.
#pragma once

#include <cstddef>
#include <cstdint>

#include "app/orvado.h"

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
// True when a line of `text` begins with `tag`.
bool HasTagLine(const char* text, const char* tag);
// Looks up attribute `name` (any case, blanks around it allowed) in the
// attribute list of `length` bytes at `list`; items are split at commas
// outside double quotes. True with the value, its quotes taken off, in
// *value and *valueLength; false when the list holds no such attribute.
bool AttributeValue(const char* list, size_t length, const char* name, const char** value, size_t* valueLength);

// True when the newest segments of a media playlist are encrypted: its last
// #EXT-X-KEY has a METHOD other than NONE. The receiver cannot play them.
bool Encrypted(const char* text);

// True when a media playlist's segments are fragmented MP4, which the
// receiver's player cannot play: an #EXT-X-MAP whose URI is no ".ts".
bool FragmentedMp4(const char* text);

// Master playlist (carriage returns already turned into line feeds): each
// #EXT-X-STREAM-INF line is a variant, its URI the next line that is neither
// blank nor a tag; the variant with the highest BANDWIDTH attribute becomes
// _OrvadoChunkName, of equal ones the earlier; shows "%u kb/s". The chosen line is then resolved
// against _OrvadoChunkListURL (the master playlist's URL) into
// _OrvadoChunkListURL. False when the step ends (a variant line that cannot be
// found, or "URL >> 1" for one that is too long, cannot be resolved within
// 511 characters or cannot be quoted for the shell).
bool ChooseVariant(const char* text);

// The last three chunk lines of a chunk list (carriage returns already turned
// into line feeds), in list order, resolved against `base`, the URL the list
// came from. In a list with #EXTINF the chunk lines are the URI lines after
// the first #EXTINF; in one without, the lines that hold ".ts". A last line
// without its line feed is counted but not used.
// A line whose URL does not fit or cannot be quoted for the shell is left out,
// with "URL >> 2" the first time it is met. Returns how many URLs (0 to 3)
// were stored.
int32_t SelectChunks(const char* text, const char* base, char (&chunk)[StreamMaxChunks][StreamUrlSize]);

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

// Forgets the chunk list of the last channel (at each channel start).
void ResetPlaylistWatch(void);
// Looks at a freshly fetched chunk list at tick `now`: shows "Playlist ended"
// once for a list with #EXT-X-ENDLIST, and "Playlist stale" once when the
// list has not changed for three target durations (until it changes again).
void WatchPlaylist(const char* text, uint32_t now);

}  // namespace stream_internal
