// The command line, read from one table with getopt_long.
#include "options.h"

#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace cli {
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
    "  --put PATH=FILE      copy FILE into the disk image as PATH (relative to\n"
    "                       /mnt/hd, such as ProgramFiles/my.ini; repeatable)\n"
    "  --ini URL            write ProgramFiles/Settings/orvado/orvado.ini with\n"
    "                       this channel (repeatable: channels 1, 2, ... in\n"
    "                       order; NAME=URL names it in the menu)\n"
    "  --keep-disk          keep the fresh image and say where it is\n"
    "  --no-host-wget       hide the PC's wget inside the sandbox (/bin/wget)\n"
    "  --no-timeout         the TAP's shell has no timeout tool, as older\n"
    "                       firmware\n"
    "  --ca-file PEM        let the TAP's wget trust this certificate authority\n"
    "                       too (an HTTPS source with a certificate of its own);\n"
    "                       without it, only the PC's CA bundle\n"
    "  --sysid N            system id of the receiver model (default 22010)\n"
    "  --without SYMBOL     firmware without this symbol (repeatable), e.g.\n"
    "                       _osdInfo or _Z18Appl_StartPlaybackPKcjb\n"
    "  --chdir-zero         TAP_Hdd_ChangeDir reports success with 0 (default 1)\n"
    "  --idle TIME          time between idle events (default 100ms)\n"
    "  --virtual-clock      let time run as fast as the events are handled\n"
    "  --watchdog TIME      report a TAP whose start routine or event handler has\n"
    "                       not returned after TIME, with its stack (default 10s;\n"
    "                       0 turns it off); --run and Ctrl-C then end it, and the\n"
    "                       emulator exits with status 1\n"
    "  --time \"YYYY-MM-DD HH:MM:SS\"  the receiver's clock at start\n"
    "  --trace              print every TAP interface and firmware call, and every\n"
    "                       shell command (system, popen) with its exit status and\n"
    "                       time, on stderr\n"
    "  --trace-file FILE    write the trace to FILE instead (implies --trace)\n"
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

enum Option {
  kKey = 256,
  kKeys,
  kStdin,
  kRun,
  kScreenshot,
  kScreenshotAt,
  kShot,
  kAudio,
  kDisk,
  kTemplate,
  kPut,
  kIni,
  kKeepDisk,
  kNoHostWget,
  kNoTimeout,
  kCaFile,
  kSysid,
  kWithout,
  kChdirZero,
  kIdle,
  kVirtualClock,
  kWatchdog,
  kTime,
  kTrace,
  kTraceFile,
  kTraceSkip,
  kWeb,
};

const option kTable[] = {
    {"help", no_argument, nullptr, 'h'},
    {"key", required_argument, nullptr, kKey},
    {"keys", required_argument, nullptr, kKeys},
    {"stdin", no_argument, nullptr, kStdin},
    {"run", required_argument, nullptr, kRun},
    {"screenshot", required_argument, nullptr, kScreenshot},
    {"screenshot-at", required_argument, nullptr, kScreenshotAt},
    {"shot", required_argument, nullptr, kShot},
    {"audio", required_argument, nullptr, kAudio},
    {"disk", required_argument, nullptr, kDisk},
    {"template", required_argument, nullptr, kTemplate},
    {"put", required_argument, nullptr, kPut},
    {"ini", required_argument, nullptr, kIni},
    {"keep-disk", no_argument, nullptr, kKeepDisk},
    {"no-host-wget", no_argument, nullptr, kNoHostWget},
    {"no-timeout", no_argument, nullptr, kNoTimeout},
    {"ca-file", required_argument, nullptr, kCaFile},
    {"sysid", required_argument, nullptr, kSysid},
    {"without", required_argument, nullptr, kWithout},
    {"chdir-zero", no_argument, nullptr, kChdirZero},
    {"idle", required_argument, nullptr, kIdle},
    {"virtual-clock", no_argument, nullptr, kVirtualClock},
    {"watchdog", required_argument, nullptr, kWatchdog},
    {"time", required_argument, nullptr, kTime},
    {"trace", no_argument, nullptr, kTrace},
    {"trace-file", required_argument, nullptr, kTraceFile},
    {"trace-skip", required_argument, nullptr, kTraceSkip},
    {"web", required_argument, nullptr, kWeb},
    {nullptr, 0, nullptr, 0},
};

uint32_t ticksOf(const std::string& text, const char* option) {
  uint32_t t;
  if (!emu::parseTicks(text, t)) usageError(std::string("bad time for ") + option + ": \"" + text + "\"");
  return t;
}

emu::ScriptedKey keyOf(const std::string& item) {
  auto colon = item.find(':');
  emu::ScriptedKey key;
  if (colon == std::string::npos || !emu::parseTicks(item.substr(0, colon), key.atTick) ||
      !emu::parseKey(item.substr(colon + 1), key.code))
    usageError("bad key press \"" + item + "\": expected TIME:KEY such as 2s:1 or 30s:exit");
  return key;
}

}  // namespace

std::vector<std::string> splitList(const std::string& list) {
  std::vector<std::string> items;
  size_t start = 0;
  for (;;) {
    size_t comma = list.find(',', start);
    std::string item = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    if (!item.empty()) items.push_back(item);
    if (comma == std::string::npos) return items;
    start = comma + 1;
  }
}

