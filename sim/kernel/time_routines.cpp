// Time as drivers read it: everything derives from the virtual clock.
#include "sim/kernel/irql_rules.h"
#include "sim/kernel/kernel_internal.h"
#include "sim/kernel/scheduler.h"
#include "wdm.h"

using sim::K;

namespace {
// 2026-01-01 00:00:00 UTC in the system time's units (100 ns since 1601).
constexpr LONGLONG kBootSystemTime = 134116992000000000LL;
constexpr ULONG kTimeIncrement = 156250;  // 15.625 ms clock tick
constexpr LONGLONG kPerformanceFrequency = 10000000;
}  // namespace

extern "C" {

void KeQuerySystemTime(PLARGE_INTEGER CurrentTime) { CurrentTime->QuadPart = kBootSystemTime + K().Now(); }

ULONGLONG KeQueryInterruptTime(void) { return static_cast<ULONGLONG>(K().Now()); }

void KeQueryTickCount(PLARGE_INTEGER TickCount) { TickCount->QuadPart = K().Now() / kTimeIncrement; }

ULONG KeQueryTimeIncrement(void) { return kTimeIncrement; }

LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency) {
  if (PerformanceFrequency) PerformanceFrequency->QuadPart = kPerformanceFrequency;
  LARGE_INTEGER now;
  now.QuadPart = K().Now();
  return now;
}

// A busy wait: the clock moves on, no other thread runs meanwhile.
void KeStallExecutionProcessor(ULONG MicroSeconds) {
  K().scheduler->AdvanceClock(static_cast<LONGLONG>(MicroSeconds) * 10);
}

void KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4) {
  std::string detail = "bug check " + sim::Hex(BugCheckCode) + " (" + sim::Hex(P1) + ", " + sim::Hex(P2) + ", " +
                       sim::Hex(P3) + ", " + sim::Hex(P4) + ")";
  sim::ReportCaller(SIM_CALLER(), "bug-check", detail);
  std::fprintf(stderr, "simulator: %s\n%s", detail.c_str(), K().verifier->Summary().c_str());
  std::abort();
}

}  // extern "C"
