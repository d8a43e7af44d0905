// Power-on, configuration, trace and the firmware symbols of the emulated
// receiver.
#include <dlfcn.h>

#include <cstdarg>
#include <cstring>
#include <map>

#include "core/internal.h"

namespace emu {
namespace {

Config g_config;
bool g_configured = false;

// Mangled firmware symbol -> name of the small shared object that defines it.
const std::map<std::string, std::string>& firmwareObjects() {
  static const std::map<std::string, std::string> objects = {
      {FW_ApplHdd_RestoreWorkFolder, "ApplHdd_RestoreWorkFolder"},
      {FW_ApplHdd_SaveWorkFolder, "ApplHdd_SaveWorkFolder"},
      {FW_ApplHdd_SelectFolder, "ApplHdd_SelectFolder"},
      {FW_ApplHdd_SetWorkFolder, "ApplHdd_SetWorkFolder"},
      {FW_Appl_StartPlayback, "Appl_StartPlayback"},
      {FW_Appl_StartPlaybackMedia, "Appl_StartPlaybackMedia"},
      {FW_Appl_ConvertToValidUTF8Str, "Appl_ConvertToValidUTF8Str"},
      {FW_osdInfo, "osdInfo"},
      {FW_tapTask, "tapTask"},
      {FW_curTapTask, "curTapTask"},
  };
  return objects;
}

// Objects once loaded stay loaded: the TAP may hold their addresses.
std::map<std::string, void*> g_loaded;

// The records live in their firmware objects when offered, here otherwise.
TapTableEntry g_ownTapTable[TAP_TableSize];
int32_t g_ownCurTapTask;
OsdRegionInfo g_ownOsdInfo[OSD_RegionTableSize];
TapTableEntry* g_tapTable = g_ownTapTable;
int32_t* g_curTapTask = &g_ownCurTapTask;
OsdRegionInfo* g_osdInfo = g_ownOsdInfo;

std::string firmwareDir() {
  if (!g_config.firmwareDir.empty()) return g_config.firmwareDir;
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&firmwareDir), &info) && info.dli_fname) {
    std::string self = info.dli_fname;
    auto slash = self.rfind('/');
    return (slash == std::string::npos ? std::string(".") : self.substr(0, slash)) + "/firmware";
  }
  return "firmware";
}

bool loadObject(const std::string& symbol, std::string* error) {
  if (g_loaded.count(symbol)) return true;
  auto it = firmwareObjects().find(symbol);
  if (it == firmwareObjects().end()) {
    if (error) *error = "unknown firmware symbol: " + symbol;
    return false;
  }
  std::string path = firmwareDir() + "/" + it->second + ".so";
  detail::OutsideTapRoot pc;  // the firmware's objects are the emulator's files
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL);
  if (!handle) {
    if (error) *error = "cannot load firmware object " + path + ": " + dlerror();
    return false;
  }
  g_loaded[symbol] = handle;
  void* address = dlsym(handle, symbol.c_str());
  if (symbol == FW_tapTask && address) g_tapTable = static_cast<TapTableEntry*>(address);
  if (symbol == FW_curTapTask && address) g_curTapTask = static_cast<int32_t*>(address);
  if (symbol == FW_osdInfo && address) g_osdInfo = static_cast<OsdRegionInfo*>(address);
  return true;
}

}  // namespace

const Config& config() { return g_config; }

bool reset(const Config& config, std::string* error) {
  for (const auto& name : config.leaveOut) {
    if (!firmwareObjects().count(name)) {
      if (error) *error = "unknown firmware symbol: " + name;
      return false;
    }
    if (g_loaded.count(name)) {
      if (error)
        *error = "firmware symbol " + name + " is already offered in this process; leave it out in a fresh process";
      return false;
    }
  }
  if (config.tapSlot < 0 || config.tapSlot >= TAP_TableSize) {
    if (error) *error = "TAP slot out of range";
    return false;
  }
  g_config = config;
  g_configured = true;
  for (const auto& [symbol, object] : firmwareObjects()) {
    if (config.leaveOut.count(symbol)) continue;
    if (!loadObject(symbol, error)) return false;
  }
  std::memset(static_cast<void*>(g_tapTable), 0, sizeof(TapTableEntry) * TAP_TableSize);
  *g_curTapTask = config.tapSlot;
  detail::resetMemory();
  detail::resetClock();
  detail::resetConsole();
  detail::resetScreen(g_osdInfo);
  detail::resetHdd(g_tapTable);
  detail::resetPlayer();
  detail::resetShell();
  return true;
}

bool offerFirmwareSymbol(const std::string& name, std::string* error) { return loadObject(name, error); }

bool tracing() { return g_config.trace; }

void trace(const char* format, ...) {
  if (!g_config.trace) return;
  va_list args;
  va_start(args, format);
  std::string line = detail::vformat(format, args);
  va_end(args);
  if (!g_config.traceSkip.empty()) {
    std::string name = line.substr(0, line.find_first_of("( "));
    if (g_config.traceSkip.count(name)) return;
    if (g_config.traceSkip.count("idle") && line.rfind("event 0x0 ", 0) == 0) return;
  }
  std::fprintf(g_config.traceOut ? g_config.traceOut : stderr, "[trace %6u] %s\n", ticks(), line.c_str());
  std::fflush(g_config.traceOut ? g_config.traceOut : stderr);
}

TapTableEntry* tapTable() { return g_tapTable; }
int32_t& curTapTask() { return *g_curTapTask; }
const OsdRegionInfo* regionTable() { return g_osdInfo; }

namespace detail {

TapTableEntry& tapSlot() { return g_tapTable[g_config.tapSlot]; }

std::string vformat(const char* fmt, va_list args) {
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(nullptr, 0, fmt, copy);
  va_end(copy);
  if (n < 0) return {};
  std::string out(static_cast<size_t>(n), '\0');
  std::vsnprintf(out.data(), out.size() + 1, fmt, args);
  return out;
}

std::string format(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string out = vformat(fmt, args);
  va_end(args);
  return out;
}

std::string quote(const char* text) {
  if (!text) return "null";
  std::string out = "\"";
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
    if (*p == '"' || *p == '\\') {
      out += '\\';
      out += static_cast<char>(*p);
    } else if (*p < 0x20 || *p == 0x7F) {
      out += format("\\x%02X", *p);
    } else {
      out += static_cast<char>(*p);
    }
  }
  return out + "\"";
}

}  // namespace detail
}  // namespace emu
