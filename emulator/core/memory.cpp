// TAP_MemAlloc and friends, with a ledger of live blocks and failures on
// demand for the tests.
#include <cstdlib>
#include <cstring>
#include <unordered_map>

#include "core/internal.h"

namespace emu {
namespace {

std::unordered_map<const void*, uint32_t> g_blocks;
size_t g_liveBytes = 0;
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
  void* block = std::malloc(size ? size : 1);
  if (!block) return nullptr;
  g_blocks[block] = size;
  g_liveBytes += size;
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
  g_liveBytes -= it->second;
  g_blocks.erase(it);
  std::free(const_cast<void*>(block));
  trace("TAP_MemFree(%p) = 1", block);
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
void* memAlloc(uint32_t size) { return allocate(size); }

namespace detail {
void resetMemory() {
  // Blocks of an earlier run stay with whoever holds them; the ledger starts anew.
  g_blocks.clear();
  g_liveBytes = 0;
  g_calls = 0;
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
