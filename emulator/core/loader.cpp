// Loading a TAP file as the firmware's loader does: header sections first,
// then the shared object, __TAP_Init_, the start routine and events.
#include <dlfcn.h>
#include <elf.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>

#include "core/internal.h"

namespace emu {
namespace {

void* g_handle = nullptr;
TAP_EntryRecord g_entry{};
bool g_ended = false;
std::string g_crash;  // why the TAP crashed; empty while it has not
bool g_hung = false;  // a call was ended by the watchdog
int g_copy = -1;      // the private copy that is loaded (memfd)

// The TAP faulted in a call: it gets no more events, not even the stop event.
void crashed(const std::string& why) {
  g_crash = why;
  g_ended = true;
  trace("the TAP crashed: %s", why.c_str());
  console("the TAP crashed: %s; it gets no more events", why.c_str());
}

// The watchdog ended a call that hung: the TAP gets no more events, and its
// state (and any lock it held) is unknown.
void hung() {
  g_hung = true;
  g_ended = true;
  trace("the TAP hung: %s", tapHang().c_str());
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

bool readFile(const std::string& path, std::string& data, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (error) *error = "cannot open TAP file " + path + ": " + std::strerror(errno);
    return false;
  }
  std::ostringstream whole;
  whole << in.rdbuf();
  data = whole.str();
  return true;
}

bool allSections(const std::string& data, std::map<std::string, std::string>& secs, std::string& why) {
  return data[EI_CLASS] == ELFCLASS32 ? sections<Elf32_Ehdr, Elf32_Shdr>(data, secs, why)
                                      : sections<Elf64_Ehdr, Elf64_Shdr>(data, secs, why);
}

#if defined(__x86_64__)
constexpr unsigned kOwnMachine = EM_X86_64;
constexpr const char* kOwnName = "x86-64 (the PC)";
#elif defined(__i386__)
constexpr unsigned kOwnMachine = EM_386;
constexpr const char* kOwnName = "32-bit x86 (the PC)";
#elif defined(__mips__)
constexpr unsigned kOwnMachine = EM_MIPS;
constexpr const char* kOwnName = "MIPS (the receiver)";
#elif defined(__aarch64__)
constexpr unsigned kOwnMachine = EM_AARCH64;
constexpr const char* kOwnName = "64-bit ARM";
#else
constexpr unsigned kOwnMachine = EM_NONE;
constexpr const char* kOwnName = "this machine";
#endif
constexpr unsigned kOwnClass = sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32;

std::string machineName(unsigned machine, unsigned elfClass) {
  switch (machine) {
    case EM_MIPS: return "MIPS (the receiver's processor)";
    case EM_X86_64: return elfClass == ELFCLASS32 ? "x86-64 with 32-bit pointers (x32)" : "x86-64 (the PC)";
    case EM_386: return "32-bit x86";
    case EM_ARM: return "32-bit ARM";
    case EM_AARCH64: return "64-bit ARM";
    default: return detail::format("machine %u (%d-bit)", machine, elfClass == ELFCLASS32 ? 32 : 64);
  }
}

// Whether this emulator can run a TAP built for that processor; if not,
// which one does.
bool sameMachine(const std::string& data, const std::string& path, std::string* error) {
  uint16_t machine = 0;
  if (!readAt(data, 18, machine)) return true;  // readTapHeader says what is wrong
  unsigned elfClass = static_cast<unsigned char>(data[EI_CLASS]);
  if (machine == kOwnMachine && elfClass == kOwnClass) return true;
  std::string where;
  if (machine == EM_MIPS)
    where =
        "; run it in the MIPS emulator under qemu (./scripts/build-mips.sh, then qemu-mipsel -L "
        "/usr/mipsel-linux-gnu build-mips/orvado-emu ...), or build it for the PC as "
        "docs/write-your-own-tap.md says";
  else if (kOwnMachine == EM_MIPS && machine == EM_X86_64)
    where = "; run it in the PC's emulator (build/orvado-emu)";
  else
    where = std::string("; this emulator runs TAPs built for ") + kOwnName;
  if (error) *error = "cannot load TAP " + path + ": it is built for " + machineName(machine, elfClass) + where;
  return false;
}

// The libraries a TAP names (DT_NEEDED).
template <typename Dyn>
std::vector<std::string> neededOf(const std::string& dynamic, const std::string& dynstr) {
  std::vector<std::string> out;
  for (size_t at = 0; at + sizeof(Dyn) <= dynamic.size(); at += sizeof(Dyn)) {
    Dyn d;
    std::memcpy(&d, dynamic.data() + at, sizeof d);
    if (d.d_tag == DT_NULL) break;
    if (d.d_tag == DT_NEEDED && d.d_un.d_val < dynstr.size()) out.emplace_back(dynstr.c_str() + d.d_un.d_val);
  }
  return out;
}

// What a receiver's firmware offers a TAP: its C library (as
// tests/receiver/tap_elf_check.py holds for Orvado), whose parts these are.
const std::set<std::string> kReceiverLibraries = {"libc.so.6",       "libdl.so.2", "libm.so.6",
                                                  "libpthread.so.0", "libc.so.0",  "ld.so.1"};

void warnOfLibraries(const std::string& data, const std::map<std::string, std::string>& secs, const std::string& path) {
  auto dynamic = secs.find(".dynamic"), dynstr = secs.find(".dynstr");
  if (dynamic == secs.end() || dynstr == secs.end()) return;
  std::vector<std::string> needed = data[EI_CLASS] == ELFCLASS32 ? neededOf<Elf32_Dyn>(dynamic->second, dynstr->second)
                                                                 : neededOf<Elf64_Dyn>(dynamic->second, dynstr->second);
  std::string missing;
  for (const std::string& name : needed)
    if (!kReceiverLibraries.count(name)) missing += (missing.empty() ? "" : ", ") + name;
  if (!missing.empty())
    console(
        "warning: TAP %s needs %s, which a receiver does not have (it offers its C library only): it runs "
        "here but will not load on a receiver; link the C++ runtime statically (-static-libstdc++ "
        "-static-libgcc) or do without it",
        path.c_str(), missing.c_str());
}

// The TAP's functions by offset, for the watchdog's stack.
template <typename Sym>
std::vector<std::pair<uint64_t, std::pair<uint64_t, std::string>>> functionsOf(const std::string& symtab,
                                                                               const std::string& strtab) {
  std::vector<std::pair<uint64_t, std::pair<uint64_t, std::string>>> out;
  for (size_t at = 0; at + sizeof(Sym) <= symtab.size(); at += sizeof(Sym)) {
    Sym sym;
    std::memcpy(&sym, symtab.data() + at, sizeof sym);
    if ((sym.st_info & 0xF) != STT_FUNC || !sym.st_value || sym.st_name >= strtab.size()) continue;
    out.push_back({sym.st_value, {sym.st_size, std::string(strtab.c_str() + sym.st_name)}});
  }
  return out;
}

std::vector<std::pair<uint64_t, std::pair<uint64_t, std::string>>> tapFunctions(
    const std::string& data, const std::map<std::string, std::string>& secs) {
  for (auto [table, names] : {std::pair{".symtab", ".strtab"}, std::pair{".dynsym", ".dynstr"}}) {
    auto t = secs.find(table), n = secs.find(names);
    if (t == secs.end() || n == secs.end()) continue;
    return data[EI_CLASS] == ELFCLASS32 ? functionsOf<Elf32_Sym>(t->second, n->second)
                                        : functionsOf<Elf64_Sym>(t->second, n->second);
  }
  return {};
}

// A private copy of the TAP file in memory, so that the file may be
// overwritten while the TAP runs (and a restart loads the new one); each
// copy is a new object for the dynamic linker, with fresh globals. Returns
// the name to load it by, or the file's own when no copy can be made.
std::string privateCopy(const std::string& data, const std::string& path) {
  if (g_copy >= 0) close(g_copy);  // the previous TAP is unloaded by now
  g_copy = -1;
  std::string base = path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
  int fd = memfd_create(base.c_str(), MFD_CLOEXEC);
  if (fd < 0) return path;
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n <= 0) {
      close(fd);
      return path;
    }
    done += static_cast<size_t>(n);
  }
  std::string name = "/proc/self/fd/" + std::to_string(fd);
  if (access(name.c_str(), R_OK) != 0) {  // no /proc here
    close(fd);
    return path;
  }
  g_copy = fd;
  return name;
}

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
  for (size_t at = 0; !from.empty() && (at = text.find(from, at)) != std::string::npos; at += to.size())
    text.replace(at, from.size(), to);
}

