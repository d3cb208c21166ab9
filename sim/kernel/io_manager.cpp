#include "sim/kernel/io_manager.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "sim/kernel/fault_plan.h"
#include "sim/kernel/image_loader.h"
#include "sim/kernel/interrupts.h"
#include "sim/kernel/irp_names.h"
#include "sim/kernel/irql_rules.h"
#include "sim/kernel/kernel_internal.h"
#include "sim/kernel/object_namespace.h"
#include "sim/kernel/pool.h"
#include "sim/kernel/scheduler.h"
#include "sim/kernel/sim_thread.h"
#include "sim/kernel/work_queue.h"

namespace sim {

namespace {

DRIVER_DISPATCH InvalidDeviceRequest;
NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

void SetUnicode(UNICODE_STRING* target, std::u16string& storage) {
  target->Buffer = reinterpret_cast<PWSTR>(storage.data());
  target->Length = static_cast<USHORT>(storage.size() * sizeof(WCHAR));
  target->MaximumLength = target->Length;
}

struct DeviceMemory {
  DEVICE_OBJECT device;
  DEVOBJ_EXTENSION extension;
};

}  // namespace

IoManager::IoManager() = default;
IoManager::~IoManager() {
  for (auto& [device, record] : devices_) ::operator delete(static_cast<void*>(record->device));
  for (auto& [file, record] : files_) delete static_cast<FILE_OBJECT*>(file);
  for (auto& [irp, record] : irps_) std::free(const_cast<IRP*>(irp));
}

DriverRecord* IoManager::CreateBuiltinDriver(const std::string& name) {
  auto driver = std::make_unique<DriverRecord>();
  driver->name = name;
  driver->driver_name = u"\\Driver\\" + Utf8ToUtf16(name);
  driver->service_key = Utf8ToUtf16(name);
  driver->registry_path = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\" + Utf8ToUtf16(name);
  DRIVER_OBJECT& object = driver->object;
  object.Type = IO_TYPE_DRIVER;
  object.Size = sizeof(DRIVER_OBJECT);
  object.DriverExtension = &driver->extension;
  driver->extension.DriverObject = &object;
  SetUnicode(&driver->extension.ServiceKeyName, driver->service_key);
  SetUnicode(&object.DriverName, driver->driver_name);
  for (auto& dispatch : object.MajorFunction) dispatch = InvalidDeviceRequest;
  drivers_.push_back(std::move(driver));
  return drivers_.back().get();
}

DriverRecord* IoManager::LoadDriver(const std::string& service, NTSTATUS* status, std::string* error) {
  CheckIrql("LoadDriver", PASSIVE_LEVEL);
  DriverImage* image = K().images->Load(service, error);
  if (!image) {
    // An installed driver whose image cannot be loaded leaves its devices
    // without a driver: loud, since it is always a fault of the build.
    K().verifier->Report("image-load", service, *error);
    *status = STATUS_OBJECT_NAME_NOT_FOUND;
    return nullptr;
  }
  DriverRecord* driver = CreateBuiltinDriver(service);
  driver->image = image;
  driver->object.DriverStart = const_cast<void*>(image->base);
  driver->object.DriverInit = image->entry;
  UNICODE_STRING registry_path;
  SetUnicode(&registry_path, driver->registry_path);
  *status = image->entry(&driver->object, &registry_path);
  if (!NT_SUCCESS(*status)) {
    *error = "DriverEntry of " + service + " failed with " + Hex(static_cast<ULONG>(*status));
    // A driver whose entry fails is unloaded without its unload routine.
    driver->object.DriverUnload = nullptr;
    UnloadDriver(driver);
    return nullptr;
  }
  // The I/O manager clears the flag on the devices DriverEntry created.
  for (DEVICE_OBJECT* device = driver->object.DeviceObject; device; device = device->NextDevice)
    device->Flags &= ~DO_DEVICE_INITIALIZING;
  return driver;
}

void IoManager::UnloadDriver(DriverRecord* driver) {
  // A driver that made devices in DriverEntry deletes them in its unload routine.
  if (driver->object.DriverUnload) driver->object.DriverUnload(&driver->object);
  if (driver->object.DeviceObject) {
    ReportCaller(driver->image, "unload-with-devices",
                 "driver unloaded while it still owns device " + DescribeDevice(driver->object.DeviceObject));
  }
  if (DriverImage* image = driver->image) {
    const std::string when = "when " + image->name + " unloaded";
    K().pool->ReportLeaks(image, when);
    for (const auto& [handle, entry] : K().handles->OpenBy(image)) {
      ReportCaller(image, "handle-leak", entry.object->TypeName() + " handle " + Hex(reinterpret_cast<ULONG_PTR>(handle)) +
                                             " (" + entry.object->Describe() + ") still open " + when);
      K().handles->Close(handle);
    }
    K().work->ReportLeaks(image, when);
    if (size_t left = K().interrupts->DisconnectAllOf(image))
      ReportCaller(image, "interrupt-left-connected", std::to_string(left) + " interrupt(s) still connected " + when);
    if (size_t left = K().scheduler->CancelTimersAndDpcsOf(image))
      ReportCaller(image, "timer-left-set", std::to_string(left) + " timer(s) or DPC(s) still pending " + when);
    // Writes through stale pointers show once the image's timers and DPCs are gone.
    K().pool->ReleaseFreedBlocks();
    bool threads_running = false;
    for (const auto& thread : K().scheduler->threads()) {
      if (thread->owner == image && thread->state != SimThread::State::Terminated) {
        ReportCaller(image, "thread-left-running", "system thread \"" + thread->name + "\" still running " + when);
        threads_running = true;
      }
    }
    // Code another context still runs in: a request the driver's remove did
    // not wait for, or a DPC or service routine on another processor.
    bool code_running = std::any_of(dispatch_frames_.begin(), dispatch_frames_.end(),
                                    [driver](const DispatchFrame* frame) { return frame->driver == driver; });
    if (code_running || K().scheduler->RunsCodeOf(image)) {
      ReportCaller(image, "unload-while-running",
                   "a dispatch, DPC or interrupt service routine of " + image->name + " still runs " + when);
      code_running = true;
    }
    // Running code needs its image: it then stays mapped until the machine's
    // contexts are stopped at shutdown.
    if (!threads_running && !code_running) K().images->Unload(image);
  }
  // Device records of the driver's deleted-but-referenced devices keep the
  // driver object alive; it is small, so the record stays until shutdown.
  driver->image = nullptr;
  driver->object.DriverUnload = nullptr;
  for (auto& dispatch : driver->object.MajorFunction) dispatch = InvalidDeviceRequest;
  driver->extension.AddDevice = nullptr;
}

DriverRecord* IoManager::FindDriver(const std::string& service) const {
  for (const auto& driver : drivers_)
    if (driver->name == service && (driver->image || !driver->object.DriverInit)) return driver.get();
  return nullptr;
}

DriverRecord* IoManager::DriverOf(const DRIVER_OBJECT* object) const {
  for (const auto& driver : drivers_)
    if (&driver->object == object) return driver.get();
  return nullptr;
}

DeviceRecord* IoManager::FindDevice(const DEVICE_OBJECT* device) const {
  auto it = devices_.find(device);
  return it == devices_.end() ? nullptr : it->second.get();
}

bool IoManager::IsLiveDevice(const DEVICE_OBJECT* device) const {
  const DeviceRecord* record = FindDevice(device);
  return record && !record->deleted;
}

std::string IoManager::DescribeDevice(const DEVICE_OBJECT* device) const {
  const DeviceRecord* record = FindDevice(device);
  if (!record) return Hex(reinterpret_cast<ULONG_PTR>(device));
  std::string text = record->name.empty() ? Hex(reinterpret_cast<ULONG_PTR>(device)) : Utf16ToUtf8(record->name);
  return text + " of " + (record->driver ? record->driver->name : "?");
}

std::string IoManager::DriverNameOf(const DEVICE_OBJECT* device) const {
  const DeviceRecord* record = FindDevice(device);
  return record && record->driver ? record->driver->name : "?";
}

std::string IoManager::DescribeIrp(const IRP* irp) const {
  // The originator's major function is in the first location used.
  const auto* first = reinterpret_cast<const IO_STACK_LOCATION*>(irp + 1) + (irp->StackCount - 1);
  return "IRP " + Hex(reinterpret_cast<ULONG_PTR>(irp)) + " (" + MajorFunctionName(first->MajorFunction) + ")";
}

NTSTATUS IoManager::CreateDevice(DriverRecord* driver, ULONG extension_size, const UNICODE_STRING* name,
                                 DEVICE_TYPE type, ULONG characteristics, BOOLEAN exclusive,
                                 DEVICE_OBJECT** device, const DriverImage* caller) {
  *device = nullptr;
  if (!CheckIrql("IoCreateDevice", PASSIVE_LEVEL)) return STATUS_INVALID_DEVICE_STATE;
  if (!driver) {
    ReportCaller(caller, "bad-parameter", "IoCreateDevice with an unknown driver object");
    return STATUS_INVALID_PARAMETER;
  }
  std::u16string device_name = std::u16string(View(name));
  if (characteristics & FILE_AUTOGENERATED_DEVICE_NAME) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "\\Device\\%08x", ++autogenerated_names_);
    device_name = Utf8ToUtf16(buffer);
  }
  if (!device_name.empty() && K().names->Exists(device_name)) return STATUS_OBJECT_NAME_COLLISION;
  if (K().faults->ShouldFail(FaultKind::DeviceCreation, caller)) return STATUS_INSUFFICIENT_RESOURCES;

  const size_t header = (sizeof(DeviceMemory) + 15) & ~static_cast<size_t>(15);
  void* memory = ::operator new(header + extension_size);
  std::memset(memory, 0, header + extension_size);
  auto* block = static_cast<DeviceMemory*>(memory);
  DEVICE_OBJECT* object = &block->device;
  object->Type = IO_TYPE_DEVICE;
  object->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + extension_size);
  object->DriverObject = &driver->object;
  object->Flags = DO_DEVICE_INITIALIZING | (exclusive ? DO_EXCLUSIVE : 0) | (device_name.empty() ? 0 : DO_DEVICE_HAS_NAME);
  object->Characteristics = characteristics & ~FILE_AUTOGENERATED_DEVICE_NAME;
  object->DeviceExtension = extension_size ? static_cast<char*>(memory) + header : nullptr;
  object->DeviceType = type;
  object->StackSize = 1;
  object->DeviceObjectExtension = &block->extension;
  block->extension.Type = 13;
  block->extension.Size = sizeof(DEVOBJ_EXTENSION);
  block->extension.DeviceObject = object;
  // New devices go to the head of the driver's list, as on Windows.
  object->NextDevice = driver->object.DeviceObject;
  driver->object.DeviceObject = object;

  auto record = std::make_unique<DeviceRecord>();
  record->device = object;
  record->driver = driver;
  record->name = device_name;
  if (!device_name.empty()) K().names->InsertDevice(device_name, object);
  devices_[object] = std::move(record);
  *device = object;
  return STATUS_SUCCESS;
}