void parseOptions(int argc, char** argv, Options& o) {
  std::string screenshot;
  uint32_t screenshotAt = UINT32_MAX;
  std::vector<std::string> channels;
  std::string tap;
  opterr = 0;  // our own messages, in our own words
  for (;;) {
    int index = 0;
    int c = getopt_long(argc, argv, ":h", kTable, &index);
    if (c == -1) break;
    std::string value = optarg ? optarg : "";
    const char* name = c >= kKey ? kTable[index].name : "";
    std::string dashed = std::string("--") + name;
    switch (c) {
      case 'h': std::fputs(kUsage, stdout); std::exit(0);
      case ':': usageError(std::string(argv[optind - 1]) + " needs a value");
      case '?': usageError("unknown option " + std::string(argv[optind - 1]));
      case kKey: o.keys.push_back(keyOf(value)); break;
      case kKeys:
        for (const std::string& item : splitList(value)) o.keys.push_back(keyOf(item));
        break;
      case kStdin: o.keysFromStdin = true; break;
      case kRun: o.run.runTicks = ticksOf(value, "--run"); break;
      case kWatchdog: o.config.watchdogMs = ticksOf(value, "--watchdog") * 10; break;
      case kScreenshot: screenshot = value; break;
      case kScreenshotAt: screenshotAt = ticksOf(value, "--screenshot-at"); break;
      case kShot: {
        auto colon = value.find(':');
        Shot shot;
        if (colon == std::string::npos || colon + 1 >= value.size() ||
            !emu::parseTicks(value.substr(0, colon), shot.atTick))
          usageError("bad screenshot \"" + value + "\": expected TIME:FILE such as 25s:playing.png");
        shot.path = value.substr(colon + 1);
        o.shots.push_back(shot);
        break;
      }
      case kAudio:
#if !ORVADO_PLAYER
        usageError("--audio is not available in this build (built without the decoding player)");
#endif
        o.config.audioFile = value;
        break;
      case kDisk: o.sandbox.diskDir = value; break;
      case kTemplate: o.sandbox.diskTemplate = value; break;
      case kPut: {
        auto eq = value.find('=');
        emu::DiskFile file;
        std::string why, relative;
        if (eq == std::string::npos || eq + 1 >= value.size())
          usageError("bad --put \"" + value + "\": expected PATH=FILE such as ProgramFiles/my.ini=my.ini");
        file.path = value.substr(0, eq);
        file.source = value.substr(eq + 1);
        if (!emu::diskFilePath(file.path, relative, &why)) usageError(why);
        o.sandbox.files.push_back(file);
        break;
      }
      case kIni: channels.push_back(value); break;
      case kKeepDisk: o.sandbox.keepDisk = true; break;
      case kNoHostWget: o.sandbox.hideHostWget = true; break;
      case kNoTimeout: o.sandbox.withoutTimeout = true; break;
      case kCaFile: o.sandbox.caFile = optarg; break;
      case kSysid: {
        char* end = nullptr;
        unsigned long long id = std::strtoull(value.c_str(), &end, 0);
        if (value.empty() || *end || value[0] == '-' || id > 0xFFFFFFFFull)
          usageError("bad system id \"" + value + "\"");
        o.config.systemId = static_cast<uint32_t>(id);
        break;
      }
      case kWithout: o.config.leaveOut.insert(value); break;
      case kChdirZero: o.config.changeDir = emu::ChangeDirConvention::ZeroOnSuccess; break;
      case kIdle:
        o.run.idleEveryTicks = ticksOf(value, "--idle");
        if (o.run.idleEveryTicks == 0) usageError("--idle must be at least one tick (10ms)");
        break;
      case kVirtualClock: o.config.virtualClock = true; break;
      case kTime: {
        struct tm t {};
        const char* end = strptime(value.c_str(), "%Y-%m-%d %H:%M:%S", &t);
        if (!end || *end) usageError("bad time \"" + value + "\": expected \"YYYY-MM-DD HH:MM:SS\"");
        t.tm_isdst = -1;
        o.config.fixedTime = mktime(&t);
        break;
      }
      case kTrace: o.config.trace = true; break;
      case kTraceFile:
        o.traceFile = value;
        o.config.trace = true;
        break;
      case kTraceSkip:
        for (const std::string& item : splitList(value)) o.config.traceSkip.insert(item);
        o.config.trace = true;
        break;
      case kWeb: {
#if ORVADO_WEB
        std::string why;
        if (!emu::web::parseAddress(value, o.webAddress, &why)) usageError(why);
#else
        usageError("--web is not available in this build (built without the web front end)");
#endif
        o.web = true;
        break;
      }
      default: usageError("unknown option " + dashed);
    }
  }
  for (int i = optind; i < argc; ++i) {
    if (!tap.empty()) usageError(std::string("only one TAP file may be given (also got \"") + argv[i] + "\")");
    tap = argv[i];
  }
  if (tap.empty()) usageError("no TAP file given");
  o.run.tapPath = tap;
  if (!screenshot.empty()) o.shots.push_back({screenshotAt, screenshot});
  if (!channels.empty()) {
    emu::DiskFile ini;
    std::string why;
    if (!iniForChannels(channels, ini.text, &why)) usageError(why);
    ini.path = "ProgramFiles/Settings/orvado/orvado.ini";
    o.sandbox.files.push_back(ini);
  }
  if (o.web && o.keysFromStdin) usageError("--web and --stdin cannot be used together");
  if (o.web && o.config.virtualClock) usageError("--web needs the real clock (no --virtual-clock)");
  if (!o.web && !o.keysFromStdin && o.run.runTicks == 0 && !o.keys.empty()) {
    // A script alone runs a little past its last key, then stops.
    uint32_t last = 0;
    for (const auto& k : o.keys) last = std::max(last, k.atTick);
    o.run.runTicks = last + 100;
  }
}

}  // namespace cli
