// The UART's interrupt through the card's INTx into a connected service
// routine, as the serial port driver will take it: a plug-and-play device
// answers the enumeration sequence and an interrupt service routine
// collects the identification string from the receive FIFO, under many
// seeds with preemption on.
#include <gtest/gtest.h>

#include <string>

#include "sim/hw/devices/pnp_device.h"
#include "sim/kernel/interrupts.h"
#include "sim/kernel/pnp/resource_arbiter.h"
#include "support/seed_range.h"
#include "wdm.h"

namespace {

using sim::hw::Uart16550;

constexpr uint16_t kBase = 0xD200;

UCHAR In(unsigned reg) { return READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(static_cast<uintptr_t>(kBase + reg))); }
void Out(unsigned reg, UCHAR value) {
  WRITE_PORT_UCHAR(reinterpret_cast<PUCHAR>(static_cast<uintptr_t>(kBase + reg)), value);
}

struct Receiver {
  PKINTERRUPT interrupt = nullptr;
  KDPC dpc;
  KEVENT done;
  std::string bytes;
  size_t expected = 0;
  unsigned services = 0;
  unsigned timeouts = 0;
  bool wrong_irql = false;
};

// Services every cause until IIR says none is left; a shared line's
// routine claims only what its UART raised.
BOOLEAN NTAPI UartIsr(PKINTERRUPT, PVOID context) {
  auto* r = static_cast<Receiver*>(context);
  UCHAR iir = In(Uart16550::kInterruptId);
  if (iir & 0x01) return FALSE;
  ++r->services;
  if (KeGetCurrentIrql() != sim::InterruptIrql(0x0B)) r->wrong_irql = true;
  for (; !(iir & 0x01); iir = In(Uart16550::kInterruptId)) {
    switch (iir & 0x0F) {
      case 0x0C:
        ++r->timeouts;
        [[fallthrough]];
      case 0x04:
        while (In(Uart16550::kLineStatus) & Uart16550::kDataReady) r->bytes.push_back(static_cast<char>(In(0)));
        break;
      case 0x06: In(Uart16550::kLineStatus); break;
      case 0x00: In(Uart16550::kModemStatus); break;
      default: break;
    }
  }
  if (r->bytes.size() == r->expected) KeInsertQueueDpc(&r->dpc, nullptr, nullptr);
  return TRUE;
}

void NTAPI ReceiverDpc(PKDPC, PVOID context, PVOID, PVOID) {
  KeSetEvent(&static_cast<Receiver*>(context)->done, IO_NO_INCREMENT, FALSE);
}

