// The main of every test program: the tests run inside a sandbox with a fresh
// disk image, so none of them touches the host's /mnt/hd, /bin or processes.
// The console is opened first, so it is /dev/pts/0 as the TAP expects.
#include <gtest/gtest.h>

#include <cstdio>

#include "emulator/core/sandbox.h"
#include "support/coverage.h"
#include "support/testing.h"

int main(int argc, char** argv) {
  std::string error;
  emu::SandboxOptions options;
  options.imageInMemory = true;
  int status = emu::runSandboxed(
      options,
      [&]() {
        std::string consoleError;
        int master = emu::openConsole(&consoleError);
        if (master < 0) {
          fprintf(stderr, "Cannot open the sandbox's console: %s\n", consoleError.c_str());
          return 1;
        }
        orvado_test::consoleMasterFd() = master;
        orvado_test::startConsoleDrain();
        testing::InitGoogleTest(&argc, argv);
        int result = RUN_ALL_TESTS();
        orvado_test::flushCoverage();  // the sandbox's worker ends with _exit
        return result;
      },
      &error);
  if (status < 0) {
    fprintf(stderr, "Cannot run the tests in a sandbox: %s\n", error.c_str());
    return 1;
  }
  return status;
}
