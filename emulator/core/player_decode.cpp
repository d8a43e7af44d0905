// One playback: reads a transport-stream file that may still be growing,
// demuxes it with libavformat and decodes its audio and video with libavcodec
// as their timestamps fall due. At the end of the data it waits for more;
// damaged stretches are skipped up to the next good picture.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "core/player_impl.h"

namespace emu::detail {
namespace {

// In real time, one call decodes for about this long, then lets events in.
constexpr auto kRealTimeSlice = std::chrono::milliseconds(40);

// Hands the demuxer whole packets of what the file holds now; at its end the
// demuxer sees the end of the stream and is let on again once it grows.
int readFile(void* opaque, uint8_t* buffer, int size) {
  auto* p = static_cast<DecodingPlayback::Impl*>(opaque);
  ssize_t got = pread(p->fd, buffer, static_cast<size_t>(size), static_cast<off_t>(p->handedOut));
  if (got <= 0) return AVERROR_EOF;
  got -= got % 188;
  if (got == 0) return AVERROR_EOF;
  p->handedOut += static_cast<uint64_t>(got);
  return static_cast<int>(got);
}

std::string codecName(const AVCodecContext* c) { return c ? avcodec_get_name(c->codec_id) : ""; }

AVCodecContext* openDecoder(const AVStream* stream, int threads) {
  const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
  if (!codec) return nullptr;
  AVCodecContext* c = avcodec_alloc_context3(codec);
  if (!c) return nullptr;
  c->thread_count = threads;
  // Nothing a receiver shows is larger; a damaged header asking for more is
  // refused rather than allocated.
  c->max_pixels = 4096 * 2304;
  if (avcodec_parameters_to_context(c, stream->codecpar) < 0 || avcodec_open2(c, codec, nullptr) < 0)
    avcodec_free_context(&c);
  return c;
}

// What the receiver's decoder plays: MPEG-2 (and MPEG-1) and H.264 pictures
// up to 1920 x 1080, MPEG audio, AAC and AC-3 sound.
bool receiverDecodes(const AVCodecContext* c) {
  switch (c->codec_id) {
    case AV_CODEC_ID_MPEG1VIDEO:
    case AV_CODEC_ID_MPEG2VIDEO:
    case AV_CODEC_ID_H264: return c->width <= 1920 && c->height <= 1080;
    case AV_CODEC_ID_MP1:
    case AV_CODEC_ID_MP2:
    case AV_CODEC_ID_MP3:
    case AV_CODEC_ID_AAC:
    case AV_CODEC_ID_AAC_LATM:
    case AV_CODEC_ID_AC3: return true;
    default: return false;
  }
}

}  // namespace

DecodingPlayback::DecodingPlayback(const std::string& path, uint32_t now, const Options& options)
    : impl_(std::make_unique<Impl>()) {
  static const bool quiet = [] {
    // Damage is reported on the console, once per stretch; the libraries'
    // own remarks would repeat it for every packet.
    av_log_set_level(AV_LOG_QUIET);
    return true;
  }();
  (void)quiet;
  Impl& p = *impl_;
  p.path = path;
  p.name = path.substr(path.rfind('/') + 1);
  p.options = options;
  p.startTick = now;
  p.grewAt = now;
  p.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (p.fd >= 0 && fstat(p.fd, &st) == 0) p.size = static_cast<uint64_t>(st.st_size);
  p.packet = av_packet_alloc();
  p.frame = av_frame_alloc();
  p.shown = av_frame_alloc();
}

DecodingPlayback::~DecodingPlayback() = default;

DecodingPlayback::Impl::~Impl() {
  av_packet_free(&packet);
  av_frame_free(&frame);
  av_frame_free(&shown);
  avcodec_free_context(&videoCodec);
  avcodec_free_context(&audioCodec);
  swr_free(&resampler);
  av_channel_layout_uninit(&resamplerLayout);
  sws_freeContext(scaler);
  avformat_close_input(&format);
  if (io) {
    av_freep(&io->buffer);
    avio_context_free(&io);
  }
  if (fd >= 0) ::close(fd);
}

bool DecodingPlayback::Impl::open(uint32_t now) {
  opened = true;
  const int kBuffer = 64 * 1024;
  auto* buffer = static_cast<uint8_t*>(av_malloc(kBuffer));
  io = buffer ? avio_alloc_context(buffer, kBuffer, 0, this, readFile, nullptr, nullptr) : nullptr;
  if (!io) {
    av_free(buffer);
  } else {
    format = avformat_alloc_context();
  }
  if (format) {
    format->pb = io;
    format->probesize = 2000000;
    format->max_analyze_duration = 2 * AV_TIME_BASE;
    if (avformat_open_input(&format, nullptr, av_find_input_format("mpegts"), nullptr) < 0) format = nullptr;
  }
  if (format && avformat_find_stream_info(format, nullptr) >= 0) {
    video = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    audio = av_find_best_stream(format, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    // Two threads at most: the emulator shares a small machine with the TAP's
    // downloads.
    if (video >= 0 && !(videoCodec = openDecoder(format->streams[video], 2))) video = -1;
    if (audio >= 0 && !(audioCodec = openDecoder(format->streams[audio], 1))) audio = -1;
    // What the receiver cannot decode stays dark or silent, as it would there.
    if (videoCodec && !receiverDecodes(videoCodec)) {
      console("Player: %s: the receiver does not decode video %s %dx%d: no picture", name.c_str(),
              codecName(videoCodec).c_str(), videoCodec->width, videoCodec->height);
      avcodec_free_context(&videoCodec);
      video = -1;
    }
    if (audioCodec && !receiverDecodes(audioCodec)) {
      console("Player: %s: the receiver does not decode audio %s: no sound", name.c_str(),
              codecName(audioCodec).c_str());
      avcodec_free_context(&audioCodec);
      audio = -1;
    }
    for (unsigned i = 0; i < format->nb_streams; ++i)
      if (static_cast<int>(i) != video && static_cast<int>(i) != audio) format->streams[i]->discard = AVDISCARD_ALL;
  }
  if (!format || (video < 0 && audio < 0)) {
    blind = true;
    blindSince = now;
    console(
        "Player: %s holds no audio or video that the player can decode: it "
        "plays without picture or sound",
        name.c_str());
    return false;
  }
  std::string what;
  if (videoCodec) {
    const AVStream* s = format->streams[video];
    double fps = s->avg_frame_rate.den ? av_q2d(s->avg_frame_rate) : 0;
    what += detail::format("video %s %dx%d", codecName(videoCodec).c_str(), videoCodec->width, videoCodec->height);
    if (fps > 0) what += detail::format(" %.4g fps", fps);
  }
  if (audioCodec) {
    if (!what.empty()) what += ", ";
    what += detail::format("audio %s %d Hz %d ch", codecName(audioCodec).c_str(), audioCodec->sample_rate,
                           audioCodec->ch_layout.nb_channels);
  }
  console("Player: %s: %s", name.c_str(), what.c_str());
  return true;
}

bool DecodingPlayback::Impl::readPacket(uint32_t now) {
  for (;;) {
    // Keep clear of the growing end unless the file has been still a while:
    // a packet read there may be only half written.
    bool settled = now - grewAt >= kSettledTicks;
    if (!settled && size < handedOut + kReadMargin) return false;
    if (!format || !io) return false;
    io->eof_reached = 0;
    io->error = 0;
    int r = av_read_frame(format, packet);
    if (r < 0) {
      // All that the file holds has been played, padding included.
      if (r == AVERROR_EOF && handedOut >= size) played = size;
      return false;
    }
    if (packet->stream_index != video && packet->stream_index != audio) {
      av_packet_unref(packet);
      continue;
    }
    packetDue = dueTick(packet, now);
    havePacket = true;
    return true;
  }
}

void DecodingPlayback::Impl::damage(const char* what, uint64_t at, const char* how) {
  bool& flag = std::string(what) == "video" ? videoDamaged : audioDamaged;
  if (flag) return;
  flag = true;
  ++damaged;
  if (&flag == &videoDamaged) skippedBefore = skippedPictures;
  console("Player: %s: damaged %s at block %u (%s): skipped up to the next good %s", name.c_str(), what, block(at), how,
          std::string(what) == "video" ? "picture" : "sound");
}

void DecodingPlayback::Impl::play(uint32_t now) {
  havePacket = false;
  uint64_t at = packet->pos >= 0 ? static_cast<uint64_t>(packet->pos) : played;
  played = std::max(played, std::min(at + 188, size));
  if (packet->flags & AV_PKT_FLAG_CORRUPT)
    damage(packet->stream_index == video ? "video" : "audio", at, "packets lost");
  if (packet->stream_index == video) {
    decodeVideo(now, packet);
  } else if (!(packet->flags & AV_PKT_FLAG_CORRUPT)) {
    decodeAudio(packet);
  }
  av_packet_unref(packet);
}

void DecodingPlayback::Impl::decodeVideo(uint32_t now, const AVPacket* pkt) {
  uint64_t at = pkt->pos >= 0 ? static_cast<uint64_t>(pkt->pos) : played;
  int r = avcodec_send_packet(videoCodec, pkt);
  if (r < 0 && r != AVERROR(EAGAIN)) damage("video", at, "undecodable");
  while (avcodec_receive_frame(videoCodec, frame) >= 0) {
    bool bad = frame->decode_error_flags != 0 || (frame->flags & AV_FRAME_FLAG_CORRUPT);
    if (bad) damage("video", at, "broken picture");
    if (bad || (videoDamaged && !frame->key_frame)) {
      ++skippedPictures;
      av_frame_unref(frame);
      continue;
    }
    if (videoDamaged) {
      videoDamaged = false;
      console("Player: %s: pictures again from block %u (%llu damaged ones skipped)", name.c_str(), block(at),
              static_cast<unsigned long long>(skippedPictures - skippedBefore));
    }
    av_frame_unref(shown);
    av_frame_move_ref(shown, frame);
    shownDueMs = dueMsOf(shown, video);
    haveShown = shownChanged = true;
    width = static_cast<uint32_t>(shown->width);
    height = static_cast<uint32_t>(shown->height);
    if (++pictures == 1) {
      firstPictureTick = now;
      console("Player: %s: first picture (%s %ux%u) %.2f s after the start", name.c_str(),
              codecName(videoCodec).c_str(), width, height, (now - startTick) / 100.0);
    }
  }
}

void DecodingPlayback::Impl::decodeAudio(const AVPacket* pkt) {
  uint64_t at = pkt->pos >= 0 ? static_cast<uint64_t>(pkt->pos) : played;
  int r = avcodec_send_packet(audioCodec, pkt);
  if (r < 0 && r != AVERROR(EAGAIN)) damage("audio", at, "undecodable");
  while (avcodec_receive_frame(audioCodec, frame) >= 0) {
    audioDamaged = false;
    if (frame->sample_rate > 0) {
      sampleRate = static_cast<uint32_t>(frame->sample_rate);
      audioSamples += static_cast<uint64_t>(frame->nb_samples);
    }
    AudioSink* wav = options.audio;
    if (wav && frame->sample_rate > 0) {
      if (!resampler || resamplerRate != frame->sample_rate || resamplerFormat != frame->format ||
          av_channel_layout_compare(&resamplerLayout, &frame->ch_layout) != 0) {
        swr_free(&resampler);
        AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
        if (swr_alloc_set_opts2(&resampler, &stereo, AV_SAMPLE_FMT_S16, AudioSink::kRate, &frame->ch_layout,
                                static_cast<AVSampleFormat>(frame->format), frame->sample_rate, 0, nullptr) < 0 ||
            swr_init(resampler) < 0)
          swr_free(&resampler);
        resamplerRate = frame->sample_rate;
        resamplerFormat = frame->format;
        av_channel_layout_uninit(&resamplerLayout);
        av_channel_layout_copy(&resamplerLayout, &frame->ch_layout);
      }
      if (resampler) {
        int room = swr_get_out_samples(resampler, frame->nb_samples);
        if (room > 0) {
          pcm.resize(static_cast<size_t>(room) * 2);
          uint8_t* out = reinterpret_cast<uint8_t*>(pcm.data());
          int n =
              swr_convert(resampler, &out, room, const_cast<const uint8_t**>(frame->extended_data), frame->nb_samples);
          if (n > 0) wav->write(pcm.data(), static_cast<size_t>(n), dueMsOf(frame, audio));
        }
      }
    }
    av_frame_unref(frame);
  }
}

bool DecodingPlayback::advance(uint32_t now) {
  Impl& p = *impl_;
  if (p.ended) return false;
  if (!lookAtGrowingFile(p.fd, p.size, p.grewAt, now)) {
    p.ended = true;
    p.why = "the file is gone";
    return false;
  }
  if (!p.opened && !p.blind) {
    // The demuxer looks at the first 2 MB to learn the streams; a shorter
    // file is opened once it has stopped growing.
    if (!readyToStart(p.size, p.grewAt, now)) return true;
    p.open(now);
  }
  bool waiting;
  if (p.blind) {
    p.played = p.clock.played(p.fd, p.size, p.blindSince, now);
    waiting = p.played >= p.size;
    if (waiting && !p.starved) {
      p.starved = true;
      p.starvedSince = now;
    }
  } else {
    auto until = std::chrono::steady_clock::now() + kRealTimeSlice;
    waiting = false;
    for (;;) {
      if (!p.havePacket && !p.readPacket(now)) {
        waiting = true;
        if (!p.starved) {
          p.starved = true;
          p.starvedSince = now;
        }
        break;
      }
      if (p.packetDue > now) break;
      p.play(now);
      if (p.options.realTime && std::chrono::steady_clock::now() > until) break;
    }
  }
  if (waiting && waitedTooLong(now, p.grewAt, p.starvedSince, p.options.giveUpTicks, p.why)) {
    p.ended = true;
    return false;
  }
  return true;
}

const std::string& DecodingPlayback::why() const { return impl_->why; }

uint64_t DecodingPlayback::bytesPlayed(uint32_t now) const {
  (void)now;
  return std::min(impl_->played, impl_->size);
}

uint64_t DecodingPlayback::fileBytes() const { return impl_->size; }

bool DecodingPlayback::hasPicture() const { return impl_->haveShown; }

void DecodingPlayback::fillStatus(PlayerStatus& s) const {
  const Impl& p = *impl_;
  s.currentBlock = p.block(std::min(p.played, p.size));
  s.totalBlock = p.block(p.size);
  s.videoCodec = codecName(p.videoCodec);
  s.width = p.width;
  s.height = p.height;
  s.pictures = p.pictures;
  s.audioCodec = codecName(p.audioCodec);
  s.sampleRate = p.sampleRate;
  s.audioSeconds = p.sampleRate ? static_cast<double>(p.audioSamples) / p.sampleRate : 0;
  s.damagedStretches = p.damaged;
  s.pictureDueMs = p.haveShown ? p.shownDueMs : -1;
  s.startTick = p.startTick;
  s.firstPictureTick = p.firstPictureTick;
}

std::string DecodingPlayback::summary() const {
  PlayerStatus s;
  fillStatus(s);
  if (s.videoCodec.empty() && s.audioCodec.empty()) return "nothing decoded";
  std::string text;
  if (!s.videoCodec.empty())
    text += format("video %s %ux%u, %llu pictures", s.videoCodec.c_str(), s.width, s.height,
                   static_cast<unsigned long long>(s.pictures));
  if (!s.audioCodec.empty())
    text += format("%saudio %s, %.1f s", text.empty() ? "" : "; ", s.audioCodec.c_str(), s.audioSeconds);
  if (s.damagedStretches)
    text += format("; %llu damaged stretches skipped", static_cast<unsigned long long>(s.damagedStretches));
  return text;
}

}  // namespace emu::detail

// The module's entry point (kDecoderEntry), which openPlayback looks up.
extern "C" __attribute__((visibility("default"))) emu::detail::Playback* orvado_decoding_playback(
    const std::string& path, uint32_t now, const emu::detail::Playback::Options& options) {
  return new emu::detail::DecodingPlayback(path, now, options);
}
