#include "runtime/fault_trap.h"

#include <cstring>
#include <ucontext.h>
#include <unistd.h>

volatile int32_t QV_OnError_Code = -1;
volatile int32_t QV_OnError_Line = -1;
void* volatile QV_OnError_TargetAddress = nullptr;
void* volatile QV_OnError_CodeAddress = nullptr;
volatile uint64_t QV_OnError_Registers[17] = {};
volatile int32_t QV_DEBUGGER_LineNumber = -1;

namespace {

FaultCallback volatile storedCallback = nullptr;

// Async-signal-safe: sigemptyset and sigaction only.
void SetAction(int signal, void (*handler)(int, siginfo_t*, void*)) {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  sigemptyset(&action.sa_mask);
  if (handler) {
    action.sa_sigaction = handler;
    action.sa_flags = SA_SIGINFO;
  } else {
    action.sa_handler = SIG_DFL;
    action.sa_flags = 0;
  }
  sigaction(signal, &action, nullptr);
}

// Async-signal-safe: reads the signal context only.
void RecordContext(const void* context) {
#if defined(__x86_64__)
  const auto* uc = static_cast<const ucontext_t*>(context);
  static constexpr int kOrder[17] = {REG_RAX, REG_RCX, REG_RDX, REG_RBX, REG_RSP, REG_RBP,
                                     REG_RSI, REG_RDI, REG_R8,  REG_R9,  REG_R10, REG_R11,
                                     REG_R12, REG_R13, REG_R14, REG_R15, REG_EFL};
  for (int i = 0; i < 17; ++i) {
    QV_OnError_Registers[i] = static_cast<uint64_t>(uc->uc_mcontext.gregs[kOrder[i]]);
  }
  QV_OnError_CodeAddress =
      reinterpret_cast<void*>(static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]));
#else
  // No register layout is known for this processor: the record stays zero.
  (void)context;
  for (int i = 0; i < 17; ++i) QV_OnError_Registers[i] = 0;
  QV_OnError_CodeAddress = nullptr;
#endif
}

// Async-signal-safe: sigaction, plain stores, the callback (which must be
// async-signal-safe itself) and _exit.
void FaultHandler(int signal, siginfo_t* info, void* context) {
  // First, so that a fault inside the callback meets the default action.
  ResetFaultTrap();
  QV_OnError_Code = signal;
  QV_OnError_Line = QV_DEBUGGER_LineNumber;
  // si_addr only means an address when the kernel raised the fault
  // (si_code > 0); for kill, raise and sigqueue the same bytes hold the
  // sender's pid and uid.
  const bool hasAddress = (signal == SIGBUS || signal == SIGSEGV) && info && info->si_code > 0;
  QV_OnError_TargetAddress = hasAddress ? info->si_addr : nullptr;
  RecordContext(context);
  FaultCallback callback = storedCallback;
  if (callback) callback();
  _exit(1);
}

}  // namespace

void InstallFaultTrap(FaultCallback callback) {
  storedCallback = callback;
  for (int signal : kFaultSignals) SetAction(signal, FaultHandler);
}

void ResetFaultTrap() {
  for (int signal : kFaultSignals) SetAction(signal, nullptr);
}
