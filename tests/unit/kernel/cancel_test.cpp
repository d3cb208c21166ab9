// Cancellation: IoCancelIrp and the cancel spin lock as documented, a driver
// whose reads wait in a cancel-safe queue, and the application side that
// cancels them: CancelIo, the driver's cleanup at close, thread exit.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/kernel/io_manager.h"
#include "sim/kernel/scheduler.h"
#include "support/kernel_test.h"
#include "support/test_devices.h"
#include "wdm.h"

namespace {

// Control codes of the test device.
constexpr ULONG kQueueWithContext = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kTakeByContext = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kHoldWithOwnCancel = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kHoldUncancellable = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x804, METHOD_BUFFERED, FILE_ANY_ACCESS);

// The device's state: reads wait in a cancel-safe queue; a write completes
// the oldest read with its bytes.
struct QueueDevice {
  IO_CSQ csq;
  LIST_ENTRY reads;
  KSPIN_LOCK lock;
  IO_CSQ_IRP_CONTEXT context;  // of the one request queued with a context
  PIRP held = nullptr;         // a request held outside the queue
  bool cleanup_cancels = true;
  bool cancel_releases_lock = true;
  std::vector<std::string> log;
  // What the device's own cancel routine saw.
  KIRQL cancel_irql = 0xFF;
  bool cancel_flag_seen = false;
  bool routine_cleared = false;
};
QueueDevice* dev = nullptr;

void NTAPI InsertRead(PIO_CSQ, PIRP irp) { InsertTailList(&dev->reads, &irp->Tail.Overlay.ListEntry); }
void NTAPI RemoveRead(PIO_CSQ, PIRP irp) { RemoveEntryList(&irp->Tail.Overlay.ListEntry); }
// The next read after irp (or the first) whose file object is the peek
// context, or any when it is null.
PIRP NTAPI PeekRead(PIO_CSQ, PIRP irp, PVOID file) {
  for (PLIST_ENTRY entry = irp ? irp->Tail.Overlay.ListEntry.Flink : dev->reads.Flink; entry != &dev->reads;
       entry = entry->Flink) {
    PIRP next = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    if (!file || IoGetCurrentIrpStackLocation(next)->FileObject == file) return next;
  }
  return nullptr;
}
void NTAPI LockQueue(PIO_CSQ, PKIRQL irql) { KeAcquireSpinLock(&dev->lock, irql); }
void NTAPI UnlockQueue(PIO_CSQ, KIRQL irql) { KeReleaseSpinLock(&dev->lock, irql); }
void NTAPI CompleteCancelled(PIO_CSQ, PIRP irp) {
  dev->log.push_back("cancelled");
  irp->IoStatus.Status = STATUS_CANCELLED;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

void NTAPI OwnCancel(PDEVICE_OBJECT, PIRP irp) {
  dev->cancel_irql = KeGetCurrentIrql();
  dev->cancel_flag_seen = irp->Cancel;
  dev->routine_cleared = irp->CancelRoutine == nullptr;
  dev->held = nullptr;
  if (dev->cancel_releases_lock) IoReleaseCancelSpinLock(irp->CancelIrql);
  Complete(irp, STATUS_CANCELLED);
}

NTSTATUS NTAPI QueueDispatch(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MajorFunction) {
    case IRP_MJ_READ:
      IoCsqInsertIrp(&dev->csq, irp, nullptr);
      return STATUS_PENDING;
    case IRP_MJ_WRITE: {
      if (PIRP read = IoCsqRemoveNextIrp(&dev->csq, nullptr)) {
        ULONG count = IoGetCurrentIrpStackLocation(read)->Parameters.Read.Length;
        if (count > stack->Parameters.Write.Length) count = stack->Parameters.Write.Length;
        RtlCopyMemory(read->AssociatedIrp.SystemBuffer, irp->AssociatedIrp.SystemBuffer, count);
        Complete(read, STATUS_SUCCESS, count);
      }
      return Complete(irp, STATUS_SUCCESS, stack->Parameters.Write.Length);
    }
    case IRP_MJ_DEVICE_CONTROL:
      switch (stack->Parameters.DeviceIoControl.IoControlCode) {
        case kQueueWithContext:
          IoCsqInsertIrp(&dev->csq, irp, &dev->context);
          return STATUS_PENDING;
        case kTakeByContext: {
          PIRP queued = IoCsqRemoveIrp(&dev->csq, &dev->context);
          if (!queued) return Complete(irp, STATUS_NOT_FOUND);
          Complete(queued, STATUS_SUCCESS);
          return Complete(irp, STATUS_SUCCESS);
        }
        case kHoldWithOwnCancel:
        case kHoldUncancellable:
          IoMarkIrpPending(irp);
          dev->held = irp;
          if (stack->Parameters.DeviceIoControl.IoControlCode == kHoldWithOwnCancel) IoSetCancelRoutine(irp, OwnCancel);
          return STATUS_PENDING;
      }
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    case IRP_MJ_CLEANUP:
      dev->log.push_back("cleanup");
      while (dev->cleanup_cancels) {
        PIRP read = IoCsqRemoveNextIrp(&dev->csq, stack->FileObject);
        if (!read) break;
        Complete(read, STATUS_CANCELLED);
      }
      return Complete(irp, STATUS_SUCCESS);
    case IRP_MJ_CLOSE:
      dev->log.push_back("close");
      return Complete(irp, STATUS_SUCCESS);
    default:
      return Complete(irp, STATUS_SUCCESS);
  }
}

