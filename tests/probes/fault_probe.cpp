// Raises real faults in a process that starts the services like the program
// does and installs the real fault trap, so tests can watch from outside what
// the trap and the fatal-error report do.
//
//   fault_probe <callback> <scenario>
//
// callback: program   the program's own ErrorHandler
//           record    writes the error record to standard error and returns
//           faulting  aborts inside the callback
//           none      no callback
// scenario: see kScenarios below, or raise:<signal number>. Before faulting,
// a scenario may write "expect-target=<hex>" (the address it touches) and
// "frame=<hex>" (an address in its stack frame) lines to standard error,
// except with the program callback.
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/driver.h"
#include "app/fatal.h"
#include "runtime/console.h"
#include "runtime/fault_trap.h"

namespace {

// An address in the first page, which is never mapped: what a store to a
// member of a null structure pointer hits.
constexpr uintptr_t kLowAddress = 0x40;

// Async-signal-safe: formats into a stack buffer and writes it.
void WriteNumber(const char* key, uint64_t value, bool hex, bool negative = false) {
  char buffer[64];
  size_t n = 0;
  for (const char* k = key; *k; ++k) buffer[n++] = *k;
  buffer[n++] = '=';
  if (negative) {
    buffer[n++] = '-';
    value = ~value + 1;
  }
  if (hex) {
    buffer[n++] = '0';
    buffer[n++] = 'x';
  }
  char digits[24];
  size_t d = 0;
  const unsigned base = hex ? 16 : 10;
  do {
    digits[d++] = "0123456789abcdef"[value % base];
    value /= base;
  } while (value);
  while (d) buffer[n++] = digits[--d];
  buffer[n++] = '\n';
  ssize_t ignored = write(STDERR_FILENO, buffer, n);
  (void)ignored;
}

// Async-signal-safe: writes the error record, one "key=value" per line.
void RecordCallback() {
  WriteNumber("code", static_cast<uint64_t>(static_cast<int64_t>(QV_OnError_Code)), false,
              QV_OnError_Code < 0);
  WriteNumber("line", static_cast<uint64_t>(static_cast<int64_t>(QV_OnError_Line)), false,
              QV_OnError_Line < 0);
  WriteNumber("target", reinterpret_cast<uintptr_t>(QV_OnError_TargetAddress), true);
  WriteNumber("ip", reinterpret_cast<uintptr_t>(QV_OnError_CodeAddress), true);
  for (int i = 0; i < 17; ++i) {
    char key[8] = "reg";
    key[3] = static_cast<char>('0' + i / 10);
    key[4] = static_cast<char>('0' + i % 10);
    WriteNumber(key, QV_OnError_Registers[i], true);
  }
}

// The address passes through a volatile so the compiler treats the store as
// the run-time store it is.
__attribute__((noinline)) void StoreTo(uintptr_t address) {
  volatile uintptr_t where = address;
  *reinterpret_cast<volatile int*>(where) = 1;
}

// A second fault while the first is handled: an abort, which the handler's
// own signal mask would not hold back.
void FaultingCallback() { raise(SIGABRT); }

// Off with the program's own callback, whose standard error must stay empty.
bool announce = true;

void Announce(const char* key, const void* address) {
  if (!announce) return;
  std::fprintf(stderr, "%s=%#lx\n", key, static_cast<unsigned long>(reinterpret_cast<uintptr_t>(address)));
}

// "frame" is the frame's own address, not a local's: AddressSanitizer may
// keep locals on a stack of its own, away from the one the code runs on.
void LowStore() {
  Announce("frame", __builtin_frame_address(0));
  Announce("expect-target", reinterpret_cast<void*>(kLowAddress));
  StoreTo(kLowAddress);
  // Not a tail call: the fault comes while this frame is still on the stack.
  asm volatile("" ::: "memory");
}

void GuardPageStore() {
  const long page = sysconf(_SC_PAGESIZE);
  void* area = mmap(nullptr, static_cast<size_t>(page), PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (area == MAP_FAILED) std::exit(90);
  char* target = static_cast<char*>(area) + 24;
  Announce("expect-target", target);
  StoreTo(reinterpret_cast<uintptr_t>(target));
}

// A shared mapping of a file that has since been truncated: touching it is a
// bus error at that address.
void TruncatedMappingLoad() {
  char path[] = "/tmp/stashwick-fault-probe-XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) std::exit(91);
  unlink(path);
  const long page = sysconf(_SC_PAGESIZE);
  if (ftruncate(fd, page) != 0) std::exit(92);
  void* area = mmap(nullptr, static_cast<size_t>(page), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (area == MAP_FAILED || ftruncate(fd, 0) != 0) std::exit(93);
  volatile char* target = static_cast<char*>(area) + 8;
  Announce("expect-target", const_cast<char*>(target));
  char value = *target;
  (void)value;
}

void IllegalInstruction() { __builtin_trap(); }

// Loads marker values into the general registers and faults on the next
// instruction, so the record can be checked register by register.
void MarkedRegistersStore() {
#if defined(__x86_64__)
  Announce("frame", __builtin_frame_address(0));
  Announce("expect-target", reinterpret_cast<void*>(kLowAddress));
  asm volatile(
      "movabsq $0x1100000000000011, %%rax\n\t"
      "movabsq $0x2200000000000022, %%rcx\n\t"
      "movabsq $0x3300000000000033, %%rdx\n\t"
      "movabsq $0x4400000000000044, %%rbx\n\t"
      "movabsq $0x7700000000000077, %%rsi\n\t"
      "movabsq $0x8800000000000088, %%rdi\n\t"
      "movabsq $0x9900000000000099, %%r8\n\t"
      "movabsq $0xaa000000000000aa, %%r9\n\t"
      "movabsq $0xbb000000000000bb, %%r10\n\t"
      "movabsq $0xcc000000000000cc, %%r11\n\t"
      "movabsq $0xdd000000000000dd, %%r12\n\t"
      "movabsq $0xee000000000000ee, %%r13\n\t"
      "movabsq $0xff000000000000ff, %%r14\n\t"
      "movabsq $0x1010000000000101, %%r15\n\t"
      "movl $1, 0x40\n\t"
      :
      :
      : "rax", "rcx", "rdx", "rbx", "rsi", "rdi", "r8", "r9", "r10", "r11", "r12", "r13", "r14",
        "r15", "memory");
#else
  std::exit(94);
#endif
}

// Recurses until the stack is gone; depth comes from outside so the
// compiler cannot see an endless recursion.
int Recurse(long depth) {
  volatile char frame[512];
  frame[0] = static_cast<char>(depth);
  if (depth <= 0) return frame[0];
  return Recurse(depth - 1) + frame[0];
}

std::atomic<bool> lockTaken{false};

void* HoldStdoutLock(void*) {
  flockfile(stdout);
  lockTaken = true;
  for (;;) pause();
  return nullptr;
}

// Another thread holds stdout's lock (as it would in the middle of a printf)
// when this thread faults.
void StoreWhileStdoutLocked() {
  pthread_t thread;
  if (pthread_create(&thread, nullptr, HoldStdoutLock, nullptr) != 0) std::exit(95);
  while (!lockTaken) usleep(1000);
  StoreTo(kLowAddress);
}

void ConsoleOpenThenStore() {
  ConsoleOpen();
  ConsoleWriteLine("before the fault");
  StoreTo(kLowAddress);
}

void UnflushedThenStore() {
  std::fputs("unflushed", stdout);
  StoreTo(kLowAddress);
}

void RaiseSignal(int signal) {
  raise(signal);
  std::exit(96);  // a signal that was not handled at all
}

struct Scenario {
  const char* name;
  void (*run)();
};

const Scenario kScenarios[] = {
    {"low-store", LowStore},
    {"guard-page-store", GuardPageStore},
    {"truncated-mapping-load", TruncatedMappingLoad},
    {"illegal-instruction", IllegalInstruction},
    {"marked-registers-store", MarkedRegistersStore},
    {"stack-overflow", [] { std::exit(Recurse(std::strtol("100000000", nullptr, 10)) ? 97 : 98); }},
    {"store-while-stdout-locked", StoreWhileStdoutLocked},
    {"console-open-then-store", ConsoleOpenThenStore},
    {"unflushed-then-store", UnflushedThenStore},
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: fault_probe program|record|faulting|none <scenario>|raise:<n>\n");
    return 2;
  }
  const std::string callback = argv[1];
  const std::string scenario = argv[2];

  // The program's own start-up, less the toolkit.
  StartRuntimeServices(argc, argv);
  if (callback == "program") {
    announce = false;
    InstallFaultTrap(ErrorHandler);
  } else if (callback == "record") {
    InstallFaultTrap(RecordCallback);
  } else if (callback == "faulting") {
    InstallFaultTrap(FaultingCallback);
  } else if (callback == "none") {
    InstallFaultTrap(nullptr);
  } else {
    std::fprintf(stderr, "fault_probe: unknown callback %s\n", callback.c_str());
    return 2;
  }

  if (scenario.rfind("raise:", 0) == 0) RaiseSignal(std::atoi(scenario.c_str() + 6));
  for (const Scenario& s : kScenarios) {
    if (scenario == s.name) {
      s.run();
      return 99;  // the fault did not happen
    }
  }
  std::fprintf(stderr, "fault_probe: unknown scenario %s\n", scenario.c_str());
  return 2;
}
