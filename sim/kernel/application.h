// The application side of the machine: what a user-mode program (a test or
// a tool) does through the Windows API — open a device by name, send control
// requests, read, write and close — each through real IRPs sent to the top
// of the device's stack.
#pragma once

#include <string>
#include <vector>

#include "wdm.h"

namespace sim {

struct IoResult {
  NTSTATUS status = 0;
  ULONG_PTR information = 0;
};

class Application {
 public:
  // "\\.\ZARKCARD" (through \DosDevices) or a kernel name such as
  // "\Device\ZARKLINK_0". The handle is the application's own.
  // *information, when given, receives what the create request returned in
  // IoStatus.Information.
  NTSTATUS Open(const std::string& path, HANDLE* handle, ULONG_PTR* information = nullptr);
  IoResult DeviceIoControl(HANDLE handle, ULONG code, const void* input, ULONG input_length, void* output,
                           ULONG output_length);
  IoResult Read(HANDLE handle, void* buffer, ULONG length);
  IoResult Write(HANDLE handle, const void* buffer, ULONG length);
  // Cleanup, then close, as CloseHandle does.
  NTSTATUS Close(HANDLE handle);

 private:
  IoResult Transfer(HANDLE handle, UCHAR major, void* buffer, ULONG length);
};

}  // namespace sim
