// Plug and Play actions on the card and its ports while an application
// holds a port open with a read pending, under many seeds with preemption;
// and device power D3/D0 sent as the power manager sends it.
#include "serial_machine.h"

#include <string>

#include "sim/hw/devices/loopback_plug.h"

namespace serial_test {
namespace {

using Kind = sim::MachineAction::Kind;

// One seeded run: rebalance of the open port and of its card, a disable
// and a removal of the card that the open port vetoes, surprise removal of
// the card.
void RunPnpActions(uint64_t seed) {
  sim::MachineConfig config = sim::test::PreemptedMachine(seed);
  config.cards.push_back(FourPortCard());
  sim::Machine machine(config);
  machine.Boot();
  SerialPorts ports(machine);
  sim::Application& app = machine.app();
  machine.cards().at(0).model->Plug(0, std::make_unique<sim::hw::LoopbackPlug>());
  HANDLE port = ports.Open("\\\\.\\COM3");
  ASSERT_EQ(ports.Set(port, IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{19200}), STATUS_SUCCESS);
  auto echo = [&](const std::string& text) {
    std::string back(text.size(), '\0');
    sim::Overlapped echo_read;
    ASSERT_EQ(app.ReadAsync(port, back.data(), ULONG(back.size()), &echo_read), STATUS_PENDING);
    EXPECT_EQ(app.Write(port, text.data(), ULONG(text.size())).status, STATUS_SUCCESS);
    EXPECT_EQ(app.Result(&echo_read, true).status, STATUS_SUCCESS);
    EXPECT_EQ(back, text);
  };
  echo("before the rebalance");

  // Rebalance: the pending read ends, the port comes back with its settings
  // on the UART and the handle still works.
  char buffer[8];
  sim::Overlapped read;
  ASSERT_EQ(app.ReadAsync(port, buffer, sizeof(buffer), &read), STATUS_PENDING);
  EXPECT_EQ(ports.Act(Kind::Rebalance, 1).status, STATUS_SUCCESS);
  EXPECT_EQ(app.Result(&read, true).status, STATUS_CANCELLED);
  EXPECT_TRUE(ports.Started(1));
  EXPECT_EQ(machine.cards().at(0).model->uart(0).divisor(), 6);
  EXPECT_EQ(machine.cards().at(0).model->uart(0).modem_control(), 0x0B);
  EXPECT_EQ(ports.Get<SERIAL_BAUD_RATE>(port, IOCTL_SERIAL_GET_BAUD_RATE).BaudRate, 19200u);
  echo("after the rebalance");

  // Rebalancing the card rebalances its ports too: they stop before it and
  // start again after it. (The card keeps its windows here: a card moved to
  // new windows brings its saved header back, and its UARTs stay behind.)
  ASSERT_EQ(app.ReadAsync(port, buffer, sizeof(buffer), &read), STATUS_PENDING);
  EXPECT_EQ(ports.Act(Kind::Rebalance, 0, false).status, STATUS_SUCCESS);
  EXPECT_EQ(app.Result(&read, true).status, STATUS_CANCELLED);
  EXPECT_TRUE(ports.Started(1));
  EXPECT_EQ(machine.cards().at(0).model->uart(0).divisor(), 6) << "the port's settings went back to its UART";
  echo("after the card's rebalance");

  // Disabling the card asks the open port first: it stays, read and all.
  ASSERT_EQ(app.ReadAsync(port, buffer, sizeof(buffer), &read), STATUS_PENDING);
  EXPECT_EQ(ports.Act(Kind::Disable, 0).status, STATUS_PLUGPLAY_QUERY_VETOED);
  EXPECT_EQ(ports.Act(Kind::Remove, 0).status, STATUS_PLUGPLAY_QUERY_VETOED);
  EXPECT_TRUE(ports.Started(1));
  EXPECT_EQ(app.Result(&read, false).status, STATUS_PENDING);

  // Pulling the card ends the read; the handle answers "delete pending"
  // until it is closed, and the port goes once it is.
  EXPECT_EQ(ports.Act(Kind::SurpriseRemove, 0).status, STATUS_SUCCESS);
  EXPECT_EQ(app.Result(&read, true).status, STATUS_DELETE_PENDING);
  EXPECT_EQ(ports.Control(port, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, buffer, sizeof(SERIAL_BAUD_RATE)).status,
            STATUS_DELETE_PENDING);
  EXPECT_EQ(app.Read(port, buffer, sizeof(buffer)).status, STATUS_DELETE_PENDING);
  EXPECT_EQ(app.Close(port), STATUS_SUCCESS);
  machine.Shutdown();
  EXPECT_TRUE(machine.verifier().clean()) << machine.verifier().Summary();
}

TEST(SerialPnpTest, OpenPortThroughRebalanceVetoedDisableAndSurpriseRemovalUnderManySeeds) {
  const sim::test::SeedRange seeds = sim::test::SeedsFromEnvironment(40);
  for (uint64_t seed = seeds.first; seed <= seeds.last(); ++seed) {
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    RunPnpActions(seed);
    if (HasFailure()) break;
  }
}

// Reads, writes, time-outs and cancellation racing each other and the
// interrupt: every request ends once, with a status that fits, and the
// reads get what was sent, in order.
void RunRacingRequests(uint64_t seed) {
  sim::MachineConfig config = sim::test::PreemptedMachine(seed, 3);
  config.cards.push_back(FourPortCard());
  sim::Machine machine(config);
  machine.Boot();
  SerialPorts ports(machine);
  sim::Application& app = machine.app();
  machine.cards().at(0).model->Plug(0, std::make_unique<sim::hw::LoopbackPlug>());
  HANDLE port = ports.Open("\\\\.\\COM3");
  ASSERT_EQ(ports.Set(port, IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{115200}), STATUS_SUCCESS);
  ASSERT_EQ(ports.SetTimeouts(port, 1, 0, 0, 0, 0), STATUS_SUCCESS);
  std::string sent;
  for (int i = 0; i < 120; ++i) sent.push_back(static_cast<char>('a' + i % 26));
  std::string first(80, '\0'), second(80, '\0');
  sim::Overlapped read1, read2, write;
  ASSERT_EQ(app.ReadAsync(port, first.data(), ULONG(first.size()), &read1), STATUS_PENDING);
  ASSERT_EQ(app.ReadAsync(port, second.data(), ULONG(second.size()), &read2), STATUS_PENDING);
  app.WriteAsync(port, sent.data(), ULONG(sent.size()), &write);
  ports.Wait(static_cast<LONGLONG>(seed % 13) * 1000);  // somewhere inside the transfer
  EXPECT_EQ(app.CancelIo(port), STATUS_SUCCESS);
  const sim::IoResult r1 = app.Result(&read1, true);
  const sim::IoResult r2 = app.Result(&read2, true);
  const sim::IoResult w = app.Result(&write, true);
  for (const sim::IoResult& r : {r1, r2})
    EXPECT_TRUE(r.status == STATUS_SUCCESS || r.status == STATUS_TIMEOUT || r.status == STATUS_CANCELLED)
        << std::hex << r.status;
  EXPECT_TRUE(w.status == STATUS_SUCCESS || w.status == STATUS_CANCELLED) << std::hex << w.status;
  // The reads took the bytes in order; a cancelled read's bytes are not
  // copied back (an error status), but they were taken.
  if (r1.status != STATUS_CANCELLED) {
    EXPECT_EQ(first.substr(0, r1.information), sent.substr(0, r1.information));
  }
  if (r2.status != STATUS_CANCELLED) {
    EXPECT_EQ(second.substr(0, r2.information), sent.substr(r1.information, r2.information));
  }
  EXPECT_LE(r1.information + r2.information, w.information);
  EXPECT_EQ(app.Close(port), STATUS_SUCCESS);
  machine.Shutdown();
  EXPECT_TRUE(machine.verifier().clean()) << machine.verifier().Summary();
}

TEST(SerialRaceTest, ReadsWritesAndCancellationRaceCleanlyUnderManySeeds) {
  const sim::test::SeedRange seeds = sim::test::SeedsFromEnvironment(100);
  for (uint64_t seed = seeds.first; seed <= seeds.last(); ++seed) {
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    RunRacingRequests(seed);
    if (HasFailure()) break;
  }
}

TEST_F(SerialTest, ClosedPortsFollowDisableEnableAndRemovalOfTheCard) {
  EXPECT_EQ(ports().Act(Kind::Disable, 0).status, STATUS_SUCCESS);
  // Disabled, the port withdraws its link and SERIALCOMM entry.
  ports().Open("\\\\.\\COM4", STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_TRUE(ports().registry().ValueNames(kSerialComm).empty());
  EXPECT_EQ(ports().Act(Kind::Enable, 0).status, STATUS_SUCCESS);
  ASSERT_TRUE(ports().Started(2));
  HANDLE port = ports().Open("\\\\.\\COM4");
  EXPECT_EQ(machine().app().Close(port), STATUS_SUCCESS);
  EXPECT_EQ(ports().registry().ValueNames(kSerialComm).size(), 4u);
  EXPECT_EQ(ports().Act(Kind::Remove, 0).status, STATUS_SUCCESS);
  ports().Open("\\\\.\\COM4", STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_TRUE(ports().registry().ValueNames(kSerialComm).empty());
}

// A device power request to the top of port 1's stack, as the power
// manager sends it.
NTSTATUS NTAPI PowerDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  static_cast<IO_STATUS_BLOCK*>(context)->Status = irp->IoStatus.Status;
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS SetDevicePower(SerialPorts& ports, DEVICE_POWER_STATE state) {
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(ports.Node(1)->pdo);
  PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
  // The card's port device completes power requests with the status they
  // carry, so the request starts out as a success.
  irp->IoStatus.Status = STATUS_SUCCESS;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = IRP_MJ_POWER;
  stack->MinorFunction = IRP_MN_SET_POWER;
  stack->Parameters.Power.Type = DevicePowerState;
  stack->Parameters.Power.State.DeviceState = state;
  IO_STATUS_BLOCK result{};
  result.Status = STATUS_PENDING;
  IoSetCompletionRoutine(irp, PowerDone, &result, TRUE, TRUE, TRUE);
  PoCallDriver(top, irp);
  while (result.Status == STATUS_PENDING) ports.Wait(kMs);
  IoFreeIrp(irp);
  ObDereferenceObject(top);
  return result.Status;
}

TEST_F(SerialTest, D3SilencesTheUartAndD0ProgramsItAgainFromTheKeptSettings) {
  HANDLE port = ports().Open("\\\\.\\COM3");
  sim::hw::Uart16550& uart = machine().cards().at(0).model->uart(0);
  ASSERT_EQ(ports().Set(port, IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{38400}), STATUS_SUCCESS);
  ASSERT_EQ(ports().Set(port, IOCTL_SERIAL_SET_LINE_CONTROL, SERIAL_LINE_CONTROL{STOP_BIT_1, ODD_PARITY, 7}),
            STATUS_SUCCESS);
  char buffer[4];
  sim::Overlapped read;
  ASSERT_EQ(machine().app().ReadAsync(port, buffer, sizeof(buffer), &read), STATUS_PENDING);

  EXPECT_EQ(SetDevicePower(ports(), PowerDeviceD3), STATUS_SUCCESS);
  EXPECT_EQ(uart.modem_control(), 0x00);
  // The UART loses its state while off; settings still answer from the driver.
  uart.Reset();
  EXPECT_EQ(ports().Get<SERIAL_BAUD_RATE>(port, IOCTL_SERIAL_GET_BAUD_RATE).BaudRate, 38400u);
  EXPECT_EQ(machine().app().Result(&read, false).status, STATUS_PENDING);

  EXPECT_EQ(SetDevicePower(ports(), PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(uart.divisor(), 3);
  EXPECT_EQ(uart.line_control(), 0x0A);
  EXPECT_EQ(uart.modem_control(), 0x0B);
  EXPECT_EQ(machine().app().Result(&read, false).status, STATUS_PENDING);
  EXPECT_EQ(machine().app().Close(port), STATUS_SUCCESS);
  EXPECT_EQ(machine().app().Result(&read, true).status, STATUS_CANCELLED);
}

}  // namespace
}  // namespace serial_test
