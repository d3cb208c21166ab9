#include "sim/kernel/kernel_internal.h"

#include <cstdio>

#include "sim/kernel/scheduler.h"

namespace sim {

void ReportCaller(const DriverImage* caller, const std::string& rule, const std::string& detail) {
  K().verifier->Report(rule, ImageName(caller), detail);
}

LONGLONG DeadlineFrom(const LARGE_INTEGER* timeout) {
  if (!timeout) return -1;
  LONGLONG now = K().Now();
  if (timeout->QuadPart <= 0) return now - timeout->QuadPart;
  // Absolute times are system times; the virtual clock counts from boot.
  LARGE_INTEGER boot;
  KeQuerySystemTime(&boot);
  LONGLONG delta = timeout->QuadPart - boot.QuadPart;
  return delta > 0 ? now + delta : now;
}

std::string Hex(ULONG_PTR value) {
  char buffer[24];
  std::snprintf(buffer, sizeof buffer, "0x%llX", static_cast<unsigned long long>(value));
  return buffer;
}

}  // namespace sim
