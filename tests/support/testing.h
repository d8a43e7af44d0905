// Helpers shared by the test programs. Every test program runs inside its own
// sandbox (support/main/sandbox_main.cpp): /mnt/hd is a fresh disk image and
// /dev/pts/0 is the console that the tests read.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "emulator/core/emulator.h"

namespace orvado_test {

// Puts the emulator into its power-on state with `config` (a virtual clock
// unless the config says otherwise is the caller's choice). Fails the test
// when the receiver cannot be made.
void freshReceiver(const emu::Config& config = emu::Config());

// A receiver on the real clock whose sound goes to the WAV file `wav`, with
// one channel in its settings: `name` at `url`. Fails the test as
// freshReceiver does.
void freshReceiverWithChannel(const std::string& wav, const std::string& name, const std::string& url);

// A config with the virtual clock on, the usual choice for tests.
emu::Config virtualConfig();

// Runs `body` in a forked child, so every global of the library and the
// emulator starts as at load time and firmware symbols can be left out.
// Failures inside the child are reported there and fail the calling test.
void inFreshProcess(const std::function<void()>& body);

// The console master that the test program's main opened (-1 if none).
int& consoleMasterFd();
// Starts draining the console in the background (the test main calls it).
void startConsoleDrain();

// Log lines that reached the console since the last call, without their line
// ends.
std::vector<std::string> takeConsoleLines();

// Runs a shell command and returns what it printed on standard output.
std::string commandOutput(const std::string& command);

// Whole-file helpers on the sandbox's disk.
void writeFile(const std::string& path, const std::string& content);
std::string readFile(const std::string& path);
bool exists(const std::string& path);
// Removes a file or folder tree; missing is fine.
void removeAll(const std::string& path);

// For the calling process and those it starts (call it in inFreshProcess):
// /usr/bin and /bin become read-only and hold no wget that runs, as on a
// receiver whose root is read-only and whose firmware brings none.
void readOnlyRootWithoutWget();

}  // namespace orvado_test
