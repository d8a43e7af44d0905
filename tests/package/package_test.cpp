// The user package (scripts/package.sh, out/orvado-<version>.tar.gz) unpacked
// into a fresh disk image as INSTALL.txt says, and run by this build's TAP in
// the emulator with the packaged fonts, settings and firmware description.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/testing.h"

using namespace orvado_test;
namespace fs = std::filesystem;

namespace {

// The newest package in out/.
std::string packagePath() {
  std::string best;
  fs::file_time_type newest;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(std::string(ORVADO_SOURCE_DIR) + "/out", ec)) {
    std::string name = e.path().filename();
    if (name.rfind("orvado-", 0) == 0 && name.size() > 14 && name.compare(name.size() - 7, 7, ".tar.gz") == 0 &&
        (best.empty() || e.last_write_time() > newest)) {
      best = e.path();
      newest = e.last_write_time();
    }
  }
  return best;
}

// Runs the TAP on a fresh image of `disk` and returns the screen after 3
// seconds and what the emulator printed.
emu::Image menuOf(const std::string& disk, const std::string& work, std::string* out) {
  std::string shot = work + "/menu.png";
  removeAll(shot);
  *out =
      commandOutput(ORVADO_RUN_PREFIX + std::string(ORVADO_BINARY_DIR) + "/orvado-emu --template " + disk +
                    " --virtual-clock --run 4s --screenshot-at 3s --screenshot " + shot + " " ORVADO_TAP_FILE " 2>&1");
  emu::Image img;
  std::string error;
  EXPECT_TRUE(emu::loadPng(shot, img, &error)) << error << "\n" << *out;
  return img;
}

// The pixels of menu line `line` (1-9): 250 wide, 21 high.
std::vector<uint32_t> menuLine(const emu::Image& img, int line) {
  std::vector<uint32_t> px;
  for (int y = 121 + 21 * (line - 1); y < 121 + 21 * line; ++y)
    for (int x = 20; x < 270; ++x)
      if (size_t(y) * img.width + x < img.pixels.size()) px.push_back(img.pixels[size_t(y) * img.width + x]);
  return px;
}

}  // namespace

TEST(Package, UnpackedOntoAFreshDiskTheTapRunsWithItsFilesAndSampleChannels) {
  std::string tarball = packagePath();
  ASSERT_FALSE(tarball.empty()) << "no out/orvado-*.tar.gz: run scripts/package.sh first";
  char name[] = "/tmp/orvado-package-XXXXXX";
  ASSERT_NE(mkdtemp(name), nullptr);
  const std::string work = name;
  ASSERT_EQ(system(("tar -C " + work + " -xzf " + tarball).c_str()), 0);
  std::string top = work + "/" + fs::path(tarball).filename().string();
  top.resize(top.size() - 7);

  // Exactly the promised files, at their places on the receiver's disk.
  std::set<std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(top))
    if (e.is_regular_file()) files.insert(fs::relative(e.path(), top).string());
  EXPECT_EQ(files, (std::set<std::string>{
                       "INSTALL.txt", "ProgramFiles/Orvado.tap", "ProgramFiles/Settings/FirmwareTMS.dat",
                       "ProgramFiles/Settings/Fonts/Calibri_12.ufnt", "ProgramFiles/Settings/Fonts/Calibri_14.ufnt",
                       "ProgramFiles/Settings/orvado/orvado.ini"}));
  emu::TapHeader header;
  std::string error;
  ASSERT_TRUE(emu::readTapHeader(top + "/ProgramFiles/Orvado.tap", header, &error)) << error;
  EXPECT_NE(tarball.find("orvado-" + header.description.substr(header.description.rfind(' ') + 1) + ".tar.gz"),
            std::string::npos)
      << "the package is named after the TAP's version";
  EXPECT_EQ(readFile(top + "/ProgramFiles/Settings/FirmwareTMS.dat"),
            readFile(std::string(ORVADO_BINARY_DIR) + "/disk/ProgramFiles/Settings/FirmwareTMS.dat"));

  // A receiver's disk with nothing on it but what the package brings.
  const std::string disk = work + "/disk";
  ASSERT_EQ(system(("mkdir -p " + disk + "/MediaFiles && cp -r " + top + "/ProgramFiles " + disk).c_str()), 0);
  std::string out;
  emu::Image packaged = menuOf(disk, work, &out);
  EXPECT_EQ(out.find("has ended itself"), std::string::npos) << "the TAP found its fonts and stayed:\n" << out;
  EXPECT_EQ(out.find("TAP_MemFree: "), std::string::npos) << out;

  // The same disk with a settings file without channels shows "---" on every
  // line: the sample's three channels differ from that, and its switched-off
  // fourth channel does not.
  writeFile(disk + "/ProgramFiles/Settings/orvado/orvado.ini", "[orvado]\n");
  std::string outEmpty;
  emu::Image empty = menuOf(disk, work, &outEmpty);
  ASSERT_EQ(packaged.pixels.size(), empty.pixels.size());
  for (int line = 1; line <= 3; ++line)
    EXPECT_NE(menuLine(packaged, line), menuLine(empty, line)) << "channel " << line << " of the sample is shown";
  EXPECT_EQ(menuLine(packaged, 4), menuLine(empty, 4)) << "the sample's switched-off channel stays off";
  EXPECT_EQ(menuLine(packaged, 5), menuLine(empty, 5));
  removeAll(work);
}