TEST(UartInterruptSeedTest, AnInterruptDrivenReceiverCollectsAPnpIdentification) {
  const sim::test::SeedRange seeds = sim::test::SeedsFromEnvironment(100);
  sim::hw::PnpIdFields fields;
  fields.device_class = "MOUSE";
  const std::string id = sim::hw::BuildPnpId(fields);
  for (uint64_t seed = seeds.first; seed <= seeds.last(); ++seed) {
    sim::MachineConfig config = sim::test::PreemptedMachine(seed);
    sim::CardConfig card;
    card.device_id = 0x1199;  // bound to no driver
    card.uart_count = 4;
    card.interrupt_line = 0x0B;
    config.cards.push_back(card);
    sim::Machine machine(config);
    machine.Boot();
    sim::hw::UartCard& model = *machine.cards().at(0).model;
    model.Write(sim::hw::UartCard::kBlockBase + 4, kBase, 2);
    model.Write(sim::hw::UartCard::kBlockBase, 0x01, 1);
    model.Plug(0, std::make_unique<sim::hw::PnpDevice>(sim::hw::PnpBehaviour{id}));

    Receiver receiver;
    receiver.expected = id.size();
    KeInitializeDpc(&receiver.dpc, ReceiverDpc, &receiver);
    KeInitializeEvent(&receiver.done, NotificationEvent, FALSE);
    ASSERT_EQ(IoConnectInterrupt(&receiver.interrupt, UartIsr, &receiver, nullptr, sim::TranslatedVector(0x0B),
                                 sim::InterruptIrql(0x0B), sim::InterruptIrql(0x0B), LevelSensitive, TRUE, 3, FALSE),
              STATUS_SUCCESS);
    Out(Uart16550::kLineControl, 0x82);
    Out(0, 96);
    Out(1, 0);
    Out(Uart16550::kLineControl, 0x02);       // 1200 7N1
    Out(Uart16550::kFifoControl, 0x87);       // FIFO on, trigger level 8
    Out(Uart16550::kInterruptEnable, 0x05);
    Out(Uart16550::kModemControl, Uart16550::kDtr | Uart16550::kOut2);
    LARGE_INTEGER wait;
    wait.QuadPart = -200 * 10000;
    KeDelayExecutionThread(KernelMode, FALSE, &wait);
    Out(Uart16550::kModemControl, Uart16550::kDtr | Uart16550::kRts | Uart16550::kOut2);
    wait.QuadPart = -2000 * 10000;
    EXPECT_EQ(KeWaitForSingleObject(&receiver.done, Executive, KernelMode, FALSE, &wait), STATUS_SUCCESS)
        << "seed " << seed << ": got \"" << receiver.bytes << "\"";
    EXPECT_EQ(receiver.bytes, id) << "seed " << seed;
    EXPECT_FALSE(receiver.wrong_irql) << "seed " << seed;
    EXPECT_GE(receiver.timeouts, 1u) << "seed " << seed << ": the last bytes are below the trigger level";
    EXPECT_GE(model.uart(0).counters().interrupts, receiver.services) << "seed " << seed;
    EXPECT_FALSE(machine.kernel().interrupts->Asserted(0x0B)) << "seed " << seed;
    IoDisconnectInterrupt(receiver.interrupt);
    machine.Shutdown();
    EXPECT_TRUE(machine.verifier().clean()) << "seed " << seed << "\n" << machine.verifier().Summary();
  }
}

}  // namespace

namespace {

// A card the Plug and Play manager disables stops decoding, so its INTx
// goes low whatever its UARTs want; enabled again, it decodes as before.
TEST(CardInterruptTest, ADisabledCardDeassertsItsLine) {
  sim::MachineConfig config;
  config.cards.push_back(sim::CardConfig{});
  sim::Machine machine(config);
  machine.Boot();
  // Once the port enumerator's first probes are over, no driver has a port
  // open (an open port's interrupt routine would serve the UART's request).
  machine.DelayUntil(4000 * 10000LL);
  sim::hw::UartCard& model = *machine.cards().at(0).model;
  const ULONG line = model.Get8(0x3C);
  const uint16_t decodes = model.Get16(0x04) & 0x0007;
  ASSERT_NE(decodes & 0x0001, 0) << "started: I/O decoding on";
  model.uart(0).Write(Uart16550::kModemControl, Uart16550::kOut2);
  model.uart(0).Write(Uart16550::kInterruptEnable, 0x02);  // THR empty: interrupt at once
  model.UpdateInterrupt();
  EXPECT_TRUE(machine.kernel().interrupts->Asserted(line));

  sim::MachineAction disable;
  disable.kind = sim::MachineAction::Kind::Disable;
  EXPECT_EQ(machine.Perform(disable).status, STATUS_SUCCESS);
  EXPECT_EQ(model.Get16(0x04) & 0x0007, 0);
  EXPECT_FALSE(machine.kernel().interrupts->Asserted(line));
  sim::MachineAction enable;
  enable.kind = sim::MachineAction::Kind::Enable;
  EXPECT_EQ(machine.Perform(enable).status, STATUS_SUCCESS);
  EXPECT_EQ(model.Get16(0x04) & 0x0007, decodes);
  machine.Shutdown();
  EXPECT_TRUE(machine.verifier().clean()) << machine.verifier().Summary();
}

}  // namespace
