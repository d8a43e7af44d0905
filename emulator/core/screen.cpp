// The receiver's on-screen display: regions, boxes, copies and the screen as
// shown. Text lives in screen_text.cpp, graphics in screen_graphic.cpp and
// PNG files in screen_png.cpp.
#include <algorithm>
#include <array>
#include <cstring>
#include <cwchar>
#include <memory>

#include "core/player_internal.h"
#include "core/screen_internal.h"

namespace emu {
namespace {

OsdRegionInfo* g_table = nullptr;
std::array<std::unique_ptr<detail::OsdRegion>, OSD_RegionTableSize> g_regions;
uint64_t g_created = 0;
int g_syncs = 0;
uint64_t g_changes = 0;
uint64_t g_videoKey = 0;

constexpr int kFail = -1;

// A rectangle of `w` x `h` at `x`, `y` lies wholly inside a `rw` x `rh` area.
// Done in 64 bits: the TAP's coordinates are unsigned and may be huge.
bool inside(uint32_t x, uint32_t y, uint32_t w, uint32_t h, uint32_t rw, uint32_t rh) {
  return uint64_t{x} + w <= rw && uint64_t{y} + h <= rh;
}

int osdCreate(uint32_t x, uint32_t y, uint32_t w, uint32_t h, uint8_t lutIdx, int flags) {
  detail::screenChanged();
  int result = kFail;
  if (w > 0 && h > 0 && inside(x, y, w, h, OSD_ScreenWidth, OSD_ScreenHeight)) {
    for (int n = OSD_FirstRegion; n < OSD_RegionTableSize; ++n) {
      if (g_regions[n]) continue;
      auto region = std::make_unique<detail::OsdRegion>();
      region->x = x;
      region->y = y;
      region->w = w;
      region->h = h;
      region->flags = flags;
      region->order = ++g_created;
      region->pixels.assign(static_cast<size_t>(w) * h, 0);
      g_regions[n] = std::move(region);
      std::memset(&g_table[n], 0, sizeof(OsdRegionInfo));
      g_table[n].width = static_cast<uint16_t>(w);
      g_table[n].height = static_cast<uint16_t>(h);
      result = n;
      break;
    }
  }
  trace("TAP_Osd_Create(%u, %u, %u, %u, %u, 0x%X) = %d", x, y, w, h, lutIdx, flags, result);
  return result;
}

int osdDelete(uint16_t rgn) {
  detail::screenChanged();
  int result = kFail;
  if (detail::osdRegion(rgn)) {
    g_regions[rgn].reset();
    std::memset(&g_table[rgn], 0, sizeof(OsdRegionInfo));
    result = 0;
  }
  trace("TAP_Osd_Delete(%u) = %d", rgn, result);
  return result;
}

void osdSync() {
  ++g_syncs;
  trace("TAP_Osd_Sync()");
}

int osdFillBox(uint16_t rgn, uint32_t x, uint32_t y, uint32_t w, uint32_t h, uint32_t colour) {
  detail::screenChanged();
  int result = kFail;
  detail::OsdRegion* r = detail::osdRegion(rgn);
  if (r && w > 0 && h > 0 && x < r->w && y < r->h) {
    uint32_t right = static_cast<uint32_t>(std::min<uint64_t>(uint64_t{x} + w, r->w));
    uint32_t bottom = static_cast<uint32_t>(std::min<uint64_t>(uint64_t{y} + h, r->h));
    // wmemset fills 32-bit units (wchar_t on Linux) with the C library's
    // vector code; a plain loop is several times slower.
    static_assert(sizeof(wchar_t) == sizeof(uint32_t));
    for (uint32_t py = y; py < bottom; ++py)
      std::wmemset(reinterpret_cast<wchar_t*>(&r->at(x, py)), static_cast<wchar_t>(colour), right - x);
    result = 0;
  }
  trace("TAP_Osd_FillBox(%u, %u, %u, %u, %u, 0x%08X) = %d", rgn, x, y, w, h, colour, result);
  return result;
}

int osdCopy(uint16_t srcRgn, uint16_t dstRgn, uint32_t srcX, uint32_t srcY, uint32_t w, uint32_t h, uint32_t dstX,
            uint32_t dstY, bool sprite) {
  detail::screenChanged();
  int result = kFail;
  detail::OsdRegion* src = detail::osdRegion(srcRgn);
  detail::OsdRegion* dst = detail::osdRegion(dstRgn);
  if (src && dst && w > 0 && h > 0 && inside(srcX, srcY, w, h, src->w, src->h) &&
      inside(dstX, dstY, w, h, dst->w, dst->h)) {
    if (!sprite) {
      // Row by row, in the order that reads every row of a rectangle that
      // overlaps itself before it is written.
      bool upwards = src == dst && dstY > srcY;
      for (uint32_t i = 0; i < h; ++i) {
        uint32_t row = upwards ? h - 1 - i : i;
        std::memmove(&dst->at(dstX, dstY + row), &src->at(srcX, srcY + row), size_t{w} * 4);
      }
    } else {
      // Through a copy, so a rectangle may overlap itself within one region.
      std::vector<uint32_t> block(static_cast<size_t>(w) * h);
      for (uint32_t row = 0; row < h; ++row)
        std::memcpy(&block[static_cast<size_t>(row) * w], &src->at(srcX, srcY + row), size_t{w} * 4);
      for (uint32_t row = 0; row < h; ++row) {
        const uint32_t* from = block.data() + static_cast<size_t>(row) * w;
        uint32_t* to = &dst->at(dstX, dstY + row);
        for (uint32_t c = 0; c < w; ++c)
          if ((from[c] >> 24) != 0) to[c] = from[c];  // a sprite keeps what lies under its clear pixels
      }
    }
    result = 0;
  }
  trace("TAP_Osd_Copy(%u, %u, %u, %u, %u, %u, %u, %u, %d) = %d", srcRgn, dstRgn, srcX, srcY, w, h, dstX, dstY,
        sprite ? 1 : 0, result);
  return result;
}

uint32_t* osdSaveBox(uint16_t rgn, uint32_t x, uint32_t y, uint32_t w, uint32_t h) {
  uint32_t* block = nullptr;
  detail::OsdRegion* r = detail::osdRegion(rgn);
  // Only pixels that exist can be saved: the whole box must lie in the region.
  if (r && w > 0 && h > 0 && inside(x, y, w, h, r->w, r->h)) {
    block = static_cast<uint32_t*>(memAlloc(w * h * 4));
    if (block)
      for (uint32_t row = 0; row < h; ++row)
        std::memcpy(block + static_cast<size_t>(row) * w, &r->at(x, y + row), size_t{w} * 4);
  }
  trace("TAP_Osd_SaveBox(%u, %u, %u, %u, %u) = %p", rgn, x, y, w, h, static_cast<void*>(block));
  return block;
}

void osdRestoreBox(uint16_t rgn, uint32_t x, uint32_t y, uint32_t w, uint32_t h, const uint32_t* data) {
  detail::screenChanged();
  detail::OsdRegion* r = detail::osdRegion(rgn);
  uint32_t cols = 0, rows = 0;
  if (r && data && x < r->w && y < r->h) {
    cols = static_cast<uint32_t>(std::min<uint64_t>(w, r->w - x));
    rows = static_cast<uint32_t>(std::min<uint64_t>(h, r->h - y));
    for (uint32_t row = 0; row < rows; ++row)
      std::memcpy(&r->at(x, y + row), data + static_cast<size_t>(row) * w, size_t{cols} * 4);
  }
  trace("TAP_Osd_RestoreBox(%u, %u, %u, %u, %u, %p) wrote %u x %u", rgn, x, y, w, h, static_cast<const void*>(data),
        cols, rows);
}

uint8_t channel(uint32_t argb, int shift) { return static_cast<uint8_t>(argb >> shift); }

}  // namespace

namespace detail {

void screenChanged() { ++g_changes; }

OsdRegion* osdRegion(uint16_t rgn) {
  if (rgn < OSD_FirstRegion || rgn >= OSD_RegionTableSize) return nullptr;
  return g_regions[rgn].get();
}

uint32_t blendOver(uint32_t dst, uint32_t rgb, uint32_t alpha) {
  if (alpha == 0) return dst;
  if (alpha >= 255) return 0xFF000000u | (rgb & 0xFFFFFF);
  uint32_t da = dst >> 24;
  // Weights scaled by 255 * 255: the source's alpha and what shows of dst.
  uint32_t ws = alpha * 255, wd = da * (255 - alpha);
  uint32_t sum = ws + wd;
  uint32_t outA = (sum + 127) / 255;
  uint32_t out = outA << 24;
  for (int shift : {16, 8, 0}) {
    uint32_t c = (channel(rgb, shift) * ws + channel(dst, shift) * wd + sum / 2) / sum;
    out |= c << shift;
  }
  return out;
}

void resetScreen(OsdRegionInfo* regionTable) {
  for (auto& r : g_regions) r.reset();
  g_table = regionTable;
  std::memset(static_cast<void*>(g_table), 0, sizeof(OsdRegionInfo) * OSD_RegionTableSize);
  g_created = 0;
  g_syncs = 0;
  ++g_changes;
  TAP_Osd_Create = osdCreate;
  TAP_Osd_Delete = osdDelete;
  TAP_Osd_Sync = osdSync;
  TAP_Osd_FillBox = osdFillBox;
  TAP_Osd_PutGd = osdPutGd;
  TAP_Osd_PutS = osdPutS;
  TAP_Osd_GetW = osdGetW;
  TAP_Osd_Copy = osdCopy;
  TAP_Osd_SaveBox = osdSaveBox;
  TAP_Osd_RestoreBox = osdRestoreBox;
}

}  // namespace detail

namespace {

// Before the first picture: seven bars at 75 % (white, yellow, cyan, green,
// magenta, red, blue) and a progress bar of the played share of the file
// along the bottom.
void paintVideoPlane(Image& image) {
  static constexpr uint32_t kBars[7] = {0xFFBFBFBF, 0xFFBFBF00, 0xFF00BFBF, 0xFF00BF00,
                                        0xFFBF00BF, 0xFFBF0000, 0xFF0000BF};
  const uint32_t barsBottom = OSD_ScreenHeight - 40;
  for (uint32_t y = 0; y < OSD_ScreenHeight; ++y)
    for (uint32_t x = 0; x < OSD_ScreenWidth; ++x)
      image.pixels[size_t(y) * OSD_ScreenWidth + x] = y < barsBottom ? kBars[x * 7 / OSD_ScreenWidth] : 0xFF101010u;
  TYPE_PlayInfo info = playInfo();
  uint64_t filled = info.totalBlock ? uint64_t(OSD_ScreenWidth - 40) * info.currentBlock / info.totalBlock : 0;
  for (uint32_t y = barsBottom + 16; y < barsBottom + 24; ++y)
    for (uint32_t x = 20; x < OSD_ScreenWidth - 20; ++x)
      image.pixels[size_t(y) * OSD_ScreenWidth + x] = x - 20 < filled ? 0xFFE0E0E0u : 0xFF404040u;
}

// What decides the video plane's picture: nothing plays, the player's
// decoded picture by its number, or before it the bars with this much of the
// progress bar filled (as paintVideoPlane draws them).
uint64_t videoPlaneKey() {
  if (!playing()) return 0;
  if (uint64_t pictures = playerStatus().pictures) return (uint64_t{1} << 40) + pictures;
  TYPE_PlayInfo info = playInfo();
  return 1 + (info.totalBlock ? uint64_t(OSD_ScreenWidth - 40) * info.currentBlock / info.totalBlock : 0);
}

}  // namespace

uint64_t screenChanges() {
  uint64_t key = videoPlaneKey();
  if (key != g_videoKey) {
    g_videoKey = key;
    ++g_changes;
  }
  return g_changes;
}

Image screen() {
  Image image;
  image.width = OSD_ScreenWidth;
  image.height = OSD_ScreenHeight;
  image.pixels.assign(static_cast<size_t>(OSD_ScreenWidth) * OSD_ScreenHeight, 0xFF000000u);
  if (playing() && !detail::playerPicture(image)) paintVideoPlane(image);
  std::vector<detail::OsdRegion*> shown;
  for (auto& r : g_regions)
    if (r && r->shown()) shown.push_back(r.get());
  std::sort(shown.begin(), shown.end(), [](auto* a, auto* b) { return a->order < b->order; });
  for (detail::OsdRegion* r : shown) {
    for (uint32_t py = 0; py < r->h; ++py) {
      uint32_t* to = &image.pixels[static_cast<size_t>(r->y + py) * OSD_ScreenWidth + r->x];
      const uint32_t* from = &r->at(0, py);
      for (uint32_t px = 0; px < r->w; ++px) to[px] = detail::blendOver(to[px], from[px], from[px] >> 24);
    }
  }
  return image;
}

Image regionImage(uint16_t rgn) {
  Image image;
  if (detail::OsdRegion* r = detail::osdRegion(rgn)) {
    image.width = r->w;
    image.height = r->h;
    image.pixels = r->pixels;
  }
  return image;
}

int syncCount() { return g_syncs; }

}  // namespace emu
