// The TAP's current directory, the directory stack, and file queries.
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "files/fixture.h"
#include "lib/files/files.h"
#include "lib/firmware/fwaccess.h"

using namespace files_test;
using orvado_test::writeFile;

namespace {

std::string tapDir() {
  char dir[FILES_PathSize];
  HDD_TAP_GetCurrentDir(dir);
  return dir;
}

// Collects the emulator's trace lines of TAP_Hdd_ChangeDir calls.
struct TraceCapture {
  char* text = nullptr;
  size_t size = 0;
  FILE* stream = open_memstream(&text, &size);
  ~TraceCapture() {
    if (stream) fclose(stream);
    free(text);
  }
  std::string changes() {
    fflush(stream);
    std::string all(text, size), out;
    for (size_t at = all.find("TAP_Hdd_ChangeDir("); at != std::string::npos;
         at = all.find("TAP_Hdd_ChangeDir(", at + 1)) {
      size_t close = all.find(')', at);
      out += all.substr(at + 18, close - at - 18) + " ";
    }
    return out;
  }
};

}  // namespace

TEST(ChangeDir, FirstCallLearnsTheSuccessValueWithEitherConvention) {
  for (auto convention : {emu::ChangeDirConvention::OneOnSuccess, emu::ChangeDirConvention::ZeroOnSuccess}) {
    SCOPED_TRACE(convention == emu::ChangeDirConvention::OneOnSuccess ? "1 on success" : "0 on success");
    TraceCapture trace;
    emu::Config config = orvado_test::virtualConfig();
    config.changeDir = convention;
    config.trace = true;
    config.traceOut = trace.stream;
    onFreshDisk(
        [&] {
          // Even an empty path learns first: to /ProgramFiles and back.
          EXPECT_FALSE(HDD_ChangeDir(""));
          EXPECT_EQ(trace.changes(), "\"/ProgramFiles\" \"/MediaFiles/tmp/\" ");
          EXPECT_EQ(emu::currentDir(), "/mnt/hd/MediaFiles/tmp");

          EXPECT_TRUE(HDD_ChangeDir("/ProgramFiles/Settings"));
          EXPECT_EQ(emu::currentDir(), "/mnt/hd/ProgramFiles/Settings");
          EXPECT_FALSE(HDD_ChangeDir("/NoSuchFolder"));
          EXPECT_EQ(emu::currentDir(), "/mnt/hd/ProgramFiles/Settings");
          EXPECT_FALSE(HDD_ChangeDir(nullptr));
          // Learned once only; the failed change is retried once in UTF-8.
          EXPECT_EQ(trace.changes(),
                    "\"/ProgramFiles\" \"/MediaFiles/tmp/\" \"/ProgramFiles/Settings/\" \"/NoSuchFolder/\" "
                    "\"/NoSuchFolder/\" ");
        },
        config);
  }
}

TEST(ChangeDir, SlashAndNoSlashFormsAndRelativeNames) {
  onFreshDisk([] {
    for (const char* path :
         {"/MediaFiles/tmp", "/MediaFiles/tmp/", "/mnt/hd/MediaFiles/tmp", "/mnt/hd/MediaFiles/tmp/"}) {
      ASSERT_TRUE(HDD_ChangeDir("/ProgramFiles"));
      EXPECT_TRUE(HDD_ChangeDir(path)) << path;
      EXPECT_EQ(tapDir(), "/MediaFiles/tmp") << path;
    }
    // A name that exists only in the TAP view is handed to the firmware.
    ASSERT_TRUE(HDD_ChangeDir("/ProgramFiles"));
    EXPECT_TRUE(HDD_ChangeDir("Settings"));
    EXPECT_EQ(tapDir(), "/ProgramFiles/Settings");
    EXPECT_TRUE(HDD_ChangeDir(".."));
    EXPECT_EQ(tapDir(), "/ProgramFiles");
    // The same name in the process's working folder makes it a Linux path.
    ASSERT_EQ(mkdir((g_workDir + "/Settings").c_str(), 0755), 0);
    EXPECT_FALSE(HDD_ChangeDir("Settings"));
    EXPECT_EQ(tapDir(), "/ProgramFiles");
    // Linux folders outside the disk, and files, are no directories to change to.
    EXPECT_FALSE(HDD_ChangeDir("/usr"));
    EXPECT_FALSE(HDD_ChangeDir("/mnt/hd/MediaFiles/tmp/Stream.ts"));
    EXPECT_EQ(tapDir(), "/ProgramFiles");
    std::string tooLong = "/" + std::string(600, 'd');
    EXPECT_FALSE(HDD_ChangeDir(tooLong.c_str()));
  });
}