void IoManager::DeleteDevice(DEVICE_OBJECT* device, const DriverImage* caller) {
  CheckIrql("IoDeleteDevice", PASSIVE_LEVEL);
  DeviceRecord* record = FindDevice(device);
  if (!record || record->deleted) {
    ReportCaller(caller, "device-bad-delete",
                 "IoDeleteDevice of " + Hex(reinterpret_cast<ULONG_PTR>(device)) + ", which is not a live device object");
    return;
  }
  // A device attached above may still detach afterwards (a bus driver
  // deletes its PDO in the remove request before the function driver
  // detaches); the reference the Plug and Play manager holds keeps the
  // memory until then. Deleting a device still attached below is the bug.
  if (device->DeviceObjectExtension->AttachedTo) {
    ReportCaller(caller, "device-deleted-while-attached",
                 DescribeDevice(device) + " deleted while still attached to " +
                     DescribeDevice(device->DeviceObjectExtension->AttachedTo));
  }
  if (record->wmi_registered) {
    ReportCaller(caller, "wmi-registered-at-delete", DescribeDevice(device) + " deleted while registered with WMI");
    record->wmi_registered = false;
  }
  if (!record->name.empty()) K().names->RemoveDevice(record->name);
  // Unlink from the driver's list of devices.
  DEVICE_OBJECT** link = &record->driver->object.DeviceObject;
  while (*link && *link != device) link = &(*link)->NextDevice;
  if (*link) *link = device->NextDevice;
  device->DeviceObjectExtension->ExtensionFlags |= DOE_DELETE_PENDING;
  record->deleted = true;
  DereferenceDevice(record);
}

