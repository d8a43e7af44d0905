// The decoded picture in the 720 x 576 video plane: scaled to fit with its
// display aspect kept (the plane's pixels taken as square, as the screenshots
// show them), centred, black around it. Scaled only when the screen is looked
// at and the picture has changed; fast bilinear keeps it cheap.
#include <algorithm>
#include <cmath>

#include "core/player_impl.h"

namespace emu::detail {

void pictureFit(uint32_t width, uint32_t height, AVRational sar, uint32_t& w, uint32_t& h) {
  if (sar.num <= 0 || sar.den <= 0) sar = AVRational{1, 1};
  double shown = static_cast<double>(width) * sar.num / sar.den;  // display width in square pixels
  if (shown * OSD_ScreenHeight >= static_cast<double>(OSD_ScreenWidth) * height) {
    w = OSD_ScreenWidth;
    h = static_cast<uint32_t>(std::lround(OSD_ScreenWidth * height / shown));
  } else {
    h = OSD_ScreenHeight;
    w = static_cast<uint32_t>(std::lround(OSD_ScreenHeight * shown / height));
  }
  w = std::clamp<uint32_t>(w & ~1u, 2, OSD_ScreenWidth);
  h = std::clamp<uint32_t>(h & ~1u, 2, OSD_ScreenHeight);
}

void Playback::drawPicture(Image& out) {
  Impl& p = *impl_;
  if (!p.haveShown) return;
  const size_t area = static_cast<size_t>(OSD_ScreenWidth) * OSD_ScreenHeight;
  if (p.shownChanged || p.plane.size() != area) {
    p.shownChanged = false;
    p.plane.assign(area, 0xFF000000u);
    const AVFrame* f = p.shown;
    uint32_t w, h;
    pictureFit(static_cast<uint32_t>(f->width), static_cast<uint32_t>(f->height), f->sample_aspect_ratio, w, h);
    p.scaler =
        sws_getCachedContext(p.scaler, f->width, f->height, static_cast<AVPixelFormat>(f->format), static_cast<int>(w),
                             static_cast<int>(h), AV_PIX_FMT_BGRA, SWS_FAST_BILINEAR, nullptr, nullptr, nullptr);
    if (p.scaler) {
      // BGRA bytes are ARGB words on this little-endian machine.
      uint32_t x = (OSD_ScreenWidth - w) / 2, y = (OSD_ScreenHeight - h) / 2;
      uint8_t* dst[4] = {reinterpret_cast<uint8_t*>(&p.plane[static_cast<size_t>(y) * OSD_ScreenWidth + x])};
      int stride[4] = {static_cast<int>(OSD_ScreenWidth * 4)};
      sws_scale(p.scaler, f->data, f->linesize, 0, f->height, dst, stride);
    }
  }
  out.pixels = p.plane;
}

}  // namespace emu::detail
