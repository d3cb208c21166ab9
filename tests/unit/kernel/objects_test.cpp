// Device objects and names, pool, remove locks, work items and security.
#include <gtest/gtest.h>

#include <stdexcept>

#include "sim/kernel/fault_plan.h"
#include "sim/kernel/io_manager.h"
#include "sim/kernel/object_namespace.h"
#include "sim/kernel/pnp/pnp_manager.h"
#include "sim/kernel/pool.h"
#include "sim/kernel/scheduler.h"
#include "sim/kernel/security.h"
#include "support/kernel_test.h"
#include "support/test_devices.h"
#include "wdm.h"

namespace {

using sim::test::CreateTestDevice;
using ObjectsTest = sim::test::KernelTest;

UNICODE_STRING Name(const wchar_t* text) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, text);
  return name;
}

// Opens and closes succeed.
DRIVER_DISPATCH CompleteCreateClose;
NTSTATUS CompleteCreateClose(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

TEST_F(ObjectsTest, SymbolicLinksResolveCaseInsensitivelyAndRefuseDuplicates) {
  sim::DriverRecord* driver = kernel().io->CreateBuiltinDriver("names");
  driver->object.MajorFunction[IRP_MJ_CREATE] = CompleteCreateClose;
  driver->object.MajorFunction[IRP_MJ_CLOSE] = CompleteCreateClose;
  DEVICE_OBJECT* device = CreateTestDevice(driver, u"\\Device\\Widget_0");
  UNICODE_STRING link = Name(L"\\DosDevices\\WIDGET");
  UNICODE_STRING target = Name(L"\\Device\\Widget_0");
  EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
  EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(kernel().names->Resolve(u"\\??\\widget"), device);

  HANDLE handle = nullptr;
  EXPECT_EQ(app().Open("\\\\.\\Widget", &handle), STATUS_SUCCESS);
  EXPECT_EQ(device->ReferenceCount, 1);
  EXPECT_EQ(app().Close(handle), STATUS_SUCCESS);
  EXPECT_EQ(device->ReferenceCount, 0);

  EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
  EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(app().Open("\\\\.\\Widget", &handle), STATUS_OBJECT_NAME_NOT_FOUND);
  IoDeleteDevice(device);
}

TEST_F(ObjectsTest, CloseRefusedByTheDriverIsAFinding) {
  sim::DriverRecord* driver = kernel().io->CreateBuiltinDriver("noclose");
  driver->object.MajorFunction[IRP_MJ_CREATE] = CompleteCreateClose;
  DEVICE_OBJECT* device = CreateTestDevice(driver, u"\\Device\\NoClose");
  HANDLE handle = nullptr;
  ASSERT_EQ(app().Open("\\Device\\NoClose", &handle), STATUS_SUCCESS);
  EXPECT_EQ(app().Close(handle), STATUS_SUCCESS) << "the I/O manager ignores what the close returns";
  EXPECT_NE(TakeOnlyFinding("close-refused", "noclose").find("0xC0000010"), std::string::npos);
  EXPECT_EQ(device->ReferenceCount, 0);
  IoDeleteDevice(device);
}

// A buffered device that keeps what was written and reads it back.
char echo_store[16];
ULONG echo_length = 0;

DRIVER_DISPATCH EchoReadWrite;
NTSTATUS EchoReadWrite(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ULONG length = stack->Parameters.Read.Length;
  if (stack->MajorFunction == IRP_MJ_WRITE) {
    echo_length = length < sizeof echo_store ? length : sizeof echo_store;
    RtlCopyMemory(echo_store, irp->AssociatedIrp.SystemBuffer, echo_length);
    irp->IoStatus.Information = echo_length;
  } else {
    ULONG count = length < echo_length ? length : echo_length;
    RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, echo_store, count);
    irp->IoStatus.Information = count;
  }
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

TEST_F(ObjectsTest, ApplicationReadsAndWritesThroughBufferedIo) {
  sim::DriverRecord* driver = kernel().io->CreateBuiltinDriver("echo");
  driver->object.MajorFunction[IRP_MJ_CREATE] = CompleteCreateClose;
  driver->object.MajorFunction[IRP_MJ_CLOSE] = CompleteCreateClose;
  driver->object.MajorFunction[IRP_MJ_READ] = EchoReadWrite;
  driver->object.MajorFunction[IRP_MJ_WRITE] = EchoReadWrite;
  DEVICE_OBJECT* device = CreateTestDevice(driver, u"\\Device\\Echo");
  device->Flags |= DO_BUFFERED_IO;
  HANDLE handle = nullptr;
  ASSERT_EQ(app().Open("\\Device\\Echo", &handle), STATUS_SUCCESS);
  sim::IoResult written = app().Write(handle, "hello", 5);
  EXPECT_EQ(written.status, STATUS_SUCCESS);
  EXPECT_EQ(written.information, 5u);
  char buffer[8] = {};
  sim::IoResult read = app().Read(handle, buffer, sizeof buffer);
  EXPECT_EQ(read.information, 5u);
  EXPECT_STREQ(buffer, "hello");
  EXPECT_EQ(app().Close(handle), STATUS_SUCCESS);
  EXPECT_EQ(app().Read(handle, buffer, 1).status, STATUS_INVALID_HANDLE);
  IoDeleteDevice(device);
}

TEST_F(ObjectsTest, DeviceNamesAreUniqueAndFreedWithTheDevice) {
  sim::DriverRecord* driver = kernel().io->CreateBuiltinDriver("names");
  DEVICE_OBJECT* first = CreateTestDevice(driver, u"\\Device\\Same");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(CreateTestDevice(driver, u"\\Device\\same"), nullptr);
  EXPECT_EQ(first->Flags & DO_DEVICE_HAS_NAME, static_cast<ULONG>(DO_DEVICE_HAS_NAME));
  IoDeleteDevice(first);
  DEVICE_OBJECT* again = CreateTestDevice(driver, u"\\Device\\Same");
  EXPECT_NE(again, nullptr);
  IoDeleteDevice(again);
}

TEST_F(ObjectsTest, DeletingADeviceStillAttachedBelowIsAFinding) {
  sim::DriverRecord* driver = kernel().io->CreateBuiltinDriver("stack");
  DEVICE_OBJECT* lower = CreateTestDevice(driver);
  DEVICE_OBJECT* upper = CreateTestDevice(driver);
  ASSERT_EQ(IoAttachDeviceToDeviceStack(upper, lower), lower);
  IoDeleteDevice(upper);
  EXPECT_EQ(kernel().verifier->Count("device-deleted-while-attached"), 1u);
  kernel().verifier->Forget("device-deleted-while-attached");
  IoDeleteDevice(lower);
}

// Until its driver clears DO_DEVICE_INITIALIZING a device can be neither
// opened nor attached to.
TEST_F(ObjectsTest, InitializingDeviceRefusesOpensAndAttachment) {
  sim::DriverRecord* driver = kernel().io->CreateBuiltinDriver("early");
  DEVICE_OBJECT* device = CreateTestDevice(driver, u"\\Device\\Early");
  DEVICE_OBJECT* filter = CreateTestDevice(driver);
  device->Flags |= DO_DEVICE_INITIALIZING;
  HANDLE handle = nullptr;
  EXPECT_EQ(app().Open("\\Device\\Early", &handle), STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(IoAttachDeviceToDeviceStack(filter, device), nullptr);
  EXPECT_NE(TakeOnlyFinding("attach-to-initializing-device", "kernel").find("\\Device\\Early of early"),
            std::string::npos);

  device->Flags &= ~DO_DEVICE_INITIALIZING;
  ASSERT_EQ(IoAttachDeviceToDeviceStack(filter, device), device);
  EXPECT_EQ(filter->DeviceObjectExtension->DeviceNode, nullptr) << "attaching does not copy the PDO's device node";
  IoDetachDevice(device);
  IoDeleteDevice(filter);
  IoDeleteDevice(device);
}

TEST_F(ObjectsTest, ReferencedDeviceOutlivesItsDeletion) {
  sim::DriverRecord* driver = kernel().io->CreateBuiltinDriver("refs");
  DEVICE_OBJECT* device = CreateTestDevice(driver, u"\\Device\\Held");
  ObReferenceObject(device);
  IoDeleteDevice(device);
  EXPECT_FALSE(kernel().names->Exists(u"\\Device\\Held"));
  EXPECT_NE(kernel().io->FindDevice(device), nullptr) << "memory stays until the last reference goes";
  ObDereferenceObject(device);
  EXPECT_EQ(kernel().io->FindDevice(device), nullptr);
}

TEST_F(ObjectsTest, PoolFindingsNameTheTag) {
  void* block = ExAllocatePoolWithTag(NonPagedPoolNx, 24, 'tseT');
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(static_cast<unsigned char*>(block)[0], 0xC5) << "fresh pool is not zeroed";
  ExFreePoolWithTag(block, 'gnrW');
  EXPECT_EQ(kernel().verifier->Count("pool-wrong-tag"), 1u);
  ExFreePoolWithTag(block, 'tseT');
  EXPECT_EQ(kernel().verifier->Count("pool-bad-free"), 1u);
  kernel().verifier->Forget("pool-wrong-tag");
  kernel().verifier->Forget("pool-bad-free");

  void* leaked = ExAllocatePoolWithTag(PagedPool, 8, 'kaeL');
  ASSERT_NE(leaked, nullptr);
  EXPECT_EQ(kernel().pool->ReportAllLeaks("now"), 1u);
  ASSERT_EQ(kernel().verifier->Count("pool-leak"), 1u);
  EXPECT_NE(kernel().verifier->findings().back().detail.find("\"Leak\""), std::string::npos);
  kernel().verifier->Forget("pool-leak");
}

TEST_F(ObjectsTest, PagedPoolAtDispatchLevelIsRefused) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 8, 'tseT'), nullptr);
  KeLowerIrql(old);
  EXPECT_EQ(kernel().verifier->Count("irql"), 1u);
  kernel().verifier->Forget("irql");
}

