#include "sim/kernel/application.h"

#include "sim/kernel/io_manager.h"
#include "sim/kernel/kernel_internal.h"
#include "sim/kernel/object_namespace.h"
#include "sim/kernel/pnp/pnp_manager.h"
#include "sim/kernel/pool.h"
#include "sim/kernel/security.h"

namespace sim {

namespace {

class DeviceFileObject : public KernelObject {
 public:
  explicit DeviceFileObject(FILE_OBJECT* file, std::string path) : file_(file), path_(std::move(path)) {}
  std::string TypeName() const override { return "File"; }
  std::string Describe() const override { return path_; }
  FILE_OBJECT* file() const { return file_; }

 private:
  FILE_OBJECT* file_;
  std::string path_;
};

FILE_OBJECT* FileOf(HANDLE handle) {
  auto object = K().handles->Lookup<DeviceFileObject>(handle);
  return object ? object->file() : nullptr;
}

void Prepare(Overlapped* overlapped) {
  KeInitializeEvent(&overlapped->done, NotificationEvent, FALSE);
  overlapped->status.Status = STATUS_PENDING;
  overlapped->status.Information = 0;
}

// Why the I/O manager refuses to open the device before any driver sees the
// create request; STATUS_SUCCESS when it may be opened.
NTSTATUS OpenRefusal(DEVICE_OBJECT* device) {
  if (!K().io->IsLiveDevice(device) || (device->DeviceObjectExtension->ExtensionFlags & DOE_DELETE_PENDING))
    return STATUS_DELETE_PENDING;
  if (device->Flags & DO_DEVICE_INITIALIZING) return STATUS_NO_SUCH_DEVICE;
  // A Plug and Play stack opens only while its device is started.
  if (const DeviceNode* node = K().pnp->StackNode(device); node && !PnpManager::AcceptsOpens(*node))
    return STATUS_NO_SUCH_DEVICE;
  if ((device->Flags & DO_EXCLUSIVE) && device->ReferenceCount != 0) return STATUS_ACCESS_DENIED;
  return STATUS_SUCCESS;
}

// The device's security against the caller's token for read and write.
NTSTATUS AccessRefusal(DEVICE_OBJECT* device, const Token& token) {
  const DeviceRecord* record = K().io->FindDevice(device);
  if (!record || !record->security) return STATUS_SUCCESS;
  return AccessAllowed(*record->security, token, GENERIC_READ | GENERIC_WRITE) ? STATUS_SUCCESS : STATUS_ACCESS_DENIED;
}

}  // namespace

NTSTATUS Application::Open(const std::string& path, HANDLE* handle, ULONG_PTR* information) {
  *handle = nullptr;
  std::u16string name = Utf8ToUtf16(path);
  if (name.rfind(u"\\\\.\\", 0) == 0) name = u"\\??\\" + name.substr(4);
  std::u16string rest;
  DEVICE_OBJECT* device = K().names->Resolve(name, &rest);
  if (!device) return STATUS_OBJECT_NAME_NOT_FOUND;
  if (NTSTATUS refusal = OpenRefusal(device); !NT_SUCCESS(refusal)) return refusal;
  if (NTSTATUS refusal = AccessRefusal(device, *token_); !NT_SUCCESS(refusal)) return refusal;
  TokenScope acting_as(token_);
  FILE_OBJECT* file = K().io->CreateFileObject(device);
  IoRequest request;
  request.major = IRP_MJ_CREATE;
  request.initial_status = STATUS_SUCCESS;
  request.file = file;
  request.fill = [](IO_STACK_LOCATION* stack) { stack->Parameters.Create.Options = FILE_OPEN << 24; };
  IO_STATUS_BLOCK result = K().io->SendAndWait(device, request);
  if (information) *information = result.Information;
  if (!NT_SUCCESS(result.Status)) {
    K().io->DiscardFileObject(file);
    return result.Status;
  }
  *handle = K().handles->Insert(std::make_shared<DeviceFileObject>(file, path), nullptr, GENERIC_READ | GENERIC_WRITE);
  return STATUS_SUCCESS;
}

NTSTATUS Application::Start(FILE_OBJECT* file, PIRP irp) {
  IoGetNextIrpStackLocation(irp)->FileObject = file;
  irp->RequestorMode = UserMode;
  K().io->TrackFileRequest(irp, file);
  TokenScope acting_as(token_);
  return IofCallDriver(IoGetAttachedDevice(file->DeviceObject), irp);
}

NTSTATUS Application::EnablePrivilege(ULONG privilege) {
  if (!token_->privileges.contains(privilege)) return STATUS_NOT_ALL_ASSIGNED;
  auto token = std::make_shared<Token>(*token_);
  token->privileges[privilege] = true;
  token_ = std::move(token);
  return STATUS_SUCCESS;
}

NTSTATUS Application::DeviceIoControlAsync(HANDLE handle, ULONG code, const void* input, ULONG input_length,
                                           void* output, ULONG output_length, Overlapped* overlapped) {
  Prepare(overlapped);
  FILE_OBJECT* file = FileOf(handle);
  if (!file) return STATUS_INVALID_HANDLE;
  PIRP irp = IoBuildDeviceIoControlRequest(code, IoGetAttachedDevice(file->DeviceObject), const_cast<void*>(input),
                                           input_length, output, output_length, FALSE, &overlapped->done,
                                           &overlapped->status);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  return Start(file, irp);
}

NTSTATUS Application::StartTransfer(HANDLE handle, UCHAR major, void* buffer, ULONG length, Overlapped* overlapped) {
  Prepare(overlapped);
  FILE_OBJECT* file = FileOf(handle);
  if (!file) return STATUS_INVALID_HANDLE;
  PIRP irp = IoBuildSynchronousFsdRequest(major, IoGetAttachedDevice(file->DeviceObject), buffer, length,
                                          &file->CurrentByteOffset, &overlapped->done, &overlapped->status);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  return Start(file, irp);
}

NTSTATUS Application::ReadAsync(HANDLE handle, void* buffer, ULONG length, Overlapped* overlapped) {
  return StartTransfer(handle, IRP_MJ_READ, buffer, length, overlapped);
}

NTSTATUS Application::WriteAsync(HANDLE handle, const void* buffer, ULONG length, Overlapped* overlapped) {
  return StartTransfer(handle, IRP_MJ_WRITE, const_cast<void*>(buffer), length, overlapped);
}

IoResult Application::Result(Overlapped* overlapped, bool wait) {
  // The completion step (on this thread) fills the status, then signals.
  if (wait) KeWaitForSingleObject(&overlapped->done, Executive, UserMode, FALSE, nullptr);
  if (!KeReadStateEvent(&overlapped->done)) return {STATUS_PENDING, 0};
  return {overlapped->status.Status, overlapped->status.Information};
}

// A synchronous call: waits for a pending request; a request the drivers
// finished at once has its result already (its completion step ran on this
// thread), unless it never started.
IoResult Application::Finish(NTSTATUS started, Overlapped* overlapped) {
  if (started == STATUS_PENDING) return Result(overlapped, true);
  IoResult result = Result(overlapped, false);
  return result.status == STATUS_PENDING ? IoResult{started, 0} : result;
}

IoResult Application::DeviceIoControl(HANDLE handle, ULONG code, const void* input, ULONG input_length, void* output,
                                      ULONG output_length) {
  Overlapped overlapped;
  return Finish(DeviceIoControlAsync(handle, code, input, input_length, output, output_length, &overlapped),
                &overlapped);
}

// Moves a synchronous handle's position past what a transfer moved; a
// handle another thread closed meanwhile has no position left to move.
IoResult Application::Advance(HANDLE handle, IoResult result) {
  FILE_OBJECT* file = FileOf(handle);
  if (file && NT_SUCCESS(result.status)) file->CurrentByteOffset.QuadPart += static_cast<LONGLONG>(result.information);
  return result;
}

IoResult Application::Read(HANDLE handle, void* buffer, ULONG length) {
  Overlapped overlapped;
  return Advance(handle, Finish(ReadAsync(handle, buffer, length, &overlapped), &overlapped));
}

IoResult Application::Write(HANDLE handle, const void* buffer, ULONG length) {
  Overlapped overlapped;
  return Advance(handle, Finish(WriteAsync(handle, buffer, length, &overlapped), &overlapped));
}

NTSTATUS Application::CancelIo(HANDLE handle) {
  FILE_OBJECT* file = FileOf(handle);
  if (!file) return STATUS_INVALID_HANDLE;
  K().io->CancelThreadIrps(file);
  return STATUS_SUCCESS;
}

NTSTATUS Application::Close(HANDLE handle) {
  FILE_OBJECT* file = FileOf(handle);
  if (!file) return STATUS_INVALID_HANDLE;
  K().handles->Close(handle);
  // The I/O manager ignores what cleanup returns.
  IoRequest request;
  request.major = IRP_MJ_CLEANUP;
  request.initial_status = STATUS_SUCCESS;
  request.file = file;
  K().io->SendAndWait(file->DeviceObject, request);
  K().io->DereferenceFile(file);
  return STATUS_SUCCESS;
}

}  // namespace sim
