// The settings file reader: where files are found, and how keys are matched.
#include <string>

#include "files/fixture.h"
#include "lib/files/files.h"

using namespace files_test;
using orvado_test::removeAll;
using orvado_test::writeFile;

namespace {

// Opens `content` as the only orvado.ini (in /ProgramFiles/Settings/orvado)
// and reads `key` with maxLength `max`.
std::string lookUp(const std::string& content, const char* key, uint32_t max = 64) {
  writeFile("/mnt/hd/ProgramFiles/Settings/orvado/orvado.ini", content);
  EXPECT_EQ(INIOpenFile("orvado.ini", "orvado"), 3);
  char value[600];
  EXPECT_TRUE(INIGetString(key, value, "---", max));
  INICloseFile();
  return value;
}

}  // namespace

TEST(INIOpenFile, DeeperLocationsWinAndTheCurrentFolderStays) {
  onFreshDisk([] {
    const std::string pf = "/mnt/hd/ProgramFiles/";
    char value[64];

    EXPECT_EQ(INIOpenFile("orvado.ini", "orvado"), 1) << "exists nowhere";
    EXPECT_EQ(BufferSize, 512);
    EXPECT_TRUE(INIGetString("tvname1", value, "---", 16));
    EXPECT_STREQ(value, "---");
    INICloseFile();

    struct Step {
      std::string path;
      int32_t code;
    } steps[] = {{pf + "orvado.ini", 5},
                 {pf + "Settings/orvado.ini", 4},
                 {pf + "Settings/orvado/orvado.ini", 3},
                 {"/mnt/hd/MediaFiles/tmp/orvado.ini", 2}};
    for (const Step& step : steps) {
      writeFile(step.path, "tvname1=" + std::to_string(step.code) + "\r\n");
      EXPECT_EQ(INIOpenFile("orvado.ini", "orvado"), step.code) << step.path;
      EXPECT_TRUE(INIGetString("tvname1", value, "---", 16));
      EXPECT_EQ(std::string(value), std::to_string(step.code)) << "the winning copy is read";
      EXPECT_EQ(emu::currentDir(), "/mnt/hd/MediaFiles/tmp");
      INICloseFile();
      EXPECT_EQ(INIBuffer, nullptr);
      EXPECT_EQ(BufferSize, 0);
    }
    // Without an application folder name only the shared folders count.
    removeAll("/mnt/hd/MediaFiles/tmp/orvado.ini");
    EXPECT_EQ(INIOpenFile("orvado.ini", nullptr), 4);
    INICloseFile();
    EXPECT_EQ(INIOpenFile("orvado.ini", "/orvado"), 4);
    INICloseFile();
    EXPECT_EQ(emu::currentDir(), "/mnt/hd/MediaFiles/tmp");
    EXPECT_EQ(emu::liveBlocks(), 0u);
  });
}

TEST(INIOpenFile, EmptyFilesAndReopeningWithoutClose) {
  onFreshDisk([] {
    writeFile("/mnt/hd/ProgramFiles/Settings/orvado.ini", "");
    EXPECT_EQ(INIOpenFile("orvado.ini", "orvado"), 4) << "an empty file is still found";
    EXPECT_STREQ(INIBuffer, "\r\n");
    char value[16];
    INIGetString("tvname1", value, "---", sizeof value);
    EXPECT_STREQ(value, "---");

    // Opening again releases the first buffer instead of losing it.
    writeFile("/mnt/hd/ProgramFiles/Settings/orvado.ini", std::string(1000, 'x'));
    EXPECT_EQ(INIOpenFile("orvado.ini", "orvado"), 4);
    EXPECT_EQ(BufferSize, (1000 / 512 + 2) * 512);
    EXPECT_EQ(emu::liveBlocks(), 1u);
    INICloseFile();
    EXPECT_EQ(emu::liveBlocks(), 0u);
    INICloseFile();  // nothing open: nothing happens
  });
}

TEST(INIOpenFile, NoMemoryIsAnError) {
  onFreshDisk([] {
    writeFile("/mnt/hd/ProgramFiles/Settings/orvado.ini", "tvname1=A\r\n");
    emu::failAllocAfter(0, true);
    EXPECT_EQ(INIOpenFile("orvado.ini", "orvado"), 0);
    EXPECT_EQ(emu::currentDir(), "/mnt/hd/MediaFiles/tmp");
    INICloseFile();
    EXPECT_EQ(INIOpenFile("nothing.ini", "orvado"), 0);
    INICloseFile();
    emu::failAllocAfter(-1);
    EXPECT_EQ(INIOpenFile("orvado.ini", "orvado"), 4);
    INICloseFile();
  });
}

