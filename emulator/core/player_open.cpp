// Which player plays a file. The decoding player lives in a module of its own
// (ORVADO_DECODER_MODULE, beside this library), loaded at the first playback:
// FFmpeg's libraries and the hundred-odd libraries they pull in then cost
// nothing to the many programs that never play a file.
#include <dlfcn.h>

#include "core/player_internal.h"

namespace emu::detail {

#ifdef ORVADO_DECODER_MODULE
namespace {

using Entry = Playback* (*)(const std::string&, uint32_t, const Playback::Options&);

std::string moduleDir() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&moduleDir), &info) && info.dli_fname) {
    std::string self = info.dli_fname;
    auto slash = self.rfind('/');
    if (slash != std::string::npos) return self.substr(0, slash);
  }
  return ".";
}

// The module's entry, or null with the reason in `error`. Loaded once; the
// module stays for the life of the process.
Entry decoderEntry(std::string& error) {
  static std::string loadError;
  static const Entry entry = [] {
    // The first playback starts inside a TAP call; the module and FFmpeg's
    // libraries are the PC's.
    OutsideTapRoot pc;
    std::string path = moduleDir() + "/" + ORVADO_DECODER_MODULE;
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
      loadError = dlerror();
      return Entry{nullptr};
    }
    auto found = reinterpret_cast<Entry>(dlsym(handle, kDecoderEntry));
    if (!found) loadError = path + " has no " + kDecoderEntry;
    return found;
  }();
  error = loadError;
  return entry;
}

}  // namespace
#endif

std::unique_ptr<Playback> openPlayback(const std::string& path, uint32_t now, const Playback::Options& options) {
#ifdef ORVADO_DECODER_MODULE
  std::string error;
  if (Entry entry = decoderEntry(error)) return std::unique_ptr<Playback>(entry(path, now, options));
  console("Player: cannot load the decoder: %s", error.c_str());
#endif
  return nominalPlayback(path, now, options);
}

}  // namespace emu::detail