struct RemoveLockHolder {
  IO_REMOVE_LOCK* lock;
  bool released = false;
};

KSTART_ROUTINE HoldThenRelease;
void HoldThenRelease(PVOID context) {
  auto* holder = static_cast<RemoveLockHolder*>(context);
  LARGE_INTEGER delay;
  delay.QuadPart = -10 * 1000 * 1000;  // one second
  KeDelayExecutionThread(KernelMode, FALSE, &delay);
  holder->released = true;
  IoReleaseRemoveLock(holder->lock, nullptr);
}

TEST_F(ObjectsTest, RemoveLockWaitsForItsHoldersAndThenRefusesNewOnes) {
  IO_REMOVE_LOCK lock;
  IoInitializeRemoveLockEx(&lock, 0, 0, 0, sizeof(lock));
  RemoveLockHolder holder{&lock};
  ASSERT_EQ(IoAcquireRemoveLock(&lock, &holder), STATUS_SUCCESS);  // the holder's
  HANDLE thread = nullptr;
  ASSERT_EQ(PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, HoldThenRelease, &holder),
            STATUS_SUCCESS);
  ZwClose(thread);
  ASSERT_EQ(IoAcquireRemoveLock(&lock, &lock), STATUS_SUCCESS);  // the remover's
  IoReleaseRemoveLockAndWait(&lock, &lock);
  EXPECT_TRUE(holder.released);
  EXPECT_EQ(kernel().Now(), 10LL * 1000 * 1000);
  EXPECT_EQ(IoAcquireRemoveLock(&lock, &lock), STATUS_DELETE_PENDING);
}

