// The download pipeline: one step per call. wget fetches the playlists and
// the first chunk synchronously and every later chunk in the background; the
// step appends finished chunks to Stream.ts in the order they were started.
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

void Status(const char* text) { SetStatusAusgabe(text, _StatusShowTime); }

// Formats a shell command; false when it would not fit the buffer.
bool Format(char (&command)[kCommandSize], const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = vsnprintf(command, sizeof command, format, args);
  va_end(args);
  return n >= 0 && static_cast<uint32_t>(n) < sizeof command;
}

// Every URL goes into the shell between single quotes; a quote of its own
// would end them and let the rest run as commands.
bool ShellSafe(const char* url) { return strchr(url, '\'') == nullptr; }

bool StartsWithHttp(const char* text) { return strncmp(text, "http", 4) == 0; }

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
  while (n < kMaxVariants) {
    const char* tag = strstr(p, "BANDWIDTH=");
    if (tag == nullptr) break;
    char* number = nullptr;
    bandwidth[n++] = Bandwidth(tag + strlen("BANDWIDTH="), &number);
    const char* name = strstr(number, ".m3u8");
    if (name == nullptr) return false;
    const char* lineEnd = strchr(name, '\n');
    if (lineEnd == nullptr) return false;
    const char* before = LineFeedBefore(text, name);
    if (before == nullptr) return false;
    size_t length = static_cast<size_t>(lineEnd - (before + 1));
    if (length >= StreamUrlSize) {
      Status("URL >> 1");
      return false;
    }
    CopyLine(variant[n - 1], before + 1, length);
    p = lineEnd;
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
  return true;
}

// The last three chunk URLs of the list, in list order. Returns how many
// (0 to 3), or -1 when the step ends.
int32_t SelectChunks(const char* text, char (&chunk)[StreamMaxChunks][StreamUrlSize]) {
  uint32_t count = 0;
  for (const char* at = strstr(text, ".ts"); at != nullptr; at = strstr(at + 1, ".ts")) ++count;
  const char* p = text;
  if (count >= 4) {
    const char* at = strstr(text, ".ts");
    for (uint32_t i = 1; i < count - 3; ++i) at = strstr(at + 1, ".ts");
    p = at + 1;
  }
  int32_t k = 0;
  while (k < static_cast<int32_t>(StreamMaxChunks)) {
    const char* ts = strstr(p, ".ts");
    if (ts == nullptr) break;
    const char* lineEnd = strchr(ts, '\n');
    if (lineEnd == nullptr) break;
    const char* before = LineFeedBefore(text, ts);
    if (before == nullptr) break;
    const char* line = before + 1;
    size_t length = static_cast<size_t>(lineEnd - line);
    size_t baseLength = strlen(_OrvadoURLXXX);
    bool absolute = StartsWithHttp(line);
    if ((absolute ? length : baseLength + 1 + length) >= StreamUrlSize) {
      Status("URL >> 2");
      return -1;
    }
    char* url = chunk[k];
    if (absolute) {
      CopyLine(url, line, length);
    } else {
      memcpy(url, _OrvadoURLXXX, baseLength);
      url[baseLength] = '/';
      CopyLine(url + baseLength + 1, line, length);
    }
    if (!ShellSafe(url)) {
      Status("URL >> 2");
      return -1;
    }
    ++k;
    p = lineEnd;
  }
  return k;
}

bool LogShowsFailure(const char* log) {
  const char* first = strstr(log, "Read error");
  if (first != nullptr && strstr(first + 1, "Read error") != nullptr) return true;
  static const char* const kFailures[] = {"ERROR",     "Connection closed",      "error",
                                          "Giving up", "Network is unreachable", "failed:"};
  for (const char* failure : kFailures)
    if (strstr(log, failure) != nullptr) return true;
  return false;
}

}  // namespace stream_internal

using namespace stream_internal;

