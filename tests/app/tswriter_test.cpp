// The transport stream writer: its packets read back by a demultiplexer of
// the test's own (tables with their CRC, continuity counters across
// segments, PES timestamps, clock references, stuffing) and by ffprobe.
#include "app/TsWriter.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "support/testing.h"

using namespace orvado_test;

namespace {

uint32_t Crc(const uint8_t* p, size_t n) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) {
    crc ^= static_cast<uint32_t>(p[i]) << 24;
    for (int b = 0; b < 8; ++b) crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
  }
  return crc;
}

int64_t Timestamp(const uint8_t* p) {
  return (static_cast<int64_t>(p[0] & 0x0E) << 29) | (p[1] << 22) | ((p[2] >> 1) << 15) | (p[3] << 7) | (p[4] >> 1);
}

struct Pes {
  size_t order;  // where it began among all PES packets
  uint16_t pid;
  int64_t pts, dts;
  bool key;
  std::string data;
};

// What the file holds, read packet by packet; every fault of form is a test
// failure.
struct Demuxed {
  std::map<uint16_t, uint8_t> streamTypes;  // from the last PMT
  std::vector<int> pmtVersions;
  uint16_t pcrPid = 0;
  std::vector<Pes> pes;
  std::vector<std::pair<size_t, int64_t>> pcrs;  // packet index, base
  int tables = 0;
};

void FinishPes(Pes* open, std::vector<Pes>* out) {
  if (open->pid == 0) return;
  const auto* h = reinterpret_cast<const uint8_t*>(open->data.data());
  ASSERT_GE(open->data.size(), 14u);
  EXPECT_EQ(h[0] << 16 | h[1] << 8 | h[2], 1) << "PES start code";
  size_t length = (h[4] << 8) | h[5];
  if (length != 0) {
    EXPECT_EQ(length, open->data.size() - 6) << "PES length";
  }
  uint8_t flags = h[7];
  ASSERT_TRUE(flags & 0x80) << "a PTS";
  open->pts = Timestamp(h + 9);
  open->dts = (flags & 0x40) ? Timestamp(h + 14) : open->pts;
  open->data.erase(0, 9 + h[8]);
  out->push_back(*open);
  open->pid = 0;
}

void Demux(const std::string& file, Demuxed* out) {
  Demuxed& d = *out;
  EXPECT_EQ(file.size() % 188, 0u);
  std::map<uint16_t, int> cc;
  std::map<uint16_t, Pes> open;
  size_t started = 0;
  for (size_t i = 0; i + 188 <= file.size(); i += 188) {
    const auto* p = reinterpret_cast<const uint8_t*>(file.data() + i);
    EXPECT_EQ(p[0], 0x47) << "sync at packet " << i / 188;
    uint16_t pid = static_cast<uint16_t>(((p[1] & 0x1F) << 8) | p[2]);
    bool start = p[1] & 0x40;
    int counter = p[3] & 0x0F;
    if (cc.count(pid)) {
      EXPECT_EQ(counter, (cc[pid] + 1) & 0x0F) << "continuity on PID " << pid << " at " << i / 188;
    }
    cc[pid] = counter;
    size_t at = 4;
    bool key = false;
    if (p[3] & 0x20) {
      size_t len = p[4];
      EXPECT_LE(len, 183u);
      if (len > 0) {
        key = p[5] & 0x40;
        if (p[5] & 0x10) {
          d.pcrs.emplace_back(
              i / 188, (static_cast<int64_t>(p[6]) << 25) | (p[7] << 17) | (p[8] << 9) | (p[9] << 1) | (p[10] >> 7));
          EXPECT_EQ(pid, d.pcrPid) << "PCR on the PMT's PCR PID";
        }
        size_t flagBytes = 1 + ((p[5] & 0x10) ? 6 : 0);
        for (size_t s = 5 + flagBytes; s < 5 + len; ++s) EXPECT_EQ(p[s], 0xFF) << "stuffing";
      }
      at = 5 + len;
    }
    EXPECT_TRUE(p[3] & 0x10) << "every packet carries payload";
    if (pid == 0 || pid == 0x1000) {
      ASSERT_TRUE(start);
      const uint8_t* s = p + at + 1 + p[at];
      size_t length = ((s[1] & 0x0F) << 8) | s[2];
      ASSERT_LE(length + 3, 188 - at - 1u);
      EXPECT_EQ(Crc(s, length + 3), 0u) << "table CRC on PID " << pid;
      if (pid == 0) {
        EXPECT_EQ(s[0], 0x00);
        EXPECT_EQ(((s[10] & 0x1F) << 8) | s[11], 0x1000) << "PMT PID";
      } else {
        EXPECT_EQ(s[0], 0x02);
        d.pmtVersions.push_back((s[5] >> 1) & 0x1F);
        d.streamTypes.clear();
        d.pcrPid = static_cast<uint16_t>(((s[8] & 0x1F) << 8) | s[9]);
        for (size_t e = 12; e + 5 <= length + 3 - 4; e += 5)
          d.streamTypes[static_cast<uint16_t>(((s[e + 1] & 0x1F) << 8) | s[e + 2])] = s[e];
      }
      ++d.tables;
      continue;
    }
    EXPECT_TRUE(d.streamTypes.count(pid)) << "PID " << pid << " in the PMT";
    if (start) {
      FinishPes(&open[pid], &d.pes);
      open[pid] = Pes{started++, pid, 0, 0, key, ""};
    }
    open[pid].data.append(reinterpret_cast<const char*>(p + at), 188 - at);
  }
  for (auto& [pid, pes] : open) FinishPes(&pes, &d.pes);
  std::sort(d.pes.begin(), d.pes.end(), [](const Pes& a, const Pes& b) { return a.order < b.order; });
}

