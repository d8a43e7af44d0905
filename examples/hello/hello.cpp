// The smallest useful TAP: it draws a greeting, counts the OK key and ends on
// Exit. Built against platform/tap.h only; the firmware (or orvado-emu) fills
// every TAP_ pointer before the start routine runs.
#include <cstdio>

#include "platform/tap.h"

// The loader reads these sections; each block is zero-padded to its size.
#define TAP_SECTION(name) extern "C" __attribute__((visibility("default"), used, section(name)))
TAP_SECTION("._tap_program_name") const char __tap_program_name__[64] = "Hello";
TAP_SECTION("._tap_description") const char __tap_description__[128] = "Says hello and counts OK";
TAP_SECTION("._tap_author_name") const char __tap_author_name__[64] = "A TAP author";
TAP_SECTION("._tap_etcinfo") const char __tap_etc_str__[64] = "example";
TAP_SECTION("._tap_id") const uint32_t __tap_ud__ = 0x0F0A7F01;
TAP_SECTION("._tap_header") const unsigned char __tap_Header__[32] = {'K', 'R', 'U', 'X', 'M', 'I', 'P', 'S', 0x10};

namespace {

int g_region = 0;
unsigned g_okPresses = 0;

void draw() {
  TAP_Osd_FillBox(static_cast<uint16_t>(g_region), 160, 200, 400, 150, 0xFF203050);
  TAP_Osd_PutS(static_cast<uint16_t>(g_region), 170, 220, 550, "Hello from a TAP", 0xFFFFFFFF, 0, 0, 2, 0, 1);
  char line[64];
  std::snprintf(line, sizeof line, "OK pressed %u times", g_okPresses);
  TAP_Osd_PutS(static_cast<uint16_t>(g_region), 170, 270, 550, line, 0xFFFFD060, 0, 0, 1, 0, 1);
  TAP_Osd_PutS(static_cast<uint16_t>(g_region), 170, 310, 550, "Exit ends", 0xFFA0A0A0, 0, 0, 0, 0, 1);
  TAP_Osd_Sync();
}

int helloMain() {
  g_region = TAP_Osd_Create(0, 0, 720, 576, 0, 0);
  if (g_region < 128) return 0;  // no region: end at once
  draw();
  return 1;  // stay loaded
}

// Returns 0 for a key the TAP has used, the key itself to pass it on.
uint32_t helloEvents(uint32_t event, uint32_t param1, uint32_t) {
  if (event == EVT_KEY && param1 == RKEY_Ok) {
    ++g_okPresses;
    draw();
    return 0;
  }
  if ((event == EVT_KEY && param1 == RKEY_Exit) || event == EVT_STOP) {
    TAP_Osd_Delete(static_cast<uint16_t>(g_region));
    TAP_Exit();
    return 0;
  }
  return param1;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int __TAP_Init_(TAP_EntryRecord* record) {
  record->main = helloMain;
  record->eventHandler = helloEvents;
  return 0;
}