class CancelTest : public sim::test::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    dev = &device_;
    InitializeListHead(&device_.reads);
    KeInitializeSpinLock(&device_.lock);
    IoCsqInitialize(&device_.csq, InsertRead, RemoveRead, PeekRead, LockQueue, UnlockQueue, CompleteCancelled);
    sim::DriverRecord* driver = kernel().io->CreateBuiltinDriver("csqdev");
    for (auto& dispatch : driver->object.MajorFunction) dispatch = QueueDispatch;
    device_object_ = sim::test::CreateTestDevice(driver, u"\\Device\\CsqDev");
    device_object_->Flags |= DO_BUFFERED_IO;
    ASSERT_EQ(app().Open("\\Device\\CsqDev", &handle_), STATUS_SUCCESS);
  }
  void TearDown() override {
    if (handle_) app().Close(handle_);
    kernel().scheduler->Settle();
    EXPECT_TRUE(IsListEmpty(&device_.reads)) << "a read was left in the queue";
    IoDeleteDevice(device_object_);
    KernelTest::TearDown();
    dev = nullptr;
  }

  QueueDevice device_;
  DEVICE_OBJECT* device_object_ = nullptr;
  HANDLE handle_ = nullptr;
};

TEST_F(CancelTest, QueuedReadIsCompletedByAWriteOrCancelledByCancelIo) {
  char buffer[8] = {};
  sim::Overlapped read;
  ASSERT_EQ(app().ReadAsync(handle_, buffer, sizeof buffer, &read), STATUS_PENDING);
  EXPECT_EQ(app().Result(&read, false).status, STATUS_PENDING);
  EXPECT_EQ(app().Write(handle_, "abc", 3).information, 3u);
  sim::IoResult done = app().Result(&read, true);
  EXPECT_EQ(done.status, STATUS_SUCCESS);
  EXPECT_EQ(std::string(buffer, done.information), "abc");

  sim::Overlapped first, second;
  ASSERT_EQ(app().ReadAsync(handle_, buffer, sizeof buffer, &first), STATUS_PENDING);
  ASSERT_EQ(app().ReadAsync(handle_, buffer, sizeof buffer, &second), STATUS_PENDING);
  EXPECT_EQ(app().CancelIo(handle_), STATUS_SUCCESS);
  EXPECT_EQ(app().Result(&first, true).status, STATUS_CANCELLED);
  EXPECT_EQ(app().Result(&second, true).status, STATUS_CANCELLED);
  EXPECT_EQ(device_.log, (std::vector<std::string>{"cancelled", "cancelled"})) << "through the queue's cancel routine";
}

TEST_F(CancelTest, RequestQueuedWithAContextIsRemovedByItUnlessCancelled) {
  sim::Overlapped queued;
  ASSERT_EQ(app().DeviceIoControlAsync(handle_, kQueueWithContext, nullptr, 0, nullptr, 0, &queued), STATUS_PENDING);
  EXPECT_EQ(app().DeviceIoControl(handle_, kTakeByContext, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
  EXPECT_EQ(app().Result(&queued, true).status, STATUS_SUCCESS);

  ASSERT_EQ(app().DeviceIoControlAsync(handle_, kQueueWithContext, nullptr, 0, nullptr, 0, &queued), STATUS_PENDING);
  app().CancelIo(handle_);
  EXPECT_EQ(app().Result(&queued, true).status, STATUS_CANCELLED);
  EXPECT_EQ(device_.context.Irp, nullptr);
  EXPECT_EQ(app().DeviceIoControl(handle_, kTakeByContext, nullptr, 0, nullptr, 0).status, STATUS_NOT_FOUND);
}

TEST_F(CancelTest, AnIrpCancelledBeforeItIsQueuedIsCompletedAsCancelled) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK status{};
  char buffer[4];
  PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, device_object_, buffer, sizeof buffer, nullptr, &done, &status);
  EXPECT_FALSE(IoCancelIrp(irp)) << "no cancel routine yet, but the cancel bit is set";
  EXPECT_TRUE(irp->Cancel);
  EXPECT_EQ(IoCallDriver(device_object_, irp), STATUS_PENDING);
  EXPECT_EQ(status.Status, STATUS_CANCELLED);
  EXPECT_EQ(device_.log, std::vector<std::string>{"cancelled"});
}

