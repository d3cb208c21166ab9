// Privileged instructions the Windows kernel headers compile inline into a
// driver image. On the host they fault; the fault handler emulates them
// against the kernel model when the faulting instruction lies in a loaded
// image, and passes every other fault on to the handler installed before.
//   mov %cr8, reg   the current IRQL (KeGetCurrentIrql)
//   mov reg, %cr8   raise or lower the IRQL (KeRaiseIrql, KeLowerIrql)
//   in, out         the machine's I/O ports (READ_PORT_*, WRITE_PORT_*)
//   mov, movzx on an MmMapIoSpace mapping: device registers
//                   (READ_REGISTER_*, WRITE_REGISTER_*)
//   loads from KUSER_SHARED_DATA: the model's clocks (KeQueryInterruptTime,
//                   KeQuerySystemTime, KeQueryTickCount)
//   mov %gs:0x188, reg   the current thread (KeGetCurrentThread); other
//                   fields of the processor block are not there
#pragma once

#include <cstddef>

namespace sim::pe {

class PeImage;

constexpr int kMaxLoadedImages = 64;

// Registers a mapped image's range for emulation and for naming a fault in
// it (image+offset and the nearest symbol, before the fault goes on to the
// handler installed before); installs the fault handler on first use.
// False when all kMaxLoadedImages slots are taken: the image's inline forms
// would not work.
bool RegisterImageRange(const PeImage* image, const void* base, size_t size);
void UnregisterImageRange(const void* base);

}  // namespace sim::pe