std::string Frame(size_t size, char seed) {
  std::string f(size, '\0');
  for (size_t i = 0; i < size; ++i) f[i] = static_cast<char>(seed + i * 7);
  return f;
}

TEST(TsWriter, PacketsReadBackAcrossSegments) {
  const std::string path = "/mnt/hd/written.ts";
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  static TsWriter w;
  TsWriterReset(&w);
  EXPECT_FALSE(TsOpenSegment(&w, fd, TS_NONE, TS_NONE));
  // Sizes that meet each packet boundary case: one byte of stuffing, two,
  // none, and frames of many packets.
  std::vector<size_t> sizes = {1, 2, 160, 161, 162, 176, 183, 184, 185, 350, 5000, 70000, 12345};
  std::vector<Pes> sent;
  int64_t t = (int64_t{1} << 33) - 9000;  // runs over the 33-bit wrap
  for (int segment = 0; segment < 2; ++segment) {
    ASSERT_TRUE(TsOpenSegment(&w, fd, TS_H264, TS_AAC));
    for (size_t i = 0; i < sizes.size(); ++i) {
      bool video = i % 2 == 0;
      Pes p{0,
            static_cast<uint16_t>(video ? 0x100 : 0x101),
            t + 3600,
            video ? t : t + 3600,
            video && i % 4 == 0,
            Frame(sizes[i], static_cast<char>(i))};
      ASSERT_TRUE(TsWriteFrame(&w, video, p.pts, video ? p.dts : -1, p.key,
                               reinterpret_cast<const uint8_t*>(p.data.data()), p.data.size()));
      sent.push_back(p);
      t += 1800;
    }
    ASSERT_TRUE(TsCloseSegment(&w));
  }
  close(fd);
  Demuxed d;
  Demux(readFile(path), &d);
  EXPECT_EQ(d.tables, 4) << "a PAT and a PMT in each segment";
  EXPECT_EQ(d.pmtVersions, (std::vector<int>{0, 0})) << "the same tracks, the same PMT";
  EXPECT_EQ(d.streamTypes[0x100], TS_H264);
  EXPECT_EQ(d.streamTypes[0x101], TS_AAC);
  EXPECT_EQ(d.pcrPid, 0x100) << "the clock rides on the picture";
  ASSERT_EQ(d.pes.size(), sent.size());
  const int64_t mask = (int64_t{1} << 33) - 1;
  for (size_t i = 0; i < sent.size(); ++i) {
    EXPECT_EQ(d.pes[i].pid, sent[i].pid) << i;
    EXPECT_EQ(d.pes[i].pts, sent[i].pts & mask) << i;
    EXPECT_EQ(d.pes[i].dts, sent[i].dts & mask) << i;
    EXPECT_EQ(d.pes[i].key, sent[i].key) << i;
    EXPECT_TRUE(d.pes[i].data == sent[i].data) << "payload of PES " << i << " (" << sent[i].data.size() << " bytes)";
  }
  // One clock reference per picture, behind its decoding time.
  ASSERT_EQ(d.pcrs.size(), sent.size() / 2 + 1);
  for (size_t i = 1; i < d.pcrs.size(); ++i) {
    int64_t step = (d.pcrs[i].second - d.pcrs[i - 1].second) & mask;
    EXPECT_GT(step, 0);
    EXPECT_LE(step, 9000) << "a clock reference at least every 100 ms";
  }
}

