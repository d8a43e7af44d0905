// TAP_MemAlloc and friends, with a ledger of live blocks and failures on
// demand for the tests.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/internal.h"

namespace emu {
namespace {

// Every block carries guard bytes behind it, so a TAP that writes past the
// end of a block is caught when the block is freed or the heap is checked.
constexpr size_t kGuard = 16;
constexpr unsigned char kGuardByte = 0xFD;

// The ledger of live blocks and their sizes: one open-addressing table, so
// that an allocation makes no allocation of its own; the table grows only
// when it half fills.
class Ledger {
 public:
  void put(const void* block, uint32_t size) {
    if ((count_ + 1) * 2 > slots_.size()) grow();
    size_t i = home(block);
    while (slots_[i].block != nullptr) i = (i + 1) & mask();
    slots_[i] = {block, size};
    ++count_;
  }
  static constexpr size_t kNone = SIZE_MAX;
  // The slot of `block`, or kNone when it is not a live block.
  size_t find(const void* block) const {
    if (count_ == 0) return kNone;
    for (size_t i = home(block); slots_[i].block != nullptr; i = (i + 1) & mask())
      if (slots_[i].block == block) return i;
    return kNone;
  }
  uint32_t sizeAt(size_t slot) const { return slots_[slot].size; }
  // Takes out the block of a slot that find gave; the entries behind it
  // move up, so no look-up ever stops short of its block.
  void erase(size_t i) {
    for (size_t j = (i + 1) & mask(); slots_[j].block != nullptr; j = (j + 1) & mask())
      if (((j - home(slots_[j].block)) & mask()) >= ((j - i) & mask())) {
        slots_[i] = slots_[j];
        i = j;
      }
    slots_[i] = {};
    --count_;
  }
  size_t size() const { return count_; }
  template <typename F>
  void forEach(F f) const {
    for (const Slot& s : slots_)
      if (s.block != nullptr) f(s.block, s.size);
  }
  void clear() {
    slots_.clear();
    count_ = 0;
  }

 private:
  struct Slot {
    const void* block = nullptr;
    uint32_t size = 0;
  };
  std::vector<Slot> slots_;
  size_t count_ = 0;

  size_t mask() const { return slots_.size() - 1; }
  size_t home(const void* block) const {
    return size_t((uint64_t(reinterpret_cast<uintptr_t>(block)) * 0x9E3779B97F4A7C15u) >> 32) & mask();
  }
  void grow() {
    std::vector<Slot> old(slots_.empty() ? 64 : slots_.size() * 2);
    old.swap(slots_);
    count_ = 0;
    for (const Slot& s : old)
      if (s.block != nullptr) put(s.block, s.size);
  }
};

Ledger g_blocks;
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
  g_blocks.put(block, size);
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
  size_t found = g_blocks.find(block);
  if (found == Ledger::kNone) {
    trace("TAP_MemFree(%p) = 0 (not a block of TAP_MemAlloc)", block);
    if (block) console("TAP_MemFree: %p is not a block of TAP_MemAlloc; ignored", block);
    return 0;
  }
  uint32_t size = g_blocks.sizeAt(found);
  if (!guardIntact(block, size)) reportOverrun(block, size);
  g_liveBytes -= size;
  g_blocks.erase(found);
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
  g_blocks.forEach([](const void* block, uint32_t size) {
    if (!guardIntact(block, size)) {
      reportOverrun(block, size);
      // Reported once: the guard is mended so a later check stays quiet.
      std::memset(static_cast<unsigned char*>(const_cast<void*>(block)) + size, kGuardByte, kGuard);
    }
  });
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
