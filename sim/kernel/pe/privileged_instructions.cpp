#include "sim/kernel/pe/privileged_instructions.h"

#include <signal.h>
#include <ucontext.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>

#include "sim/kernel/kernel.h"
#include "sim/kernel/scheduler.h"

namespace sim::pe {

namespace {

// The ranges of the loaded images; read by the fault handler, so plain
// atomics rather than a container.
constexpr int kMaxImages = 64;
struct Range {
  std::atomic<uintptr_t> begin{0};
  std::atomic<uintptr_t> end{0};
};
Range ranges[kMaxImages];
std::mutex ranges_mutex;
struct sigaction previous_handler;

bool InLoadedImage(uintptr_t address, size_t length) {
  for (const Range& range : ranges) {
    const uintptr_t begin = range.begin.load(std::memory_order_acquire);
    if (begin && address >= begin && address + length <= range.end.load(std::memory_order_acquire)) return true;
  }
  return false;
}

// The general register a ModRM register number (with REX.B) names.
int GeneralRegister(int number) {
  static const int kRegisters[16] = {REG_RAX, REG_RCX, REG_RDX, REG_RBX, REG_RSP, REG_RBP, REG_RSI, REG_RDI,
                                     REG_R8,  REG_R9,  REG_R10, REG_R11, REG_R12, REG_R13, REG_R14, REG_R15};
  return kRegisters[number & 15];
}

// Emulates the instruction at the faulting address; false when it is not
// one this handler knows.
bool Emulate(ucontext_t* context) {
  greg_t* registers = context->uc_mcontext.gregs;
  const auto rip = static_cast<uintptr_t>(registers[REG_RIP]);
  if (!InLoadedImage(rip, 4)) return false;
  const auto* code = reinterpret_cast<const uint8_t*>(rip);
  // REX with R set (control register 8..15), then 0F 20 /r: mov from a
  // control register to the register in ModRM.rm, which must be a register.
  if ((code[0] & 0xF4) != 0x44 || code[1] != 0x0F || code[2] != 0x20) return false;
  const uint8_t modrm = code[3];
  if ((modrm >> 6) != 3 || ((modrm >> 3) & 7) != 0) return false;  // CR8 only
  if (!HasKernel()) return false;
  const int destination = GeneralRegister((modrm & 7) | ((code[0] & 1) << 3));
  registers[destination] = static_cast<greg_t>(K().scheduler->Irql());
  registers[REG_RIP] = static_cast<greg_t>(rip + 4);
  return true;
}

void OnFault(int signal, siginfo_t* info, void* context) {
  if (info->si_code == SI_KERNEL && Emulate(static_cast<ucontext_t*>(context))) return;
  // Not ours: the handler before (the sanitizer's report, or the default).
  if (previous_handler.sa_flags & SA_SIGINFO) {
    previous_handler.sa_sigaction(signal, info, context);
  } else if (previous_handler.sa_handler != SIG_IGN && previous_handler.sa_handler != SIG_DFL) {
    previous_handler.sa_handler(signal);
  } else {
    // Fault again with the default action.
    ::signal(signal, SIG_DFL);
  }
}

void InstallHandler() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction action {};
    action.sa_sigaction = &OnFault;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    sigaction(SIGSEGV, &action, &previous_handler);
  });
}

}  // namespace

void RegisterImageRange(const void* base, size_t size) {
  InstallHandler();
  std::lock_guard<std::mutex> guard(ranges_mutex);
  for (Range& range : ranges) {
    if (range.begin.load() != 0) continue;
    range.end.store(reinterpret_cast<uintptr_t>(base) + size, std::memory_order_release);
    range.begin.store(reinterpret_cast<uintptr_t>(base), std::memory_order_release);
    return;
  }
  std::fprintf(stderr, "simulator: more than %d driver images are loaded at once\n", kMaxImages);
}

void UnregisterImageRange(const void* base) {
  std::lock_guard<std::mutex> guard(ranges_mutex);
  for (Range& range : ranges)
    if (range.begin.load() == reinterpret_cast<uintptr_t>(base)) range.begin.store(0, std::memory_order_release);
}

}  // namespace sim::pe
