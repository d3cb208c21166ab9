// Device stacks built from test code for tests of the kernel model: a
// driver whose dispatch routines are plain functions of the test.
#pragma once

#include <string>

#include "sim/kernel/io_manager.h"
#include "sim/kernel/kernel.h"

namespace sim::test {

inline DEVICE_OBJECT* CreateTestDevice(DriverRecord* driver, const char16_t* name = nullptr, ULONG extension = 0) {
  UNICODE_STRING unicode{};
  std::u16string text = name ? name : u"";
  if (name) {
    unicode.Buffer = reinterpret_cast<PWSTR>(text.data());
    unicode.Length = unicode.MaximumLength = static_cast<USHORT>(text.size() * 2);
  }
  DEVICE_OBJECT* device = nullptr;
  NTSTATUS status = K().io->CreateDevice(driver, extension, name ? &unicode : nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE,
                                         &device, nullptr);
  if (!NT_SUCCESS(status)) return nullptr;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return device;
}

}  // namespace sim::test
