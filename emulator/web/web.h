// The web front end of the emulator: the receiver's screen live in a web page,
// with its remote control, console, TAP, player and download state. It uses
// only the core's public headers.
#pragma once

#include <string>

#include "emulator/core/emulator.h"

namespace emu::web {

struct Address {
  std::string host = "127.0.0.1";  // numeric address to listen on
  int port = 0;                    // 0: any free port
};

// Parses "[ADDR:]PORT": "8080", "127.0.0.1:8080", "localhost:8080",
// "0.0.0.0:8080", "[::1]:8080". Without an address the front end listens on
// 127.0.0.1 only. Returns false with a message for anything else.
bool parseAddress(const std::string& text, Address& address, std::string* error);

// Serves the page at `address` and runs the TAP of `run` on this thread until
// Ctrl-C (requestStop) or, with run.runTicks, that long. The TAP may be
// stopped and started again from the page; its own end leaves the page
// serving. Keys and looks that `run` brings (a script, screenshots) go on
// beside the page's. Call it inside the sandbox after the console is open. Prints the
// page's address on stdout. Returns the exit status: 0, or 1 with a message on
// stderr when the address cannot be used or the TAP cannot be loaded.
//
// A TAP that hung (Config::watchdogMs) shows as "hangs"; Stop TAP and
// Restart TAP end its call. It may have been cut off holding a lock, so a
// restart after it returns kRestartInNewProcess: the caller runs the front
// end again in a new sandbox and process, on the same port (`chain`).
struct RunChain {
  int* boundPort = nullptr;  // receives the port listened on
  std::string note;          // a console line for the page, such as why it restarted
};
constexpr int kRestartInNewProcess = 75;
int run(const Address& address, const Config& config, RunOptions run, const RunChain& chain = {});

// Ends a running web front end (safe from a signal handler).
void requestQuit();

}  // namespace emu::web
