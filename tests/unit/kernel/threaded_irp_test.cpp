// IRPs that IoBuildDeviceIoControlRequest builds belong to their thread:
// the last step of their completion (status block, event) runs there as a
// special kernel APC, which waits while the thread is at APC_LEVEL; and
// they are not the caller's to free.
#include <gtest/gtest.h>

#include "sim/kernel/io_manager.h"
#include "sim/kernel/scheduler.h"
#include "support/kernel_test.h"
#include "support/test_devices.h"
#include "wdm.h"

namespace {

constexpr ULONG kCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);

PIRP parked = nullptr;  // the request the device holds, when parking
bool park = false;

NTSTATUS NTAPI ControlDispatch(PDEVICE_OBJECT, PIRP irp) {
  if (park) {
    IoMarkIrpPending(irp);
    parked = irp;
    return STATUS_PENDING;
  }
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

void CompleteParked() {
  parked->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(parked, IO_NO_INCREMENT);
  parked = nullptr;
}

// A request the device completes at once or parks.
struct Request {
  KEVENT done;
  IO_STATUS_BLOCK status{};
  PIRP irp = nullptr;

  explicit Request(DEVICE_OBJECT* device) {
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    status.Status = STATUS_PENDING;
    irp = IoBuildDeviceIoControlRequest(kCode, device, nullptr, 0, nullptr, 0, FALSE, &done, &status);
  }
};

DEVICE_OBJECT* NewDevice() {
  sim::DriverRecord* driver = sim::K().io->CreateBuiltinDriver("threaded");
  driver->object.MajorFunction[IRP_MJ_DEVICE_CONTROL] = ControlDispatch;
  return sim::test::CreateTestDevice(driver);
}

class ThreadedIrpTest : public sim::test::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    park = false;
    device_ = NewDevice();
  }
  void TearDown() override {
    IoDeleteDevice(device_);
    KernelTest::TearDown();
  }
  DEVICE_OBJECT* device_ = nullptr;
};

struct Requester {
  DEVICE_OBJECT* device;
  NTSTATUS seen = STATUS_PENDING;
};

// On a thread of its own: sends a request and waits for it.
void NTAPI RequestAndWait(PVOID context) {
  auto* self = static_cast<Requester*>(context);
  Request request(self->device);
  EXPECT_EQ(IoCallDriver(self->device, request.irp), STATUS_PENDING);
  KeWaitForSingleObject(&request.done, Executive, KernelMode, FALSE, nullptr);
  self->seen = request.status.Status;
}

TEST_F(ThreadedIrpTest, CompletionOnAnotherThreadFinishesOnTheRequestersThread) {
  park = true;
  Requester requester{device_};
  HANDLE thread = nullptr;
  ASSERT_EQ(PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, RequestAndWait, &requester),
            STATUS_SUCCESS);
  kernel().scheduler->Settle();
  ASSERT_NE(parked, nullptr);
  CompleteParked();
  EXPECT_EQ(requester.seen, STATUS_PENDING) << "the status block is filled on the requester's thread";
  PVOID object = nullptr;
  ASSERT_EQ(ObReferenceObjectByHandle(thread, SYNCHRONIZE, *PsThreadType, KernelMode, &object, nullptr), STATUS_SUCCESS);
  KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(object);
  ZwClose(thread);
  EXPECT_EQ(requester.seen, STATUS_SUCCESS);
}

void NTAPI CompleteFromDpc(PKDPC, PVOID, PVOID, PVOID) { CompleteParked(); }

// The DPC runs on the waiting thread itself, at DISPATCH_LEVEL; the
// completion step follows once that thread is back at PASSIVE_LEVEL.
TEST_F(ThreadedIrpTest, CompletionFromATimerDpcReachesTheWaitingThread) {
  park = true;
  Request request(device_);
  ASSERT_EQ(IoCallDriver(device_, request.irp), STATUS_PENDING);
  KTIMER timer;
  KDPC dpc;
  KeInitializeTimer(&timer);
  KeInitializeDpc(&dpc, CompleteFromDpc, nullptr);
  LARGE_INTEGER due;
  due.QuadPart = -10 * 10000LL;
  KeSetTimer(&timer, due, &dpc);
  KeWaitForSingleObject(&request.done, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(request.status.Status, STATUS_SUCCESS);
}

TEST_F(ThreadedIrpTest, CompletionStepWaitsUntilTheThreadLeavesApcLevel) {
  Request request(device_);
  KIRQL old;
  KeRaiseIrql(APC_LEVEL, &old);
  EXPECT_EQ(IoCallDriver(device_, request.irp), STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(&request.done), 0);
  EXPECT_EQ(request.status.Status, STATUS_PENDING);
  KeLowerIrql(old);
  EXPECT_EQ(KeReadStateEvent(&request.done), 1);
  EXPECT_EQ(request.status.Status, STATUS_SUCCESS);
}

TEST_F(ThreadedIrpTest, FreeingAThreadedIrpIsAFinding) {
  Request request(device_);
  IoFreeIrp(request.irp);
  EXPECT_NE(TakeOnlyFinding("irp-threaded-freed", "kernel").find("IRP_MJ_DEVICE_CONTROL"), std::string::npos);
}

TEST(ThreadedIrpDeathTest, WaitingAtApcLevelForItsOwnRequestDeadlocksNamingTheIrp) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        sim::Machine machine;
        park = false;
        DEVICE_OBJECT* device = NewDevice();
        Request request(device);
        KIRQL old;
        KeRaiseIrql(APC_LEVEL, &old);
        IoCallDriver(device, request.irp);
        KeWaitForSingleObject(&request.done, Executive, KernelMode, FALSE, nullptr);
      },
      "deadlock(.|\n)*thread 0 \"main\" at IRQL 1 cannot run its special kernel APC: the completion of IRP "
      "0x[0-9A-F]+ \\(IRP_MJ_DEVICE_CONTROL\\)");
}

}  // namespace
