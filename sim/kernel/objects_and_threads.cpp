// Object references, handles to threads, and system threads.

#include "sim/kernel/fault_plan.h"
#include "sim/kernel/io_manager.h"
#include "sim/kernel/irql_rules.h"
#include "sim/kernel/kernel_internal.h"
#include "sim/kernel/scheduler.h"
#include "sim/kernel/sim_thread.h"

using sim::K;

struct _OBJECT_TYPE {
  const char* name;
};

namespace {
_OBJECT_TYPE thread_type{"Thread"};
_OBJECT_TYPE file_type{"File"};
_OBJECT_TYPE event_type{"Event"};
POBJECT_TYPE thread_type_pointer = &thread_type;
POBJECT_TYPE file_type_pointer = &file_type;
POBJECT_TYPE event_type_pointer = &event_type;

class ThreadHandleObject : public sim::KernelObject {
 public:
  explicit ThreadHandleObject(sim::SimThread* thread) : thread_(thread) {}
  std::string TypeName() const override { return "Thread"; }
  std::string Describe() const override { return "thread \"" + thread_->name + "\""; }
  sim::SimThread* thread() const { return thread_; }

 private:
  sim::SimThread* thread_;
};

// Adds delta to an object's reference count. False when the pointer is not
// an object the kernel knows or the count would drop below zero.
bool AdjustReference(PVOID object, LONG delta, LONG_PTR* count) {
  if (sim::SimThread* thread = K().scheduler->FromKThread(static_cast<_KTHREAD*>(object))) {
    if (thread->object_references + delta < 0) return false;
    *count = thread->object_references += delta;
    return true;
  }
  if (sim::DeviceRecord* device = K().io->FindDevice(static_cast<DEVICE_OBJECT*>(object))) {
    if (device->references + delta < 0) return false;
    *count = device->references += delta;
    if (delta < 0) K().io->DereferenceDevice(device);
    return true;
  }
  return false;
}

}  // namespace

extern "C" {

POBJECT_TYPE* PsThreadType = &thread_type_pointer;
POBJECT_TYPE* IoFileObjectType = &file_type_pointer;
POBJECT_TYPE* ExEventObjectType = &event_type_pointer;

LONG_PTR ObfReferenceObject(PVOID Object) {
  LONG_PTR count = 0;
  if (!AdjustReference(Object, +1, &count))
    sim::ReportCaller(SIM_CALLER(), "bad-object", "ObReferenceObject of " + sim::Hex(reinterpret_cast<ULONG_PTR>(Object)) + ", which is not an object");
  return count;
}

LONG_PTR ObfDereferenceObject(PVOID Object) {
  LONG_PTR count = 0;
  if (!AdjustReference(Object, -1, &count)) {
    sim::ReportCaller(SIM_CALLER(), "bad-object",
                      "ObDereferenceObject of " + sim::Hex(reinterpret_cast<ULONG_PTR>(Object)) +
                          ", which is not a referenced object");
  }
  return count;
}

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK, POBJECT_TYPE ObjectType, KPROCESSOR_MODE,
                                   PVOID* Object, POBJECT_HANDLE_INFORMATION HandleInformation) {
  if (!sim::CheckIrql("ObReferenceObjectByHandle", APC_LEVEL)) return STATUS_INVALID_DEVICE_STATE;
  if (K().faults->ShouldFail(sim::FaultKind::Reference, SIM_CALLER())) return STATUS_ACCESS_DENIED;
  const sim::HandleEntry* entry = K().handles->Find(Handle);
  if (!entry) return STATUS_INVALID_HANDLE;
  auto thread = std::dynamic_pointer_cast<ThreadHandleObject>(entry->object);
  if (!thread || (ObjectType && ObjectType != thread_type_pointer)) return STATUS_OBJECT_TYPE_MISMATCH;
  thread->thread()->object_references++;
  *Object = &thread->thread()->object;
  if (HandleInformation) {
    HandleInformation->HandleAttributes = 0;
    HandleInformation->GrantedAccess = entry->access;
  }
  return STATUS_SUCCESS;
}

NTSTATUS ZwClose(HANDLE Handle) {
  if (!sim::CheckIrql("ZwClose", PASSIVE_LEVEL)) return STATUS_INVALID_DEVICE_STATE;
  NTSTATUS status = K().handles->Close(Handle);
  if (status == STATUS_INVALID_HANDLE) {
    sim::ReportCaller(SIM_CALLER(), "handle-bad-close",
                      "ZwClose of " + sim::Hex(reinterpret_cast<ULONG_PTR>(Handle)) + ", which is not an open handle");
  }
  return status;
}

NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, POBJECT_ATTRIBUTES, HANDLE, PCLIENT_ID ClientId,
                              PKSTART_ROUTINE StartRoutine, PVOID StartContext) {
  if (!sim::CheckIrql("PsCreateSystemThread", PASSIVE_LEVEL)) return STATUS_INVALID_DEVICE_STATE;
  if (K().faults->ShouldFail(sim::FaultKind::Thread, SIM_CALLER())) return STATUS_INSUFFICIENT_RESOURCES;
  const sim::DriverImage* owner = SIM_CALLER();
  std::string name = sim::ImageName(owner) + " thread " + std::to_string(K().scheduler->threads().size());
  // At its exit a thread's pending requests are cancelled and waited for.
  sim::SimThread* thread = K().scheduler->CreateThread(name, owner, [StartRoutine, StartContext] {
    StartRoutine(StartContext);
    K().io->RundownThread();
  });
  *ThreadHandle = K().handles->Insert(std::make_shared<ThreadHandleObject>(thread), owner, DesiredAccess);
  if (ClientId) {
    ClientId->UniqueProcess = reinterpret_cast<HANDLE>(4);
    ClientId->UniqueThread = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(thread->id * 4 + 0x100));
  }
  return STATUS_SUCCESS;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus) {
  sim::SimThread* self = K().scheduler->Current();
  if (self->adopted) {
    sim::ReportCaller(SIM_CALLER(), "bad-parameter", "PsTerminateSystemThread from a thread that is not a system thread");
    return STATUS_INVALID_PARAMETER;
  }
  sim::CheckIrql("PsTerminateSystemThread", PASSIVE_LEVEL);
  K().io->RundownThread();
  K().scheduler->TerminateCurrent(ExitStatus);
}

PETHREAD PsGetCurrentThread(void) { return reinterpret_cast<PETHREAD>(&K().scheduler->Current()->object); }

HANDLE PsGetCurrentThreadId(void) {
  return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(K().scheduler->Current()->id * 4 + 0x100));
}

PKTHREAD KeGetCurrentThread(void) { return &K().scheduler->Current()->object; }

KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority) {
  sim::CheckIrql("KeSetPriorityThread", DISPATCH_LEVEL);
  sim::SimThread* thread = K().scheduler->FromKThread(Thread);
  if (!thread) {
    sim::ReportCaller(SIM_CALLER(), "bad-object", "KeSetPriorityThread of something that is not a thread");
    return 0;
  }
  if (Priority < 0 || Priority > 31) sim::ReportCaller(SIM_CALLER(), "bad-parameter", "thread priority outside 0 to 31");
  KPRIORITY previous = thread->priority;
  thread->priority = Priority;
  return previous;
}

KPRIORITY KeQueryPriorityThread(PKTHREAD Thread) {
  sim::SimThread* thread = K().scheduler->FromKThread(Thread);
  return thread ? thread->priority : 0;
}

}  // extern "C"
