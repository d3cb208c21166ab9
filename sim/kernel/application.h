// The application side of the machine: what a user-mode program (a test or
// a tool) does through the Windows API — open a device by name, send control
// requests, read, write, cancel and close — each through real IRPs sent to
// the top of the device's stack. Requests run on the calling simulated
// thread; the overlapped forms return while drivers still hold the IRP.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "sim/kernel/security.h"
#include "wdm.h"

namespace sim {

struct IoResult {
  NTSTATUS status = 0;
  ULONG_PTR information = 0;
};

// An overlapped request (OVERLAPPED of the Windows API). The caller keeps it
// until the request has completed.
struct Overlapped {
  KEVENT done;               // signalled when the request has completed
  IO_STATUS_BLOCK status{};  // filled in at completion
};

class Application {
 public:
  // The account it runs as (an administrator unless told): opens are
  // checked against a device's security, and requests carry its token.
  void RunAs(Account account) { token_ = TokenFor(account); }
  const Token& token() const { return *token_; }
  // AdjustTokenPrivileges: enables a privilege the token holds;
  // STATUS_NOT_ALL_ASSIGNED when it holds none such.
  NTSTATUS EnablePrivilege(ULONG privilege);

  // "\\.\ZARKCARD" (through \DosDevices) or a kernel name such as
  // "\Device\ZARKLINK_0". The handle is the application's own.
  // *information, when given, receives what the create request returned in
  // IoStatus.Information.
  NTSTATUS Open(const std::string& path, HANDLE* handle, ULONG_PTR* information = nullptr);
  IoResult DeviceIoControl(HANDLE handle, ULONG code, const void* input, ULONG input_length, void* output,
                           ULONG output_length);
  IoResult Read(HANDLE handle, void* buffer, ULONG length);
  IoResult Write(HANDLE handle, const void* buffer, ULONG length);

  // Overlapped forms: STATUS_PENDING while the drivers hold the request,
  // else its final status. Buffers must stay valid until it completes.
  NTSTATUS DeviceIoControlAsync(HANDLE handle, ULONG code, const void* input, ULONG input_length, void* output,
                                ULONG output_length, Overlapped* overlapped);
  NTSTATUS ReadAsync(HANDLE handle, void* buffer, ULONG length, Overlapped* overlapped);
  NTSTATUS WriteAsync(HANDLE handle, const void* buffer, ULONG length, Overlapped* overlapped);
  // GetOverlappedResult: with wait, waits for the completion; without,
  // {STATUS_PENDING, 0} while the request runs.
  IoResult Result(Overlapped* overlapped, bool wait);
  // CancelIo: cancels the requests the calling thread started on the handle.
  NTSTATUS CancelIo(HANDLE handle);

  // CloseHandle: cleanup now (the drivers complete the requests they hold
  // for the file), close once no request holds the file any more.
  NTSTATUS Close(HANDLE handle);

 private:
  std::shared_ptr<const Token> token_ = TokenFor(Account::Administrator);

  // Sends a request built for the file's stack on the calling thread.
  NTSTATUS Start(FILE_OBJECT* file, PIRP irp);
  NTSTATUS StartTransfer(HANDLE handle, UCHAR major, void* buffer, ULONG length, Overlapped* overlapped);
  IoResult Finish(NTSTATUS started, Overlapped* overlapped);
  IoResult Advance(HANDLE handle, IoResult result);
};

}  // namespace sim
