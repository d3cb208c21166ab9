#include "card/hw/hw_access.h"

void DelayMicroseconds(ULONG Count) {
  if (KeGetCurrentIrql() < DISPATCH_LEVEL) {
    LARGE_INTEGER interval;
    interval.QuadPart = -10LL * static_cast<LONGLONG>(Count);
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
  } else {
    KeStallExecutionProcessor(Count);
  }
}