// A deleted device's memory stays while it is referenced or while a device
// is still attached above it: a filter detaches from the device below after
// passing the removal down, as Windows lets it.
void IoManager::DereferenceDevice(DeviceRecord* record) {
  const DeviceRecord* above = record->device->AttachedDevice ? FindDevice(record->device->AttachedDevice) : nullptr;
  if (record->deleted && record->references == 0 && record->device->ReferenceCount == 0 &&
      (!above || above->deleted))
    FreeDeviceMemory(record);
}

void IoManager::FreeDeviceMemory(DeviceRecord* record) {
  DEVICE_OBJECT* device = record->device;
  devices_.erase(device);
  ::operator delete(static_cast<void*>(device));
}

IRP* IoManager::AllocateIrp(CCHAR stack_size, const DriverImage* owner) {
  if (!CheckIrql("IoAllocateIrp", DISPATCH_LEVEL)) return nullptr;
  if (stack_size <= 0 || K().faults->ShouldFail(FaultKind::Irp, owner)) return nullptr;
  USHORT size = IoSizeOfIrp(stack_size);
  auto* irp = static_cast<IRP*>(std::calloc(1, size));
  irp->Type = IO_TYPE_IRP;
  irp->Size = size;
  irp->StackCount = stack_size;
  irp->CurrentLocation = static_cast<CHAR>(stack_size + 1);
  irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<IO_STACK_LOCATION*>(irp + 1) + stack_size;
  InitializeListHead(&irp->ThreadListEntry);
  IrpRecord record;
  record.owner = owner;
  irps_[irp] = record;
  return irp;
}

