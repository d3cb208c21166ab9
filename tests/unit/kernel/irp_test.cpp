// IRPs through a three-deep device stack: completion order, pending
// propagation, the synchronous request builders and the verifier's rules.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "sim/kernel/io_manager.h"
#include "support/kernel_test.h"
#include "support/test_devices.h"
#include "wdm.h"

namespace {

using sim::test::CreateTestDevice;

enum class BottomMode {
  Complete,
  Park,
  CompleteTwice,
  PendWithoutMarking,
  MarkCompleteReturnPending,  // legal: marked, completed, STATUS_PENDING
  MarkCompleteReturnStatus,   // marked pending, yet returns the status
  CompleteReturnPending,      // returns STATUS_PENDING for an IRP it completed unmarked
  ReturnOtherStatus,          // returns a status other than the one it completed with
  ReturnRaised,               // returns at DISPATCH_LEVEL
  CompleteWithCancelRoutine,  // completes while its cancel routine is set
};

struct StackState {
  BottomMode mode = BottomMode::Complete;
  NTSTATUS status = STATUS_SUCCESS;
  ULONG_PTR information = 0;
  std::vector<std::string> log;
  PIRP parked = nullptr;
  bool originator_saw_pending = false;
  ULONG seen_input_length = 0;
  ULONG seen_output_length = 0;
  std::string seen_input;
  NTSTATUS inside_result = STATUS_MORE_PROCESSING_REQUIRED;  // what CompleteAgainInside returns
  KIRQL bottom_irql = PASSIVE_LEVEL;  // the IRQL the bottom driver last ran at
};
StackState* state = nullptr;

const char* NameOf(PDEVICE_OBJECT device) {
  if (!device) return "originator";
  if (!device->DeviceObjectExtension->AttachedTo) return "bottom";
  return device->AttachedDevice ? "middle" : "top";
}

IO_COMPLETION_ROUTINE LogAndPropagate;
NTSTATUS LogAndPropagate(PDEVICE_OBJECT device, PIRP irp, PVOID) {
  state->log.push_back(NameOf(device));
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  return STATUS_SUCCESS;
}

IO_COMPLETION_ROUTINE OriginatorHalts;
NTSTATUS OriginatorHalts(PDEVICE_OBJECT, PIRP irp, PVOID) {
  state->log.push_back("originator");
  state->originator_saw_pending = irp->PendingReturned;
  return STATUS_MORE_PROCESSING_REQUIRED;
}

DRIVER_DISPATCH StackDispatch;
void NTAPI NeverCalled(PDEVICE_OBJECT, PIRP) {}

NTSTATUS StackDispatch(PDEVICE_OBJECT device, PIRP irp) {
  PDEVICE_OBJECT lower = device->DeviceObjectExtension->AttachedTo;
  if (!lower) state->bottom_irql = KeGetCurrentIrql();
  if (lower) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, LogAndPropagate, nullptr, TRUE, TRUE, TRUE);
    return IoCallDriver(lower, irp);
  }
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
    state->seen_input_length = stack->Parameters.DeviceIoControl.InputBufferLength;
    state->seen_output_length = stack->Parameters.DeviceIoControl.OutputBufferLength;
    auto* buffer = static_cast<char*>(irp->AssociatedIrp.SystemBuffer);
    state->seen_input.assign(buffer, state->seen_input_length);
    std::memset(buffer, 'R', state->seen_output_length);
  } else if (stack->MajorFunction == IRP_MJ_READ) {
    std::memcpy(irp->UserBuffer, "abc", 3);
  }
  switch (state->mode) {
    case BottomMode::Park:
      IoMarkIrpPending(irp);
      state->parked = irp;
      return STATUS_PENDING;
    case BottomMode::PendWithoutMarking:
      state->parked = irp;
      return STATUS_PENDING;
    case BottomMode::CompleteTwice:
      irp->IoStatus.Status = state->status;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return state->status;
    case BottomMode::MarkCompleteReturnPending:
    case BottomMode::MarkCompleteReturnStatus:
      IoMarkIrpPending(irp);
      irp->IoStatus.Status = state->status;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return state->mode == BottomMode::MarkCompleteReturnPending ? STATUS_PENDING : state->status;
    case BottomMode::CompleteReturnPending:
      irp->IoStatus.Status = state->status;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return STATUS_PENDING;
    case BottomMode::ReturnOtherStatus:
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return STATUS_UNSUCCESSFUL;
    case BottomMode::ReturnRaised: {
      KIRQL old;
      KeRaiseIrql(DISPATCH_LEVEL, &old);
      break;
    }
    case BottomMode::CompleteWithCancelRoutine:
      IoSetCancelRoutine(irp, NeverCalled);
      break;
    case BottomMode::Complete:
      break;
  }
  irp->IoStatus.Status = state->status;
  irp->IoStatus.Information = state->information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return state->status;
}

