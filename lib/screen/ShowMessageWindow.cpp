#include "lib/screen/screen.h"
#include "platform/tap.h"

namespace {

struct Metrics {
  uint32_t lineHeight, margin;
};
constexpr Metrics kMetrics[3] = {{19, 14}, {22, 16}, {26, 20}};

}  // namespace

void ShowMessageWindow(const char* const* lines, uint32_t x, uint32_t y, uint8_t fontSize, uint8_t align,
                       uint32_t frameColour, uint32_t titleColour, uint32_t textColour, uint32_t bgColour,
                       uint32_t duration) {
  const char* title = lines ? lines[0] : nullptr;
  const char* const* text = lines ? lines + 1 : nullptr;
  if (title == nullptr && (text == nullptr || text[0] == nullptr)) title = "";

  if (fontSize > 2) fontSize = 2;
  const uint32_t lineHeight = kMetrics[fontSize].lineHeight, margin = kMetrics[fontSize].margin;
  const uint32_t inset = margin / 4;
  const uint32_t indent = align == 1 ? margin / 4 : margin / 2;

  uint32_t height = 10, width = 0;
  if (title != nullptr) {
    height += lineHeight;
    width = uint32_t(TAP_Osd_GetW(title, 0, fontSize)) + margin;
  }
  int shown = 0;
  for (; text != nullptr && text[shown] != nullptr; ++shown) {
    bool fits =
        y < OSD_ScreenHeight ? y + height + lineHeight < OSD_ScreenHeight : height + lineHeight < OSD_ScreenHeight;
    if (!fits) break;
    height += lineHeight;
    uint32_t w = uint32_t(TAP_Osd_GetW(text[shown], 0, fontSize)) + margin;
    if (w > width) width = w;
  }

  if (x < OSD_ScreenWidth) {
    if (width > OSD_ScreenWidth - x) width = OSD_ScreenWidth - x;
  } else {
    if (width > OSD_ScreenWidth) width = OSD_ScreenWidth;
    x = (OSD_ScreenWidth - width) / 2;
  }
  if (y >= OSD_ScreenHeight) y = (OSD_ScreenHeight - height) / 2;

  int work = TAP_Osd_Create_Chk("ShowMessageWindow A", x, y, width, height, 0, OSD_Flag_WorkRegion);
  TAP_Osd_FillBox_Chk("ShowMessageWindow A", uint16_t(work), 0, 0, width, height, frameColour);
  // A box squeezed against the right edge can be narrower than its frame;
  // the panel then has no width rather than a wrapped-around one.
  uint32_t panelW = width > 2 * inset ? width - 2 * inset : 0;
  TAP_Osd_FillBox_Chk("ShowMessageWindow B", uint16_t(work), inset, inset, panelW, height - 2 * inset, bgColour);
  uint32_t row = 0;
  if (title != nullptr) {
    TAP_Osd_PutS(uint16_t(work), inset, 5, width - inset, title, titleColour, bgColour, 0, fontSize, 0, 1);
    row = lineHeight;
  }
  for (int i = 0; i < shown; ++i) {
    TAP_Osd_PutS(uint16_t(work), indent, row + 5, width - indent, text[i], textColour, bgColour, 0, fontSize, 0, align);
    row += lineHeight;
  }

  if (zindra_rgn != 0) TAP_Osd_Delete(uint16_t(zindra_rgn));
  zindra_rgn = uint32_t(TAP_Osd_Create_Chk("ShowMessageWindow B", x, y, width, height, 0, OSD_Flag_Plane));
  TAP_Osd_Copy_Chk("ShowMessageWindow A", uint16_t(work), uint16_t(zindra_rgn), 0, 0, width, height, 0, 0, false);
  TAP_Osd_Delete(uint16_t(work));
  TAP_Osd_Sync();

  if (duration != 0) {
    TAP_Delay(duration);
    EndMessageWin();
  }
}