IrpRecord* IoManager::FindIrp(const IRP* irp) {
  auto it = irps_.find(irp);
  return it == irps_.end() ? nullptr : &it->second;
}

void IoManager::FreeIrp(IRP* irp, const DriverImage* caller) {
  IrpRecord* record = FindIrp(irp);
  if (!record) {
    ReportCaller(caller, "irp-bad-free", "IoFreeIrp of " + Hex(reinterpret_cast<ULONG_PTR>(irp)) + ", which is not an IRP");
    return;
  }
  if (record->threaded) {
    // Such an IRP belongs to its thread: the I/O manager frees it at completion.
    ReportCaller(caller, "irp-threaded-freed",
                 "IoFreeIrp of " + DescribeIrp(irp) +
                     ", which IoBuildDeviceIoControlRequest or IoBuildSynchronousFsdRequest built for its thread");
    if (record->completed) return;  // its completion step still frees it
  }
  if (irp->CurrentLocation <= irp->StackCount && !record->in_completion && !record->halted) {
    ReportCaller(caller, "irp-freed-in-flight", "IoFreeIrp of an IRP that a driver below still owns");
  }
  irps_.erase(irp);
  std::free(irp);
}

NTSTATUS IoManager::CallDriver(DEVICE_OBJECT* device, IRP* irp, const DriverImage* caller) {
  CheckIrql("IoCallDriver", DISPATCH_LEVEL);
  IrpRecord* record = FindIrp(irp);
  if (!record) {
    ReportCaller(caller, "irp-unknown", "IoCallDriver with " + Hex(reinterpret_cast<ULONG_PTR>(irp)) + ", which is not an IRP");
    return STATUS_INVALID_PARAMETER;
  }
  DeviceRecord* target = FindDevice(device);
  if (!target) {
    ReportCaller(caller, "device-unknown", "IoCallDriver to " + Hex(reinterpret_cast<ULONG_PTR>(device)) + ", which is not a device object");
    return STATUS_INVALID_PARAMETER;
  }
  if (target->deleted) {
    ReportCaller(caller, "irp-to-deleted-device",
                 "IoCallDriver of " + DescribeIrp(irp) + " to " + DescribeDevice(device) + ", which was deleted");
  }
  if (irp->CurrentLocation <= 1) {
    ReportCaller(caller, "irp-no-stack-location",
                 "IoCallDriver to " + DescribeDevice(device) + " with no stack location left");
    KeBugCheckEx(0x35 /* NO_MORE_IRP_STACK_LOCATIONS */, reinterpret_cast<ULONG_PTR>(irp), 0, 0, 0);
  }
  record->in_completion = false;
  record->halted = false;
  record->completed = false;
  irp->CurrentLocation--;
  IO_STACK_LOCATION* stack = --irp->Tail.Overlay.CurrentStackLocation;
  stack->DeviceObject = device;
  PDRIVER_DISPATCH dispatch = device->DriverObject->MajorFunction[stack->MajorFunction];
  DispatchFrame frame;
  frame.driver = target->driver;
  frame.irp = irp;
  frame.location = static_cast<size_t>(stack - reinterpret_cast<IO_STACK_LOCATION*>(irp + 1));
  frame.irql = K().scheduler->Irql();
  // The device's memory stays while one of its dispatch routines runs, also
  // when another context deletes it meanwhile (a remove that did not wait
  // for its requests): the late accesses then show as findings, not as
  // crashes of the simulator. The frame and the reference go also when the
  // context is unwound at shutdown.
  struct FrameGuard {
    IoManager* io;
    DispatchFrame* frame;
    DeviceRecord* target;
    ~FrameGuard() {
      io->dispatch_frames_.erase(std::find(io->dispatch_frames_.begin(), io->dispatch_frames_.end(), frame));
      --target->references;
      io->DereferenceDevice(target);  // may free the device and its record
    }
  };
  if (call_observer_) call_observer_(device, irp, stack, caller);
  DriverRecord* owner = target->driver;
  dispatch_frames_.push_back(&frame);
  ++target->references;
  NTSTATUS status;
  {
    FrameGuard guard{this, &frame, target};
    status = dispatch(device, irp);
  }
  // The driver record outlives a device its dispatch routine deleted.
  CheckDispatchReturn(frame, device, owner, status);
  return status;
}

