// orvado-emu: runs a TAP in the receiver emulator from the command line.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "emulator/core/emulator.h"
#include "emulator/core/sandbox.h"
#if ORVADO_WEB
#include "emulator/web/web.h"
#endif

namespace {

const char* kUsage =
    "usage: orvado-emu [options] TAPFILE\n"
    "\n"
    "Runs a TAP on an emulated receiver, inside a sandbox with its own /mnt/hd.\n"
    "\n"
    "options:\n"
    "  --key TIME:KEY       press KEY at TIME after start (repeatable); KEY is 0-9,\n"
    "                       exit, stop, ok, menu, up, down, left, right, red, green,\n"
    "                       yellow, blue, volup, voldown, mute or a key code such as\n"
    "                       0x1003C; TIME is like 2s, 1.5s, 250ms or 40t (10 ms ticks)\n"
    "  --keys LIST          several presses at once: \"2s:1,30s:exit\"\n"
    "  --stdin              read keys from standard input, one a line; quit ends\n"
    "  --run TIME           stop the TAP (stop event) after TIME; default: run until\n"
    "                       the TAP ends, stdin closes or Ctrl-C\n"
    "  --screenshot FILE    save the screen as PNG (720 x 576) when the run ends\n"
    "  --screenshot-at TIME save it at TIME instead\n"
    "  --shot TIME:FILE     save a screenshot at TIME (repeatable)\n"
#if ORVADO_PLAYER
    "  --audio FILE         write the player's decoded audio to FILE as WAV\n"
    "                       (16-bit stereo, 48 kHz)\n"
#endif
    "  --disk DIR           use DIR as /mnt/hd and keep it (filled from the\n"
    "                       template when empty); default: a fresh image\n"
    "  --template DIR       disk template for fresh images (default: disk/\n"
    "                       beside orvado-emu)\n"
    "  --keep-disk          keep the fresh image and say where it is\n"
    "  --no-host-wget       hide the PC's wget inside the sandbox (/bin/wget)\n"
    "  --sysid N            system id of the receiver model (default 22010)\n"
    "  --without SYMBOL     firmware without this symbol (repeatable), e.g.\n"
    "                       _osdInfo or _Z18Appl_StartPlaybackPKcjb\n"
    "  --chdir-zero         TAP_Hdd_ChangeDir reports success with 0 (default 1)\n"
    "  --idle TIME          time between idle events (default 100ms)\n"
    "  --virtual-clock      let time run as fast as the events are handled\n"
    "  --time \"YYYY-MM-DD HH:MM:SS\"  the receiver's clock at start\n"
    "  --trace              print every TAP interface and firmware call\n"
    "  --trace-skip LIST    leave these calls out of the trace, e.g.\n"
    "                       TAP_GetTick,TAP_GetState,idle (idle: idle events)\n"
#if ORVADO_WEB
    "  --web [ADDR:]PORT    serve the screen live with a remote control at\n"
    "                       http://127.0.0.1:PORT/ (PORT 0: any free port); the\n"
    "                       emulator runs until Ctrl-C, and the page can stop and\n"
    "                       restart the TAP. An address other than loopback lets\n"
    "                       other machines in\n"
#endif
    "  --help               show this text\n";

[[noreturn]] void usageError(const std::string& message) {
  std::fprintf(stderr, "orvado-emu: %s\nTry 'orvado-emu --help'.\n", message.c_str());
  std::exit(2);
}

void onSignal(int) { emu::requestStop(); }
#if ORVADO_WEB
void onSignalWeb(int) { emu::web::requestQuit(); }
#else
void onSignalWeb(int) {}
#endif

}  // namespace