class IrpTest : public sim::test::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    state = &state_;
    driver_ = kernel().io->CreateBuiltinDriver("irptest");
    for (auto& dispatch : driver_->object.MajorFunction) dispatch = StackDispatch;
    bottom_ = CreateTestDevice(driver_, u"\\Device\\IrpTestBottom");
    middle_ = CreateTestDevice(driver_);
    top_ = CreateTestDevice(driver_);
    ASSERT_EQ(IoAttachDeviceToDeviceStack(middle_, bottom_), bottom_);
    ASSERT_EQ(IoAttachDeviceToDeviceStack(top_, bottom_), middle_);
    ASSERT_EQ(top_->StackSize, 3);
  }
  void TearDown() override {
    IoDetachDevice(middle_);
    IoDetachDevice(bottom_);
    IoDeleteDevice(top_);
    IoDeleteDevice(middle_);
    IoDeleteDevice(bottom_);
    KernelTest::TearDown();
    state = nullptr;
  }
  // An IRP of our own, with a completion routine that takes it back.
  PIRP OwnIrp() {
    PIRP irp = IoAllocateIrp(top_->StackSize + 1, FALSE);
    IoSetNextIrpStackLocation(irp);
    IoGetCurrentIrpStackLocation(irp)->DeviceObject = nullptr;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, OriginatorHalts, nullptr, TRUE, TRUE, TRUE);
    return irp;
  }

  StackState state_;
  sim::DriverRecord* driver_ = nullptr;
  DEVICE_OBJECT* bottom_ = nullptr;
  DEVICE_OBJECT* middle_ = nullptr;
  DEVICE_OBJECT* top_ = nullptr;
};

TEST_F(IrpTest, CompletionRoutinesRunBottomUpAndStopAtMoreProcessingRequired) {
  PIRP irp = OwnIrp();
  state_.status = STATUS_INVALID_PARAMETER;  // invoke-on-error routines run too
  EXPECT_EQ(IoCallDriver(top_, irp), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(state_.log, (std::vector<std::string>{"middle", "top", "originator"}));
  EXPECT_FALSE(state_.originator_saw_pending);
  EXPECT_EQ(irp->IoStatus.Status, STATUS_INVALID_PARAMETER);
  IoFreeIrp(irp);
}

TEST_F(IrpTest, PendingReturnedPropagatesToTheOriginator) {
  state_.mode = BottomMode::Park;
  PIRP irp = OwnIrp();
  EXPECT_EQ(IoCallDriver(top_, irp), STATUS_PENDING);
  EXPECT_TRUE(state_.log.empty());
  state_.parked->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(state_.parked, IO_NO_INCREMENT);
  EXPECT_EQ(state_.log, (std::vector<std::string>{"middle", "top", "originator"}));
  EXPECT_TRUE(state_.originator_saw_pending);
  IoFreeIrp(irp);
}

TEST_F(IrpTest, SynchronousFsdRequestIsBuiltForItsDocumentedMajorFunctionsOnly) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK status{};
  EXPECT_EQ(IoBuildSynchronousFsdRequest(IRP_MJ_DEVICE_CONTROL, top_, nullptr, 0, nullptr, &event, &status), nullptr);
  TakeOnlyFinding("bad-parameter", "kernel");
  char buffer[8] = {};
  for (ULONG major : {IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_FLUSH_BUFFERS, IRP_MJ_SHUTDOWN, IRP_MJ_PNP, IRP_MJ_POWER}) {
    KeClearEvent(&event);
    PIRP irp = IoBuildSynchronousFsdRequest(major, top_, buffer, sizeof buffer, nullptr, &event, &status);
    ASSERT_NE(irp, nullptr) << major;
    IoCallDriver(top_, irp);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
  }
}