// What a dispatch routine returns must agree with what it did to the IRP.
// Until completion passes its location the IRP is still in flight, so its
// stack location can be read; afterwards the frame holds what completion saw.
void IoManager::CheckDispatchReturn(const DispatchFrame& frame, DEVICE_OBJECT* device, const DriverRecord* owner,
                                    NTSTATUS status) {
  IRP* irp = const_cast<IRP*>(frame.irp);
  auto report = [&](const char* rule, const std::string& what) {
    K().verifier->Report(rule, owner ? owner->name : "?", "the dispatch routine of " + DescribeDevice(device) + what);
  };
  SimThread* self = K().scheduler->Current();
  if (self->irql != frame.irql) {
    report("irql", " returned at IRQL " + std::to_string(self->irql) + "; it was called at IRQL " +
                       std::to_string(frame.irql));
    K().scheduler->SetIrql(frame.irql);
  }
  IrpRecord* record = frame.completed ? nullptr : FindIrp(irp);
  auto* location = record ? reinterpret_cast<IO_STACK_LOCATION*>(irp + 1) + frame.location : nullptr;
  if (status == STATUS_PENDING) {
    if (frame.completed) {
      if (!frame.marked) report("irp-pending-not-marked", " returned STATUS_PENDING but never marked the IRP pending");
    } else if (record && !record->completed && !record->in_completion) {
      // Checked when completion passes the location.
      record->returned_pending.resize(static_cast<size_t>(irp->StackCount));
      record->returned_pending[frame.location] = true;
    }
    return;
  }
  const bool marked = frame.completed ? frame.marked : location && (location->Control & SL_PENDING_RETURNED);
  if (marked) {
    report("irp-pending-not-returned",
           " marked the IRP pending but returned " + Hex(static_cast<ULONG>(status)) + " instead of STATUS_PENDING");
  } else if (frame.completed && status != frame.status) {
    report("irp-status-mismatch", " returned " + Hex(static_cast<ULONG>(status)) + " for an IRP completed with " +
                                      Hex(static_cast<ULONG>(frame.status)));
  }
}

