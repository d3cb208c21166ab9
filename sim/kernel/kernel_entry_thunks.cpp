#include "sim/kernel/kernel_entry_thunks.h"
#include "sim/kernel/vector_register_asm.h"

#include "sim/kernel/loaded_segments.h"
#include "sim/kernel/pe/kernel_exports.h"

#include <dlfcn.h>
#include <elf.h>
#include <link.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>

#include "sim/kernel/kernel.h"
#include "sim/kernel/scheduler.h"

// Called by every thunk before the kernel routine runs.
extern "C" void sim_kernel_entry_hook() {
  if (sim::HasKernel()) sim::K().scheduler->KernelEntry();
}

// The common part of every thunk: r11 holds the routine. It saves every
// register that carries arguments in either calling convention (and the
// vector registers, which the Windows convention partly preserves), calls
// the hook on an aligned stack, restores them and jumps to the routine.
extern "C" void sim_kernel_entry_common();
asm(R"(
  .text
  .globl sim_kernel_entry_common
  .hidden sim_kernel_entry_common
  .type sim_kernel_entry_common, @function
sim_kernel_entry_common:
  .cfi_startproc
  push %r11
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
  sub $256, %rsp
  .cfi_adjust_cfa_offset 256
)"
    SIM_ASM_SAVE_VECTOR_REGISTERS R"(
  call sim_kernel_entry_hook@PLT
)"
    SIM_ASM_RESTORE_VECTOR_REGISTERS R"(
  add $256, %rsp
  .cfi_adjust_cfa_offset -256
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
  pop %r11
  .cfi_adjust_cfa_offset -8
  jmp *%r11
  .cfi_endproc
  .size sim_kernel_entry_common, .-sim_kernel_entry_common
)");

namespace sim {

namespace {

// One thunk: movabs $routine, %r11; jmp *common(%rip).
struct Thunk {
  uint8_t movabs[2];
  uint64_t routine;
  uint8_t jump[6];
  uint64_t common;
} __attribute__((packed));
static_assert(sizeof(Thunk) == 24);

class ThunkTable {
 public:
  // The thunk for a routine; thunks live as long as the process, since
  // every machine's images call the same kernel routines.
  void* For(void* routine) {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = thunks_.find(routine);
    if (it != thunks_.end()) return it->second;
    if (!page_ || used_ + sizeof(Thunk) > page_size_) {
      page_size_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
      void* page = mmap(nullptr, page_size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (page == MAP_FAILED) return nullptr;
      page_ = static_cast<uint8_t*>(page);
      used_ = 0;
    }
    mprotect(page_, page_size_, PROT_READ | PROT_WRITE);
    Thunk thunk{{0x49, 0xBB}, reinterpret_cast<uint64_t>(routine), {0xFF, 0x25, 0, 0, 0, 0},
                reinterpret_cast<uint64_t>(&sim_kernel_entry_common)};
    void* place = page_ + used_;
    std::memcpy(place, &thunk, sizeof thunk);
    used_ += sizeof thunk;
    mprotect(page_, page_size_, PROT_READ | PROT_EXEC);
    thunks_[routine] = place;
    return place;
  }

 private:
  std::mutex mutex_;
  std::map<void*, void*> thunks_;
  uint8_t* page_ = nullptr;
  size_t page_size_ = 0;
  size_t used_ = 0;
};

ThunkTable& Thunks() {
  static ThunkTable table;
  return table;
}

// Where the kernel model lies: routines resolved into it are kernel entries.
const AddressSpan& KernelSpan() {
  static const AddressSpan span = [] {
    link_map* map = nullptr;
    Dl_info with_map{};
    dladdr1(reinterpret_cast<const void*>(&sim_kernel_entry_hook), &with_map, reinterpret_cast<void**>(&map),
            RTLD_DL_LINKMAP);
    return map ? LoadedSegments(map->l_addr) : AddressSpan{};
  }();
  return span;
}

// The image's range that the loader makes read-only after relocation.
struct RelroRange {
  ElfW(Addr) base;
  uintptr_t begin = 0;
  uintptr_t end = 0;
};

int FindRelro(dl_phdr_info* info, size_t, void* data) {
  auto* range = static_cast<RelroRange*>(data);
  if (info->dlpi_addr != range->base) return 0;
  for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
    if (info->dlpi_phdr[i].p_type != PT_GNU_RELRO) continue;
    range->begin = info->dlpi_addr + info->dlpi_phdr[i].p_vaddr;
    range->end = range->begin + info->dlpi_phdr[i].p_memsz;
  }
  return 1;
}

}  // namespace

void* KernelEntryThunk(void* routine) { return Thunks().For(routine); }

int InstallKernelEntryThunks(void* dl_handle, std::string* error) {
  link_map* map = nullptr;
  if (dlinfo(dl_handle, RTLD_DI_LINKMAP, &map) != 0 || !map) {
    *error = "cannot find the image's link map";
    return -1;
  }
  const ElfW(Addr) base = map->l_addr;
  // The loader has already relocated the dynamic section's addresses;
  // an address below the base is still an offset.
  auto address = [base](ElfW(Addr) value) { return value < base ? value + base : value; };
  const ElfW(Rela)* relocations = nullptr;
  size_t relocations_size = 0;
  const ElfW(Sym)* symbols = nullptr;
  const char* names = nullptr;
  for (const ElfW(Dyn)* entry = map->l_ld; entry->d_tag != DT_NULL; ++entry) {
    switch (entry->d_tag) {
      case DT_JMPREL: relocations = reinterpret_cast<const ElfW(Rela)*>(address(entry->d_un.d_ptr)); break;
      case DT_PLTRELSZ: relocations_size = entry->d_un.d_val; break;
      case DT_SYMTAB: symbols = reinterpret_cast<const ElfW(Sym)*>(address(entry->d_un.d_ptr)); break;
      case DT_STRTAB: names = reinterpret_cast<const char*>(address(entry->d_un.d_ptr)); break;
      default: break;
    }
  }
  if (!relocations || !symbols || !names) return 0;
  const AddressSpan& kernel = KernelSpan();
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  RelroRange relro{base};
  dl_iterate_phdr(&FindRelro, &relro);
  int redirected = 0;
  for (size_t i = 0; i < relocations_size / sizeof(ElfW(Rela)); ++i) {
    const ElfW(Rela)& relocation = relocations[i];
    if (ELF64_R_TYPE(relocation.r_info) != R_X86_64_JUMP_SLOT) continue;
    auto* slot = reinterpret_cast<void**>(base + relocation.r_offset);
    if (!kernel.Contains(*slot)) continue;
    // Only the kernel's exported routines: the header's inline helpers
    // (IoGetCurrentIrpStackLocation, ...) that an unoptimised image calls
    // out of line are inline code in a Windows image, no kernel entries.
    const ElfW(Sym)& symbol = symbols[ELF64_R_SYM(relocation.r_info)];
    if (!pe::FindKernelExport(names + symbol.st_name)) continue;
    void* thunk = Thunks().For(*slot);
    if (!thunk) {
      *error = "no memory for kernel entry thunks";
      return -1;
    }
    const auto at = reinterpret_cast<uintptr_t>(slot);
    if (at >= relro.begin && at < relro.end) {
      auto* first = reinterpret_cast<void*>(at & ~(page - 1));
      mprotect(first, page, PROT_READ | PROT_WRITE);
      *slot = thunk;
      mprotect(first, page, PROT_READ);
    } else {
      *slot = thunk;
    }
    ++redirected;
  }
  return redirected;
}

}  // namespace sim