TEST_F(IrpTest, SynchronousFsdRequestSignalsItsEventAndFillsTheStatusBlock) {
  state_.information = 3;
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK status{};
  char buffer[8] = {};
  PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, top_, buffer, sizeof buffer, nullptr, &event, &status);
  ASSERT_NE(irp, nullptr);
  EXPECT_EQ(IoCallDriver(top_, irp), STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(&event), 1);
  EXPECT_EQ(status.Status, STATUS_SUCCESS);
  EXPECT_EQ(status.Information, 3u);
  EXPECT_STREQ(buffer, "abc");
  EXPECT_EQ(kernel().io->irps_in_use(), 0u) << "the I/O manager frees a request it built";
}

TEST_F(IrpTest, BufferedControlRequestCopiesBackInformationBytesOnly) {
  state_.information = 4;
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK status{};
  char input[] = "hello";
  char output[16];
  std::memset(output, 'x', sizeof output);
  PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS),
                                           top_, input, 5, output, sizeof output, FALSE, &event, &status);
  ASSERT_NE(irp, nullptr);
  EXPECT_EQ(IoCallDriver(top_, irp), STATUS_SUCCESS);
  EXPECT_EQ(state_.seen_input, "hello");
  EXPECT_EQ(state_.seen_input_length, 5u);
  EXPECT_EQ(state_.seen_output_length, 16u);
  EXPECT_EQ(std::string(output, 6), "RRRRxx");
  EXPECT_EQ(status.Information, 4u);
}

TEST_F(IrpTest, InformationPastTheCallersBufferIsAFindingAndNotCopied) {
  state_.information = 64;  // the driver claims more than the caller has room for
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK status{};
  char output[8 + 8];
  std::memset(output, 'x', sizeof output);
  PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS),
                                           top_, nullptr, 0, output, 8, FALSE, &event, &status);
  IoCallDriver(top_, irp);
  EXPECT_EQ(std::string(output, 16), "RRRRRRRRxxxxxxxx") << "only the 8 bytes the caller offered";
  EXPECT_EQ(kernel().verifier->Count("irp-information-overrun"), 1u);
  kernel().verifier->Forget("irp-information-overrun");
}

TEST_F(IrpTest, ErrorStatusCopiesNothingBack) {
  state_.status = STATUS_INVALID_DEVICE_REQUEST;
  state_.information = 4;
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK status{};
  char output[4] = {'x', 'x', 'x', 'x'};
  PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS),
                                           top_, nullptr, 0, output, sizeof output, FALSE, &event, &status);
  IoCallDriver(top_, irp);
  EXPECT_EQ(status.Status, STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(std::string(output, 4), "xxxx");
}

TEST_F(IrpTest, VerifierCatchesDoubleCompletionAndUnmarkedPending) {
  state_.mode = BottomMode::CompleteTwice;
  PIRP irp = OwnIrp();
  IoCallDriver(top_, irp);
  EXPECT_EQ(kernel().verifier->Count("irp-completed-twice"), 1u);
  IoFreeIrp(irp);
  kernel().verifier->Forget("irp-completed-twice");

  // The bottom driver returns STATUS_PENDING without marking. The drivers
  // above propagate PendingReturned in their completion routines, so the
  // missing mark breaks the chain for them too: three findings, the
  // culprit's first.
  state_.mode = BottomMode::PendWithoutMarking;
  state_.log.clear();
  irp = OwnIrp();
  EXPECT_EQ(IoCallDriver(top_, irp), STATUS_PENDING);
  state_.parked->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(state_.parked, IO_NO_INCREMENT);
  ASSERT_EQ(kernel().verifier->Count("irp-pending-not-marked"), 3u);
  EXPECT_NE(kernel().verifier->findings()[0].detail.find("IrpTestBottom"), std::string::npos);
  kernel().verifier->Forget("irp-pending-not-marked");
  IoFreeIrp(irp);
}