void IoManager::NoteCompletionAt(IRP* irp, IO_STACK_LOCATION* stack) {
  const size_t location = static_cast<size_t>(stack - reinterpret_cast<IO_STACK_LOCATION*>(irp + 1));
  for (DispatchFrame* frame : dispatch_frames_) {
    if (frame->irp != irp || frame->location != location || frame->completed) continue;
    frame->completed = true;
    frame->marked = (stack->Control & SL_PENDING_RETURNED) != 0;
    frame->status = irp->IoStatus.Status;
  }
}

void IoManager::CompleteRequest(IRP* irp, const DriverImage* caller) {
  CheckIrql("IoCompleteRequest", DISPATCH_LEVEL);
  IrpRecord* record = FindIrp(irp);
  if (!record) {
    ReportCaller(caller, "irp-unknown", "IoCompleteRequest of " + Hex(reinterpret_cast<ULONG_PTR>(irp)) + ", which is not an IRP");
    return;
  }
  // A halted IRP may be completed again only by a driver that has a stack
  // location in it, not at its originator's own location.
  const bool at_originator = record->halted && !IoGetCurrentIrpStackLocation(irp)->DeviceObject;
  // A completion routine's driver completing the IRP again from inside
  // its routine (a power policy owner whose device request finished at
  // once): the routine must stop the outer completion.
  const bool inside_routine = record->in_completion && record->routine_location != 0 &&
                              irp->CurrentLocation == record->routine_location &&
                              irp->CurrentLocation <= irp->StackCount && !record->completed;
  if (inside_routine) {
    record->completed_inside = record->routine_location;
  } else if (record->in_completion || record->completed || irp->CurrentLocation > irp->StackCount || at_originator) {
    ReportCaller(caller, "irp-completed-twice", "IoCompleteRequest of an IRP that was already completed");
    return;
  }
  if (irp->IoStatus.Status == STATUS_PENDING) {
    ReportCaller(caller, "irp-completed-pending", "IoCompleteRequest with STATUS_PENDING as the final status");
  }
  if (irp->CancelRoutine) {
    // Windows stops with CANCEL_STATE_IN_COMPLETED_IRP.
    ReportCaller(caller, "irp-completed-with-cancel-routine",
                 "IoCompleteRequest of " + DescribeIrp(irp) + " with its cancel routine still set");
    irp->CancelRoutine = nullptr;
  }
  record->in_completion = true;
  record->halted = false;
  IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
  IoSkipCurrentIrpStackLocation(irp);
  for (;;) {
    irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
    NoteCompletionAt(irp, stack);
    CheckPendingMarked(irp, stack);
    bool success = NT_SUCCESS(irp->IoStatus.Status);
    bool invoke = stack->CompletionRoutine &&
                  ((success && (stack->Control & SL_INVOKE_ON_SUCCESS)) ||
                   (!success && (stack->Control & SL_INVOKE_ON_ERROR)) ||
                   (irp->Cancel && (stack->Control & SL_INVOKE_ON_CANCEL)));
    PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
    PVOID context = stack->Context;
    stack->MinorFunction = 0;
    stack->Flags = 0;
    stack->Control = 0;
    stack->CompletionRoutine = nullptr;
    stack->Context = nullptr;
    stack->FileObject = nullptr;
    if (invoke) {
      DEVICE_OBJECT* device = irp->CurrentLocation == irp->StackCount + 1
                                  ? nullptr
                                  : IoGetCurrentIrpStackLocation(irp)->DeviceObject;
      const CCHAR outer_routine = record->routine_location;
      const CCHAR location = irp->CurrentLocation;
      record->routine_location = location;
      NTSTATUS status = routine(device, irp, context);
      // Freed, or completed again by this routine's driver: completion went
      // on inside, so this walk ends here.
      IrpRecord* after = FindIrp(irp);
      if (after) after->routine_location = outer_routine;
      if (!after || after->completed_inside == location) {
        if (after) after->completed_inside = 0;
        if (status != STATUS_MORE_PROCESSING_REQUIRED) {
          ReportCaller(caller, "irp-completed-twice",
                       "a completion routine completed its IRP again and then let completion go on");
        }
        return;
      }
      record = after;
      if (status == STATUS_MORE_PROCESSING_REQUIRED) {
        // The routine's driver owns the IRP again: to free it, send it again
        // or complete it once more from its own stack location.
        if (IrpRecord* still = FindIrp(irp)) {
          still->in_completion = false;
          still->halted = true;
        }
        return;
      }
    } else if (irp->CurrentLocation <= irp->StackCount && irp->PendingReturned) {
      IoMarkIrpPending(irp);
    }
    IoSkipCurrentIrpStackLocation(irp);
    ++stack;
    if (irp->CurrentLocation > irp->StackCount + 1) break;
  }
  record = FindIrp(irp);
  record->in_completion = false;
  record->completed = true;
  if (record->threaded) {
    FinishThreadedIrp(irp);
  } else {
    ReportCaller(record->owner, "irp-completed-to-top",
                 "an IRP from IoAllocateIrp was completed past its last completion routine; its allocator must "
                 "stop completion with STATUS_MORE_PROCESSING_REQUIRED and free it");
  }
}

