// Path forms and their conversion, against real folders and files on /mnt/hd.
#include <string>

#include "files/fixture.h"
#include "lib/files/files.h"

using namespace files_test;
using orvado_test::writeFile;

namespace {

std::string convert(const char* source, PathForm form) {
  char out[FILES_PathSize];
  strcpy(out, "untouched");
  ConvertPathType(source, out, form);
  return out;
}

}  // namespace

TEST(StringEndsWith, EmptyAndLongerSuffixesNeverMatch) {
  orvado_test::freshReceiver(orvado_test::virtualConfig());
  EXPECT_TRUE(StringEndsWith("Stream.ts", ".ts"));
  EXPECT_TRUE(StringEndsWith("abc", "abc"));
  EXPECT_FALSE(StringEndsWith("Stream.ts", ".TS"));
  EXPECT_FALSE(StringEndsWith("abc", ""));
  EXPECT_FALSE(StringEndsWith("", "a"));
  EXPECT_FALSE(StringEndsWith("a", "abc"));
  EXPECT_FALSE(StringEndsWith(nullptr, "a"));
  EXPECT_FALSE(StringEndsWith("a", nullptr));
}

TEST(GetPathType, ShapeAndDiskDecideTheForm) {
  onFreshDisk([] {
    EXPECT_EQ(GetPathType(nullptr), PATH_NAME);
    EXPECT_EQ(GetPathType(""), PATH_NAME);
    for (const char* dir : {".", "..", ".x", "/"}) EXPECT_EQ(GetPathType(dir), PATH_TAP_DIR) << dir;
    EXPECT_EQ(GetPathType("Stream.ts"), PATH_NAME);
    EXPECT_EQ(GetPathType("sub"), PATH_TAP_DIR) << "a bare name that is a subfolder of the current directory";
    EXPECT_EQ(GetPathType("sub/x.ts"), PATH_TAP_FILE);
    EXPECT_EQ(GetPathType("/MediaFiles/tmp/Stream.ts"), PATH_TAP_FILE);
    EXPECT_EQ(GetPathType("/ProgramFiles/Settings/orvado/"), PATH_TAP_DIR);
    EXPECT_EQ(GetPathType("/ProgramFiles/Settings/orvado"), PATH_TAP_DIR) << "exists in the TAP view";
    EXPECT_EQ(GetPathType("/mnt/hd/ProgramFiles"), PATH_LINUX_DIR) << "existing Linux folder without its slash";
    EXPECT_EQ(GetPathType("/mnt/hd/MediaFiles/tmp/Stream.ts"), PATH_LINUX_FILE);
    EXPECT_EQ(GetPathType("/mnt/nothing/film.ts"), PATH_LINUX_FILE) << "/mnt paths count as Linux by shape";
    EXPECT_EQ(GetPathType("/mnt/nothing/"), PATH_LINUX_DIR);
    // Relative names are first looked up from the process's working folder.
    writeFile(g_workDir + "/local.txt", "");
    EXPECT_EQ(GetPathType("local.txt"), PATH_LINUX_FILE);
    ASSERT_EQ(symlink("/nowhere", "dangling"), 0);
    EXPECT_EQ(GetPathType("dangling"), PATH_LINUX_FILE) << "a link is not followed";
  });
}