TEST(INIGetString, KeyMatching) {
  onFreshDisk([] {
    EXPECT_EQ(lookUp("TVNAME1=Sport\r\n", "tvname1"), "Sport") << "keys ignore case";
    EXPECT_EQ(lookUp("tvname1 = Sport\r\n", "tvname1"), "---") << "no blank before =";
    EXPECT_EQ(lookUp("tvname1= Sport \r\n", "tvname1"), " Sport ") << "nothing is trimmed";
    EXPECT_EQ(lookUp("#tvname1=A\r\ntvname1=B\r\n", "tvname1"), "B");
    EXPECT_EQ(lookUp(";tvname1=A\r\ntvname1=B\r\n", "tvname1"), "B");
    EXPECT_EQ(lookUp("# tvname1=A\r\n", "tvname1"), "A") << "only the character right before the key";
    EXPECT_EQ(lookUp("xtvname1=Q\r\n", "tvname1"), "Q");
    EXPECT_EQ(lookUp("[s]\r\ntvname1=A\r\ntvname1=B\r\n", "tvname1"), "A") << "the first entry wins";
    EXPECT_EQ(lookUp("tvname1=\r\ntvname2=X\r\n", "tvname1"), "---") << "an empty value gives the default";
    EXPECT_EQ(lookUp("tvname10=Ten\r\n", "tvname1"), "---");
    EXPECT_EQ(lookUp("tvname1=A\r\n", "tvname2"), "---");
  });
}

TEST(INIGetString, LineEndsAndLengths) {
  onFreshDisk([] {
    EXPECT_EQ(lookUp("tvname1=Channel with a long name\r\n", "tvname1", 16), "Channel with a ");
    EXPECT_EQ(lookUp("tvname1=ABCDEFGHIJKLMNOP\r\n", "tvname1", 16), "ABCDEFGHIJKLMNO");
    EXPECT_EQ(lookUp("tvname1=ABC\r\n", "tvname1", 1), "");
    EXPECT_EQ(lookUp("a=1\r\ntvname1=Last", "tvname1"), "Last") << "a last line without line end";
    EXPECT_EQ(lookUp("tvname1=A\ntvPL1=http://x\nz=1\r\n", "tvname1"), "A") << "LF only, CR later";
    EXPECT_EQ(lookUp("tvname1=A\ntvPL1=http://x\nz=1\r\n", "tvPL1"), "http://x");
    std::string url = "http://example.invalid/" + std::string(480, 'u') + ".m3u8";
    EXPECT_EQ(lookUp("tvPL1=" + url + "\r\n", "tvPL1", 512), url.substr(0, 511));

    // Defaults are cut to fit too; bad arguments write nothing.
    char value[8] = "keep";
    EXPECT_TRUE(INIGetString("k", value, "0123456789", 4));
    EXPECT_STREQ(value, "012");
    strcpy(value, "keep");
    EXPECT_FALSE(INIGetString(nullptr, value, "d", 8));
    EXPECT_FALSE(INIGetString("k", value, nullptr, 8));
    EXPECT_FALSE(INIGetString("k", value, "d", 0));
    EXPECT_FALSE(INIGetString("k", nullptr, "d", 8));
    EXPECT_STREQ(value, "keep");
    EXPECT_TRUE(INIGetString("k", value, "d", 8)) << "no file open";
    EXPECT_STREQ(value, "d");
  });
}

TEST(INIFindStartEnd, LongKeysAreCutTo78Characters) {
  onFreshDisk([] {
    std::string key78(78, 'k');
    EXPECT_EQ(lookUp(key78 + "=V\r\n", (key78 + "zzz").c_str()), "V");
    writeFile("/mnt/hd/ProgramFiles/Settings/orvado/orvado.ini", "abc=1\r\n");
    ASSERT_EQ(INIOpenFile("orvado.ini", "orvado"), 3);
    char* start = reinterpret_cast<char*>(1);
    char* end = reinterpret_cast<char*>(1);
    INIFindStartEnd("abc=", &start, &end, 0);
    EXPECT_EQ(start, reinterpret_cast<char*>(1)) << "limit 0 changes nothing";
    INIFindStartEnd("abc=", &start, &end, 3);
    EXPECT_EQ(start, INIBuffer);
    EXPECT_EQ(end, INIBuffer + 2) << "capped at start + limit - 1";
    INIFindStartEnd("abc=", nullptr, &end, 3);  // must not crash
    INICloseFile();
  });
}

TEST(Stricstr, CaseAndCharacterTableBytes) {
  orvado_test::freshReceiver(orvado_test::virtualConfig());
  const char* text = "one TvName1=x";
  EXPECT_EQ(stricstr(text, "tvname1="), text + 4);
  EXPECT_EQ(stricstr(text, "TVNAME1="), text + 4);
  EXPECT_EQ(stricstr(text, "tvname2"), nullptr);
  EXPECT_EQ(stricstr(text, ""), nullptr);
  EXPECT_EQ(stricstr(nullptr, "a"), nullptr);
  EXPECT_EQ(stricstr(text, nullptr), nullptr);
  const char* selected =
      "\x05"
      "abc";
  EXPECT_EQ(stricstr(selected,
                     "\x1F\x01"
                     "B"),
            selected + 2);
  const char* overlap = "aaab";
  EXPECT_EQ(stricstr(overlap, "aab"), overlap + 1);
}
