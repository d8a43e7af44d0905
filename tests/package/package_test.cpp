// The user package (scripts/package.sh, out/orvado-<version>.tar.gz) unpacked
// into a fresh disk image as INSTALL.txt says, and run by this build's TAP in
// the emulator with the packaged fonts, settings and firmware description.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "package/package_support.h"
#include "support/testing.h"

using namespace orvado_test;
namespace fs = std::filesystem;

namespace {

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
  std::string work;
  const std::string top = unpackedPackage(&work);
  ASSERT_FALSE(top.empty());
  const std::string tarball = packagePath();

  // Exactly the promised files, at their places on the receiver's disk
  // (the certificate authorities' folder: ReceiverWget.TrustsDebians...).
  std::set<std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(top))
    if (e.is_regular_file() && e.path().parent_path().filename() != "certs")
      files.insert(fs::relative(e.path(), top).string());
  EXPECT_EQ(files, (std::set<std::string>{"INSTALL.txt",
                                          "ProgramFiles/Orvado.tap",
                                          "ProgramFiles/wget",
                                          "ProgramFiles/Settings/FirmwareTMS.dat",
                                          "ProgramFiles/Settings/Fonts/Calibri_12.ufnt",
                                          "ProgramFiles/Settings/Fonts/Calibri_14.ufnt",
                                          "ProgramFiles/Settings/orvado/orvado.ini.sample",
                                          "ProgramFiles/Settings/orvado/ssl/openssl.cnf",
                                          "ProgramFiles/Settings/orvado/wgetrc",
                                          "licences/SOURCES.txt",
                                          "licences/ca-certificates.copyright",
                                          "licences/fonts-crosextra-carlito.copyright",
                                          "licences/fonts-dejavu-core.copyright",
                                          "licences/musl.COPYRIGHT",
                                          "licences/musl.copyright",
                                          "licences/openssl.LICENSE.txt",
                                          "licences/openssl.copyright",
                                          "licences/orvado.LICENSE",
                                          "licences/wget.COPYING",
                                          "licences/wget.copyright",
                                          "licences/zlib.copyright"}));
  // An update never overwrites the user's channel list: the package has none.
  EXPECT_FALSE(exists(top + "/ProgramFiles/Settings/orvado/orvado.ini"));
  emu::TapHeader header;
  std::string error;
  ASSERT_TRUE(emu::readTapHeader(top + "/ProgramFiles/Orvado.tap", header, &error)) << error;
  EXPECT_NE(tarball.find("orvado-" + header.description.substr(header.description.rfind(' ') + 1) + ".tar.gz"),
            std::string::npos)
      << "the package is named after the TAP's version";
  EXPECT_EQ(readFile(top + "/licences/orvado.LICENSE"), readFile(ORVADO_SOURCE_DIR "/LICENSE"));
  EXPECT_EQ(readFile(top + "/ProgramFiles/Settings/FirmwareTMS.dat"),
            readFile(std::string(ORVADO_BINARY_DIR) + "/disk/ProgramFiles/Settings/FirmwareTMS.dat"));

  // A receiver's disk with nothing on it but what the package brings.
  const std::string disk = work + "/disk";
  // A first installation, as INSTALL.txt says: the sample becomes the list.
  const std::string settings = disk + "/ProgramFiles/Settings/orvado/";
  ASSERT_EQ(system(("mkdir -p " + disk + "/MediaFiles && cp -r " + top + "/ProgramFiles " + disk + " && mv " +
                    settings + "orvado.ini.sample " + settings + "orvado.ini")
                       .c_str()),
            0);
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

#ifndef __mips__
// Beside the package lie the sources that its wget's licence asks to pass on:
// every Debian source package that its SOURCES.txt names, whole, and the
// recipe as the repository has it.
TEST(Package, SourcesOfItsWgetLieBesideIt) {
  const std::string tarball = packagePath();
  ASSERT_FALSE(tarball.empty());
  const std::string out =
      commandOutput(std::string(ORVADO_PYTHON) + " " ORVADO_SOURCE_DIR "/tests/package/sources_check.py " + tarball +
                    " " ORVADO_SOURCE_DIR " 2>&1");
  EXPECT_NE(out.find("every check holds"), std::string::npos) << out;
}
#endif
