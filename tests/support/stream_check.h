// Checks of a Stream.ts that the TAP made from the local HLS test source:
// which of the source's segments it holds, in file order, each whole and
// byte for byte as served.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "support/hls_server.h"
#include "support/testing.h"

namespace orvado_test {

// The segments of `server` that the file at `path` holds, by number, in file
// order. Fails the test when the file holds anything but whole segments of
// `segmentBytes`. `segmentSeconds` is the source's segment length, in which
// its PCRs count.
inline std::vector<long> segmentsInStream(const std::string& path, HlsServer& server, size_t segmentBytes,
                                          long segmentSeconds = 2) {
  std::vector<long> numbers;
  std::string data = readFile(path);
  EXPECT_EQ(data.size() % segmentBytes, 0u) << "Stream.ts ends on a whole segment";
  std::map<long, std::string> source;
  for (size_t at = 0; at + segmentBytes <= data.size(); at += segmentBytes) {
    // The third packet opens the first PES packet with a PCR that tells the
    // segment's place in time.
    const unsigned char* p = reinterpret_cast<const unsigned char*>(data.data() + at + 2 * 188 + 6);
    long long pcr = (static_cast<long long>(p[0]) << 25) | (p[1] << 17) | (p[2] << 9) | (p[3] << 1) | (p[4] >> 7);
    long number = static_cast<long>(pcr / (segmentSeconds * 90000));
    if (!source.count(number)) source[number] = server.get("raw?segment=" + std::to_string(number));
    if (data.compare(at, segmentBytes, source[number]) != 0) {
      ADD_FAILURE() << "piece " << at / segmentBytes << " of Stream.ts is not segment " << number << " as served";
      break;
    }
    numbers.push_back(number);
  }
  return numbers;
}

// Checks that `numbers` run on one by one, except for the gaps in `missing`.
inline void expectInOrder(const std::vector<long>& numbers, const std::set<long>& missing, size_t atLeast) {
  EXPECT_GE(numbers.size(), atLeast) << "the stream made progress";
  for (size_t i = 1; i < numbers.size(); ++i) {
    ASSERT_GT(numbers[i], numbers[i - 1]) << "segment " << numbers[i] << " after " << numbers[i - 1];
    for (long n = numbers[i - 1] + 1; n < numbers[i]; ++n)
      EXPECT_TRUE(missing.count(n)) << "segment " << n << " is missing without a Read err";
  }
}

}  // namespace orvado_test