// Calls into the TAP under the crash guard and the watchdog.
bool callTap(detail::TapCall call, uint32_t event, uint32_t param1, const std::function<void()>& body,
             std::string& fault) {
  detail::callBegins(call, event, param1);
  detail::enterTapRoot();
  bool ok = detail::guardedCall(body, fault);
  detail::leaveTapRoot();
  detail::callEnds(ok);
  return ok;
}

}  // namespace

bool readTapHeader(const std::string& path, TapHeader& header, std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = path + " is not a TAP file: " + why;
    return false;
  };
  std::string data;
  if (!readFile(path, data, error)) return false;
  if (data.size() < EI_NIDENT || std::memcmp(data.data(), ELFMAG, SELFMAG) != 0)
    return fail("it is not a shared object");
  if (data[EI_DATA] != ELFDATA2LSB) return fail("it is not little-endian");
  std::map<std::string, std::string> secs;
  std::string why;
  if (!allSections(data, secs, why)) return fail(why);
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
  std::string data;
  if (!readFile(path, data, error) || !sameMachine(data, path, error)) return false;
  std::map<std::string, std::string> secs;
  std::string why;
  allSections(data, secs, why);
  if (g_handle) unloadTap();
  std::string full = privateCopy(data, path.find('/') == std::string::npos ? "./" + path : path);
  warnOfLibraries(data, secs, path);
  void* handle = dlopen(full.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    std::string text = dlerror();
    replaceAll(text, full, path);
    if (error) *error = "cannot load TAP " + path + ": " + text;
    return false;
  }
  auto init = reinterpret_cast<int (*)(TAP_EntryRecord*)>(dlsym(handle, "__TAP_Init_"));
  if (!init) {
    if (error) *error = "TAP " + path + " has no entry __TAP_Init_";
    dlclose(handle);
    return false;
  }
  detail::setTapIdentity(header.programName, path, full, tapFunctions(data, secs));
  g_handle = handle;
  g_entry = {};
  g_ended = false;
  g_hung = false;
  g_crash.clear();
  curTapTask() = config().tapSlot;
  int r = 0;
  std::string fault;
  if (!callTap(
          detail::TapCall::init, 0, 0, [&] { r = init(&g_entry); }, fault)) {
    if (error)
      *error = fault == detail::kHungFault ? "TAP " + path + " hung in __TAP_Init_"
                                           : "TAP " + path + " crashed in __TAP_Init_ (" + fault + ")";
    g_handle = nullptr;  // left loaded: its state is unknown
    g_copy = -1;         // and so is its copy
    g_ended = true;
    return false;
  }
  trace("__TAP_Init_() = %d (start %p, handler %p)", r, reinterpret_cast<void*>(g_entry.main),
        reinterpret_cast<void*>(g_entry.eventHandler));
  // The firmware does not look at the result (a TAP that returns -1 runs
  // all the same), and neither does the emulator; it says so.
  if (r != 0) console("__TAP_Init_ returned %d; the firmware ignores that and goes on", r);
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
  if (!callTap(
          detail::TapCall::main, 0, 0, [&] { r = g_entry.main(); }, fault)) {
    if (fault == detail::kHungFault)
      hung();
    else
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
  if (!callTap(
          detail::TapCall::event, event, param1, [&] { r = handler(event, param1, param2); }, fault)) {
    if (fault == detail::kHungFault)
      hung();
    else
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
  if (g_crash.empty() && !g_hung) {
    dlclose(g_handle);
    if (g_copy >= 0) close(g_copy);
  }
  g_copy = -1;
  g_handle = nullptr;
  g_ended = true;
}

}  // namespace emu
