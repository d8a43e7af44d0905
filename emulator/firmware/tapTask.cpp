// The firmware's table of TAP slots.
#include "platform/firmware.h"

extern "C" __attribute__((visibility("default"))) TapTableEntry _tapTask[TAP_TableSize];
TapTableEntry _tapTask[TAP_TableSize];