TEST_F(CancelTest, CancelRoutineRunsAtDispatchLevelHoldingTheCancelLockItMustRelease) {
  sim::Overlapped held;
  ASSERT_EQ(app().DeviceIoControlAsync(handle_, kHoldWithOwnCancel, nullptr, 0, nullptr, 0, &held), STATUS_PENDING);
  app().CancelIo(handle_);
  EXPECT_EQ(app().Result(&held, true).status, STATUS_CANCELLED);
  EXPECT_EQ(device_.cancel_irql, DISPATCH_LEVEL);
  EXPECT_TRUE(device_.cancel_flag_seen);
  EXPECT_TRUE(device_.routine_cleared) << "IoCancelIrp takes the routine out before calling it";
  EXPECT_TRUE(kernel().verifier->clean()) << kernel().verifier->Summary();

  device_.cancel_releases_lock = false;
  ASSERT_EQ(app().DeviceIoControlAsync(handle_, kHoldWithOwnCancel, nullptr, 0, nullptr, 0, &held), STATUS_PENDING);
  app().CancelIo(handle_);
  EXPECT_EQ(app().Result(&held, true).status, STATUS_CANCELLED);
  TakeOnlyFinding("cancel-lock-held", "csqdev");
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(CancelTest, CloseRunsCleanupAtOnceAndCloseWhenTheLastRequestIsDone) {
  char buffer[4];
  sim::Overlapped read;
  ASSERT_EQ(app().ReadAsync(handle_, buffer, sizeof buffer, &read), STATUS_PENDING);
  ASSERT_EQ(app().Close(handle_), STATUS_SUCCESS);
  handle_ = nullptr;
  EXPECT_EQ(app().Result(&read, true).status, STATUS_CANCELLED) << "the driver's cleanup cancelled it";
  EXPECT_EQ(device_.log, (std::vector<std::string>{"cleanup", "close"}));

  // A driver whose cleanup leaves a request running: the file object, and
  // with it the close, wait for that request.
  device_.log.clear();
  device_.cleanup_cancels = false;
  ASSERT_EQ(app().Open("\\Device\\CsqDev", &handle_), STATUS_SUCCESS);
  ASSERT_EQ(app().ReadAsync(handle_, buffer, sizeof buffer, &read), STATUS_PENDING);
  app().Close(handle_);
  handle_ = nullptr;
  EXPECT_EQ(device_.log, std::vector<std::string>{"cleanup"});
  PIRP running = IoCsqRemoveNextIrp(&device_.csq, nullptr);
  ASSERT_NE(running, nullptr);
  Complete(running, STATUS_SUCCESS);
  EXPECT_EQ(app().Result(&read, true).status, STATUS_SUCCESS);
  kernel().scheduler->Settle();
  EXPECT_EQ(device_.log, (std::vector<std::string>{"cleanup", "close"}));
}

struct Leaver {
  sim::Application* app;
  HANDLE handle;
  ULONG code;
  sim::Overlapped request;
};

// Starts a request and ends the thread without waiting for it.
void NTAPI StartAndLeave(PVOID context) {
  auto* leaver = static_cast<Leaver*>(context);
  EXPECT_EQ(leaver->app->DeviceIoControlAsync(leaver->handle, leaver->code, nullptr, 0, nullptr, 0, &leaver->request),
            STATUS_PENDING);
}

TEST_F(CancelTest, ThreadExitCancelsItsRequestsAndWaitsForThem) {
  auto run = [&](Leaver* leaver) {
    HANDLE thread = nullptr;
    ASSERT_EQ(PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, StartAndLeave, leaver),
              STATUS_SUCCESS);
    PVOID object = nullptr;
    ObReferenceObjectByHandle(thread, SYNCHRONIZE, *PsThreadType, KernelMode, &object, nullptr);
    KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(object);
    ZwClose(thread);
  };
  Leaver cancellable{&app(), handle_, kQueueWithContext, {}};
  LONGLONG before = kernel().Now();
  run(&cancellable);
  EXPECT_EQ(app().Result(&cancellable.request, false).status, STATUS_CANCELLED);
  EXPECT_EQ(kernel().Now(), before) << "a request that is cancelled at once costs no time";

  // A request its driver cannot cancel holds the thread's exit five
  // minutes, then lets it go.
  Leaver stuck{&app(), handle_, kHoldUncancellable, {}};
  before = kernel().Now();
  run(&stuck);
  EXPECT_EQ(kernel().Now() - before, 5 * 60 * 10000000LL);
  EXPECT_NE(TakeOnlyFinding("irp-cancel-timeout", "csqdev").find("not completed within five minutes"),
            std::string::npos);
  Complete(device_.held, STATUS_SUCCESS);
  EXPECT_EQ(app().Result(&stuck.request, false).status, STATUS_SUCCESS) << "completed without its thread";
}

}  // namespace