struct WorkRecord {
  KEVENT done;
  KIRQL irql = HIGH_LEVEL;
  bool on_other_thread = false;
  PKTHREAD caller = nullptr;
  PIO_WORKITEM item = nullptr;
};

IO_WORKITEM_ROUTINE WorkRoutine;
void WorkRoutine(PDEVICE_OBJECT, PVOID context) {
  auto* record = static_cast<WorkRecord*>(context);
  record->irql = KeGetCurrentIrql();
  record->on_other_thread = KeGetCurrentThread() != record->caller;
  IoFreeWorkItem(record->item);  // a routine may free its own item
  KeSetEvent(&record->done, IO_NO_INCREMENT, FALSE);
}

TEST_F(ObjectsTest, WorkItemRunsAtPassiveLevelOnASystemWorker) {
  sim::DriverRecord* driver = kernel().io->CreateBuiltinDriver("work");
  DEVICE_OBJECT* device = CreateTestDevice(driver);
  WorkRecord record;
  KeInitializeEvent(&record.done, NotificationEvent, FALSE);
  record.caller = KeGetCurrentThread();
  record.item = IoAllocateWorkItem(device);
  ASSERT_NE(record.item, nullptr);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);  // queued from a DPC-level caller
  IoQueueWorkItem(record.item, WorkRoutine, DelayedWorkQueue, &record);
  KeLowerIrql(old);
  KeWaitForSingleObject(&record.done, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(record.irql, PASSIVE_LEVEL);
  EXPECT_TRUE(record.on_other_thread);
  IoDeleteDevice(device);
}

