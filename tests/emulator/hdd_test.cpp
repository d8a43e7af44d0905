// The emulated hard disk: the TAP's current directory and its file calls.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/testing.h"

using namespace orvado_test;

namespace {

void receiver(emu::ChangeDirConvention convention = emu::ChangeDirConvention::OneOnSuccess) {
  emu::Config c = virtualConfig();
  c.changeDir = convention;
  freshReceiver(c);
  removeAll("/mnt/hd/MediaFiles/hddtest");
  writeFile("/mnt/hd/MediaFiles/hddtest/a/file.txt", "hello, disk");
}

}  // namespace

TEST(Hdd, ChangeDirWalksTheTapViewOnly) {
  for (auto convention : {emu::ChangeDirConvention::OneOnSuccess, emu::ChangeDirConvention::ZeroOnSuccess}) {
    receiver(convention);
    const int ok = convention == emu::ChangeDirConvention::OneOnSuccess ? 1 : 0;
    const int bad = convention == emu::ChangeDirConvention::OneOnSuccess ? 0 : -1;
    EXPECT_EQ(emu::currentDir(), "/mnt/hd/ProgramFiles") << "after reset";
    EXPECT_STREQ(emu::tapTable()[emu::config().tapSlot].currentDir->path, "/mnt/hd/ProgramFiles");

    EXPECT_EQ(TAP_Hdd_ChangeDir("/MediaFiles/hddtest"), ok);
    EXPECT_EQ(emu::currentDir(), "/mnt/hd/MediaFiles/hddtest");
    EXPECT_EQ(TAP_Hdd_ChangeDir("a/"), ok);
    EXPECT_EQ(emu::currentDir(), "/mnt/hd/MediaFiles/hddtest/a");
    EXPECT_EQ(TAP_Hdd_ChangeDir("../../hddtest/./a/.."), ok);
    EXPECT_EQ(emu::currentDir(), "/mnt/hd/MediaFiles/hddtest");
    EXPECT_EQ(TAP_Hdd_ChangeDir("../../../../.."), ok) << "no way above the disk's root";
    EXPECT_EQ(emu::currentDir(), "/mnt/hd");
    EXPECT_EQ(TAP_Hdd_ChangeDir("MediaFiles"), ok);

    for (const char* refused : {"/NoSuchFolder", "hddtest/a/file.txt", "", static_cast<const char*>(nullptr)})
      EXPECT_EQ(TAP_Hdd_ChangeDir(refused), bad) << (refused ? refused : "null");
    EXPECT_EQ(emu::currentDir(), "/mnt/hd/MediaFiles");
  }
}

TEST(Hdd, LinksDoNotLeadOffTheDisk) {
  receiver();
  ASSERT_EQ(symlink("/usr", "/mnt/hd/MediaFiles/hddtest/usr"), 0);
  ASSERT_EQ(symlink("a", "/mnt/hd/MediaFiles/hddtest/b"), 0);
  ASSERT_EQ(TAP_Hdd_ChangeDir("/MediaFiles/hddtest"), 1);
  EXPECT_EQ(TAP_Hdd_ChangeDir("usr"), 0);
  EXPECT_EQ(TAP_Hdd_Exist("usr"), 0);
  EXPECT_EQ(TAP_Hdd_Fopen("usr/bin/env"), nullptr);
  EXPECT_EQ(TAP_Hdd_ChangeDir("b"), 1) << "a link within the disk is fine";
  EXPECT_EQ(emu::currentDir(), "/mnt/hd/MediaFiles/hddtest/b");
}

TEST(Hdd, FilesOfTheCurrentDirectory) {
  receiver();
  ASSERT_EQ(TAP_Hdd_ChangeDir("/MediaFiles/hddtest/a"), 1);
  EXPECT_NE(TAP_Hdd_Exist("file.txt"), 0);
  EXPECT_NE(TAP_Hdd_Exist("/MediaFiles/hddtest"), 0);
  EXPECT_EQ(TAP_Hdd_Exist("nothing.txt"), 0);
  EXPECT_EQ(TAP_Hdd_Exist(nullptr), 0);

  size_t blocks = emu::liveBlocks();
  TYPE_File* f = TAP_Hdd_Fopen("file.txt");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(emu::liveBlocks(), blocks + 1) << "the handle is a block of the TAP's heap";
  EXPECT_EQ(TAP_Hdd_Flen(f), 11u);
  char buffer[32] = {};
  EXPECT_EQ(TAP_Hdd_Fread(buffer, 5, 1, f), 1u);
  EXPECT_STREQ(buffer, "hello");
  EXPECT_EQ(TAP_Hdd_Fread(buffer, 1, 32, f), 6u);
  EXPECT_EQ(TAP_Hdd_Fread(buffer, 11, 1, f), 0u) << "at the end";
  TAP_Hdd_Fclose(f);
  EXPECT_EQ(emu::liveBlocks(), blocks + 1) << "closing leaves the handle to the caller";
  EXPECT_EQ(TAP_Hdd_Flen(f), 0u) << "a closed handle is not an open file";
  EXPECT_EQ(TAP_MemFree(f), 1);
  EXPECT_EQ(emu::liveBlocks(), blocks);
  emu::failAllocAfter(0);
  EXPECT_EQ(TAP_Hdd_Fopen("file.txt"), nullptr) << "no memory for the handle";

  EXPECT_EQ(TAP_Hdd_Fopen("nothing.txt"), nullptr);
  EXPECT_EQ(TAP_Hdd_Fopen(".."), nullptr) << "a folder is no file";
  // Calls on handles that are not open do nothing.
  TYPE_File* stranger = reinterpret_cast<TYPE_File*>(buffer);
  EXPECT_EQ(TAP_Hdd_Flen(stranger), 0u);
  EXPECT_EQ(TAP_Hdd_Fread(buffer, 1, 1, stranger), 0u);
  TAP_Hdd_Fclose(stranger);

  EXPECT_EQ(TAP_Hdd_Delete("file.txt"), 0);
  EXPECT_FALSE(exists("/mnt/hd/MediaFiles/hddtest/a/file.txt"));
  EXPECT_NE(TAP_Hdd_Delete("file.txt"), 0);
  EXPECT_NE(TAP_Hdd_Delete("/"), 0);
}

TEST(Hdd, SetCurrentDirAndResetPutTheRecordBack) {
  receiver();
  emu::setCurrentDir("/mnt/hd/MediaFiles/hddtest");
  EXPECT_STREQ(emu::tapTable()[emu::config().tapSlot].currentDir->path, "/mnt/hd/MediaFiles/hddtest");
  EXPECT_EQ(TAP_Hdd_ChangeDir("a"), 1);
  size_t blocks = emu::liveBlocks();
  TYPE_File* f = TAP_Hdd_Fopen("file.txt");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(emu::liveBlocks(), blocks + 1) << "the handle is a block of the TAP's heap";
  receiver();  // closes what the TAP left open
  EXPECT_EQ(emu::currentDir(), "/mnt/hd/ProgramFiles");
  EXPECT_EQ(TAP_Hdd_Flen(f), 0u);
}
