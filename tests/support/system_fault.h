// A C library whose system() can fail on demand, as it does when the box has
// no memory or no process left for a fork: the test program's own
// orvado_tap_system() stands in front of the core's, and the TAP's code
// linked into it calls it for system().
#pragma once

#include <string>

namespace orvado_test {

// The next system() whose command contains `part` returns -1 (errno EAGAIN)
// without running it; every other one runs as usual.
void failSystemOnce(const std::string& part);

}  // namespace orvado_test
