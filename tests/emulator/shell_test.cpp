// The TAP's shell commands as the core runs them: the C library's results,
// their error output kept (from the pipe and from a "2>FILE"), background
// jobs that write on after their shell has ended, and the trace lines.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <thread>

#include "emulator/core/emulator.h"
#include "support/testing.h"
#include "support/trace_capture.h"

using namespace orvado_test;

namespace {

emu::ShellCommand lastCommand() {
  std::vector<emu::ShellCommand> all = emu::shellCommands();
  return all.empty() ? emu::ShellCommand() : all.back();
}

}  // namespace

TEST(Shell, SystemKeepsEachCommandsResultAndErrorOutput) {
  TraceCapture trace;
  freshReceiver(trace.config());
  struct Case {
    const char* command;
    int exitCode;  // -1: killed
    const char* result;
    const char* tail;
  };
  const Case cases[] = {
      {"true", 0, "exit 0", ""},
      {"exit 3", 3, "exit 3", ""},
      {"echo oops >&2; exit 1", 1, "exit 1", "oops\n"},
      {"sh -c 'echo logged >&2; exit 4' 2>/mnt/hd/e.log", 4, "exit 4", "[/mnt/hd/e.log]\nlogged\n"},
      {"echo quiet >&2 2>/dev/null; exit 0", 0, "exit 0", "quiet\n"},
      {"kill -TERM $$", -1, "killed by Terminated", ""},
  };
  for (const Case& c : cases) {
    int status = system(c.command);
    if (c.exitCode >= 0) {
      ASSERT_TRUE(WIFEXITED(status)) << c.command;
      EXPECT_EQ(WEXITSTATUS(status), c.exitCode) << c.command;
    } else {
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << c.command;
    }
    emu::ShellCommand kept = lastCommand();
    EXPECT_EQ(kept.command, c.command);
    EXPECT_EQ(kept.kind, "system");
    EXPECT_TRUE(kept.done);
    EXPECT_EQ(kept.status, status);
    EXPECT_EQ(kept.result, c.result) << c.command;
    EXPECT_EQ(kept.errorTail, c.tail) << c.command;
    EXPECT_NE(trace.text().find("system(\"" + std::string(c.command).substr(0, 10)), std::string::npos) << c.command;
  }
  EXPECT_NE(trace.text().find("system(\"exit 3\") = exit 3 in "), std::string::npos) << trace.text();
  EXPECT_EQ(system(nullptr), 1) << "a shell is there";
}

// A job left in the background writes on to the pipe after its shell has
// ended: it neither blocks nor dies of a closed pipe, and what it writes is
// kept with the command that started it. A long error output does not make a
// command wait.
TEST(Shell, BackgroundJobsWriteOnAndLongOutputNeverBlocks) {
  freshReceiver(virtualConfig());
  auto started = std::chrono::steady_clock::now();
  ASSERT_EQ(system("(sleep 0.3; echo late >&2; touch /mnt/hd/after) &"), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(250)) << "waited for the job";
  uint64_t number = lastCommand().number;
  for (int i = 0; i < 100 && access("/mnt/hd/after", F_OK) != 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(access("/mnt/hd/after", F_OK), 0) << "the job did not live on after writing";
  ASSERT_EQ(system("head -c 300000 /dev/zero | tr '\\0' x >&2"), 0);
  for (const emu::ShellCommand& c : emu::shellCommands()) {
    if (c.number == number) {
      EXPECT_EQ(c.errorTail, "late\n");
    }
  }
  EXPECT_EQ(lastCommand().errorTail.size(), 2048u) << "the end of a long output is kept";
}

// A command that sends its error output elsewhere and runs on: the wait
// for it costs no processor time (a closed pipe polls ready at once).
TEST(Shell, CommandWithoutErrorOutputIsWaitedForWithoutSpinning) {
  freshReceiver(virtualConfig());
  timespec from{}, to{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &from);
  ASSERT_EQ(system("exec 2>/dev/null; sleep 0.5"), 0);
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &to);
  double cpu = static_cast<double>(to.tv_sec - from.tv_sec) + static_cast<double>(to.tv_nsec - from.tv_nsec) / 1e9;
  EXPECT_LT(cpu, 0.1) << "seconds of processor time while the command slept";
}

TEST(Shell, PopenReadsAndWritesAndPcloseGivesTheStatus) {
  TraceCapture trace;
  freshReceiver(trace.config());
  FILE* p = popen("echo hello; echo err >&2; exit 2", "r");
  ASSERT_NE(p, nullptr);
  char line[64] = "";
  ASSERT_NE(fgets(line, sizeof line, p), nullptr);
  EXPECT_STREQ(line, "hello\n");
  EXPECT_FALSE(lastCommand().done) << "a popen ends at pclose";
  int status = pclose(p);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 2);
  EXPECT_EQ(lastCommand().kind, "popen");
  EXPECT_EQ(lastCommand().result, "exit 2");
  EXPECT_EQ(lastCommand().errorTail, "err\n");
  EXPECT_NE(trace.text().find("pclose(\"echo hello; echo err >&2; exit 2\") = exit 2 in "), std::string::npos);

  FILE* w = popen("cat > /mnt/hd/written", "w");
  ASSERT_NE(w, nullptr);
  fputs("to the command\n", w);
  EXPECT_EQ(pclose(w), 0);
  EXPECT_EQ(readFile("/mnt/hd/written"), "to the command\n");
  EXPECT_EQ(popen("true", "x"), nullptr) << "a mode other than r or w";
}
