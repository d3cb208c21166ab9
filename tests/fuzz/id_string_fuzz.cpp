// Fuzz target: ParseIdString over arbitrary bytes, then IsValidIdList over
// every identity it built. The bytes are copied into a block of exactly the
// received size, so any access past them is an AddressSanitizer report.
// A probe reads at most 256 bytes; a byte after those picks a pool
// allocation of the parse to fail, so that every failure path is fuzzed too.
// Beyond memory safety it checks the shape of every output: empty, or a
// multi-string whose Length equals MaximumLength and that ends in two NULs.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <ntddk.h>

#include "enum/id_string.h"
#include "enum/multi_string.h"
#include "kernel_shim.h"

namespace {

void CheckShape(const UNICODE_STRING& s) {
  if (s.Buffer == nullptr) {
    if (s.Length != 0 || s.MaximumLength != 0) std::abort();
    return;
  }
  if (s.Length != s.MaximumLength || s.Length < 2 * sizeof(WCHAR) || s.Length % sizeof(WCHAR) != 0) {
    std::abort();
  }
  const size_t chars = s.Length / sizeof(WCHAR);
  if (s.Buffer[chars - 1] != 0 || s.Buffer[chars - 2] != 0) std::abort();
}

bool StartsWith(const UNICODE_STRING& s, const char* prefix) {
  const size_t n = std::strlen(prefix);
  if (s.Buffer == nullptr || s.Length / sizeof(WCHAR) < n) return false;
  for (size_t k = 0; k < n; ++k) {
    if (s.Buffer[k] != static_cast<WCHAR>(prefix[k])) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const size_t count = size < kIdStringMaxBytes ? size : kIdStringMaxBytes;
  auto* bytes = static_cast<UCHAR*>(std::malloc(count));
  if (count != 0) std::memcpy(bytes, data, count);

  const unsigned failing_allocation = size > kIdStringMaxBytes ? data[kIdStringMaxBytes] % 9 : 0;
  FailNthAllocation(failing_allocation);

  UNICODE_STRING outputs[6];
  std::memset(outputs, 0xA5, sizeof outputs);  // the parser must set every output
  const NTSTATUS status = ParseIdString(nullptr, bytes, static_cast<ULONG>(count), &outputs[0],
                                        &outputs[1], &outputs[2], &outputs[3], &outputs[4],
                                        &outputs[5]);
  FailNthAllocation(0);
  if (status != STATUS_SUCCESS && status != STATUS_UNSUCCESSFUL &&
      !(status == STATUS_INSUFFICIENT_RESOURCES && failing_allocation != 0)) {
    std::abort();
  }

  for (const UNICODE_STRING& output : outputs) CheckShape(output);
  // A parsed string always has a device ID under the enumerator's prefix
  // and a revision.
  if (status == STATUS_SUCCESS &&
      (!StartsWith(outputs[2], "SERENUM\\") || outputs[5].Buffer == nullptr)) {
    std::abort();
  }

  // What the probe checks before it reports a child.
  volatile BOOLEAN valid = IsValidIdList(&outputs[0]) & IsValidIdList(&outputs[1]) &
                           IsValidIdList(&outputs[2]);
  (void)valid;

  for (UNICODE_STRING& output : outputs) FreeMultiString(&output);
  std::free(bytes);
  return 0;
}
