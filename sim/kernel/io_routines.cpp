// Exported I/O manager routines: devices, stacks, IRPs and names.
#include "sim/kernel/fault_plan.h"
#include "sim/kernel/io_manager.h"
#include "sim/kernel/irql_rules.h"
#include "sim/kernel/kernel_internal.h"
#include "sim/kernel/object_namespace.h"
#include "sim/kernel/pool.h"
#include "sim/kernel/scheduler.h"
#include "sim/kernel/sim_thread.h"

using sim::K;

namespace {

// One kernel-owned pool tag for the buffers the I/O manager allocates.
constexpr ULONG kIoBufferTag = 'BSoI';

PIRP BuildThreadedIrp(PDEVICE_OBJECT device, PKEVENT event, PIO_STATUS_BLOCK status_block,
                      const sim::DriverImage* caller) {
  PIRP irp = K().io->AllocateIrp(device->StackSize, caller);
  if (!irp) return nullptr;
  sim::IrpRecord* record = K().io->FindIrp(irp);
  record->threaded = true;
  record->thread = K().scheduler->Current();
  irp->UserEvent = event;
  irp->UserIosb = status_block;
  irp->Tail.Overlay.Thread = reinterpret_cast<PETHREAD>(&K().scheduler->Current()->object);
  return irp;
}

}  // namespace

extern "C" {

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN) { return K().io->AllocateIrp(StackSize, SIM_CALLER()); }

void IoFreeIrp(PIRP Irp) { K().io->FreeIrp(Irp, SIM_CALLER()); }

void IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
  RtlZeroMemory(Irp, PacketSize);
  Irp->Type = IO_TYPE_IRP;
  Irp->Size = PacketSize;
  Irp->StackCount = StackSize;
  Irp->CurrentLocation = static_cast<CHAR>(StackSize + 1);
  Irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + StackSize;
  InitializeListHead(&Irp->ThreadListEntry);
}

void IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
  sim::IrpRecord* record = K().io->FindIrp(Irp);
  if (!record) {
    sim::ReportCaller(SIM_CALLER(), "irp-unknown", "IoReuseIrp of an unknown IRP");
    return;
  }
  sim::IrpRecord saved = *record;
  IoInitializeIrp(Irp, Irp->Size, Irp->StackCount);
  Irp->IoStatus.Status = Iostatus;
  saved.in_completion = false;
  saved.completed = false;
  *K().io->FindIrp(Irp) = saved;
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return K().io->CallDriver(DeviceObject, Irp, SIM_CALLER()); }

void IofCompleteRequest(PIRP Irp, CCHAR) { K().io->CompleteRequest(Irp, SIM_CALLER()); }

NTSTATUS IoSetCompletionRoutineEx(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine,
                                  PVOID Context, BOOLEAN InvokeOnSuccess, BOOLEAN InvokeOnError,
                                  BOOLEAN InvokeOnCancel) {
  // The Ex form guards the driver's unload; the model never unloads a
  // driver with requests outstanding, so it sets the routine directly.
  (void)DeviceObject;
  IoSetCompletionRoutine(Irp, CompletionRoutine, Context, InvokeOnSuccess, InvokeOnError, InvokeOnCancel);
  return STATUS_SUCCESS;
}

