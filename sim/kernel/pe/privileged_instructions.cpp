#include "sim/kernel/pe/privileged_instructions.h"
#include "sim/kernel/vector_register_asm.h"

#include <asm/prctl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "ntddk.h"
#include "sim/kernel/kernel.h"
#include "sim/kernel/kernel_internal.h"
#include "sim/kernel/pe/pe_image.h"
#include "sim/kernel/kernel_entry_thunks.h"
#include "sim/kernel/scheduler.h"
#include "sim/hw/hardware.h"
#include "sim/kernel/hal/io_mappings.h"

// Each emulated instruction is a kernel entry, as the routine it stands
// for is in a host image, and the entry comes first, as there. A kernel
// entry may switch contexts, and raising or lowering the IRQL may run
// DPCs: neither can happen inside the fault handler. So the handler makes
// the image "call" this trampoline, with a request and the address to
// resume at pushed on the image's stack (image code has no red zone); it
// keeps every register and the flags. The first fault of an instruction
// enters the kernel and resumes at the instruction itself, whose second
// fault is then emulated; a CR8 write is carried out by the trampoline.
// Its call-frame information lets a thread stopped inside it unwind.
extern "C" void sim_emulation_trampoline();
extern "C" void sim_emulation_request(uint64_t request);
asm(R"(
  .text
  .globl sim_emulation_trampoline
  .hidden sim_emulation_trampoline
  .type sim_emulation_trampoline, @function
sim_emulation_trampoline:
  .cfi_startproc
  .cfi_signal_frame
  .cfi_def_cfa_offset 16
  pushfq
  .cfi_adjust_cfa_offset 8
  push %rax
  .cfi_adjust_cfa_offset 8
  push %rcx
  .cfi_adjust_cfa_offset 8
  push %rdx
  .cfi_adjust_cfa_offset 8
  push %rsi
  .cfi_adjust_cfa_offset 8
  push %rdi
  .cfi_adjust_cfa_offset 8
  push %r8
  .cfi_adjust_cfa_offset 8
  push %r9
  .cfi_adjust_cfa_offset 8
  push %r10
  .cfi_adjust_cfa_offset 8
  push %r11
  .cfi_adjust_cfa_offset 8
  push %rbx
  .cfi_adjust_cfa_offset 8
  .cfi_rel_offset %rbx, 0
  mov %rsp, %rbx
  .cfi_def_cfa_register %rbx
  and $-16, %rsp
  sub $256, %rsp
)"
    SIM_ASM_SAVE_VECTOR_REGISTERS R"(
  mov 88(%rbx), %rdi
  call sim_emulation_request@PLT
)"
    SIM_ASM_RESTORE_VECTOR_REGISTERS R"(
  mov %rbx, %rsp
  .cfi_def_cfa_register %rsp
  pop %rbx
  .cfi_adjust_cfa_offset -8
  .cfi_restore %rbx
  pop %r11
  .cfi_adjust_cfa_offset -8
  pop %r10
  .cfi_adjust_cfa_offset -8
  pop %r9
  .cfi_adjust_cfa_offset -8
  pop %r8
  .cfi_adjust_cfa_offset -8
  pop %rdi
  .cfi_adjust_cfa_offset -8
  pop %rsi
  .cfi_adjust_cfa_offset -8
  pop %rdx
  .cfi_adjust_cfa_offset -8
  pop %rcx
  .cfi_adjust_cfa_offset -8
  pop %rax
  .cfi_adjust_cfa_offset -8
  popfq
  .cfi_adjust_cfa_offset -8
  lea 8(%rsp), %rsp
  .cfi_adjust_cfa_offset -8
  ret
  .cfi_endproc
  .size sim_emulation_trampoline, .-sim_emulation_trampoline
)");

namespace {
// A request with this bit carries the IRQL an image wrote to CR8.
constexpr uint64_t kCr8Write = uint64_t{1} << 63;
// The instruction whose kernel entry has been made: its next fault is emulated.
thread_local uintptr_t entered_for = 0;
}  // namespace