TEST(ConvertPathType, WorkedExamplesFromMediaFilesTmp) {
  onFreshDisk([] {
    writeFile("/mnt/usb/film.ts", "film");
    struct Row {
      const char* source;
      PathForm form;
      const char* expected;
    } rows[] = {
        {"Stream.ts", PATH_NAME, "Stream.ts"},
        {"Stream.ts", PATH_TAP_DIR, "/MediaFiles/tmp/"},
        {"Stream.ts", PATH_LINUX_DIR, "/mnt/hd/MediaFiles/tmp/"},
        {"Stream.ts", PATH_TAP_FILE, "/MediaFiles/tmp/Stream.ts"},
        {"Stream.ts", PATH_LINUX_FILE, "/mnt/hd/MediaFiles/tmp/Stream.ts"},
        {"/MediaFiles/tmp/Stream.ts", PATH_NAME, "Stream.ts"},
        {"/MediaFiles/tmp/Stream.ts", PATH_TAP_DIR, "/MediaFiles/tmp/"},
        {"/MediaFiles/tmp/Stream.ts", PATH_LINUX_DIR, "/mnt/hd/MediaFiles/tmp/"},
        {"/MediaFiles/tmp/Stream.ts", PATH_LINUX_FILE, "/mnt/hd/MediaFiles/tmp/Stream.ts"},
        {"/Stream.ts", PATH_TAP_DIR, "/"},
        {"/ProgramFiles/Settings/orvado/", PATH_LINUX_DIR, "/mnt/hd/ProgramFiles/Settings/orvado/"},
        {"/ProgramFiles/Settings/orvado/", PATH_LINUX_FILE, ""},
        {"/ProgramFiles/Settings/orvado/", PATH_NAME, ""},
        {"/ProgramFiles/Settings/orvado", PATH_TAP_DIR, "/ProgramFiles/Settings/orvado/"},
        {"/mnt/hd/MediaFiles/tmp/Stream.ts", PATH_TAP_DIR, "/MediaFiles/tmp/"},
        {"/mnt/hd/MediaFiles/tmp/Stream.ts", PATH_TAP_FILE, "/MediaFiles/tmp/Stream.ts"},
        {"/mnt/hd/MediaFiles/tmp/Stream.ts", PATH_LINUX_DIR, "/mnt/hd/MediaFiles/tmp/"},
        {"/mnt/hd/MediaFiles/tmp/Stream.ts", PATH_NAME, "Stream.ts"},
        {"/mnt/usb/film.ts", PATH_TAP_FILE, ""},
        {"/mnt/usb/film.ts", PATH_TAP_DIR, ""},
        {"/mnt/usb/film.ts", PATH_LINUX_DIR, "/mnt/usb/"},
        {"sub/x.ts", PATH_TAP_DIR, "sub/"},
        {"sub/x.ts", PATH_LINUX_FILE, "/mnt/hd/MediaFiles/tmp/sub/x.ts"},
        {"sub/x.ts", PATH_LINUX_DIR, "/mnt/hd/MediaFiles/tmp/sub/"},
        {"sub", PATH_LINUX_DIR, "/mnt/hd/MediaFiles/tmp/sub/"},
        {"sub", PATH_LINUX_FILE, ""},
        {"/mnt/hd/ProgramFiles", PATH_LINUX_DIR, "/mnt/hd/ProgramFiles/"},
        {"/mnt/hd/ProgramFiles", PATH_TAP_DIR, "/ProgramFiles/"},
        {"/mnt/hd", PATH_TAP_DIR, "/"},
        {"/mnt/hd/", PATH_TAP_DIR, "/"},
        {"/mnt/hdd/x/", PATH_TAP_DIR, "d/x/"},
        {"..", PATH_LINUX_DIR, "/mnt/hd/MediaFiles/tmp/../"},
    };
    for (const Row& row : rows)
      EXPECT_EQ(convert(row.source, row.form), row.expected) << row.source << " as form " << row.form;
  });
}

TEST(ConvertPathType, BadArgumentsLeaveTheDestinationAlone) {
  onFreshDisk([] {
    EXPECT_EQ(convert("Stream.ts", static_cast<PathForm>(5)), "untouched");
    EXPECT_EQ(convert("Stream.ts", static_cast<PathForm>(-1)), "untouched");
    EXPECT_EQ(convert(nullptr, PATH_NAME), "untouched");
    ConvertPathType("Stream.ts", nullptr, PATH_NAME);  // must not crash
  });
}

TEST(ConvertPathType, ResultsThatWouldNotFitGiveTheEmptyString) {
  onFreshDisk([] {
    char guarded[FILES_PathSize + 64];
    auto fill = [&] { memset(guarded, 'Z', sizeof guarded); };
    auto tailIntact = [&] {
      for (size_t i = FILES_PathSize; i < sizeof guarded; ++i)
        if (guarded[i] != 'Z') return false;
      return true;
    };
    // 506 characters of source: fits as it is, not with "/mnt/hd" in front.
    std::string longFile = "/MediaFiles/" + std::string(491, 'a') + ".ts";
    ASSERT_EQ(longFile.size(), 506u);
    fill();
    ConvertPathType(longFile.c_str(), guarded, PATH_TAP_FILE);
    EXPECT_EQ(std::string(guarded), longFile);
    fill();
    ConvertPathType(longFile.c_str(), guarded, PATH_LINUX_FILE);
    EXPECT_EQ(guarded[0], '\0');
    EXPECT_TRUE(tailIntact());

    std::string tooLong(700, 'b');
    fill();
    ConvertPathType(tooLong.c_str(), guarded, PATH_NAME);
    EXPECT_EQ(guarded[0], '\0');
    EXPECT_TRUE(tailIntact());

    // A current directory that leaves no room for the name.
    emu::setCurrentDir("/mnt/hd/" + std::string(500, 'c'));
    fill();
    ConvertPathType("Stream.ts", guarded, PATH_LINUX_FILE);
    EXPECT_EQ(guarded[0], '\0');
    EXPECT_TRUE(tailIntact());
    EXPECT_EQ(GetPathType("Stream.ts"), PATH_NAME);
  });
}
