// orvado-emu: runs a TAP in the receiver emulator from the command line.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "options.h"

namespace {

// Outside a sandbox (only between two, as a hung TAP restarts) the signal
// is kept: the restart does not happen, and a sandbox that has begun ends.
void onSignal(int sig) {
  emu::endNextSandbox(sig);
  emu::requestStop();
}
#if ORVADO_WEB
void onSignalWeb(int sig) {
  emu::endNextSandbox(sig);
  emu::web::requestQuit();
}
#else
void onSignalWeb(int) {}
#endif

// Takes each screenshot when its tick has come, and the rest at the end.
class Screenshots {
 public:
  explicit Screenshots(std::vector<cli::Shot> shots) : shots_(std::move(shots)) {
    std::stable_sort(shots_.begin(), shots_.end(), [](auto& a, auto& b) { return a.atTick < b.atTick; });
  }
  void takeDue(uint32_t now) {
    for (; next_ < shots_.size() && shots_[next_].atTick <= now; ++next_) {
      std::string why;
      if (emu::savePng(emu::screen(), shots_[next_].path, &why))
        emu::console("screenshot saved to %s", shots_[next_].path.c_str());
      else if (error_.empty())
        error_ = why;
    }
  }
  const std::string& error() const { return error_; }

 private:
  std::vector<cli::Shot> shots_;
  size_t next_ = 0;
  std::string error_;
};

constexpr uint32_t kLedgerTicks = 10 * 60 * 100;  // ten minutes of 10 ms ticks

// The web front end's port, which a restart in a new process listens on
// again: shared with the sandbox's processes.
int* g_webPort = nullptr;
std::string g_webNote;

int runInSandbox(cli::Options& o) {
  std::string err;
  emu::setConsoleSink(emu::printConsoleLine);
  if (!emu::reset(o.config, &err)) {
    std::fprintf(stderr, "orvado-emu: %s\n", err.c_str());
    return 1;
  }
  o.run.consoleMaster = emu::openConsole(&err);
  if (o.run.consoleMaster < 0) std::fprintf(stderr, "orvado-emu: no console: %s\n", err.c_str());
  o.run.onConsole = emu::printConsoleLine;
  std::vector<emu::KeySource> sources;
  if (!o.keys.empty()) sources.push_back(emu::scriptedKeys(o.keys));
  if (o.keysFromStdin) sources.push_back(emu::stdinKeys());
  if (!sources.empty()) o.run.takeKeys = emu::keySources(std::move(sources));
  Screenshots shots(o.shots);
  // The ledger's figures every ten minutes and at the end: a run of hours
  // shows whether the TAP's memory grows.
  uint32_t nextLedger = 0;  // the clock starts where a receiver's would, not at 0
  auto ledger = [] { emu::console("TAP memory: %zu bytes live, peak %zu bytes", emu::liveBytes(), emu::peakBytes()); };
  o.run.look = [&](uint32_t now) {
    shots.takeDue(now);
    if (nextLedger == 0) nextLedger = now + kLedgerTicks;
    if (now < nextLedger) return;
    nextLedger = now + kLedgerTicks;
    ledger();
  };
  o.run.atEnd = [&] {
    shots.takeDue(UINT32_MAX);
    ledger();
  };
#if ORVADO_WEB
  // The page's keys and looks come beside these.
  if (o.web) return emu::web::run(o.webAddress, o.config, o.run, {g_webPort, g_webNote});
#endif
  if (!emu::runTap(o.run, &err)) {
    std::fprintf(stderr, "orvado-emu: %s\n", err.c_str());
    return 1;
  }
  if (!emu::tapHang().empty()) {
    std::fprintf(stderr, "orvado-emu: the TAP hung: %s\n", emu::tapHang().c_str());
    return 1;
  }
  if (!emu::tapCrash().empty()) {
    std::fprintf(stderr, "orvado-emu: the TAP crashed: %s\n", emu::tapCrash().c_str());
    return 1;
  }
  if (!shots.error().empty()) {
    std::fprintf(stderr, "orvado-emu: %s\n", shots.error().c_str());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  cli::Options o;
  cli::parseOptions(argc, argv, o);
  if (access(o.run.tapPath.c_str(), R_OK) != 0) {
    std::fprintf(stderr, "orvado-emu: cannot read TAP file %s: %s\nTry 'orvado-emu --help'.\n", o.run.tapPath.c_str(),
                 std::strerror(errno));
    return 2;
  }
  std::FILE* traceFile = nullptr;
  if (!o.traceFile.empty()) {
    traceFile = std::fopen(o.traceFile.c_str(), "w");
    if (!traceFile) {
      std::fprintf(stderr, "orvado-emu: cannot write the trace to %s: %s\n", o.traceFile.c_str(), std::strerror(errno));
      return 1;
    }
    o.config.traceOut = traceFile;
  }
  std::signal(SIGINT, o.web ? onSignalWeb : onSignal);
  std::signal(SIGTERM, o.web ? onSignalWeb : onSignal);
  std::string error;
  void* shared = mmap(nullptr, sizeof(int), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (shared != MAP_FAILED) g_webPort = static_cast<int*>(shared);
  int status;
  for (;;) {
    status = emu::runSandboxed(
        o.sandbox, [&] { return runInSandbox(o); }, &error);
#if ORVADO_WEB
    // A TAP that hung was ended where it stood: the page starts it again in a
    // new process, on a fresh receiver, at the same address.
    if (o.web && status == emu::web::kRestartInNewProcess && g_webPort && *g_webPort > 0 &&
        !emu::lastSandboxEndSignal()) {
      o.webAddress.port = *g_webPort;
      g_webNote = "a fresh receiver in a new process: the TAP before it hung";
      continue;
    }
    // Ended while the hung TAP was about to restart.
    if (status == emu::web::kRestartInNewProcess) status = 1;
#endif
    break;
  }
  if (traceFile) std::fclose(traceFile);
  if (status < 0) {
    std::fprintf(stderr, "orvado-emu: cannot make the sandbox: %s\n", error.c_str());
    return 1;
  }
  return status;
}
