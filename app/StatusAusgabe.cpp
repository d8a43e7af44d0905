// The status line: a column of up to ten short messages in the top-left
// corner, each on a small background and gone after its time.
#include <cstring>

#include "app/orvado.h"
#include "lib/fonts/fonts.h"

char _StatusausgabeText[15][16];
uint32_t _StatusausgabeTick[10];
uint8_t _StatusAusgabeDel = 0;
uint8_t _StatusShowTime = StatusShowTimeAtLoad;

namespace {

constexpr uint16_t Argb1555(int r, int g, int b) { return static_cast<uint16_t>(0x8000 | r << 10 | g << 5 | b); }

// The 100 x 20 box background, run-length packed: a grey frame around a
// blue fill that darkens downwards.
struct PackedBox {
  uint8_t bytes[484] = {};
  constexpr PackedBox() {
    int at = 0;
    auto pixel = [&](uint16_t p) {
      bytes[at++] = static_cast<uint8_t>(p & 0xFF);
      bytes[at++] = static_cast<uint8_t>(p >> 8);
    };
    auto repeat = [&](int count, uint16_t p) {
      bytes[at++] = static_cast<uint8_t>(0x7F + count);
      pixel(p);
    };
    auto literal = [&](uint16_t p) {
      bytes[at++] = 0x00;
      pixel(p);
    };
    const uint16_t frame = Argb1555(19, 19, 19);
    repeat(100, frame);
    for (int row = 1; row < 19; ++row) {
      literal(frame);
      repeat(98, Argb1555(2, 4, 12 - row / 3));
      literal(frame);
    }
    repeat(100, frame);
  }
};
constexpr PackedBox kBox;

bool Live(int slot) { return _StatusausgabeTick[slot] > _tick; }
bool Expired(int slot) { return _StatusausgabeTick[slot] < _tick; }

}  // namespace

const uint8_t (&_staCpm)[484] = kBox.bytes;
TYPE_GrData _staGd = {1, 0, 0, 2, _staCpm, 4000, 100, 20};

void SetStatusAusgabe(const char* text, uint32_t seconds) {
  for (int i = 0; i < 10; ++i) {
    if (!Expired(i)) continue;
    for (int j = i + 1; j < 10; ++j) {
      if (!Live(j)) continue;
      _StatusausgabeTick[i] = _StatusausgabeTick[j];
      std::memcpy(_StatusausgabeText[i], _StatusausgabeText[j], 16);
      _StatusausgabeTick[j] = 0;
      break;
    }
  }
  for (int i = 0; i < 10; ++i) {
    if (!Expired(i)) continue;
    _StatusausgabeTick[i] = seconds * 100 + _tick;
    if (text && std::strlen(text) < 16) {
      std::strcpy(_StatusausgabeText[i], text);
    } else {
      std::strcpy(_StatusausgabeText[i], "String to long");
    }
    // One line for whoever reads the console: a developer's serial cable on
    // the receiver, the status column of the emulator's web page.
    TAP_Print("status: %s (%u s)\n", _StatusausgabeText[i], static_cast<unsigned>(seconds));
    break;
  }
  StatusAusgabe();
  TAP_Osd_Sync();
}

void StatusAusgabe(void) {
  for (uint32_t k = 0; k < _StatusAusgabeDel; ++k) TAP_Osd_FillBox(_rgn, 20, 5 + 22 * k, 100, 20, 0);
  _StatusAusgabeDel = 0;
  uint32_t y = 5;
  for (int i = 0; i < 10; ++i) {
    if (!Live(i)) continue;
    TAP_Osd_PutGd(_rgn, 20, static_cast<int>(y), &_staGd, false);
    FMUC_PutString(_rgn, 20, y, 120, _StatusausgabeText[i], 0xff00ff00, 0, &Calibri_12_FontDataUC, 0, 1);
    ++_StatusAusgabeDel;
    y += 22;
  }
}
