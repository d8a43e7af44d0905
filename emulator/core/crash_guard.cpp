// Calls into the TAP that may fault. A TAP that dereferences a bad pointer
// would take the emulator (and its web page) down with it; instead the fault
// ends the call, and the TAP is treated as crashed.
#include <execinfo.h>
#include <setjmp.h>
#include <signal.h>
#include <ucontext.h>

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "core/internal.h"

namespace emu::detail {
namespace {

// SIGTRAP too: a trap instruction (what __builtin_trap makes on MIPS, and
// what qemu-user turns MIPS's divide-by-zero trap into) ends a TAP as well.
constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP};
thread_local sigjmp_buf* t_jump = nullptr;
// What the watchdog's signal asks of the thread in the TAP: its stack, or to
// leave the call.
volatile sig_atomic_t g_hangWants = 0;  // 1 stack, 2 leave
void* g_hangStack[kHangStackDepth];
void* volatile g_hangAt = nullptr;
volatile sig_atomic_t g_hangStackSize = -1;
struct sigaction g_previous[NSIG];
bool g_installed = false;

void onFault(int sig, siginfo_t*, void*) {
  if (t_jump) siglongjmp(*t_jump, sig);
  // Not in a TAP call: whoever handled it before (the default, a sanitizer)
  // takes the fault when the instruction runs again.
  sigaction(sig, &g_previous[sig], nullptr);
}

int hangSignal() { return SIGRTMIN + 4; }

// Where the signal found the thread. The frames that backtrace() puts above
// it (this handler, the kernel's return trampoline, a sanitizer's wrapper)
// differ from build to build, so the stack is cut at this address.
void* interruptedAt(void* context) {
  const auto& machine = static_cast<ucontext_t*>(context)->uc_mcontext;
#if defined(__x86_64__)
  return reinterpret_cast<void*>(machine.gregs[REG_RIP]);
#elif defined(__i386__)
  return reinterpret_cast<void*>(machine.gregs[REG_EIP]);
#elif defined(__mips__) || defined(__aarch64__)
  return reinterpret_cast<void*>(machine.pc);
#else
  (void)machine;
  return nullptr;
#endif
}

void onHangSignal(int, siginfo_t*, void* context) {
  if (g_hangWants == 1) {
    g_hangAt = interruptedAt(context);
    // backtrace() was called once before (install), so it does not load
    // libgcc here.
    g_hangStackSize = backtrace(g_hangStack, kHangStackDepth);
  } else if (g_hangWants == 2 && t_jump) {
    siglongjmp(*t_jump, hangSignal());
  }
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
  void* warm[2];
  backtrace(warm, 2);
  struct sigaction hang {};
  hang.sa_sigaction = onHangSignal;
  hang.sa_flags = SA_SIGINFO;
  sigemptyset(&hang.sa_mask);
  sigaction(hangSignal(), &hang, nullptr);
}

}  // namespace

bool guardedCall(const std::function<void()>& call, std::string& fault) {
  install();
  sigjmp_buf jump;
  sigjmp_buf* outer = t_jump;
  int sig = sigsetjmp(jump, 1);
  if (sig != 0) {
    t_jump = outer;
    fault = sig == hangSignal() ? kHungFault : strsignal(sig);
    return false;
  }
  t_jump = &jump;
  call();
  t_jump = outer;
  return true;
}

std::vector<void*> hungStack(pthread_t thread) {
  g_hangStackSize = -1;
  g_hangAt = nullptr;
  g_hangWants = 1;
  std::vector<void*> stack;
  if (pthread_kill(thread, hangSignal()) == 0) {
    for (int i = 0; i < 100 && g_hangStackSize < 0; ++i) usleep(5000);
    if (g_hangStackSize > 0) stack.assign(g_hangStack, g_hangStack + g_hangStackSize);
  }
  g_hangWants = 0;
  void* at = g_hangAt;
  if (!at) return stack;
  auto from = std::find(stack.begin(), stack.end(), at);
  // An unwinder that did not see through the signal frame: the callers are
  // lost, the interrupted address still tells where the TAP spins.
  if (from == stack.end()) return {at};
  stack.erase(stack.begin(), from);
  return stack;
}

void leaveHungCall(pthread_t thread) {
  g_hangWants = 2;
  pthread_kill(thread, hangSignal());
}

}  // namespace emu::detail
