// File objects of application handles. The handle holds one reference and
// every request in flight on the file another; when the last one goes, the
// I/O manager sends IRP_MJ_CLOSE and frees the file object. A request that
// ends the file's life in its completion step (at APC_LEVEL) leaves the
// close to a system worker thread, as Windows defers the deletion there.
#include "sim/kernel/io_manager.h"
#include "sim/kernel/kernel_internal.h"
#include "sim/kernel/pnp/pnp_manager.h"
#include "sim/kernel/scheduler.h"
#include "sim/kernel/work_queue.h"

namespace sim {

FILE_OBJECT* IoManager::CreateFileObject(DEVICE_OBJECT* device) {
  auto* file = new FILE_OBJECT{};
  file->Type = IO_TYPE_FILE;
  file->Size = sizeof(FILE_OBJECT);
  file->DeviceObject = device;
  files_[file] = FileRecord{};
  device->ReferenceCount++;
  return file;
}

void IoManager::ReferenceFile(FILE_OBJECT* file) { files_.at(file).references++; }

void IoManager::DereferenceFile(FILE_OBJECT* file) {
  FileRecord& record = files_.at(file);
  if (--record.references > 0) return;
  if (K().scheduler->Irql() > PASSIVE_LEVEL) {
    K().work->Queue([this, file] { ReleaseFile(file); });
    return;
  }
  ReleaseFile(file);
}

void IoManager::TrackFileRequest(IRP* irp, FILE_OBJECT* file) {
  irp->Tail.Overlay.OriginalFileObject = file;
  FindIrp(irp)->file = file;
  ReferenceFile(file);
}

// Windows ignores what the close returns, but every driver whose device can
// be opened and removed must handle it: a refusal is a finding.
void IoManager::ReleaseFile(FILE_OBJECT* file) {
  DEVICE_OBJECT* device = file->DeviceObject;
  const DriverRecord* top = FindDevice(IoGetAttachedDevice(device))->driver;
  IoRequest request;
  request.major = IRP_MJ_CLOSE;
  request.initial_status = STATUS_SUCCESS;
  request.file = file;
  IO_STATUS_BLOCK result = SendAndWait(device, request);
  if (!NT_SUCCESS(result.Status)) {
    K().verifier->Report("close-refused", top ? top->name : "?",
                         "IRP_MJ_CLOSE for " + DescribeDevice(device) + " failed with " +
                             Hex(static_cast<ULONG>(result.Status)) + "; a driver that can be opened must handle it");
  }
  DiscardFileObject(file);
}

void IoManager::DiscardFileObject(FILE_OBJECT* file) {
  DEVICE_OBJECT* device = file->DeviceObject;
  files_.erase(file);
  delete file;
  device->ReferenceCount--;
  if (DeviceNode* node = K().pnp->StackNode(device)) K().pnp->HandleClosed(node);
  if (DeviceRecord* record = FindDevice(device)) DereferenceDevice(record);
}

size_t IoManager::OpenFilesOn(const DeviceNode* node) const {
  size_t count = 0;
  for (const auto& [file, record] : files_)
    if (K().pnp->StackNode(static_cast<FILE_OBJECT*>(file)->DeviceObject) == node) ++count;
  return count;
}

}  // namespace sim