TEST(TsWriter, TracksThatChangeTakeANewPmtVersion) {
  const std::string path = "/mnt/hd/tracks.ts";
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  static TsWriter w;
  TsWriterReset(&w);
  const uint8_t frame[100] = {};
  const TsCodec tracks[3][2] = {{TS_H264, TS_AAC}, {TS_NONE, TS_MPEG_AUDIO}, {TS_NONE, TS_MPEG_AUDIO}};
  for (const auto& t : tracks) {
    ASSERT_TRUE(TsOpenSegment(&w, fd, t[0], t[1]));
    ASSERT_TRUE(TsWriteFrame(&w, false, 90000, -1, false, frame, sizeof frame));
    ASSERT_TRUE(TsCloseSegment(&w));
  }
  close(fd);
  Demuxed d;
  Demux(readFile(path), &d);
  EXPECT_EQ(d.pmtVersions, (std::vector<int>{0, 1, 1}));
  EXPECT_EQ(d.streamTypes.size(), 1u);
  EXPECT_EQ(d.streamTypes[0x101], TS_MPEG_AUDIO);
  EXPECT_EQ(d.pcrPid, 0x101) << "without a picture, the clock rides on the sound";
}

TEST(TsWriter, SoundAloneCarriesTheClockAndFfprobeReadsIt) {
  // Real AAC, as ADTS frames, made by ffmpeg and split at their headers.
  const std::string aac = "/mnt/hd/tone.aac", out = "/mnt/hd/tone.ts";
  ASSERT_EQ(
      system(("ffmpeg -loglevel error -f lavfi -i sine=frequency=1000:duration=3 -c:a aac -f adts -y " + aac).c_str()),
      0);
  std::string data = readFile(aac);
  int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  static TsWriter w;
  TsWriterReset(&w);
  int64_t pts = 126000;
  int frames = 0;
  for (size_t at = 0; at + 7 <= data.size();) {
    // Two segments, so that the file holds a second PAT and PMT.
    if (frames % 60 == 0) {
      if (frames > 0) {
        ASSERT_TRUE(TsCloseSegment(&w));
      }
      ASSERT_TRUE(TsOpenSegment(&w, fd, TS_NONE, TS_AAC));
    }
    const auto* p = reinterpret_cast<const uint8_t*>(data.data() + at);
    size_t length = ((p[3] & 0x03) << 11) | (p[4] << 3) | (p[5] >> 5);
    ASSERT_GE(length, 7u);
    ASSERT_TRUE(TsWriteFrame(&w, false, pts, -1, false, p, length));
    pts += 1024 * 90000 / 44100;
    at += length;
    ++frames;
  }
  ASSERT_TRUE(TsCloseSegment(&w));
  close(fd);
  Demuxed d;
  Demux(readFile(out), &d);
  EXPECT_EQ(d.pcrPid, 0x101);
  EXPECT_EQ(d.pcrs.size(), static_cast<size_t>(frames));
  std::string errors =
      commandOutput("ffprobe -v error -show_entries packet=pts -of default=nw=1:nk=1 " + out + " 2>&1");
  std::vector<long> times;
  for (size_t at = 0; at < errors.size();) {
    size_t end = errors.find('\n', at);
    std::string line = errors.substr(at, end - at);
    at = end == std::string::npos ? errors.size() : end + 1;
    if (line.empty()) continue;
    ASSERT_EQ(line.find_first_not_of("0123456789"), std::string::npos) << "ffprobe: " << line;
    times.push_back(std::stol(line));
  }
  EXPECT_EQ(times.size(), static_cast<size_t>(frames)) << "ffprobe reads every frame";
  for (size_t i = 1; i < times.size(); ++i) EXPECT_GT(times[i], times[i - 1]);
}

}  // namespace
