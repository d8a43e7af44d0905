// When a packet of the stream is due on the emulator's clock. The stream's
// own timestamps set the pace; a jump in them (a new broadcast, a looped
// source, a spliced file) continues from where the old ones left off, and
// after waiting for data the clock picks up from the moment it came.
#include "core/player_impl.h"

namespace emu::detail {
namespace {

// Timestamps of audio and video run a little apart, and a stream may skip a
// little ahead; only a larger step is a break in the stream.
constexpr int64_t kJumpAheadUs = 5 * 1000000;
constexpr int64_t kJumpBackUs = 2 * 1000000;
// How far behind the real clock the player may fall before it skips ahead.
constexpr int64_t kBehindTicks = 200;

}  // namespace

int64_t DecodingPlayback::Impl::dueMsOf(const AVFrame* f, int index) const {
  int64_t ts = f->best_effort_timestamp != AV_NOPTS_VALUE ? f->best_effort_timestamp : f->pts;
  if (ts == AV_NOPTS_VALUE || !anchored) return tickOf(lastUs) * 10;
  return msOf(av_rescale_q(ts, format->streams[index]->time_base, AV_TIME_BASE_Q));
}

int64_t DecodingPlayback::Impl::dueTick(const AVPacket* pkt, uint32_t now) {
  int64_t ts = pkt->dts != AV_NOPTS_VALUE ? pkt->dts : pkt->pts;
  if (ts == AV_NOPTS_VALUE) return haveLast ? tickOf(lastUs) : now;
  int64_t us = av_rescale_q(ts, format->streams[pkt->stream_index]->time_base, AV_TIME_BASE_Q);
  if (!anchored) {
    anchored = true;
    anchorUs = us;
    anchorTick = now;
  } else if (haveLast && (us - lastUs > kJumpAheadUs || lastUs - us > kJumpBackUs)) {
    console(
        "Player: %s: timestamps jump by %+.1f s at block %u: following the "
        "new ones",
        name.c_str(), static_cast<double>(us - lastUs) / 1e6,
        block(static_cast<uint64_t>(std::max<int64_t>(pkt->pos, 0))));
    anchorTick = tickOf(lastUs);
    anchorUs = us;
  }
  haveLast = true;
  lastUs = us;
  int64_t due = tickOf(us);
  if (starved && due < now) {
    // Data came late: play on from now rather than rush through the backlog.
    anchorTick += now - due;
    due = now;
  } else if (options.realTime && now - due > kBehindTicks) {
    if (now - lastBehindNote >= 1000 || lastBehindNote == 0) {
      console(
          "Player: %s: decoding fell %.1f s behind the stream: going on "
          "from here",
          name.c_str(), static_cast<double>(now - due) / 100);
      lastBehindNote = now;
    }
    anchorTick += now - due;
    due = now;
  }
  starved = false;
  return due;
}

}  // namespace emu::detail
