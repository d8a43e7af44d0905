#include "lib/screen/screen.h"

void ShowMessageWin(const char* title, const char* line1, const char* line2, uint32_t duration) {
  const char* lines[4] = {title, line1, line1 ? line2 : nullptr, nullptr};
  ShowMessageWindow(lines, 720, 576, 2, 1, 0xFF9C9C9C, 0xFFFFFF52, 0xFFE6FFE6, 0xFF192952, duration);
}
