#include "sim/kernel/application.h"

#include "sim/kernel/io_manager.h"
#include "sim/kernel/kernel_internal.h"
#include "sim/kernel/object_namespace.h"
#include "sim/kernel/pool.h"

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


}  // namespace

NTSTATUS Application::Open(const std::string& path, HANDLE* handle, ULONG_PTR* information) {
  *handle = nullptr;
  std::u16string name = Utf8ToUtf16(path);
  if (name.rfind(u"\\\\.\\", 0) == 0) name = u"\\??\\" + name.substr(4);
  std::u16string rest;
  DEVICE_OBJECT* device = K().names->Resolve(name, &rest);
  if (!device) return STATUS_OBJECT_NAME_NOT_FOUND;
  if (!K().io->IsLiveDevice(device) || (device->DeviceObjectExtension->ExtensionFlags & DOE_DELETE_PENDING))
    return STATUS_DELETE_PENDING;
  FILE_OBJECT* file = K().io->CreateFileObject(device);
  IoRequest request;
  request.major = IRP_MJ_CREATE;
  request.initial_status = STATUS_SUCCESS;
  request.file = file;
  request.fill = [](IO_STACK_LOCATION* stack) { stack->Parameters.Create.Options = FILE_OPEN << 24; };
  device->ReferenceCount++;
  IO_STATUS_BLOCK result = K().io->SendAndWait(device, request);
  if (information) *information = result.Information;
  if (!NT_SUCCESS(result.Status)) {
    device->ReferenceCount--;
    K().io->FreeFileObject(file);
    if (DeviceRecord* record = K().io->FindDevice(device)) K().io->DereferenceDevice(record);
    return result.Status;
  }
  *handle = K().handles->Insert(std::make_shared<DeviceFileObject>(file, path), nullptr, GENERIC_READ | GENERIC_WRITE);
  return STATUS_SUCCESS;
}

IoResult Application::DeviceIoControl(HANDLE handle, ULONG code, const void* input, ULONG input_length, void* output,
                                      ULONG output_length) {
  auto object = K().handles->Lookup<DeviceFileObject>(handle);
  if (!object) return {STATUS_INVALID_HANDLE, 0};
  FILE_OBJECT* file = object->file();
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK status{};
  PIRP irp = IoBuildDeviceIoControlRequest(code, IoGetAttachedDevice(file->DeviceObject), const_cast<void*>(input),
                                           input_length, output, output_length, FALSE, &done, &status);
  if (!irp) return {STATUS_INSUFFICIENT_RESOURCES, 0};
  IoGetNextIrpStackLocation(irp)->FileObject = file;
  irp->Tail.Overlay.OriginalFileObject = file;
  irp->RequestorMode = UserMode;
  if (IofCallDriver(IoGetAttachedDevice(file->DeviceObject), irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, UserMode, FALSE, nullptr);
  return {status.Status, status.Information};
}

IoResult Application::Transfer(HANDLE handle, UCHAR major, void* buffer, ULONG length) {
  auto object = K().handles->Lookup<DeviceFileObject>(handle);
  if (!object) return {STATUS_INVALID_HANDLE, 0};
  FILE_OBJECT* file = object->file();
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK status{};
  DEVICE_OBJECT* top = IoGetAttachedDevice(file->DeviceObject);
  PIRP irp = IoBuildSynchronousFsdRequest(major, top, buffer, length, &file->CurrentByteOffset, &done, &status);
  if (!irp) return {STATUS_INSUFFICIENT_RESOURCES, 0};
  IoGetNextIrpStackLocation(irp)->FileObject = file;
  irp->RequestorMode = UserMode;
  if (IofCallDriver(top, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, UserMode, FALSE, nullptr);
  if (NT_SUCCESS(status.Status)) file->CurrentByteOffset.QuadPart += static_cast<LONGLONG>(status.Information);
  return {status.Status, status.Information};
}

IoResult Application::Read(HANDLE handle, void* buffer, ULONG length) {
  return Transfer(handle, IRP_MJ_READ, buffer, length);
}

IoResult Application::Write(HANDLE handle, const void* buffer, ULONG length) {
  return Transfer(handle, IRP_MJ_WRITE, const_cast<void*>(buffer), length);
}

NTSTATUS Application::Close(HANDLE handle) {
  auto object = K().handles->Lookup<DeviceFileObject>(handle);
  if (!object) return STATUS_INVALID_HANDLE;
  FILE_OBJECT* file = object->file();
  DEVICE_OBJECT* device = file->DeviceObject;
  K().handles->Close(handle);
  // The I/O manager ignores what cleanup and close return.
  for (UCHAR major : {static_cast<UCHAR>(IRP_MJ_CLEANUP), static_cast<UCHAR>(IRP_MJ_CLOSE)}) {
    IoRequest request;
    request.major = major;
    request.initial_status = STATUS_SUCCESS;
    request.file = file;
    K().io->SendAndWait(device, request);
  }
  device->ReferenceCount--;
  K().io->FreeFileObject(file);
  if (DeviceRecord* record = K().io->FindDevice(device)) K().io->DereferenceDevice(record);
  return STATUS_SUCCESS;
}

}  // namespace sim
