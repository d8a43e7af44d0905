// Shared set-up of the files tests: a fresh receiver whose TAP sits in
// /MediaFiles/tmp, real folders and files on the sandbox's /mnt/hd, and an
// empty working folder for the process, so no TAP-view name exists as a
// relative Linux path unless a test puts it there.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "support/testing.h"

namespace files_test {

inline std::string g_workDir;

inline void freshDisk(emu::Config config = orvado_test::virtualConfig()) {
  orvado_test::freshReceiver(config);
  // Under the sandbox's own /mnt, so it goes away with the sandbox.
  char tmpl[] = "/mnt/cwd-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  g_workDir = tmpl;
  ASSERT_EQ(chdir(tmpl), 0);
  // The disk lives as long as the test program: clear what the tests make.
  for (const char* made :
       {"/mnt/hd/MediaFiles", "/mnt/hd/bin", "/mnt/hd/ProgramFiles/orvado.ini",
        "/mnt/hd/ProgramFiles/Settings/orvado.ini", "/mnt/hd/ProgramFiles/Settings/orvado", "/mnt/usb"})
    orvado_test::removeAll(made);
  orvado_test::writeFile("/mnt/hd/MediaFiles/tmp/Stream.ts", std::string(188, 'G'));
  orvado_test::writeFile("/mnt/hd/MediaFiles/tmp/sub/x.ts", "x");
  orvado_test::writeFile("/mnt/hd/ProgramFiles/Settings/orvado/keep", "");
  emu::setCurrentDir("/mnt/hd/MediaFiles/tmp");
}

// Runs `body` in a fresh process on a fresh disk.
inline void onFreshDisk(const std::function<void()>& body, emu::Config config = orvado_test::virtualConfig()) {
  orvado_test::inFreshProcess([&] {
    freshDisk(config);
    if (::testing::Test::HasFatalFailure()) return;
    body();
  });
}

}  // namespace files_test