PIRP IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length,
                                  PLARGE_INTEGER StartingOffset, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
  if (!sim::CheckIrql("IoBuildSynchronousFsdRequest", PASSIVE_LEVEL)) return nullptr;
  switch (MajorFunction) {
    case IRP_MJ_READ: case IRP_MJ_WRITE: case IRP_MJ_FLUSH_BUFFERS: case IRP_MJ_SHUTDOWN: case IRP_MJ_PNP:
    case IRP_MJ_POWER: break;
    default:
      sim::ReportCaller(SIM_CALLER(), "bad-parameter", "IoBuildSynchronousFsdRequest for major function " +
                                                           std::to_string(MajorFunction));
      return nullptr;
  }
  PIRP irp = BuildThreadedIrp(DeviceObject, Event, IoStatusBlock, SIM_CALLER());
  if (!irp) return nullptr;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = static_cast<UCHAR>(MajorFunction);
  if (MajorFunction == IRP_MJ_READ || MajorFunction == IRP_MJ_WRITE) {
    stack->Parameters.Read.Length = Length;
    if (StartingOffset) stack->Parameters.Read.ByteOffset = *StartingOffset;
    if ((DeviceObject->Flags & DO_BUFFERED_IO) && Length) {
      PVOID system_buffer = K().pool->Allocate(NonPagedPoolNx, Length, kIoBufferTag, nullptr);
      if (!system_buffer) {
        K().io->FindIrp(irp)->threaded = false;  // never handed out: the builder takes it back
        K().io->FreeIrp(irp, nullptr);
        return nullptr;
      }
      irp->AssociatedIrp.SystemBuffer = system_buffer;
      irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
      K().io->FindIrp(irp)->user_buffer_length = Length;
      if (MajorFunction == IRP_MJ_WRITE) {
        RtlCopyMemory(system_buffer, Buffer, Length);
      } else {
        irp->Flags |= IRP_INPUT_OPERATION;
      }
    }
    irp->UserBuffer = Buffer;
  }
  return irp;
}

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                   ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
  if (!sim::CheckIrql("IoBuildDeviceIoControlRequest", PASSIVE_LEVEL)) return nullptr;
  ULONG method = METHOD_FROM_CTL_CODE(IoControlCode);
  if (method == METHOD_IN_DIRECT || method == METHOD_OUT_DIRECT) {
    sim::ReportCaller(SIM_CALLER(), "unsupported-by-model",
                      "direct-I/O control codes need MDLs, which the kernel model does not provide");
    return nullptr;
  }
  PIRP irp = BuildThreadedIrp(DeviceObject, Event, IoStatusBlock, SIM_CALLER());
  if (!irp) return nullptr;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  stack->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
  stack->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
  stack->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
  K().io->FindIrp(irp)->user_buffer_length = OutputBufferLength;
  if (method == METHOD_BUFFERED) {
    ULONG length = InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
    if (length) {
      PVOID system_buffer = K().pool->Allocate(NonPagedPoolNx, length, kIoBufferTag, nullptr);
      if (!system_buffer) {
        K().io->FindIrp(irp)->threaded = false;  // never handed out: the builder takes it back
        K().io->FreeIrp(irp, nullptr);
        return nullptr;
      }
      if (InputBuffer && InputBufferLength) RtlCopyMemory(system_buffer, InputBuffer, InputBufferLength);
      irp->AssociatedIrp.SystemBuffer = system_buffer;
      irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (OutputBuffer ? IRP_INPUT_OPERATION : 0);
    }
    irp->UserBuffer = OutputBuffer;
  } else {  // METHOD_NEITHER
    stack->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
    irp->UserBuffer = OutputBuffer;
  }
  return irp;
}

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                        DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject) {
  return K().io->CreateDevice(K().io->DriverOf(DriverObject), DeviceExtensionSize, DeviceName, DeviceType,
                              DeviceCharacteristics, Exclusive, DeviceObject, SIM_CALLER());
}

void IoDeleteDevice(PDEVICE_OBJECT DeviceObject) { K().io->DeleteDevice(DeviceObject, SIM_CALLER()); }

PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject) {
  while (DeviceObject->AttachedDevice) DeviceObject = DeviceObject->AttachedDevice;
  return DeviceObject;
}

PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_OBJECT top = IoGetAttachedDevice(DeviceObject);
  ObfReferenceObject(top);
  return top;
}

PDEVICE_OBJECT IoGetLowerDeviceObject(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_OBJECT lower = DeviceObject->DeviceObjectExtension->AttachedTo;
  if (lower) ObfReferenceObject(lower);
  return lower;
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
  if (!sim::CheckIrql("IoAttachDeviceToDeviceStack", PASSIVE_LEVEL)) return nullptr;
  if (!K().io->IsLiveDevice(TargetDevice) || !K().io->IsLiveDevice(SourceDevice)) {
    sim::ReportCaller(SIM_CALLER(), "bad-parameter", "IoAttachDeviceToDeviceStack with a device that does not exist");
    return nullptr;
  }
  PDEVICE_OBJECT top = IoGetAttachedDevice(TargetDevice);
  // A stack whose top is being deleted takes no new device.
  if ((top->DeviceObjectExtension->ExtensionFlags & (DOE_DELETE_PENDING | DOE_UNLOAD_PENDING | DOE_REMOVE_PENDING)) ||
      K().faults->ShouldFail(sim::FaultKind::Attach, SIM_CALLER())) {
    return nullptr;
  }
  // Nor does one whose top is still initializing: its driver has not yet
  // cleared DO_DEVICE_INITIALIZING.
  if (top->Flags & DO_DEVICE_INITIALIZING) {
    sim::ReportCaller(SIM_CALLER(), "attach-to-initializing-device",
                      "IoAttachDeviceToDeviceStack onto " + K().io->DescribeDevice(top) +
                          ", whose DO_DEVICE_INITIALIZING is still set");
    return nullptr;
  }
  // Only the PDO carries the device node: attaching does not make a device
  // look like a PDO.
  top->AttachedDevice = SourceDevice;
  SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
  SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
  SourceDevice->DeviceObjectExtension->AttachedTo = top;
  return top;
}

void IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
  PDEVICE_OBJECT above = TargetDevice->AttachedDevice;
  if (!above) {
    sim::ReportCaller(SIM_CALLER(), "bad-parameter", "IoDetachDevice of a device with nothing attached");
    return;
  }
  above->DeviceObjectExtension->AttachedTo = nullptr;
  TargetDevice->AttachedDevice = nullptr;
  // A target deleted while this device was attached goes now.
  if (sim::DeviceRecord* record = K().io->FindDevice(TargetDevice)) K().io->DereferenceDevice(record);
}

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
  if (!sim::CheckIrql("IoCreateSymbolicLink", PASSIVE_LEVEL)) return STATUS_INVALID_DEVICE_STATE;
  if (K().faults->ShouldFail(sim::FaultKind::SymbolicLink, SIM_CALLER())) return STATUS_INSUFFICIENT_RESOURCES;
  return K().names->CreateLink(std::u16string(sim::View(SymbolicLinkName)), std::u16string(sim::View(DeviceName)));
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
  if (!sim::CheckIrql("IoDeleteSymbolicLink", PASSIVE_LEVEL)) return STATUS_INVALID_DEVICE_STATE;
  return K().names->DeleteLink(std::u16string(sim::View(SymbolicLinkName)));
}

// The model is Windows 10: WDM 1.0 through 6.2 (0x06, 0x02) are available.
BOOLEAN IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion) {
  return MajorVersion < 6 || (MajorVersion == 6 && MinorVersion <= 2);
}

NTSTATUS IoWMIRegistrationControl(PDEVICE_OBJECT DeviceObject, ULONG Action) {
  sim::DeviceRecord* record = K().io->FindDevice(DeviceObject);
  if (!record || record->deleted) return STATUS_INVALID_PARAMETER;
  switch (Action) {
    case WMIREG_ACTION_REGISTER:
      if (record->wmi_registered) return STATUS_OBJECT_NAME_EXISTS;
      record->wmi_registered = true;
      return STATUS_SUCCESS;
    case WMIREG_ACTION_DEREGISTER:
      if (!record->wmi_registered) return STATUS_INVALID_PARAMETER;
      record->wmi_registered = false;
      return STATUS_SUCCESS;
    case WMIREG_ACTION_REREGISTER:
    case WMIREG_ACTION_UPDATE_GUIDS:
      return record->wmi_registered ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
  // The power manager remembers each device's reported state in its node.
  POWER_STATE previous;
  previous.DeviceState = PowerDeviceD0;
  sim::DeviceRecord* record = K().io->FindDevice(DeviceObject);
  if (record && Type == DevicePowerState) {
    ULONG recorded = DeviceObject->DeviceObjectExtension->PowerFlags;
    previous.DeviceState = recorded ? static_cast<DEVICE_POWER_STATE>(recorded) : PowerDeviceD0;
    DeviceObject->DeviceObjectExtension->PowerFlags = static_cast<ULONG>(State.DeviceState);
  }
  return previous;
}

// A power-pageable device takes its power requests at PASSIVE_LEVEL only.
NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (DeviceObject && (DeviceObject->Flags & DO_POWER_PAGABLE) && K().scheduler->Irql() > PASSIVE_LEVEL) {
    K().verifier->Report("irql", sim::ImageName(SIM_CALLER()),
                         "PoCallDriver at IRQL " + std::to_string(K().scheduler->Irql()) + " to " +
                             K().io->DescribeDevice(DeviceObject) + ", which is power-pageable (PASSIVE_LEVEL only)");
  }
  return K().io->CallDriver(DeviceObject, Irp, SIM_CALLER());
}

// Since Windows Vista this routine has nothing left to do.
void PoStartNextPowerIrp(PIRP) {}

}  // extern "C"