int main(int argc, char** argv) {
  emu::Config config;
  emu::RunOptions run;
  emu::SandboxOptions sandbox;
  std::string tap;
  bool web = false;
#if ORVADO_WEB
  emu::web::Address webAddress;
#endif
  auto value = [&](int& i, const char* option) -> std::string {
    if (i + 1 >= argc) usageError(std::string(option) + " needs a value");
    return argv[++i];
  };
  auto addKey = [&](const std::string& item) {
    auto colon = item.find(':');
    emu::ScriptedKey key;
    if (colon == std::string::npos || !emu::parseTicks(item.substr(0, colon), key.atTick) ||
        !emu::parseKey(item.substr(colon + 1), key.code))
      usageError("bad key press \"" + item + "\": expected TIME:KEY such as 2s:1 or 30s:exit");
    run.keys.push_back(key);
  };
  auto ticksOf = [&](const std::string& text, const char* option) {
    uint32_t t;
    if (!emu::parseTicks(text, t)) usageError(std::string("bad time for ") + option + ": \"" + text + "\"");
    return t;
  };
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (a == "--key") {
      addKey(value(i, "--key"));
    } else if (a == "--keys") {
      std::string list = value(i, "--keys");
      size_t start = 0;
      while (start <= list.size()) {
        size_t comma = list.find(',', start);
        std::string item = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (!item.empty()) addKey(item);
        if (comma == std::string::npos) break;
        start = comma + 1;
      }
    } else if (a == "--web") {
      std::string why;
#if ORVADO_WEB
      if (!emu::web::parseAddress(value(i, "--web"), webAddress, &why)) usageError(why);
#else
      usageError("--web is not available in this build (built without the web front end)");
#endif
      web = true;
    } else if (a == "--stdin") {
      run.keysFromStdin = true;
    } else if (a == "--run") {
      run.runTicks = ticksOf(value(i, "--run"), "--run");
    } else if (a == "--screenshot") {
      run.screenshot = value(i, "--screenshot");
    } else if (a == "--shot") {
      std::string item = value(i, "--shot");
      auto colon = item.find(':');
      emu::RunOptions::Shot shot;
      if (colon == std::string::npos || colon + 1 >= item.size() ||
          !emu::parseTicks(item.substr(0, colon), shot.atTick))
        usageError("bad screenshot \"" + item + "\": expected TIME:FILE such as 25s:playing.png");
      shot.path = item.substr(colon + 1);
      run.shots.push_back(shot);
    } else if (a == "--audio") {
      config.audioFile = value(i, "--audio");
#if !ORVADO_PLAYER
      usageError("--audio is not available in this build (built without the decoding player)");
#endif
    } else if (a == "--screenshot-at") {
      run.screenshotAtTick = ticksOf(value(i, "--screenshot-at"), "--screenshot-at");
    } else if (a == "--disk") {
      sandbox.diskDir = value(i, "--disk");
    } else if (a == "--template") {
      sandbox.diskTemplate = value(i, "--template");
    } else if (a == "--keep-disk") {
      sandbox.keepDisk = true;
    } else if (a == "--no-host-wget") {
      sandbox.hideHostWget = true;
    } else if (a == "--sysid") {
      std::string v = value(i, "--sysid");
      char* end = nullptr;
      unsigned long id = std::strtoul(v.c_str(), &end, 0);
      if (v.empty() || *end || id > 0xFFFFFFFFul) usageError("bad system id \"" + v + "\"");
      config.systemId = static_cast<uint32_t>(id);
    } else if (a == "--without") {
      config.leaveOut.insert(value(i, "--without"));
    } else if (a == "--chdir-zero") {
      config.changeDir = emu::ChangeDirConvention::ZeroOnSuccess;
    } else if (a == "--idle") {
      run.idleEveryTicks = ticksOf(value(i, "--idle"), "--idle");
      if (run.idleEveryTicks == 0) usageError("--idle must be at least one tick (10ms)");
    } else if (a == "--virtual-clock") {
      config.virtualClock = true;
    } else if (a == "--time") {
      std::string v = value(i, "--time");
      struct tm t {};
      const char* end = strptime(v.c_str(), "%Y-%m-%d %H:%M:%S", &t);
      if (!end || *end) usageError("bad time \"" + v + "\": expected \"YYYY-MM-DD HH:MM:SS\"");
      t.tm_isdst = -1;
      config.fixedTime = mktime(&t);
    } else if (a == "--trace") {
      config.trace = true;
    } else if (a == "--trace-skip") {
      std::string list = value(i, "--trace-skip");
      size_t start = 0;
      for (;;) {
        size_t comma = list.find(',', start);
        std::string name = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (!name.empty()) config.traceSkip.insert(name);
        if (comma == std::string::npos) break;
        start = comma + 1;
      }
      config.trace = true;
    } else if (!a.empty() && a[0] == '-') {
      usageError("unknown option " + a);
    } else if (tap.empty()) {
      tap = a;
    } else {
      usageError("only one TAP file may be given (also got \"" + a + "\")");
    }
  }
  if (tap.empty()) usageError("no TAP file given");
  if (access(tap.c_str(), R_OK) != 0) usageError("cannot read TAP file " + tap + ": " + std::strerror(errno));
  if (!web && !run.keysFromStdin && run.runTicks == 0 && !run.keys.empty()) {
    // A script alone runs a little past its last key, then stops.
    uint32_t last = 0;
    for (auto& k : run.keys) last = std::max(last, k.atTick);
    run.runTicks = last + 100;
  }
  run.tapPath = tap;

  if (web && run.keysFromStdin) usageError("--web and --stdin cannot be used together");
  if (web && config.virtualClock) usageError("--web needs the real clock (no --virtual-clock)");
  std::signal(SIGINT, web ? onSignalWeb : onSignal);
  std::signal(SIGTERM, web ? onSignalWeb : onSignal);
  std::string error;
  int status = emu::runSandboxed(
      sandbox,
      [&]() -> int {
        std::string err;
        emu::setConsoleSink([](const std::string& line) {
          std::printf("[receiver console] %s\n", line.c_str());
          std::fflush(stdout);
        });
        if (!emu::reset(config, &err)) {
          std::fprintf(stderr, "orvado-emu: %s\n", err.c_str());
          return 1;
        }
        run.consoleMaster = emu::openConsole(&err);
        if (run.consoleMaster < 0) std::fprintf(stderr, "orvado-emu: no console: %s\n", err.c_str());
        run.onConsole = [](const std::string& line) {
          std::printf("[receiver console] %s\n", line.c_str());
          std::fflush(stdout);
        };
#if ORVADO_WEB
        if (web) return emu::web::run(webAddress, config, run);
#endif
        if (!emu::runTap(run, &err)) {
          std::fprintf(stderr, "orvado-emu: %s\n", err.c_str());
          return 1;
        }
        return 0;
      },
      &error);
  if (status < 0) {
    std::fprintf(stderr, "orvado-emu: cannot make the sandbox: %s\n", error.c_str());
    return 1;
  }
  return status;
}