TEST(DirStack, SeventeenPushesAndSeventeenPops) {
  onFreshDisk([] {
    std::string dirs[17];
    for (int i = 0; i < 17; ++i) {
      dirs[i] = "/MediaFiles/d" + std::to_string(i);
      ASSERT_EQ(mkdir(("/mnt/hd" + dirs[i]).c_str(), 0755), 0);
      ASSERT_TRUE(HDD_ChangeDir(dirs[i].c_str()));
      EXPECT_EQ(HDD_TAP_PushDir(), i < 16) << "push " << i + 1;
    }
    ASSERT_TRUE(HDD_ChangeDir("/"));
    for (int i = 15; i >= 0; --i) {
      EXPECT_TRUE(HDD_TAP_PopDir());
      EXPECT_EQ(tapDir(), dirs[i]);
    }
    EXPECT_FALSE(HDD_TAP_PopDir()) << "the seventeenth pop finds the stack empty";
    EXPECT_EQ(tapDir(), dirs[0]);
  });
}

TEST(DirStack, PopAsTheFirstChangeOfDirectoryReturnsToTheSavedOne) {
  // The pop's change learns the firmware's success value first, pushing the
  // current directory into the slot that the pop has just freed.
  onFreshDisk([] {
    ASSERT_TRUE(HDD_TAP_PushDir());
    emu::setCurrentDir("/mnt/hd/ProgramFiles/Settings");
    EXPECT_TRUE(HDD_TAP_PopDir());
    EXPECT_EQ(tapDir(), "/MediaFiles/tmp");
    EXPECT_FALSE(HDD_TAP_PopDir()) << "the learning step took its own entry off again";
  });
}

TEST(DirStack, RootAndOverlongDirectories) {
  onFreshDisk([] {
    // The disk's root, kept by the firmware as /mnt/hd, is saved as "/".
    emu::setCurrentDir("/mnt/hd");
    EXPECT_EQ(tapDir(), "/");
    ASSERT_TRUE(HDD_TAP_PushDir());
    ASSERT_TRUE(HDD_ChangeDir("/ProgramFiles"));
    EXPECT_TRUE(HDD_TAP_PopDir());
    EXPECT_EQ(emu::currentDir(), "/mnt/hd");

    // A directory longer than a stack slot is refused, not cut.
    std::string deep = "/MediaFiles/" + std::string(190, 'e');
    ASSERT_EQ(mkdir(("/mnt/hd" + deep).c_str(), 0755), 0);
    ASSERT_TRUE(HDD_ChangeDir(deep.c_str()));
    EXPECT_FALSE(HDD_TAP_PushDir());
    EXPECT_FALSE(HDD_TAP_PopDir()) << "the refused push left nothing on the stack";

    // One longer than a path buffer reads as empty.
    emu::setCurrentDir("/mnt/hd/" + std::string(520, 'f'));
    char dir[FILES_PathSize];
    EXPECT_EQ(HDD_TAP_GetCurrentDir(dir), 0);
    EXPECT_STREQ(dir, "");
  });
}

TEST(CurrentDir, MissingFirmwareRecords) {
  emu::Config config = orvado_test::virtualConfig();
  config.leaveOut = {FW_tapTask};
  onFreshDisk(
      [] {
        char dir[FILES_PathSize] = "x";
        EXPECT_EQ(HDD_TAP_GetCurrentDir(dir), -3);
        EXPECT_STREQ(dir, "");
        EXPECT_FALSE(HDD_TAP_PushDir());
        // Absolute changes still work.
        EXPECT_TRUE(HDD_ChangeDir("/ProgramFiles/Settings"));
        EXPECT_EQ(emu::currentDir(), "/mnt/hd/ProgramFiles/Settings");
      },
      config);

  config.leaveOut = {FW_curTapTask};
  onFreshDisk(
      [] {
        EXPECT_EQ(HDD_TAP_GetCurrentDir(nullptr), -3);
        EXPECT_EQ(TAP_TableIndex, -1);
      },
      config);
}

TEST(CurrentDir, MissingDirectoryRecordReadsEmpty) {
  onFreshDisk([] {
    EXPECT_EQ(HDD_TAP_GetCurrentDir(nullptr), 0);
    EXPECT_EQ(TAP_TableIndex, emu::config().tapSlot);
    emu::tapTable()[emu::config().tapSlot].currentDir = nullptr;
    char dir[FILES_PathSize] = "x";
    EXPECT_EQ(HDD_TAP_GetCurrentDir(dir), 0);
    EXPECT_STREQ(dir, "");
  });
}

