// Loading a TAP file as the firmware's loader does: header sections first,
// then the shared object, __TAP_Init_, the start routine and events.
#include <dlfcn.h>
#include <elf.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <map>

#include "core/internal.h"

namespace emu {
namespace {

void* g_handle = nullptr;
TAP_EntryRecord g_entry{};
bool g_ended = false;
std::string g_crash;  // why the TAP crashed; empty while it has not

// The TAP faulted in a call: it gets no more events, not even the stop event.
void crashed(const std::string& why) {
  g_crash = why;
  g_ended = true;
  trace("the TAP crashed: %s", why.c_str());
  console("the TAP crashed: %s; it gets no more events", why.c_str());
}

// The receiver's memory for a TAP is a few MiB; nothing real comes near this.
constexpr uint64_t kMaxZeroSection = 64u << 20;

template <typename T>
bool readAt(const std::string& data, uint64_t offset, T& out) {
  if (offset > data.size() || data.size() - offset < sizeof(T)) return false;
  std::memcpy(&out, data.data() + offset, sizeof(T));
  return true;
}

// Section name -> contents, for 32- and 64-bit little-endian ELF files.
template <typename Ehdr, typename Shdr>
bool sections(const std::string& data, std::map<std::string, std::string>& out, std::string& why) {
  Ehdr eh;
  if (!readAt(data, 0, eh)) return (why = "it is cut short"), false;
  if (eh.e_shentsize != sizeof(Shdr) || eh.e_shnum == 0) return (why = "it has no section table"), false;
  Shdr names;
  if (eh.e_shstrndx >= eh.e_shnum || !readAt(data, eh.e_shoff + uint64_t(eh.e_shstrndx) * sizeof(Shdr), names))
    return (why = "its section table is damaged"), false;
  for (unsigned i = 0; i < eh.e_shnum; ++i) {
    Shdr sh;
    if (!readAt(data, eh.e_shoff + uint64_t(i) * sizeof(Shdr), sh))
      return (why = "its section table is damaged"), false;
    uint64_t nameAt = uint64_t(names.sh_offset) + sh.sh_name;
    if (nameAt >= data.size()) continue;
    std::string name(data.c_str() + nameAt, strnlen(data.c_str() + nameAt, static_cast<size_t>(data.size() - nameAt)));
    const uint64_t offset = sh.sh_offset, size = sh.sh_size;
    if (sh.sh_type == SHT_NOBITS) {
      // Zero-filled data costs nothing in the file: a damaged size must not
      // make the emulator allocate without bound.
      if (size > kMaxZeroSection) return (why = "section " + name + " is larger than a TAP can use"), false;
      out[name] = std::string(static_cast<size_t>(size), '\0');
    } else if (offset <= data.size() && data.size() - offset >= size) {
      out[name] = data.substr(static_cast<size_t>(offset), static_cast<size_t>(size));
    }
  }
  return true;
}

std::string cString(const std::string& block) { return std::string(block.c_str()); }

}  // namespace

bool readTapHeader(const std::string& path, TapHeader& header, std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = path + " is not a TAP file: " + why;
    return false;
  };
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (error) *error = "cannot open TAP file " + path + ": " + std::strerror(errno);
    return false;
  }
  std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (data.size() < EI_NIDENT || std::memcmp(data.data(), ELFMAG, SELFMAG) != 0)
    return fail("it is not a shared object");
  if (data[EI_DATA] != ELFDATA2LSB) return fail("it is not little-endian");
  std::map<std::string, std::string> secs;
  std::string why;
  bool ok = data[EI_CLASS] == ELFCLASS32 ? sections<Elf32_Ehdr, Elf32_Shdr>(data, secs, why)
                                         : sections<Elf64_Ehdr, Elf64_Shdr>(data, secs, why);
  if (!ok) return fail(why);
  auto hdr = secs.find("._tap_header");
  if (hdr == secs.end()) return fail("it has no header section ._tap_header");
  if (hdr->second.size() < 12) return fail("its header section is shorter than 12 bytes");
  if (hdr->second.compare(0, 8, "KRUXMIPS") != 0)
    return fail("its header magic is \"" + detail::quote(hdr->second.substr(0, 8).c_str()).substr(1) +
                " instead of \"KRUXMIPS\"");
  uint32_t version;
  std::memcpy(&version, hdr->second.data() + 8, 4);
  if (version != 0x10) return fail(detail::format("its header version is 0x%X, not 0x10", version));
  header.headerVersion = version;
  header.programName = cString(secs["._tap_program_name"]);
  header.description = cString(secs["._tap_description"]);
  header.author = cString(secs["._tap_author_name"]);
  header.buildDate = cString(secs["._tap_etcinfo"]);
  header.id = 0;
  if (secs["._tap_id"].size() >= 4) std::memcpy(&header.id, secs["._tap_id"].data(), 4);
  return true;
}

