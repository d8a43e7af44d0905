// Calls into the TAP that may fault. A TAP that dereferences a bad pointer
// would take the emulator (and its web page) down with it; instead the fault
// ends the call, and the TAP is treated as crashed.
#include <setjmp.h>
#include <signal.h>

#include <cstring>
#include <vector>

#include "core/internal.h"

namespace emu::detail {
namespace {

// SIGTRAP too: a trap instruction (what __builtin_trap makes on MIPS, and
// what qemu-user turns MIPS's divide-by-zero trap into) ends a TAP as well.
constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP};
thread_local sigjmp_buf* t_jump = nullptr;
struct sigaction g_previous[NSIG];
bool g_installed = false;

void onFault(int sig, siginfo_t*, void*) {
  if (t_jump) siglongjmp(*t_jump, sig);
  // Not in a TAP call: whoever handled it before (the default, a sanitizer)
  // takes the fault when the instruction runs again.
  sigaction(sig, &g_previous[sig], nullptr);
}

// The handler runs on a stack of its own, so a TAP that overflows its stack
// is caught too.
void install() {
  if (g_installed) return;
  g_installed = true;
  static std::vector<char> altStack(1 << 16);
  stack_t ss{};
  ss.ss_sp = altStack.data();
  ss.ss_size = altStack.size();
  sigaltstack(&ss, nullptr);
  struct sigaction sa {};
  sa.sa_sigaction = onFault;
  sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&sa.sa_mask);
  for (int sig : kSignals) sigaction(sig, &sa, &g_previous[sig]);
}

}  // namespace

bool guardedCall(const std::function<void()>& call, std::string& fault) {
  install();
  sigjmp_buf jump;
  sigjmp_buf* outer = t_jump;
  int sig = sigsetjmp(jump, 1);
  if (sig != 0) {
    t_jump = outer;
    fault = strsignal(sig);
    return false;
  }
  t_jump = &jump;
  call();
  t_jump = outer;
  return true;
}

}  // namespace emu::detail