void IoManager::CheckPendingMarked(IRP* irp, IO_STACK_LOCATION* stack) {
  IrpRecord* record = FindIrp(irp);
  const size_t location = static_cast<size_t>(stack - reinterpret_cast<IO_STACK_LOCATION*>(irp + 1));
  if (!record || location >= record->returned_pending.size() || !record->returned_pending[location]) return;
  record->returned_pending[location] = false;
  if (!(stack->Control & SL_PENDING_RETURNED)) {
    K().verifier->Report("irp-pending-not-marked", DriverNameOf(stack->DeviceObject),
                         "the dispatch routine of " + DescribeDevice(stack->DeviceObject) +
                             " returned STATUS_PENDING but never marked the IRP pending");
  }
}

// The last step of a threaded IRP's completion runs on its thread, as a
// special kernel APC: a thread that waits for it at APC_LEVEL or above never
// sees it (the deadlock report names the IRP).
void IoManager::FinishThreadedIrp(IRP* irp) {
  SimThread* thread = FindIrp(irp)->thread;
  if (!thread || thread->state == SimThread::State::Terminated) {
    FinishThreadedIrpNow(irp);
    return;
  }
  K().scheduler->QueueSpecialApc(thread, [this, irp] { FinishThreadedIrpNow(irp); },
                                 "the completion of " + DescribeIrp(irp));
}

