// The command line of orvado-emu: what it may say and what it asks for.
#pragma once

#include <string>
#include <vector>

#include "emulator/core/emulator.h"
#include "emulator/core/sandbox.h"
#if ORVADO_WEB
#include "emulator/web/web.h"
#endif

namespace cli {

// A screenshot at a tick after start.
struct Shot {
  uint32_t atTick = 0;
  std::string path;
};

struct Options {
  emu::Config config;
  emu::RunOptions run;
  emu::SandboxOptions sandbox;
  std::vector<emu::ScriptedKey> keys;
  bool keysFromStdin = false;
  // --screenshot (at --screenshot-at, or at the end) and every --shot.
  std::vector<Shot> shots;
  std::string traceFile;
  bool web = false;
#if ORVADO_WEB
  emu::web::Address webAddress;
#endif
};

// Reads the command line into `options`. Prints the help and ends the program
// with 0 for --help; prints a message and ends it with 2 for anything it
// cannot use.
void parseOptions(int argc, char** argv, Options& options);

// The items of a comma-separated list, empty items left out.
std::vector<std::string> splitList(const std::string& list);

// The orvado.ini that names `channels` (each "URL" or "NAME=URL") as
// channels 1, 2, ...; false with a message for more than nine or an empty URL.
bool iniForChannels(const std::vector<std::string>& channels, std::string& text, std::string* error);

}  // namespace cli
