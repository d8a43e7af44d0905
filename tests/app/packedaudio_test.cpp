// Packed audio chunks made transport stream by ChunkToTs: sound that ffmpeg
// encodes in each form the receiver decodes, behind ID3 tags made here, is
// read back by ffprobe frame for frame, with the times the tags give or
// counted on from the chunk before.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "app/ChunkToTs.h"
#include "support/testing.h"

using namespace orvado_test;

namespace {

std::string Syncsafe(uint32_t n) {
  return {static_cast<char>((n >> 21) & 0x7F), static_cast<char>((n >> 14) & 0x7F), static_cast<char>((n >> 7) & 0x7F),
          static_cast<char>(n & 0x7F)};
}

std::string Id3v4Frame(const std::string& id, const std::string& body) {
  return id + Syncsafe(static_cast<uint32_t>(body.size())) + std::string(2, '\0') + body;
}

// An ID3v2.4 tag whose PRIV frame holds `ts`, after a text frame.
std::string Id3(int64_t ts) {
  std::string stamp = std::string("com.apple.streaming.transportStreamTimestamp") + '\0';
  for (int i = 7; i >= 0; --i) stamp += static_cast<char>((ts >> (8 * i)) & 0xFF);
  std::string frames = Id3v4Frame("TXXX", std::string("\3note\0radio", 11)) + Id3v4Frame("PRIV", stamp);
  return std::string("ID3\4\0\0", 6) + Syncsafe(static_cast<uint32_t>(frames.size())) + frames;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    if (end > at) lines.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return lines;
}

std::vector<int64_t> PacketTimes(const std::string& file) {
  std::vector<int64_t> times;
  for (const std::string& line :
       Lines(commandOutput("ffprobe -v error -show_entries packet=pts -of default=nw=1:nk=1 " + file + " 2>&1"))) {
    EXPECT_EQ(line.find_first_not_of("0123456789"), std::string::npos) << "ffprobe: " << line;
    times.push_back(std::stoll(line));
  }
  return times;
}

const std::string kDir = "/mnt/hd/packed";

std::string Encode(const std::string& codec, const std::string& format, int rate, double seconds) {
  std::string file = kDir + "/raw." + format;
  std::string command = "mkdir -p " + kDir + " && ffmpeg -loglevel error -f lavfi -i sine=frequency=1000:sample_rate=" +
                        std::to_string(rate) + ":duration=" + std::to_string(seconds) + " -c:a " + codec + " -f " +
                        format;
  // Without the encoder's own info frame, which raw readers leave out.
  if (format == "mp3") command += " -write_xing 0";
  command += " -y " + file;
  EXPECT_EQ(system(command.c_str()), 0) << command;
  return readFile(file);
}

// Converts `chunk` as the pipeline does, into the file `name` of kDir.
bool Convert(TsConversion* c, const std::string& name, const std::string& chunk) {
  writeFile(kDir + "/" + name, chunk);
  return ChunkToTs((kDir + "/" + name).c_str(), c, nullptr);
}

struct Form {
  const char* name;
  const char* codec;   // ffmpeg's encoder
  const char* format;  // and raw muxer
  int rate;
  const char* probed;  // the codec ffprobe must find in the result
};

class PackedAudio : public ::testing::TestWithParam<Form> {};

TEST_P(PackedAudio, EveryFrameComesThroughAtTheTaggedTime) {
  const Form& f = GetParam();
  std::string raw = Encode(f.codec, f.format, f.rate, 2);
  ASSERT_FALSE(raw.empty());
  std::string frames = commandOutput(
      "ffprobe -v error -count_packets -show_entries stream=nb_read_packets -of "
      "default=nw=1:nk=1 " +
      kDir + "/raw." + f.format);
  freshReceiver();  // TAP_MemAlloc
  static TsConversion c;
  ChunkToTsReset(&c);
  ASSERT_TRUE(Convert(&c, "chunk.aac", Id3(900000) + raw));
  std::string out = kDir + "/chunk.aac";
  std::string probed = commandOutput("ffprobe -v error -show_entries stream=codec_name -of default=nw=1:nk=1 " + out);
  EXPECT_EQ(probed.substr(0, probed.find('\n')), f.probed);
  std::vector<int64_t> times = PacketTimes(out);
  ASSERT_FALSE(times.empty());
  // ffprobe splits the PES packets into frames again.
  EXPECT_EQ(std::to_string(times.size()) + "\n", frames) << "every frame, and no other";
  EXPECT_EQ(times[0], 900000) << "the time of the ID3 tag";
  for (size_t i = 1; i < times.size(); ++i) EXPECT_GT(times[i], times[i - 1]);
  EXPECT_EQ(commandOutput("ffmpeg -v error -i " + out + " -f null - 2>&1"), "") << "decodes without an error";
}

INSTANTIATE_TEST_SUITE_P(Forms, PackedAudio,
                         ::testing::Values(Form{"Adts", "aac", "adts", 48000, "aac"},
                                           Form{"Layer2", "mp2", "mp2", 48000, "mp2"},
                                           Form{"Layer3Mpeg2Rate", "libmp3lame", "mp3", 22050, "mp3"},
                                           Form{"Ac3", "ac3", "ac3", 48000, "ac3"}),
                         [](const ::testing::TestParamInfo<Form>& p) { return std::string(p.param.name); });

// Three chunks as a station serves them: tagged, then one without a tag
// (its time counted on from the first), then tagged again after a gap, with
// a stray byte between two frames.
TEST(PackedAudioChunks, TimesFollowTheTagsOrCountOn) {
  std::string raw = Encode("aac", "adts", 48000, 3);
  std::vector<std::string> frames;
  for (size_t at = 0; at + 7 <= raw.size();) {
    const auto* p = reinterpret_cast<const uint8_t*>(raw.data() + at);
    size_t length = ((p[3] & 0x03) << 11) | (p[4] << 3) | (p[5] >> 5);
    frames.push_back(raw.substr(at, length));
    at += length;
  }
  ASSERT_GE(frames.size(), 120u);
  auto join = [&](size_t from, size_t to) {
    std::string s;
    for (size_t i = from; i < to; ++i) s += frames[i];
    return s;
  };
  freshReceiver();  // TAP_MemAlloc
  static TsConversion c;
  ChunkToTsReset(&c);
  ASSERT_TRUE(Convert(&c, "a", Id3(900000) + join(0, 40)));
  ASSERT_TRUE(Convert(&c, "b", join(40, 80)));
  ASSERT_TRUE(Convert(&c, "c", Id3(2700000) + join(80, 100) + "\xFF" + join(100, 120)));
  EXPECT_EQ(c.audioTicks, 120 * 1920) << "the sound converted, in 90 kHz ticks";
  writeFile(kDir + "/all.ts", readFile(kDir + "/a") + readFile(kDir + "/b") + readFile(kDir + "/c"));
  std::vector<int64_t> times = PacketTimes(kDir + "/all.ts");
  ASSERT_EQ(times.size(), 120u);
  for (size_t i = 0; i < 120; ++i) {
    int64_t expected = i < 80 ? 900000 + static_cast<int64_t>(i) * 1920 : 2700000 + static_cast<int64_t>(i - 80) * 1920;
    EXPECT_EQ(times[i], expected) << "frame " << i;
  }
  EXPECT_EQ(commandOutput("ffmpeg -v error -i " + kDir + "/all.ts -f null - 2>&1"), "");
}

TEST(PackedAudioChunks, WhatIsNotConvertedIsLeftAsItWas) {
  freshReceiver();  // TAP_MemAlloc
  static TsConversion c;
  ChunkToTsReset(&c);
  std::string ts(188 * 3, 'x');
  for (size_t i = 0; i < ts.size(); i += 188) ts[i] = 0x47;
  EXPECT_TRUE(Convert(&c, "ts", ts));
  EXPECT_EQ(readFile(kDir + "/ts"), ts) << "transport stream stays byte for byte";
  // A tag and then no sound frame: refused, nothing written, the counters
  // and clock unmoved.
  std::string noSound = Id3(900000) + std::string(3000, '\x55');
  EXPECT_FALSE(Convert(&c, "bad", noSound));
  EXPECT_EQ(readFile(kDir + "/bad"), noSound);
  EXPECT_FALSE(exists(kDir + "/bad.tsw"));
  EXPECT_EQ(c.audioNext, -1);
  for (uint8_t counter : c.ts.continuity) EXPECT_EQ(counter, 0);
}

}  // namespace
