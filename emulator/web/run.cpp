// The web front end's run: the page served on its own threads while this
// thread runs the TAP, and runs it again when the page asks.
#include <atomic>
#include <csignal>
#include <cstdio>

#include "web/server.h"

namespace emu::web {
namespace {

volatile std::sig_atomic_t g_quit = 0;

}  // namespace

void requestQuit() {
  g_quit = 1;
  requestStop();
}

int run(const Address& address, const Config& given, RunOptions options, const RunChain& chain) {
  g_quit = 0;
  Hub hub;
  // The player's sound goes to the pages that listen.
  Config config = given;
  config.audioSink = [&hub](const int16_t* samples, size_t frames, int64_t dueMs) {
    hub.audio(samples, frames, dueMs);
  };
  WebServer server(hub);
  std::string error;
  if (!server.bind(address, &error)) {
    std::fprintf(stderr, "orvado-emu: %s\n", error.c_str());
    return 1;
  }
  if (address.host != "127.0.0.1" && address.host != "::1")
    std::fprintf(stderr, "orvado-emu: listening on %s: other machines can see the receiver and press its keys\n",
                 address.host.c_str());
  if (!reset(config, &error)) {
    std::fprintf(stderr, "orvado-emu: %s\n", error.c_str());
    return 1;
  }
  if (chain.boundPort) *chain.boundPort = server.port();
  std::printf("web front end: %s\n", server.url().c_str());
  std::fflush(stdout);

  auto line = [&hub](const std::string& text) {
    printConsoleLine(text);
    hub.consoleLine(text);
  };
  options.onConsole = line;
  // Keys and looks of the command line (a script, screenshots) go on beside
  // the page's.
  KeySource scripted = options.takeKeys;
  options.takeKeys = [&hub, scripted](uint32_t now, std::vector<uint32_t>& keys) {
    if (scripted) scripted(now, keys);
    return hub.takeKeys(keys) && !g_quit;
  };
  auto shots = options.look;
  options.look = [&hub, shots](uint32_t now) {
    hub.look();
    if (shots) shots(now);
  };
  options.lookEveryMs = Hub::kFrameEveryMs;
  options.onHang = [&hub](const std::string& why) {
    if (why.empty()) return hub.setTapState("running");  // it came back
    hub.setTapState("hangs", "The TAP hangs: " + why +
                                 ". The console shows where. Stop TAP ends it; Restart TAP starts it afresh on a "
                                 "fresh receiver in a new process.");
  };
  if (!chain.note.empty()) line("receiver: " + chain.note);
  // A TAP that hung was cut off where it stood, perhaps holding a lock of
  // the C library or the emulator: the next run needs a new process.
  bool hungBefore = false;

  int status = 0;
  for (bool first = true; !g_quit; first = false) {
    if (!first) {
      // A fresh receiver for each run, as after power-on.
      if (!reset(config, &error)) {
        std::fprintf(stderr, "orvado-emu: %s\n", error.c_str());
        status = 1;
        break;
      }
    }
    setConsoleSink(line);
    hub.setTapState("running");
    bool ok = runTap(options, &error);
    const std::string hang = tapHang();
    if (!hang.empty()) {
      hungBefore = true;
      if (g_quit) status = 1;  // Ctrl-C ended a hung TAP
    }
    bool ended = tapEnded() && !hub.stopPending() && !g_quit;
    const std::string& crash = tapCrash();
    // The receiver without its TAP: no regions, nothing plays.
    std::string why;
    if (!reset(config, &why)) line("receiver: " + why);
    setConsoleSink(line);
    hub.look(true);
    if (!ok) {
      line("receiver: " + error);
      hub.setTapState("failed", "The TAP could not be loaded: " + error + ". Mend it, then Restart TAP.");
      if (first) status = 1;
    } else if (!hang.empty()) {
      hub.setTapState("hung", "The TAP hung: " + hang +
                                  ". It was ended where it stood. Restart TAP starts it afresh on a fresh receiver "
                                  "in a new process.");
    } else if (!crash.empty()) {
      hub.setTapState("crashed",
                      "The TAP crashed: " + crash + ". The console says what it did last; mend it, then Restart TAP.");
    } else if (ended) {
      hub.setTapState("ended", "The TAP ended itself. Restart TAP starts it again on a fresh receiver.");
    } else {
      hub.setTapState("stopped", "The TAP was stopped. Restart TAP starts it again on a fresh receiver.");
    }
    if (options.runTicks) {
      if (!hang.empty()) status = 1;
      if (!hub.restartAsked()) break;  // a timed run ends with its TAP
    } else if (!hub.restartAsked()) {
      // The page stays; the TAP waits for a restart or the end.
      while (!g_quit && !hub.waitForRestart()) {
      }
      hub.restartAsked();
    }
    if (hungBefore && !g_quit) {
      line("receiver: restarting in a new process, on a fresh receiver");
      status = kRestartInNewProcess;
      break;
    }
  }
  setConsoleSink(nullptr);
  hub.quit();
  return status;
}

}  // namespace emu::web