bool loadTap(const std::string& path, std::string* error) {
  TapHeader header;
  if (!readTapHeader(path, header, error)) return false;
  if (g_handle) unloadTap();
  std::string full = path.find('/') == std::string::npos ? "./" + path : path;
  void* handle = dlopen(full.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    if (error) *error = "cannot load TAP " + path + ": " + dlerror();
    return false;
  }
  auto init = reinterpret_cast<int (*)(TAP_EntryRecord*)>(dlsym(handle, "__TAP_Init_"));
  if (!init) {
    if (error) *error = "TAP " + path + " has no entry __TAP_Init_";
    dlclose(handle);
    return false;
  }
  g_handle = handle;
  g_entry = {};
  g_ended = false;
  g_crash.clear();
  curTapTask() = config().tapSlot;
  int r = 0;
  std::string fault;
  if (!detail::guardedCall([&] { r = init(&g_entry); }, fault)) {
    if (error) *error = "TAP " + path + " crashed in __TAP_Init_ (" + fault + ")";
    g_handle = nullptr;  // left loaded: its state is unknown
    g_ended = true;
    return false;
  }
  trace("__TAP_Init_() = %d (start %p, handler %p)", r, reinterpret_cast<void*>(g_entry.main),
        reinterpret_cast<void*>(g_entry.eventHandler));
  if (!g_entry.main || !g_entry.eventHandler) {
    if (error) *error = "TAP " + path + " did not register its start routine and event handler";
    dlclose(handle);
    g_handle = nullptr;
    return false;
  }
  detail::tapSlot().eventHandler = g_entry.eventHandler;
  return true;
}

int startTap() {
  if (!g_handle || !g_entry.main) return 0;
  curTapTask() = config().tapSlot;
  int r = 0;
  std::string fault;
  if (!detail::guardedCall([&] { r = g_entry.main(); }, fault)) {
    crashed(fault + " in its start routine");
    return 0;
  }
  trace("TAP_Main() = %d", r);
  TAP_EventHandlerFunction slot = detail::tapSlot().eventHandler;
  if (slot && slot != g_entry.eventHandler)
    trace("the TAP put a hook %p in front of its event handler %p in its TAP table slot", reinterpret_cast<void*>(slot),
          reinterpret_cast<void*>(g_entry.eventHandler));
  if (r == 0) g_ended = true;
  return r;
}

uint32_t sendEvent(uint32_t event, uint32_t param1, uint32_t param2) {
  if (!g_handle || g_ended) return param1;
  TAP_EventHandlerFunction handler = detail::tapSlot().eventHandler;
  if (!handler) return param1;
  curTapTask() = config().tapSlot;
  detail::drainShell();
  uint32_t r = param1;
  std::string fault;
  if (!detail::guardedCall([&] { r = handler(event, param1, param2); }, fault)) {
    crashed(detail::format("%s in its event handler (event 0x%X, 0x%X)", fault.c_str(), event, param1));
    return param1;
  }
  if (tracing()) {
    std::string name = event == EVT_KEY ? keyName(param1) : "";
    trace("event 0x%X (0x%X, 0x%X) = 0x%X%s%s", event, param1, param2, r,
          handler == g_entry.eventHandler ? "" : " (through the hook in the TAP slot)",
          name.empty() ? "" : (" key " + name).c_str());
  }
  if (exitRequested()) g_ended = true;
  return r;
}

bool tapLoaded() { return g_handle && !g_ended; }
const std::string& tapCrash() { return g_crash; }
bool tapEnded() { return g_ended; }

void unloadTap() {
  if (!g_handle) return;
  if (!g_ended && !exitRequested()) sendEvent(EVT_STOP, 0, 0);
  detail::tapSlot().eventHandler = nullptr;
  // A crashed TAP stays mapped: its destructors could fault again.
  if (g_crash.empty()) dlclose(g_handle);
  g_handle = nullptr;
  g_ended = true;
}

}  // namespace emu
