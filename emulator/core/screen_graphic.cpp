// TAP_Osd_PutGd: unpacks the receiver's graphic records (see TYPE_GrData in
// platform/tap.h) into a region.
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/screen_internal.h"

namespace emu::detail {
namespace {

constexpr int kFail = -1;

// Reads the stream byte by byte through a small buffer.
class StreamReader {
 public:
  explicit StreamReader(const GraphicSource& source) : source_(source) {}

  bool byte(uint8_t& b) {
    if (pos_ == len_) {
      if (ended_) return false;
      start_ += len_;
      len_ = source_(start_, buf_, sizeof buf_);
      pos_ = 0;
      if (len_ < sizeof buf_) ended_ = true;
      if (len_ == 0) return false;
    }
    b = buf_[pos_++];
    return true;
  }

  bool pixel(uint32_t& argb) {
    uint8_t lo, hi;
    if (!byte(lo) || !byte(hi)) return false;
    argb = argbFrom1555(static_cast<uint16_t>(lo | hi << 8));
    return true;
  }

 private:
  const GraphicSource& source_;
  uint8_t buf_[4096];
  size_t start_ = 0, len_ = 0, pos_ = 0;
  bool ended_ = false;
};

// Copies TAP memory without trusting it: the stream carries no length of its
// own, so a short or broken one may run into memory that is not there. The
// kernel's copy stops at the first unreadable page instead of faulting.
size_t readTapMemory(const uint8_t* base, size_t offset, uint8_t* out, size_t n) {
  static const long page = sysconf(_SC_PAGESIZE) > 0 ? sysconf(_SC_PAGESIZE) : 4096;
  constexpr int kMaxPieces = 8;
  iovec local{out, n};
  iovec remote[kMaxPieces];
  int pieces = 0;
  uintptr_t at = reinterpret_cast<uintptr_t>(base) + offset;
  size_t left = n;
  // One piece per page: a partial copy then ends exactly where memory does.
  while (left > 0 && pieces < kMaxPieces) {
    size_t inPage = static_cast<size_t>(page) - at % static_cast<uintptr_t>(page);
    size_t take = std::min(left, inPage);
    remote[pieces++] = iovec{reinterpret_cast<void*>(at), take};
    at += take;
    left -= take;
  }
  local.iov_len = n - left;
  ssize_t got = process_vm_readv(getpid(), &local, 1, remote, static_cast<unsigned long>(pieces), 0);
  if (got >= 0) return static_cast<size_t>(got);
  if (errno == EFAULT) return 0;
  // Where the call is missing (qemu-user has none), the kernel still checks
  // what a pipe is given: the copy goes through one, piece by piece, and
  // ends at the first piece it refuses.
  int fds[2];
  if (pipe(fds) != 0) return 0;
  size_t copied = 0;
  for (int k = 0; k < pieces; ++k) {
    ssize_t w = write(fds[1], remote[k].iov_base, remote[k].iov_len);
    if (w <= 0) break;
    ssize_t r = read(fds[0], out + copied, static_cast<size_t>(w));
    if (r != w) break;
    copied += static_cast<size_t>(r);
    if (static_cast<size_t>(w) < remote[k].iov_len) break;
  }
  close(fds[0]);
  close(fds[1]);
  return copied;
}

}  // namespace

uint32_t argbFrom1555(uint16_t v) {
  if ((v & 0x8000) == 0) return 0;
  auto widen = [](uint32_t c) { return (c << 3) | (c >> 2); };
  return 0xFF000000u | widen((v >> 10) & 31) << 16 | widen((v >> 5) & 31) << 8 | widen(v & 31);
}

bool knownGraphicFormat(const TYPE_GrData& gd) {
  return gd.dataFormat == 0 && (gd.compressMethod == 0 || gd.compressMethod == 2);
}

bool unpackGraphic(const TYPE_GrData& gd, const GraphicSource& source, uint64_t limit, const GraphicSink& sink) {
  limit = std::min<uint64_t>(limit, uint64_t{gd.width} * gd.height);
  StreamReader in(source);
  uint64_t i = 0;
  uint32_t argb;
  if (gd.compressMethod == 0) {
    while (i < limit && in.pixel(argb)) sink(i++, 1, argb);
    return i >= limit;
  }
  uint8_t c;
  while (i < limit && in.byte(c)) {
    if (c < 0x80) {
      for (int k = 0; k <= c && i < limit; ++k) {
        if (!in.pixel(argb)) return false;
        sink(i++, 1, argb);
      }
    } else {
      if (!in.pixel(argb)) return false;
      uint64_t n = std::min<uint64_t>(c - 0x7Fu, limit - i);
      sink(i, n, argb);
      i += n;
    }
  }
  return i >= limit;
}

std::vector<uint32_t> unpackGraphic(const TYPE_GrData& gd, const uint8_t* stream, size_t length, bool* complete) {
  std::vector<uint32_t> pixels(static_cast<size_t>(gd.width) * gd.height, 0);
  GraphicSource source = [&](size_t offset, uint8_t* out, size_t n) -> size_t {
    if (offset >= length) return 0;
    n = std::min(n, length - offset);
    std::memcpy(out, stream + offset, n);
    return n;
  };
  bool done = unpackGraphic(gd, source, pixels.size(), [&](uint64_t first, uint64_t count, uint32_t argb) {
    std::fill_n(pixels.begin() + static_cast<ptrdiff_t>(first), count, argb);
  });
  if (complete) *complete = done;
  return pixels;
}

int osdPutGd(uint16_t rgn, int x, int y, const TYPE_GrData* gd, bool sprite) {
  screenChanged();
  OsdRegion* r = osdRegion(rgn);
  int result = kFail;
  const char* why = "";
  int64_t w = gd ? gd->width : 0, h = gd ? gd->height : 0;
  if (!r) {
    why = " (no such region)";
  } else if (!gd || !gd->data) {
    why = " (no graphic data)";
  } else if (!knownGraphicFormat(*gd)) {
    why = " (unknown graphic format)";
  } else if (w == 0 || h == 0 || x >= static_cast<int64_t>(r->w) || y >= static_cast<int64_t>(r->h) || x + w <= 0 ||
             y + h <= 0) {
    why = " (nothing of it lies in the region)";
  } else {
    // Rows below the region need not be unpacked.
    uint64_t rows = static_cast<uint64_t>(std::min<int64_t>(h, static_cast<int64_t>(r->h) - y));
    const uint8_t* base = gd->data;
    GraphicSource source = [base](size_t offset, uint8_t* out, size_t n) {
      return readTapMemory(base, offset, out, n);
    };
    bool complete = unpackGraphic(*gd, source, rows * w, [&](uint64_t first, uint64_t count, uint32_t argb) {
      if ((argb >> 24) == 0) return;  // clear pixels leave the region as it is
      for (uint64_t i = first; i < first + count; ++i) {
        int64_t px = x + static_cast<int64_t>(i % w), py = y + static_cast<int64_t>(i / w);
        if (px >= 0 && py >= 0 && px < static_cast<int64_t>(r->w))
          r->at(static_cast<uint32_t>(px), static_cast<uint32_t>(py)) = argb;
      }
    });
    result = 0;
    if (!complete) why = " (stream ended early; the rest stays clear)";
  }
  if (gd)
    trace("TAP_Osd_PutGd(%u, %d, %d, {version %u, format %u, packing %u, %u x %u, size %u, data %p}, %d) = %d%s", rgn,
          x, y, gd->version, gd->dataFormat, gd->compressMethod, gd->width, gd->height, gd->size,
          static_cast<const void*>(gd->data), sprite ? 1 : 0, result, why);
  else
    trace("TAP_Osd_PutGd(%u, %d, %d, null, %d) = %d%s", rgn, x, y, sprite ? 1 : 0, result, why);
  return result;
}

}  // namespace emu::detail