void IoManager::FinishThreadedIrpNow(IRP* irp) {
  const IO_STATUS_BLOCK status = irp->IoStatus;
  if (irp->Flags & IRP_BUFFERED_IO) {
    if ((irp->Flags & IRP_INPUT_OPERATION) && !NT_ERROR(status.Status) && irp->UserBuffer &&
        irp->AssociatedIrp.SystemBuffer && status.Information) {
      // Windows copies Information bytes; a driver claiming more than the
      // caller's buffer holds would overrun it, so the model stops there.
      ULONG_PTR count = status.Information;
      const ULONG room = FindIrp(irp)->user_buffer_length;
      if (count > room) {
        K().verifier->Report("irp-information-overrun", "kernel",
                             "a buffered request completed with Information " + std::to_string(count) +
                                 " for a buffer of " + std::to_string(room) + " bytes");
        count = room;
      }
      RtlCopyMemory(irp->UserBuffer, irp->AssociatedIrp.SystemBuffer, count);
    }
    if (irp->Flags & IRP_DEALLOCATE_BUFFER) K().pool->Free(irp->AssociatedIrp.SystemBuffer, 0, false, nullptr);
  }
  if (irp->UserIosb) *irp->UserIosb = status;
  PKEVENT event = irp->UserEvent;
  FILE_OBJECT* file = FindIrp(irp)->file;
  irps_.erase(irp);
  std::free(irp);
  if (event) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
  if (file) DereferenceFile(file);
}

IO_STATUS_BLOCK IoManager::SendAndWait(DEVICE_OBJECT* device, const IoRequest& request) {
  DEVICE_OBJECT* top = IoGetAttachedDeviceReference(device);
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK result{};
  IRP* irp = AllocateIrp(top->StackSize, nullptr);
  if (!irp) {
    ObfDereferenceObject(top);
    result.Status = STATUS_INSUFFICIENT_RESOURCES;
    return result;
  }
  IrpRecord* record = FindIrp(irp);
  record->threaded = true;
  record->thread = K().scheduler->Current();
  irp->UserEvent = &done;
  irp->UserIosb = &result;
  irp->IoStatus.Status = request.initial_status;
  irp->IoStatus.Information = request.initial_information;
  irp->Tail.Overlay.Thread = reinterpret_cast<PETHREAD>(&K().scheduler->Current()->object);
  irp->Tail.Overlay.OriginalFileObject = request.file;
  IO_STACK_LOCATION* stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = request.major;
  stack->MinorFunction = request.minor;
  stack->FileObject = request.file;
  if (request.fill) request.fill(stack);
  CallDriver(top, irp, nullptr);
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  ObfDereferenceObject(top);
  return result;
}

void IoManager::CheckShutdown() {
  for (const auto& [device, record] : devices_) {
    if (record->deleted) {
      K().verifier->Report("device-referenced", record->driver ? record->driver->name : "?",
                           DescribeDevice(device) + " was deleted but is still referenced at shutdown");
    } else {
      K().verifier->Report("device-leak", record->driver ? record->driver->name : "?",
                           DescribeDevice(device) + " still exists at shutdown");
    }
  }
  for (const auto& [irp, record] : irps_) {
    K().verifier->Report("irp-lost", ImageName(record.owner),
                         "IRP " + Hex(reinterpret_cast<ULONG_PTR>(irp)) + " was never completed or freed");
  }
  for (const auto& [file, record] : files_) {
    K().verifier->Report("file-object-leak", "kernel",
                         "file object " + Hex(reinterpret_cast<ULONG_PTR>(file)) + " still open at shutdown");
  }
}

}  // namespace sim