// The wait-for-lower-drivers pattern: a driver's completion routine halts
// the IRP, and the driver then completes it once more from its own
// stack location; the drivers above see the completion normally.
IO_COMPLETION_ROUTINE SignalAndHalt;
NTSTATUS SignalAndHalt(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

DRIVER_DISPATCH WaitForLowerThenComplete;
NTSTATUS WaitForLowerThenComplete(PDEVICE_OBJECT device, PIRP irp) {
  KEVENT lower_done;
  KeInitializeEvent(&lower_done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, SignalAndHalt, &lower_done, TRUE, TRUE, TRUE);
  IoCallDriver(device->DeviceObjectExtension->AttachedTo, irp);
  KeWaitForSingleObject(&lower_done, Executive, KernelMode, FALSE, nullptr);
  state->log.push_back("top-after-wait");
  NTSTATUS status = irp->IoStatus.Status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

TEST_F(IrpTest, DriverMayCompleteAgainAfterItsRoutineHalted) {
  driver_->object.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = [](PDEVICE_OBJECT device, PIRP irp) NTAPI {
    return device->AttachedDevice ? StackDispatch(device, irp) : WaitForLowerThenComplete(device, irp);
  };
  PIRP irp = OwnIrp();
  EXPECT_EQ(IoCallDriver(top_, irp), STATUS_SUCCESS);
  EXPECT_EQ(state_.log, (std::vector<std::string>{"middle", "top-after-wait", "originator"}));
  EXPECT_EQ(kernel().verifier->Count("irp-completed-twice"), 0u);
  IoFreeIrp(irp);
}

// A routine may also complete its IRP again from inside itself (a power
// policy owner whose device request finished at once) when it then stops
// the outer completion; letting that go on as well completes it twice.
IO_COMPLETION_ROUTINE CompleteAgainInside;
NTSTATUS CompleteAgainInside(PDEVICE_OBJECT, PIRP irp, PVOID) {
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return state->inside_result;
}

DRIVER_DISPATCH PassDownCompletingInside;
NTSTATUS PassDownCompletingInside(PDEVICE_OBJECT device, PIRP irp) {
  IoMarkIrpPending(irp);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, CompleteAgainInside, nullptr, TRUE, TRUE, TRUE);
  IoCallDriver(device->DeviceObjectExtension->AttachedTo, irp);
  return STATUS_PENDING;
}

TEST_F(IrpTest, RoutineMayCompleteAgainInsideItselfOnlyIfItStopsCompletion) {
  driver_->object.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = [](PDEVICE_OBJECT device, PIRP irp) NTAPI {
    return device->AttachedDevice ? StackDispatch(device, irp) : PassDownCompletingInside(device, irp);
  };
  for (NTSTATUS returned : {STATUS_MORE_PROCESSING_REQUIRED, STATUS_SUCCESS}) {
    state_.log.clear();
    state_.inside_result = returned;
    PIRP irp = OwnIrp();
    EXPECT_EQ(IoCallDriver(top_, irp), STATUS_PENDING);
    EXPECT_EQ(state_.log, (std::vector<std::string>{"middle", "originator"})) << "the originator's routine ran once";
    EXPECT_EQ(kernel().verifier->Count("irp-completed-twice"), returned == STATUS_SUCCESS ? 1u : 0u);
    kernel().verifier->Forget("irp-completed-twice");
    IoFreeIrp(irp);
  }
}

// Power requests and DO_POWER_PAGABLE: the power manager sends a stack
// whose top is not power-pageable its requests at DISPATCH_LEVEL (and one
// that is at PASSIVE_LEVEL); a driver that passes a power request to a
// power-pageable device above PASSIVE_LEVEL is a finding.
TEST_F(IrpTest, PowerRequestsKeepToTheIrqlOfPageableStacks) {
  POWER_STATE d0;
  d0.DeviceState = PowerDeviceD0;
  ASSERT_EQ(PoRequestPowerIrp(bottom_, IRP_MN_QUERY_POWER, d0, nullptr, nullptr, nullptr), STATUS_PENDING);
  EXPECT_EQ(state_.bottom_irql, DISPATCH_LEVEL);
  top_->Flags |= DO_POWER_PAGABLE;
  ASSERT_EQ(PoRequestPowerIrp(bottom_, IRP_MN_QUERY_POWER, d0, nullptr, nullptr, nullptr), STATUS_PENDING);
  EXPECT_EQ(state_.bottom_irql, PASSIVE_LEVEL);
  EXPECT_EQ(kernel().verifier->Count("irql"), 0u);

  PIRP irp = OwnIrp();
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_POWER;
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  PoCallDriver(top_, irp);
  KeLowerIrql(old);
  EXPECT_NE(TakeOnlyFinding("irql", "kernel").find("power-pageable"), std::string::npos);
  IoFreeIrp(irp);
}

TEST_F(IrpTest, AllocatedIrpCompletedPastItsOwnerIsAFinding) {
  PIRP irp = IoAllocateIrp(top_->StackSize, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  IoCallDriver(top_, irp);
  EXPECT_EQ(kernel().verifier->Count("irp-completed-to-top"), 1u);
  kernel().verifier->Forget("irp-completed-to-top");
  IoFreeIrp(irp);
}

// What a dispatch routine returns must agree with what it did: each rule
// broken once by the bottom driver, sent an IRP of the test's own so that no
// driver above repeats the fault.
TEST_F(IrpTest, DispatchReturnMustAgreeWithPendingAndCompletion) {
  auto send_to_bottom = [&](BottomMode mode) {
    state_.mode = mode;
    PIRP irp = OwnIrp();
    NTSTATUS status = IoCallDriver(bottom_, irp);
    IoFreeIrp(irp);
    return status;
  };
  EXPECT_EQ(send_to_bottom(BottomMode::MarkCompleteReturnPending), STATUS_PENDING);
  EXPECT_TRUE(state_.originator_saw_pending);
  EXPECT_TRUE(kernel().verifier->clean()) << kernel().verifier->Summary();

  send_to_bottom(BottomMode::MarkCompleteReturnStatus);
  EXPECT_NE(TakeOnlyFinding("irp-pending-not-returned", "irptest").find("IrpTestBottom"), std::string::npos);
  send_to_bottom(BottomMode::CompleteReturnPending);
  EXPECT_NE(TakeOnlyFinding("irp-pending-not-marked", "irptest").find("IrpTestBottom"), std::string::npos);
  send_to_bottom(BottomMode::ReturnOtherStatus);
  EXPECT_NE(TakeOnlyFinding("irp-status-mismatch", "irptest").find("returned 0xC0000001 for an IRP completed with 0x0"),
            std::string::npos);
  send_to_bottom(BottomMode::ReturnRaised);
  EXPECT_NE(TakeOnlyFinding("irql", "irptest").find("returned at IRQL 2; it was called at IRQL 0"), std::string::npos);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL) << "the caller's IRQL is restored";
  send_to_bottom(BottomMode::CompleteWithCancelRoutine);
  TakeOnlyFinding("irp-completed-with-cancel-routine", "kernel");  // the test's own code completed it
}

TEST_F(IrpTest, IrpSentToADeletedDeviceIsAFinding) {
  DEVICE_OBJECT* gone = CreateTestDevice(driver_);
  ObReferenceObject(gone);  // keeps the deleted device's memory
  IoDeleteDevice(gone);
  PIRP irp = OwnIrp();
  IoCallDriver(gone, irp);
  TakeOnlyFinding("irp-to-deleted-device", "kernel");
  IoFreeIrp(irp);
  ObDereferenceObject(gone);
}

TEST_F(IrpTest, UnhandledMajorFunctionIsAnInvalidDeviceRequest) {
  sim::DriverRecord* bare = kernel().io->CreateBuiltinDriver("bare");
  DEVICE_OBJECT* device = CreateTestDevice(bare, u"\\Device\\Bare");
  HANDLE handle = nullptr;
  EXPECT_EQ(app().Open("\\Device\\Bare", &handle), STATUS_INVALID_DEVICE_REQUEST);
  IoDeleteDevice(device);
}

TEST_F(IrpTest, LostIrpIsReportedAtShutdown) {
  PIRP irp = IoAllocateIrp(1, FALSE);
  ASSERT_NE(irp, nullptr);
  kernel().io->CheckShutdown();
  EXPECT_EQ(kernel().verifier->Count("irp-lost"), 1u);
  kernel().verifier->Forget("irp-lost");
  kernel().verifier->Forget("device-leak");  // the stack is torn down after this test body
  IoFreeIrp(irp);
}

TEST(IrpDeathTest, SendingAnIrpWithNoStackLocationLeftBugChecks) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        sim::Machine machine;
        sim::DriverRecord* driver = machine.kernel().io->CreateBuiltinDriver("short");
        DEVICE_OBJECT* device = CreateTestDevice(driver);
        PIRP irp = IoAllocateIrp(1, FALSE);
        IoSetNextIrpStackLocation(irp);  // uses up the only location
        IoCallDriver(device, irp);
      },
      "irp-no-stack-location");
}

}  // namespace
