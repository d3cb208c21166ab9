#include "sim/kernel/pe/privileged_instructions.h"

#include <signal.h>
#include <ucontext.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>

#include "ntddk.h"
#include "sim/kernel/kernel.h"
#include "sim/kernel/scheduler.h"
#include "sim/hw/hardware.h"

// A write to CR8 raises or lowers the IRQL, which may run DPCs and switch
// contexts: that cannot happen inside the fault handler. The handler makes
// the image "call" this trampoline instead, with the new IRQL and the
// address to resume at pushed on the image's stack (image code has no red
// zone). It keeps every register and the flags, as the instruction would.
extern "C" void sim_cr8_write_trampoline();
extern "C" void sim_cr8_write(uint64_t irql);
asm(R"(
  .text
  .globl sim_cr8_write_trampoline
  .hidden sim_cr8_write_trampoline
  .type sim_cr8_write_trampoline, @function
sim_cr8_write_trampoline:
  pushfq
  push %rax
  push %rcx
  push %rdx
  push %rsi
  push %rdi
  push %r8
  push %r9
  push %r10
  push %r11
  push %rbx
  mov %rsp, %rbx
  and $-16, %rsp
  sub $256, %rsp
  movdqu %xmm0, 0(%rsp)
  movdqu %xmm1, 16(%rsp)
  movdqu %xmm2, 32(%rsp)
  movdqu %xmm3, 48(%rsp)
  movdqu %xmm4, 64(%rsp)
  movdqu %xmm5, 80(%rsp)
  movdqu %xmm6, 96(%rsp)
  movdqu %xmm7, 112(%rsp)
  movdqu %xmm8, 128(%rsp)
  movdqu %xmm9, 144(%rsp)
  movdqu %xmm10, 160(%rsp)
  movdqu %xmm11, 176(%rsp)
  movdqu %xmm12, 192(%rsp)
  movdqu %xmm13, 208(%rsp)
  movdqu %xmm14, 224(%rsp)
  movdqu %xmm15, 240(%rsp)
  mov 88(%rbx), %rdi
  call sim_cr8_write@PLT
  movdqu 0(%rsp), %xmm0
  movdqu 16(%rsp), %xmm1
  movdqu 32(%rsp), %xmm2
  movdqu 48(%rsp), %xmm3
  movdqu 64(%rsp), %xmm4
  movdqu 80(%rsp), %xmm5
  movdqu 96(%rsp), %xmm6
  movdqu 112(%rsp), %xmm7
  movdqu 128(%rsp), %xmm8
  movdqu 144(%rsp), %xmm9
  movdqu 160(%rsp), %xmm10
  movdqu 176(%rsp), %xmm11
  movdqu 192(%rsp), %xmm12
  movdqu 208(%rsp), %xmm13
  movdqu 224(%rsp), %xmm14
  movdqu 240(%rsp), %xmm15
  mov %rbx, %rsp
  pop %rbx
  pop %r11
  pop %r10
  pop %r9
  pop %r8
  pop %rdi
  pop %rsi
  pop %rdx
  pop %rcx
  pop %rax
  popfq
  lea 8(%rsp), %rsp
  ret
  .size sim_cr8_write_trampoline, .-sim_cr8_write_trampoline
)");

// The IRQL an image wrote to CR8: a raise or a lower through the model.
extern "C" void sim_cr8_write(uint64_t irql) {
  const auto target = static_cast<KIRQL>(irql & 15);
  const KIRQL current = KeGetCurrentIrql();
  if (target > current) {
    KIRQL old;
    KfRaiseIrql(target, &old);
  } else if (target < current) {
    KeLowerIrql(target);
  }
}

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

// IN and OUT on the machine's I/O space (READ_PORT_*, WRITE_PORT_* are
// these instructions in a Windows image): EC/ED/EE/EF with the port in DX,
// E4..E7 with an immediate port, a 66 prefix for 16 bits.
bool EmulatePortAccess(greg_t* registers, const uint8_t* code) {
  size_t length = 0;
  unsigned width = 4;
  if (code[0] == 0x66) {
    width = 2;
    length = 1;
  }
  const uint8_t opcode = code[length++];
  uint16_t port;
  if (opcode >= 0xEC && opcode <= 0xEF) {
    port = static_cast<uint16_t>(registers[REG_RDX]);
  } else if (opcode >= 0xE4 && opcode <= 0xE7) {
    port = code[length++];
  } else {
    return false;
  }
  if ((opcode & 1) == 0) width = 1;
  if (!hw::HasHardware()) return false;
  const bool input = (opcode & 2) == 0;
  auto& rax = registers[REG_RAX];
  if (input) {
    const uint64_t value = hw::Hw().io().Read(port, width);
    // A 32-bit result clears the upper half; narrower ones keep the rest.
    if (width == 4) rax = static_cast<greg_t>(value & 0xFFFFFFFFu);
    if (width == 2) rax = static_cast<greg_t>((static_cast<uint64_t>(rax) & ~uint64_t{0xFFFF}) | (value & 0xFFFF));
    if (width == 1) rax = static_cast<greg_t>((static_cast<uint64_t>(rax) & ~uint64_t{0xFF}) | (value & 0xFF));
  } else {
    const uint32_t mask = width == 4 ? 0xFFFFFFFFu : width == 2 ? 0xFFFFu : 0xFFu;
    hw::Hw().io().Write(port, static_cast<uint32_t>(rax) & mask, width);
  }
  registers[REG_RIP] += static_cast<greg_t>(length);
  return true;
}

// Emulates the instruction at the faulting address; false when it is not
// one this handler knows.
bool Emulate(ucontext_t* context) {
  greg_t* registers = context->uc_mcontext.gregs;
  const auto rip = static_cast<uintptr_t>(registers[REG_RIP]);
  if (!InLoadedImage(rip, 4)) return false;
  const auto* code = reinterpret_cast<const uint8_t*>(rip);
  if (EmulatePortAccess(registers, code)) return true;
  // REX with R set (control register 8..15), then 0F 20 /r (mov from a
  // control register) or 0F 22 /r (mov to one); ModRM.rm names the
  // general register.
  if ((code[0] & 0xF4) != 0x44 || code[1] != 0x0F || (code[2] != 0x20 && code[2] != 0x22)) return false;
  const uint8_t modrm = code[3];
  if ((modrm >> 6) != 3 || ((modrm >> 3) & 7) != 0) return false;  // CR8 only
  if (!HasKernel()) return false;
  const int general = GeneralRegister((modrm & 7) | ((code[0] & 1) << 3));
  if (code[2] == 0x20) {
    registers[general] = static_cast<greg_t>(K().scheduler->Irql());
    registers[REG_RIP] = static_cast<greg_t>(rip + 4);
    return true;
  }
  auto* stack = reinterpret_cast<uint64_t*>(registers[REG_RSP]);
  stack[-1] = rip + 4;                                     // where the trampoline returns
  stack[-2] = static_cast<uint64_t>(registers[general]);  // the new IRQL
  registers[REG_RSP] = reinterpret_cast<greg_t>(stack - 2);
  registers[REG_RIP] = reinterpret_cast<greg_t>(&sim_cr8_write_trampoline);
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
