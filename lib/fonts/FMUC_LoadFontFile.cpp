#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "lib/files/files.h"
#include "lib/fonts/internal.h"
#include "lib/log/log.h"
#include "lib/screen/screen.h"

// The TAP's program-name header field. Weak, so that programs which link the
// library without the TAP's registration (the tests) still link.
extern const char __tap_program_name__[] __attribute__((weak));

const char* fonts_internal::programName() { return __tap_program_name__ ? __tap_program_name__ : ""; }

namespace {

// Reads exactly n bytes; a short read counts as a failure.
bool readAll(int fd, void* buffer, size_t n) { return size_t(read(fd, buffer, n)) == n; }

void closeFile(FontDataUC* font) {
  if (font->FileHandle > 0) close(font->FileHandle);
  font->FileHandle = 0;
}

}  // namespace

int FMUC_LoadFontFile(const char* fontName, FontDataUC* font) {
  if (font != nullptr) memset(font, 0, sizeof *font);
  if (fontName == nullptr || fontName[0] == 0 || font == nullptr) return 0;

  char name[512] = "";
  ConvertPathType(fontName, name, PATH_NAME);
  char path[600];
  snprintf(path, sizeof path, "%s%s", fonts_internal::kFontFolder, name);

  font->FileHandle = open(path, O_RDONLY);
  if (font->FileHandle < 0) {
    char text[600];
    snprintf(text, sizeof text, "failed to load %s", name);
    LogEntryZindraPrintf(1, "FontManager UC: %s", text);
    ShowMessageWin(fonts_internal::programName(), text, "Please install the font", 300);
    return 0;
  }

  char magic[sizeof UFNT_Magic] = {};
  int32_t count = 0;
  if (!readAll(font->FileHandle, magic, sizeof magic) || memcmp(magic, UFNT_Magic, sizeof magic) != 0 ||
      !readAll(font->FileHandle, &count, sizeof count)) {
    closeFile(font);
    LogEntryZindraPrintf(1, "FontManager UC: '%s' has invalid header", name);
    return 0;
  }
  font->FontDefCount = count;

  // A count that is negative, overflows or promises more entries than the
  // file holds is refused like a table that cannot be reserved.
  FileFacts file;
  int64_t tableBytes = int64_t(count) * int64_t(sizeof(FontDefUC));
  bool plausible = count >= 0 && StatOpenFile(font->FileHandle, &file) &&
                   uint64_t(UFNT_HeaderSize) + uint64_t(tableBytes) <= file.size;
  if (plausible)
    font->FontDef = static_cast<FontDefUC*>(FMUC_ReserveMemory("FMUC_LoadFontFile FontDef", uint32_t(tableBytes)));
  if (font->FontDef != nullptr && !readAll(font->FileHandle, font->FontDef, size_t(tableBytes))) {
    FMUC_FreeMemory("FMUC_LoadFontFile FontDef", font->FontDef);
    font->FontDef = nullptr;
  }
  if (font->FontDef == nullptr) {
    closeFile(font);
    LogEntryZindraPrintf(1, "FontManager UC: failed to allocate %d bytes for the FontDef table of '%s'",
                         int(uint32_t(tableBytes)), name);
    return 0;
  }

  font->GlyphCacheCount = 0;
  uint32_t cacheBytes = uint32_t(count) * uint32_t(sizeof(GlyphDataUC));
  // One block for the slots and the index from code point to slot behind them.
  uint64_t blockBytes = fonts_internal::cacheBlockBytes(count);
  if (blockBytes <= UINT32_MAX)
    font->GlyphCache =
        static_cast<GlyphDataUC*>(FMUC_ReserveMemory("FMUC_LoadFontFile GlyphCache", uint32_t(blockBytes)));
  if (font->GlyphCache != nullptr) fonts_internal::clearIndex(font);
  if (font->GlyphCache == nullptr) {
    LogEntryZindraPrintf(1, "FontManager UC: failed to allocate %d bytes for the FontCache table of '%s'",
                         int(cacheBytes), name);
    return 0;
  }
  return 1;
}
