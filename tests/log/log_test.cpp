// Log lines and time formatting, read back from the sandbox's terminals.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <regex>

#include "emulator/core/sandbox.h"
#include "lib/log/log.h"
#include "support/testing.h"

using namespace orvado_test;

namespace {

std::time_t localTime(int y, int mo, int d, int h, int mi, int s) {
  std::tm t{};
  t.tm_year = y - 1900;
  t.tm_mon = mo - 1;
  t.tm_mday = d;
  t.tm_hour = h;
  t.tm_min = mi;
  t.tm_sec = s;
  t.tm_isdst = -1;
  return std::mktime(&t);
}

emu::Config leapDay() {
  emu::Config c = virtualConfig();
  c.fixedTime = localTime(2016, 2, 29, 12, 34, 56);
  return c;
}

std::string readAll(int fd) {
  std::string out;
  char buf[4096];
  for (int tries = 0; tries < 50; ++tries) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
      out.append(buf, static_cast<size_t>(n));
      tries = 0;
      continue;
    }
    if (!out.empty()) break;
    usleep(2000);
  }
  return out;
}

}  // namespace

TEST(Log, LineFormatAndCut) {
  freshReceiver(leapDay());
  LogEntryZindraPrintf(1, "FontManager UC: %s %d", "failed", 7);
  auto lines = takeConsoleLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "2016-02-29 12:34:56  ZINDRA - FontManager UC: failed 7");

  std::string longText(600, 'x');
  longText[510] = 'E';
  LogEntryZindraPrintf(1, "%s", longText.c_str());
  lines = takeConsoleLines();
  ASSERT_EQ(lines.size(), 1u);
  std::string prefix = "2016-02-29 12:34:56  ZINDRA - ";
  ASSERT_EQ(lines[0].size(), prefix.size() + 511);
  EXPECT_EQ(lines[0].back(), 'E');
}

TEST(Log, NullFormatAndSilentConsole) {
  freshReceiver(leapDay());
  removeAll("/mnt/hd/ProgramFiles/Settings");
  LogEntryZindraPrintf(1, nullptr);
  EXPECT_FALSE(exists("/mnt/hd/ProgramFiles/Settings")) << "a null format must do nothing at all";
  EXPECT_TRUE(takeConsoleLines().empty());

  LogEntryZindraPrintf(0, "quiet %d", 1);
  EXPECT_TRUE(takeConsoleLines().empty());
  struct stat st {};
  ASSERT_EQ(stat("/mnt/hd/ProgramFiles/Settings", &st), 0) << "the folder is made even when nothing is written";
  EXPECT_TRUE(S_ISDIR(st.st_mode));
}

// In a sandbox of its own: terminals 1 and 2 exist, 0 does not.
TEST(Log, FirstTerminalThatOpensGetsTheLineAndItsZeroByte) {
  std::string error;
  int status = emu::runSandboxed(
      {},
      [] {
        int masters[3];
        for (int& m : masters) {
          m = posix_openpt(O_RDWR | O_NOCTTY);
          if (m < 0 || grantpt(m) || unlockpt(m)) return 10;
        }
        if (std::strcmp(ptsname(masters[0]), "/dev/pts/0") != 0) return 11;
        for (int i = 1; i < 3; ++i) {
          // Raw terminals pass the bytes unchanged, the zero byte included.
          int s = open(ptsname(masters[i]), O_RDWR | O_NOCTTY);
          termios t{};
          tcgetattr(s, &t);
          cfmakeraw(&t);
          tcsetattr(s, TCSANOW, &t);
          fcntl(masters[i], F_SETFL, O_NONBLOCK);
          // s stays open so the terminal keeps its settings.
        }
        close(masters[0]);  // /dev/pts/0 goes away
        if (access("/dev/pts/0", F_OK) == 0) return 12;
        emu::Config c = leapDay();
        if (!emu::reset(c, nullptr)) return 13;
        LogEntryZindraPrintf(1, "hello %s", "pts");
        std::string one = readAll(masters[1]);
        std::string two = readAll(masters[2]);
        std::string expected = std::string("2016-02-29 12:34:56  ZINDRA - hello pts\n") + '\0';
        if (one != expected) return 14;
        if (!two.empty()) return 15;
        return 0;
      },
      &error);
  EXPECT_EQ(status, 0) << error;
}

TEST(Time, NowPacksTheDate) {
  freshReceiver(leapDay());
  uint8_t seconds = 0;
  EXPECT_EQ(Now(&seconds), (57447u << 16) | (12u << 8) | 34u);
  EXPECT_EQ(seconds, 56);
  EXPECT_EQ(Now(nullptr), (57447u << 16) | (12u << 8) | 34u);
}

TEST(Time, EveryFormatCode) {
  freshReceiver(virtualConfig());
  const uint32_t t = (57447u << 16) | (12u << 8) | 34u;
  char out[64];
  const char* expected[] = {
      "", "12:34", "12:34:56", "2016-02-29", "2016-02-29 12:34", "2016-02-29 12:34:56", "20160229_1234", "", ""};
  for (uint32_t code = 0; code <= 8; ++code) {
    std::memset(out, 'z', sizeof out);
    EXPECT_EQ(TimeFormat(t, 56, code, out), out);
    EXPECT_STREQ(out, expected[code]) << "code " << code;
  }
  EXPECT_STREQ(TimeFormat(0x0C22, 0x105, 5, out), "0000-00-00 12:34:05")
      << "no date below 0x10000; low byte of seconds";
  EXPECT_EQ(TimeFormat(t, 0, 5, nullptr), nullptr);
}
