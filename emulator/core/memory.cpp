// TAP_MemAlloc and friends, with a ledger of live blocks and failures on
// demand for the tests.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

#include "core/internal.h"

namespace emu {
namespace {

// Every block carries guard bytes behind it, so a TAP that writes past the
// end of a block is caught when the block is freed or the heap is checked.
constexpr size_t kGuard = 16;
constexpr unsigned char kGuardByte = 0xFD;
std::unordered_map<const void*, uint32_t> g_blocks;
long g_overruns = 0;

bool guardIntact(const void* block, uint32_t size) {
  const unsigned char* guard = static_cast<const unsigned char*>(block) + size;
  for (size_t i = 0; i < kGuard; ++i)
    if (guard[i] != kGuardByte) return false;
  return true;
}

void reportOverrun(const void* block, uint32_t size) {
  ++g_overruns;
  console("TAP memory block %p of %u bytes was written past its end", block, size);
}
size_t g_liveBytes = 0;
size_t g_peakBytes = 0;
long g_calls = 0;
long g_failAfter = -1;  // successful allocations left before one fails
bool g_failPersistent = false;

void* allocate(uint32_t size) {
  ++g_calls;
  if (g_failAfter == 0) {
    if (!g_failPersistent) g_failAfter = -1;
    return nullptr;
  }
  if (g_failAfter > 0) --g_failAfter;
  void* block = std::malloc(size + kGuard);
  if (!block) return nullptr;
  std::memset(static_cast<unsigned char*>(block) + size, kGuardByte, kGuard);
  g_blocks[block] = size;
  g_liveBytes += size;
  g_peakBytes = std::max(g_peakBytes, g_liveBytes);
  return block;
}

void* tapMemAlloc(uint32_t size) {
  void* block = allocate(size);
  trace("TAP_MemAlloc(%u) = %p", size, block);
  return block;
}

int tapMemFree(const void* block) {
  auto it = g_blocks.find(block);
  if (it == g_blocks.end()) {
    trace("TAP_MemFree(%p) = 0 (not a block of TAP_MemAlloc)", block);
    if (block) console("TAP_MemFree: %p is not a block of TAP_MemAlloc; ignored", block);
    return 0;
  }
  if (!guardIntact(block, it->second)) reportOverrun(block, it->second);
  g_liveBytes -= it->second;
  g_blocks.erase(it);
  // Traced before the block goes: a pointer's value is not to be read once freed.
  trace("TAP_MemFree(%p) = 1", block);
  std::free(const_cast<void*>(block));
  return 1;
}

void tapMemSet(void* p, uint8_t value, uint32_t n) {
  trace("TAP_MemSet(%p, 0x%02X, %u)", p, value, n);
  std::memset(p, value, n);
}

void tapMemCpy(void* dst, const void* src, uint32_t n) {
  trace("TAP_MemCpy(%p, %p, %u)", dst, src, n);
  std::memmove(dst, src, n);
}

int tapMemCmp(const void* a, const void* b, uint32_t n) {
  int r = std::memcmp(a, b, n);
  trace("TAP_MemCmp(%p, %p, %u) = %d", a, b, n, r);
  return r;
}

}  // namespace

void failAllocAfter(long n, bool persistent) {
  g_failAfter = n < 0 ? -1 : n;
  g_failPersistent = persistent;
}
long allocCalls() { return g_calls; }
size_t liveBlocks() { return g_blocks.size(); }
size_t liveBytes() { return g_liveBytes; }
size_t peakBytes() { return g_peakBytes; }
void resetPeakBytes() { g_peakBytes = g_liveBytes; }
void* memAlloc(uint32_t size) { return allocate(size); }

long heapOverruns() {
  for (const auto& [block, size] : g_blocks)
    if (!guardIntact(block, size)) {
      reportOverrun(block, size);
      // Reported once: the guard is mended so a later check stays quiet.
      std::memset(static_cast<unsigned char*>(const_cast<void*>(block)) + size, kGuardByte, kGuard);
    }
  return g_overruns;
}

namespace detail {
void resetMemory() {
  // Blocks of an earlier run stay with whoever holds them; the ledger starts anew.
  g_blocks.clear();
  g_liveBytes = 0;
  g_peakBytes = 0;
  g_calls = 0;
  g_overruns = 0;
  g_failAfter = -1;
  g_failPersistent = false;
  TAP_MemAlloc = tapMemAlloc;
  TAP_MemFree = tapMemFree;
  TAP_MemSet = tapMemSet;
  TAP_MemCpy = tapMemCpy;
  TAP_MemCmp = tapMemCmp;
}
}  // namespace detail
}  // namespace emu