TEST_F(ObjectsTest, FaultPlanFailsTheNthDriverCallOnly) {
  sim::FaultPlan plan;
  plan.FailNth(sim::FaultKind::Pool, 2);
  const sim::DriverImage* kernel_caller = nullptr;
  auto* some_image = reinterpret_cast<const sim::DriverImage*>(&plan);
  EXPECT_FALSE(plan.ShouldFail(sim::FaultKind::Pool, kernel_caller));
  EXPECT_FALSE(plan.ShouldFail(sim::FaultKind::Pool, some_image));
  EXPECT_TRUE(plan.ShouldFail(sim::FaultKind::Pool, some_image));
  EXPECT_FALSE(plan.ShouldFail(sim::FaultKind::Pool, some_image));
  EXPECT_EQ(plan.Calls(sim::FaultKind::Pool), 3u);
  sim::FaultKind kind;
  EXPECT_TRUE(sim::ParseFaultKind("symlink", &kind));
  EXPECT_EQ(kind, sim::FaultKind::SymbolicLink);
  EXPECT_FALSE(sim::ParseFaultKind("bogus", &kind));
}

}  // namespace

// The model's security: SDDL it cannot read is refused where the binding
// takes it; entries apply in order, a deny before an allow wins; and the
// privilege check passes every kernel-mode caller, a user-mode one only
// with the privilege enabled in its token.
TEST(SecurityModelTest, DescriptorsTokensAndPrivileges) {
  for (const char* bad : {"", "O:BA", "D:(A;;GA;;;SY", "D:(X;;GA;;;SY)", "D:(A;;ZZ;;;SY)", "D:(A;;GA;;;QQ)"})
    EXPECT_FALSE(sim::ParseSddl(bad)) << bad;
  auto descriptor = sim::ParseSddl("D:P(D;;GW;;;BU)(A;;GA;;;BU)(A;;GR;;;WD)");
  ASSERT_TRUE(descriptor);
  EXPECT_TRUE(descriptor->dacl_protected);
  const auto admin = sim::TokenFor(sim::Account::Administrator);
  const auto user = sim::TokenFor(sim::Account::User);
  EXPECT_TRUE(sim::AccessAllowed(*descriptor, *user, GENERIC_READ));
  EXPECT_FALSE(sim::AccessAllowed(*descriptor, *user, GENERIC_READ | GENERIC_WRITE));
  auto card = sim::ParseSddl("D:P(A;;GA;;;SY)(A;;GA;;;BA)");
  ASSERT_TRUE(card);
  EXPECT_TRUE(sim::AccessAllowed(*card, *admin, GENERIC_READ | GENERIC_WRITE));
  EXPECT_FALSE(sim::AccessAllowed(*card, *user, GENERIC_READ));
  EXPECT_TRUE(sim::AccessAllowed(*card, *sim::TokenFor(sim::Account::System), GENERIC_ALL));

  sim::Machine machine;
  machine.Boot();
  EXPECT_THROW(machine.kernel().pnp->SetSecurity("PCI\\VEN_1234", "D:(A;;GA;;;XX)"), std::invalid_argument);
  const LUID load_driver = RtlConvertLongToLuid(SE_LOAD_DRIVER_PRIVILEGE);
  EXPECT_TRUE(SeSinglePrivilegeCheck(load_driver, UserMode));  // a kernel thread acts as the system
  {
    sim::TokenScope scope(admin);
    EXPECT_TRUE(SeSinglePrivilegeCheck(load_driver, KernelMode));
    EXPECT_FALSE(SeSinglePrivilegeCheck(load_driver, UserMode));  // held, not enabled
  }
  machine.Shutdown();
  EXPECT_TRUE(machine.verifier().clean()) << machine.verifier().Summary();
}
