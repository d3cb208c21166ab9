// The few kernel routines the identification-string parser calls, for the
// fuzz build (clang, no kernel model): pool blocks from malloc with their tag
// checked on free, and the ANSI conversion of a single-byte code page.
// A wrong tag aborts; AddressSanitizer reports double frees and leaks.
#include "kernel_shim.h"

#include <cstdlib>
#include <cstring>

#include <ntddk.h>

namespace {

struct BlockHeader {
  ULONG tag;
  ULONG magic;
  SIZE_T size;
};
static_assert(sizeof(BlockHeader) % 16 == 0);

constexpr ULONG kLiveMagic = 0x4C495645;  // "LIVE"
constexpr ULONG kFreedMagic = 0x44454144;  // "DEAD"

unsigned allocations_left_before_failure = 0;  // 0: no failure planned

}  // namespace

void FailNthAllocation(unsigned n) { allocations_left_before_failure = n; }

extern "C" PVOID ExAllocatePoolWithTag(POOL_TYPE, SIZE_T size, ULONG tag) {
  if (allocations_left_before_failure != 0 && --allocations_left_before_failure == 0) return nullptr;
  auto* header = static_cast<BlockHeader*>(std::malloc(sizeof(BlockHeader) + size));
  if (header == nullptr) return nullptr;
  header->tag = tag;
  header->magic = kLiveMagic;
  header->size = size;
  return header + 1;
}

extern "C" void ExFreePoolWithTag(PVOID p, ULONG tag) {
  BlockHeader* header = static_cast<BlockHeader*>(p) - 1;
  if (header->magic != kLiveMagic || header->tag != tag) std::abort();
  header->magic = kFreedMagic;
  std::free(header);
}

extern "C" ULONG RtlxAnsiStringToUnicodeSize(PCANSI_STRING ansi) {
  return (ansi->Length + 1u) * sizeof(WCHAR);
}

extern "C" NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING destination, PCANSI_STRING source,
                                                 BOOLEAN allocate) {
  if (allocate) std::abort();  // the parser converts into its own buffers only
  const ULONG bytes = source->Length * sizeof(WCHAR);
  if (bytes >= destination->MaximumLength) return STATUS_BUFFER_OVERFLOW;
  for (ULONG k = 0; k < source->Length; ++k) {
    destination->Buffer[k] = static_cast<UCHAR>(source->Buffer[k]);
  }
  destination->Buffer[source->Length] = 0;
  destination->Length = static_cast<USHORT>(bytes);
  return STATUS_SUCCESS;
}