namespace {

// Runs a synchronous fetch into the settings folder and loads the file; null,
// after the status message that says where it failed, when the step ends.
char* FetchText(const char* command, const char* name, const char* fetchError, const char* missingError,
                const char* shortError) {
  if (system(command) != 0) {
    Status(fetchError);
    return nullptr;
  }
  HDD_ChangeDir(kSettingsDir);
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
  const char* url = _OrvadoURL[_StreamNr - 1];
  CopyLine(_OrvadoURLXXX, url, strnlen(url, StreamUrlSize - 1));
  char* slash = strrchr(_OrvadoURLXXX, '/');
  if (slash == nullptr) return false;
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
  if (!ShellSafe(_OrvadoURLXXX) || !ShellSafe(_OrvadoChunkName) ||
      !Format(command, "wget -O /mnt/hd/ProgramFiles/Settings/orvado/playlist.txt '%s/%s'", _OrvadoURLXXX,
              _OrvadoChunkName)) {
    Status("URL >> 1");
    return false;
  }
  char* text = FetchText(command, "playlist.txt", "Pl 2\tError", "Pl 3 Error", "Pl 4 Error");
  if (text == nullptr) return false;
  // Attribute lists fall apart into one item a line.
  ReplaceAll(text, '\r', '\n');
  ReplaceAll(text, ',', '\n');
  bool ok = true;
  if (strstr(text, ".ts") != nullptr) {
    Status("Playlistmode");
  } else {
    Status("Chunklistmode");
    ok = ChooseVariant(text);
  }
  TAP_MemFree(text);
  return ok;
}

// Fetches and loads the chunk list; null when the step ends.
char* FetchChunkList(void) {
  HDD_ChangeDir(kSettingsDir);
  TAP_Hdd_Delete("chlist.txt");
  if (TAP_Hdd_Exist("chlist.txt")) {
    Status("CL 1 Error");
    return nullptr;
  }
  char command[kCommandSize];
  bool fits;
  bool safe = ShellSafe(_OrvadoChunkName);
  if (StartsWithHttp(_OrvadoChunkName)) {
    fits = Format(command, "wget -O /mnt/hd/ProgramFiles/Settings/orvado/chlist.txt '%s'", _OrvadoChunkName);
  } else {
    safe = safe && ShellSafe(_OrvadoURLXXX);
    fits = Format(command, "wget -O /mnt/hd/ProgramFiles/Settings/orvado/chlist.txt '%s/%s'", _OrvadoURLXXX,
                  _OrvadoChunkName);
  }
  if (!safe || !fits) {
    Status("URL >> 1");
    return nullptr;
  }
  char* text = FetchText(command, "chlist.txt", "CL 2 Error", "CL 3 Error", "CL 4 Error");
  if (text != nullptr) ReplaceAll(text, '\r', '\n');
  return text;
}

// Appends finished chunks in number order until one is missing, still
// loading or failed; starts the player once Stream.ts is large enough.
void AppendFinishedChunks(void) {
  char name[32];
  char command[kCommandSize];
  char message[32];
  for (;;) {
    HDD_ChangeDir(kSettingsDir);
    uint32_t n = _Stream_Block_Ok;
    TAP_SPrint(name, "%u.lok", n);
    if (!TAP_Hdd_Exist(name)) return;
    char* log = nullptr;
    if (ReadText(name, 1, &log) != READ_OK) return;  // nothing written yet
    bool complete = strstr(log, "100%") != nullptr;
    bool failed = !complete && LogShowsFailure(log);
    TAP_MemFree(log);
    if (failed) {
      TAP_SPrint(message, "%u Read err", n);
      SetStatusAusgabe(message, kProgressSeconds);
      _Stream_Block_Ok = n + 1;
      return;
    }
    if (!complete) return;
    TAP_Hdd_Delete(name);
    Format(command, "cat /mnt/hd/MediaFiles/tmp/tmp%u.ts >> /mnt/hd/MediaFiles/tmp/Stream.ts", n);
    system(command);
    HDD_ChangeDir(kMediaTmpDir);
    TAP_SPrint(name, "tmp%u.ts", n);
    TAP_Hdd_Delete(name);
    _Stream_Block_Ok = n + 1;
    uint64_t size = 0;
    if (HDD_GetFileSizeAndInode("Stream.ts", nullptr, &size)) _StreamFileSize = static_cast<int64_t>(size);
    if (_PlayFile.playMode != 0) continue;
    TAP_SPrint(message, "%d: %d kB", static_cast<int>(_Stream_Block_Ok), static_cast<int>(_StreamFileSize / 1024));
    SetStatusAusgabe(message, kProgressSeconds);
    if (_StreamFileSize > kPlayThreshold) {
      cls();
      HDD_ChangeDir(kMediaTmpDir);
      PlayMediaFile("Stream.ts");
    }
  }
}

}  // namespace

void stream(void) {
  if (_StreamNr < 1 || _StreamNr > 9) return;
  if (_Stream_Block == 0 && !Prepare()) return;

  char* list = FetchChunkList();
  if (list == nullptr) return;
  char chunk[StreamMaxChunks][StreamUrlSize];
  int32_t k = SelectChunks(list, chunk);
  TAP_MemFree(list);
  if (k < 0) return;

  char command[kCommandSize];
  int32_t background = k;
  if (_Stream_Block == 0) {
    // No chunk in the list: nothing to start from, so the start is retried.
    if (k == 0) {
      Status("Start ts err");
      return;
    }
    Format(command, "wget -T60 -O /mnt/hd/MediaFiles/tmp/Stream.ts '%s'", chunk[0]);
    if (system(command) != 0) {
      Status("Start ts err");
      return;
    }
    strcpy(_OrvadoDlTsFileName_OK[StreamRingSize - 1], chunk[0]);
    _Stream_Block = 1;
    _Stream_Block_Ok = 1;
    // The newest chunk waits for the next step.
    background = k - 1;
  }

  for (int32_t i = 0; i < background; ++i) {
    if (StremDlTest(chunk[i]) == 0) continue;
    uint32_t n = _Stream_Block;
    Format(command,
           "wget -T30 -t2 -O /mnt/hd/MediaFiles/tmp/tmp%u.ts '%s' 2>/mnt/hd/ProgramFiles/Settings/orvado/%u.lok &", n,
           chunk[i], n);
    system(command);
    ++_Stream_Block;
  }

  AppendFinishedChunks();
}