TEST(FileQueries, ExistFollowsFormsAndLinks) {
  onFreshDisk([] {
    EXPECT_TRUE(HDD_Exist("Stream.ts"));
    EXPECT_TRUE(HDD_Exist("/MediaFiles/tmp/Stream.ts"));
    EXPECT_TRUE(HDD_Exist("/ProgramFiles/Settings")) << "TAP folder without its slash";
    EXPECT_TRUE(HDD_Exist("/mnt/hd/ProgramFiles")) << "Linux folder without its slash";
    EXPECT_TRUE(HDD_Exist("sub"));
    EXPECT_FALSE(HDD_Exist("nothing.ts"));
    EXPECT_FALSE(HDD_Exist(""));
    EXPECT_FALSE(HDD_Exist(nullptr));
    // A Linux file is checked directly; else the name is taken in the TAP view.
    EXPECT_TRUE(HDD_Exist("/bin/sh"));
    EXPECT_FALSE(HDD_Exist("/bin/orvado-nothing"));
    writeFile("/mnt/hd/bin/orvado-nothing", "");
    EXPECT_TRUE(HDD_Exist("/bin/orvado-nothing"));
    ASSERT_EQ(symlink("/nowhere", "/mnt/hd/MediaFiles/tmp/dangling"), 0);
    EXPECT_FALSE(HDD_Exist("dangling")) << "links are followed";
  });
}

TEST(FileQueries, SizeAndInodeOfFilesAndLinks) {
  onFreshDisk([] {
    struct stat st;
    ASSERT_EQ(stat("/mnt/hd/MediaFiles/tmp/Stream.ts", &st), 0);
    uint64_t inode = 0, size = 0;
    EXPECT_TRUE(HDD_GetFileSizeAndInode("Stream.ts", &inode, &size));
    EXPECT_EQ(inode, st.st_ino);
    EXPECT_EQ(size, 188u);
    EXPECT_TRUE(HDD_GetFileSizeAndInode("/MediaFiles/tmp/Stream.ts", nullptr, &size));
    EXPECT_TRUE(HDD_GetFileSizeAndInode("Stream.ts", nullptr, nullptr));

    ASSERT_EQ(symlink("/mnt/hd/MediaFiles/tmp/Stream.ts", "/mnt/hd/MediaFiles/tmp/link.ts"), 0);
    EXPECT_TRUE(HDD_GetFileSizeAndInode("link.ts", &inode, &size));
    EXPECT_EQ(size, strlen("/mnt/hd/MediaFiles/tmp/Stream.ts")) << "the link itself";
    EXPECT_NE(inode, st.st_ino);

    inode = size = 7;
    EXPECT_FALSE(HDD_GetFileSizeAndInode("sub", &inode, &size)) << "a folder";
    EXPECT_FALSE(HDD_GetFileSizeAndInode("/MediaFiles/tmp/", &inode, &size));
    EXPECT_FALSE(HDD_GetFileSizeAndInode("missing.ts", &inode, &size));
    EXPECT_FALSE(HDD_GetFileSizeAndInode(nullptr, &inode, &size));
    EXPECT_EQ(inode, 7u);
    EXPECT_EQ(size, 7u);
  });
}

TEST(ChangeDir, EightBitNamesAreRetriedInUtf8OnUtf8Firmware) {
  onFreshDisk([] {
    ASSERT_EQ(mkdir("/mnt/hd/MediaFiles/K\xC3\xA4se", 0755), 0);
    EXPECT_TRUE(HDD_ChangeDir("/MediaFiles/K\xE4se"));
    EXPECT_EQ(emu::currentDir(), "/mnt/hd/MediaFiles/K\xC3\xA4se");
  });
  emu::Config config = orvado_test::virtualConfig();
  config.leaveOut = {FW_Appl_ConvertToValidUTF8Str};
  onFreshDisk(
      [] {
        ASSERT_EQ(mkdir("/mnt/hd/MediaFiles/K\xC3\xA4se", 0755), 0);
        EXPECT_FALSE(HDD_ChangeDir("/MediaFiles/K\xE4se")) << "no retry without UTF-8 names";
        EXPECT_EQ(emu::currentDir(), "/mnt/hd/MediaFiles/tmp");
      },
      config);
}
