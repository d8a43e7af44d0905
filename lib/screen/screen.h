// Region queries, checked drawing calls and the message window.
//
// Region sizes come from the firmware's own region table. The checked calls
// take a caller tag first; with a tag they log one warning per failed range
// check, always make the platform call and hand its result back unchanged.
#pragma once

#include <cstdint>

// Visible region of the message window being shown, 0 when none is.
extern uint32_t zindra_rgn;

// Width in pixels of region `rgn` as the firmware's region table holds it.
// Returns 0 when the table is not available, for a number beyond the table
// and for a region that does not exist.
uint32_t GetOSDRegionWidth(uint16_t rgn);

// Height in pixels of region `rgn`; 0 in the same cases as the width.
uint32_t GetOSDRegionHeight(uint16_t rgn);

// 1 when region `rgn` has a non-zero width and height, else 0.
int isOSDRegionAlive(uint16_t rgn);

// TAP_Osd_Create with checks against the 720 x 576 screen. tag names the
// caller in the warnings; a null tag switches checks and warnings off.
// Returns the platform call's result (a region number, below 128 on failure).
int TAP_Osd_Create_Chk(const char* tag, uint32_t x, uint32_t y, uint32_t w, uint32_t h, uint8_t lutIdx, int flags);

// TAP_Osd_FillBox with checks against the size of region `rgn`. Returns the
// platform call's result (0 on success).
int TAP_Osd_FillBox_Chk(const char* tag, uint16_t rgn, uint32_t x, uint32_t y, uint32_t w, uint32_t h, uint32_t colour);

// TAP_Osd_Copy with checks against the sizes of both regions. Returns the
// platform call's result (0 on success).
int TAP_Osd_Copy_Chk(const char* tag, uint16_t srcRgn, uint16_t dstRgn, uint32_t srcX, uint32_t srcY, uint32_t w,
                     uint32_t h, uint32_t dstX, uint32_t dstY, bool sprite);

// Shows a framed box with a title and lines in the built-in font.
//   lines      : the title, then the text lines, ended by a null pointer
//                (the title itself may be null).
//   x, y       : top-left corner; x >= 720 centres across, y >= 576 down.
//   fontSize   : built-in font size 0 to 2; larger values count as 2.
//   align      : alignment of the text lines (0 left, 1 centred, 2 right).
//   duration   : ticks of 10 ms to keep the box up, blocking, after which
//                it is removed; 0 leaves it up until EndMessageWin.
// A box already shown is replaced. Lines that would reach row 576 are left out.
void ShowMessageWindow(const char* const* lines, uint32_t x, uint32_t y, uint8_t fontSize, uint8_t align,
                       uint32_t frameColour, uint32_t titleColour, uint32_t textColour, uint32_t bgColour,
                       uint32_t duration);

// Shows a centred box with a title and up to two lines in the standard
// colours (see ShowMessageWindow). A null line1 ends the list there.
void ShowMessageWin(const char* title, const char* line1, const char* line2, uint32_t duration);

// Removes the message window, if one is shown, and syncs the screen.
void EndMessageWin(void);
