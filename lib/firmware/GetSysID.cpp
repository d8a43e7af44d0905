#include "lib/firmware/keytranslate.h"

uint16_t GetSysID(void) { return static_cast<uint16_t>(TAP_GetSystemId() & 0xFFFF); }
