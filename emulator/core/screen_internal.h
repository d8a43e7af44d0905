// Private to the screen files of the emulator core: the regions, pixel
// blending, the graphic unpacker and the text renderer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/internal.h"

namespace emu::detail {

// One OSD region: an ARGB surface at a place on the screen.
struct OsdRegion {
  uint32_t x = 0, y = 0, w = 0, h = 0;
  int flags = 0;
  uint64_t order = 0;  // creation order; later regions lie on top
  std::vector<uint32_t> pixels;

  uint32_t& at(uint32_t px, uint32_t py) { return pixels[static_cast<size_t>(py) * w + px]; }
  bool shown() const { return (flags & OSD_Flag_WorkRegion) == 0; }
};

// Counts a call that may have changed what the screen shows.
void screenChanged();

// The region with this number, or null when the TAP has no such region.
OsdRegion* osdRegion(uint16_t rgn);

// `rgb` with opacity `alpha` (0..255) laid over `dst`, both non-premultiplied
// ARGB. Over an opaque pixel the result stays opaque.
uint32_t blendOver(uint32_t dst, uint32_t rgb, uint32_t alpha);

// ---- graphic records (TAP_Osd_PutGd) ----------------------------------------

// Widens an ARGB 1555 pixel: alpha bit 1 is opaque, 0 is transparent.
uint32_t argbFrom1555(uint16_t v);

// Delivers up to `n` stream bytes from `offset`; fewer means the stream ends.
using GraphicSource = std::function<size_t(size_t offset, uint8_t* out, size_t n)>;
// Receives a run of `count` equal pixels starting at pixel index `first`.
using GraphicSink = std::function<void(uint64_t first, uint64_t count, uint32_t argb)>;

// True when the record's data format and packing are ones the receiver knows.
bool knownGraphicFormat(const TYPE_GrData& gd);

// Unpacks the pixels of `gd` (format already checked) from `source` in order,
// stopping after `limit` pixels (at most width * height). Returns false when
// the stream ended before that; the pixels not delivered stay transparent.
bool unpackGraphic(const TYPE_GrData& gd, const GraphicSource& source, uint64_t limit, const GraphicSink& sink);

// The whole graphic as ARGB pixels from a stream of known length.
// `complete` tells whether the stream held every pixel.
std::vector<uint32_t> unpackGraphic(const TYPE_GrData& gd, const uint8_t* stream, size_t length, bool* complete);

int osdPutGd(uint16_t rgn, int x, int y, const TYPE_GrData* gd, bool sprite);

// ---- text (TAP_Osd_PutS, TAP_Osd_GetW) --------------------------------------

// Line height in pixels of the built-in font size (sizes above 2 count as 2).
uint32_t osdLineHeight(uint8_t fntSize);

int osdPutS(uint16_t rgn, uint32_t x, uint32_t y, uint32_t maxX, const char* str, uint32_t fg, uint32_t bg,
            uint8_t fntType, uint8_t fntSize, uint8_t bDot, uint8_t align);
int osdGetW(const char* str, uint8_t fntType, uint8_t fntSize);

}  // namespace emu::detail