extern "C" void sim_emulation_request(uint64_t request) {
  if (!(request & kCr8Write)) {
    sim_kernel_entry_hook();
    entered_for = request;
    return;
  }
  const auto target = static_cast<KIRQL>(request & 15);
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
struct Range {
  std::atomic<uintptr_t> begin{0};
  std::atomic<uintptr_t> end{0};
  std::atomic<const PeImage*> image{nullptr};
};
Range ranges[kMaxLoadedImages];
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

// The length of a ModRM operand (ModRM, SIB, displacement) at code.
size_t OperandLength(const uint8_t* code) {
  const uint8_t modrm = code[0];
  const int mod = modrm >> 6, rm = modrm & 7;
  size_t length = 1;
  if (mod != 3 && rm == 4) {
    const uint8_t sib = code[length++];
    if (mod == 0 && (sib & 7) == 5) length += 4;
  }
  if (mod == 0 && rm == 5) length += 4;
  if (mod == 1) length += 1;
  if (mod == 2) length += 4;
  return length;
}

// The value of a general register of the given width; for bytes without a
// REX prefix, numbers 4..7 are AH, CH, DH, BH.
uint64_t ReadGeneral(const greg_t* registers, int number, unsigned width, bool rex) {
  if (width == 1 && !rex && number >= 4 && number < 8)
    return (static_cast<uint64_t>(registers[GeneralRegister(number - 4)]) >> 8) & 0xFF;
  const auto value = static_cast<uint64_t>(registers[GeneralRegister(number)]);
  return width == 8 ? value : value & ((uint64_t{1} << (8 * width)) - 1);
}

// Writes a load's result as the instruction would: 32 bits clear the upper
// half, 8 and 16 bits keep the rest of the register.
void WriteGeneral(greg_t* registers, int number, unsigned width, bool rex, uint64_t value) {
  if (width == 1 && !rex && number >= 4 && number < 8) {
    auto& full = registers[GeneralRegister(number - 4)];
    full = static_cast<greg_t>((static_cast<uint64_t>(full) & ~uint64_t{0xFF00}) | ((value & 0xFF) << 8));
    return;
  }
  auto& full = registers[GeneralRegister(number)];
  if (width >= 4) {
    full = static_cast<greg_t>(width == 8 ? value : value & 0xFFFFFFFFu);
  } else {
    const uint64_t mask = (uint64_t{1} << (8 * width)) - 1;
    full = static_cast<greg_t>((static_cast<uint64_t>(full) & ~mask) | (value & mask));
  }
}

// Where a faulting load or store goes instead of host memory.
struct MoveTarget {
  unsigned max_width;
  bool (*read)(uintptr_t rip, uintptr_t address, unsigned width, uint64_t* value);
  bool (*write)(uintptr_t rip, uintptr_t address, unsigned width, uint64_t value);  // null: loads only
};

// Carries out a faulting mov on the target: mov to and from memory (88, 89,
// 8A, 8B), mov of an immediate (C6, C7), zero-extending loads (0F B6,
// 0F B7) and the accumulator's absolute forms (A0..A3), after an optional
// GS segment, operand-size and REX prefix. The address is the fault's.
bool EmulateMove(greg_t* registers, const uint8_t* code, uintptr_t address, const MoveTarget& target) {
  size_t at = 0;
  bool operand16 = false;
  for (; code[at] == 0x66 || code[at] == 0x65; ++at)
    if (code[at] == 0x66) operand16 = true;
  uint8_t rex = 0;
  if ((code[at] & 0xF0) == 0x40) rex = code[at++];
  const bool wide = rex & 8;
  const unsigned full_width = wide ? 8 : operand16 ? 2 : 4;
  unsigned width = 0;
  bool load = false;
  bool immediate = false;
  unsigned load_width = 0;  // for zero-extending loads, the memory width
  int reg = -1;             // set by the ModRM forms
  uint8_t opcode = code[at++];
  if (opcode >= 0xA0 && opcode <= 0xA3) {  // AL/eAX from or to a 64-bit absolute address
    width = (opcode & 1) ? full_width : 1;
    load = opcode <= 0xA1;
    reg = 0;
    at += 8;
  } else if (opcode == 0x0F) {
    opcode = code[at++];
    if (opcode != 0xB6 && opcode != 0xB7) return false;
    load = true;
    load_width = opcode == 0xB6 ? 1 : 2;
    width = full_width;
  } else if (opcode == 0x88 || opcode == 0x8A || opcode == 0xC6) {
    width = 1;
    load = opcode == 0x8A;
    immediate = opcode == 0xC6;
  } else if (opcode == 0x89 || opcode == 0x8B || opcode == 0xC7) {
    width = full_width;
    load = opcode == 0x8B;
    immediate = opcode == 0xC7;
  } else {
    return false;
  }
  uint8_t modrm = 0;
  if (reg < 0) {
    modrm = code[at];
    if ((modrm >> 6) == 3) return false;
    reg = ((modrm >> 3) & 7) | ((rex & 4) << 1);
    at += OperandLength(code + at);
  }
  const unsigned memory_width = load_width ? load_width : width;
  if (memory_width > target.max_width) return false;
  if (load) {
    uint64_t value = 0;
    if (!target.read(registers[REG_RIP], address, memory_width, &value)) return false;
    WriteGeneral(registers, reg, width, rex != 0, value);
  } else {
    if (!target.write) return false;
    uint64_t value;
    if (immediate) {
      if ((modrm >> 3) & 7) return false;
      const unsigned size = width == 1 ? 1 : width == 2 ? 2 : 4;  // 64-bit stores take a sign-extended imm32
      int64_t number = 0;
      if (size == 1) number = static_cast<int8_t>(code[at]);
      if (size == 2) number = static_cast<int16_t>(code[at] | (code[at + 1] << 8));
      if (size == 4) {
        int32_t word;
        std::memcpy(&word, code + at, 4);
        number = word;
      }
      at += size;
      value = static_cast<uint64_t>(number);
    } else {
      value = ReadGeneral(registers, reg, width, rex != 0);
    }
    if (!target.write(registers[REG_RIP], address, width, value)) return false;
  }
  registers[REG_RIP] += static_cast<greg_t>(at);
  return true;
}

// Device registers through a mapping MmMapIoSpace handed out (what
// READ_REGISTER_* and WRITE_REGISTER_* compile to in a Windows image): the
// mapping's pages are inaccessible, so the access faults and is carried
// out on the machine's physical memory. The machine's registers are at
// most 32 bits wide. An access where no live mapping is (unmapped since,
// or never mapped) is the finding the HAL's routines report, and reads all
// ones.
const MoveTarget kDeviceRegisters{
    4,
    [](uintptr_t rip, uintptr_t address, unsigned width, uint64_t* value) {
      uint64_t physical = 0;
      if (!hw::Hw().mappings().Translate(address, width, &physical)) {
        ReportCaller(ImageOf(reinterpret_cast<const void*>(rip)), "register-access",
                     "READ_REGISTER of " + Hex(address) + ", which no mapping covers");
        *value = ~uint64_t{0};
        return true;
      }
      hw::Hw().counters().register_reads++;
      *value = hw::Hw().memory().Read(physical, width);
      return true;
    },
    [](uintptr_t rip, uintptr_t address, unsigned width, uint64_t value) {
      uint64_t physical = 0;
      if (!hw::Hw().mappings().Translate(address, width, &physical)) {
        ReportCaller(ImageOf(reinterpret_cast<const void*>(rip)), "register-access",
                     "WRITE_REGISTER of " + Hex(address) + ", which no mapping covers");
        return true;
      }
      hw::Hw().counters().register_writes++;
      hw::Hw().memory().Write(physical, static_cast<uint32_t>(value), width);
      return true;
    }};

// KUSER_SHARED_DATA, the page the kernel keeps the clocks in, read-only to
// drivers (KeQueryInterruptTime, KeQuerySystemTime, KeQueryTickCount are
// loads from it in a Windows image): its fields are the model's clocks.
constexpr uintptr_t kSharedDataAddress = 0xFFFFF78000000000ull;
constexpr uintptr_t kSharedDataSize = 0x1000;
constexpr size_t kInterruptTimeOffset = 0x8, kSystemTimeOffset = 0x14, kTickCountOffset = 0x320;
constexpr size_t kTickCountMultiplierOffset = 0x4;

void PutSystemTime(uint8_t* page, size_t offset, uint64_t value) {
  // KSYSTEM_TIME: LowPart, High1Time, High2Time (equal when consistent).
  const uint32_t words[3] = {static_cast<uint32_t>(value), static_cast<uint32_t>(value >> 32),
                             static_cast<uint32_t>(value >> 32)};
  std::memcpy(page + offset, words, sizeof words);
}

const MoveTarget kSharedData{
    8,
    [](uintptr_t, uintptr_t address, unsigned width, uint64_t* value) {
      const uintptr_t offset = address - kSharedDataAddress;
      if (offset + width > kSharedDataSize || !HasKernel()) return false;
      static uint8_t page[kSharedDataSize];  // only the fields below are meaningful
      std::memset(page, 0, sizeof page);
      LARGE_INTEGER time;
      KeQuerySystemTime(&time);
      PutSystemTime(page, kSystemTimeOffset, static_cast<uint64_t>(time.QuadPart));
      PutSystemTime(page, kInterruptTimeOffset, KeQueryInterruptTime());
      KeQueryTickCount(&time);
      PutSystemTime(page, kTickCountOffset, static_cast<uint64_t>(time.QuadPart));
      // TickCountMultiplier: the time increment in 2^-24 ms units.
      const auto multiplier = static_cast<uint32_t>((uint64_t{KeQueryTimeIncrement()} << 24) / 10000);
      std::memcpy(page + kTickCountMultiplierOffset, &multiplier, 4);
      *value = 0;
      std::memcpy(value, page + offset, width);
      return true;
    },
    nullptr};

// The processor block the GS segment points at in kernel mode; the one
// field a driver reads inline is the current thread (KeGetCurrentThread,
// gs:[0x188]). On the host GS has base 0, so such a read faults at the
// field's offset.
constexpr uintptr_t kCurrentThreadOffset = 0x188;

const MoveTarget kProcessorBlock{
    8,
    [](uintptr_t, uintptr_t address, unsigned width, uint64_t* value) {
      if (address != kCurrentThreadOffset || width != 8 || !HasKernel()) return false;
      *value = reinterpret_cast<uint64_t>(KeGetCurrentThread());
      return true;
    },
    nullptr};

// Makes the interrupted code call the trampoline with the request.
void CallTrampoline(greg_t* registers, uint64_t request, uintptr_t resume) {
  auto* stack = reinterpret_cast<uint64_t*>(registers[REG_RSP]);
  stack[-1] = resume;
  stack[-2] = request;
  registers[REG_RSP] = reinterpret_cast<greg_t>(stack - 2);
  registers[REG_RIP] = reinterpret_cast<greg_t>(&sim_emulation_trampoline);
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
  CallTrampoline(registers, kCr8Write | (static_cast<uint64_t>(registers[general]) & 15), rip + 4);
  return true;
}

// A fault in an image's code, as image+offset and its nearest symbol.
void DescribeFault(uintptr_t rip, uintptr_t address) {
  for (const Range& range : ranges) {
    const uintptr_t begin = range.begin.load(std::memory_order_acquire);
    if (!begin || rip < begin || rip >= range.end.load(std::memory_order_acquire)) continue;
    const PeImage* image = range.image.load(std::memory_order_acquire);
    size_t offset = 0;
    const ImageSymbol* symbol = image->SymbolAt(reinterpret_cast<const void*>(rip), &offset);
    std::fprintf(stderr, "simulator: fault at %s+0x%zx (%s+%zu), address %#zx\n", image->name().c_str(),
                 static_cast<size_t>(rip - begin), symbol ? symbol->name.c_str() : "?", offset,
                 static_cast<size_t>(address));
    return;
  }
}

// Where a faulting load or store of an image goes: device registers, the
// shared data page, the processor block; null for none of them.
const MoveTarget* MoveTargetOf(const uint8_t* code, uintptr_t address) {
  if (hw::HasHardware() && hw::Hw().mappings().InReservation(address)) return &kDeviceRegisters;
  if (address - kSharedDataAddress < kSharedDataSize) return &kSharedData;
  if (code[0] == 0x65 || (code[0] == 0x66 && code[1] == 0x65)) return &kProcessorBlock;
  return nullptr;
}

void OnFault(int signal, siginfo_t* info, void* context) {
  auto* machine_context = static_cast<ucontext_t*>(context);
  greg_t* registers = machine_context->uc_mcontext.gregs;
  const auto rip = static_cast<uintptr_t>(registers[REG_RIP]);
  const auto address = reinterpret_cast<uintptr_t>(info->si_addr);
  const bool privileged = info->si_code == SI_KERNEL;
  if (InLoadedImage(rip, 16)) {
    const auto* code = reinterpret_cast<const uint8_t*>(rip);
    const MoveTarget* target = privileged ? nullptr : MoveTargetOf(code, address);
    if (privileged || target) {
      if (entered_for != rip) {  // the kernel entry first
        CallTrampoline(registers, rip, rip);
        return;
      }
      entered_for = 0;
      if (privileged ? Emulate(machine_context) : EmulateMove(registers, code, address, *target)) return;
    }
  }
  // Not ours: named in the image's terms, then the handler before (the
  // sanitizer's report, or the default).
  DescribeFault(rip, address);
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
    // Reads through GS fault only while its base is 0, as Linux leaves it.
    unsigned long gs_base = 0;
    if (syscall(SYS_arch_prctl, ARCH_GET_GS, &gs_base) == 0 && gs_base != 0)
      std::fprintf(stderr, "simulator: GS has base %#lx; images' reads of the current thread will not fault\n", gs_base);
  });
}

}  // namespace

bool RegisterImageRange(const PeImage* image, const void* base, size_t size) {
  InstallHandler();
  std::lock_guard<std::mutex> guard(ranges_mutex);
  for (Range& range : ranges) {
    if (range.begin.load() != 0) continue;
    range.image.store(image, std::memory_order_release);
    range.end.store(reinterpret_cast<uintptr_t>(base) + size, std::memory_order_release);
    range.begin.store(reinterpret_cast<uintptr_t>(base), std::memory_order_release);
    return true;
  }
  return false;
}

void UnregisterImageRange(const void* base) {
  std::lock_guard<std::mutex> guard(ranges_mutex);
  for (Range& range : ranges)
    if (range.begin.load() == reinterpret_cast<uintptr_t>(base)) range.begin.store(0, std::memory_order_release);
}

}  // namespace sim::pe
