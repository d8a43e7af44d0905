// The index of the TAP slot that the firmware serves at the moment.
#include <cstdint>

extern "C" __attribute__((visibility("default"))) int32_t _curTapTask;
int32_t _curTapTask;
