// A booted machine with one serial card whose ports run the serial port
// driver, started by zarkenum above it (or by the bench's hand-off
// stand-in); the Ports class installer names them COM3, COM4, ... (COM1 and
// COM2 are taken). Helpers to restart, open
// and drive the ports as an application does.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <wdm.h>
#include <ntddser.h>

#include "enum/serial/port_contract.h"
#include "sim/kernel/pnp/device_node.h"
#include "sim/kernel/pnp/enum_registry.h"
#include "sim/kernel/pnp/pnp_manager.h"
#include "sim/kernel/registry/registry.h"
#include "support/kernel_test.h"
#include "support/seed_range.h"

namespace serial_test {

inline constexpr char kHandOffParameters[] =
    "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\PortHandOff\\Parameters";
inline constexpr char kSerialComm[] = "\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM";
inline constexpr char kComDbKey[] = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter";

// 100 ns units.
inline constexpr LONGLONG kMs = 10000;

inline sim::CardConfig FourPortCard() {
  sim::CardConfig card;
  card.device_id = 0x1104;
  return card;
}

// The hand-off filter's fault knob for port n (1-based) of the card.
inline sim::RegistryPreset HandOffKnob(unsigned port, uint32_t knob) {
  char name[16];
  std::snprintf(name, sizeof name, "*KVRCOM%02u", port);
  return {kHandOffParameters, name, REG_DWORD,
          {static_cast<uint8_t>(knob), static_cast<uint8_t>(knob >> 8), static_cast<uint8_t>(knob >> 16),
           static_cast<uint8_t>(knob >> 24)}};
}

// Runs the machine's kernel side for a test: port nodes, names, requests.
class SerialPorts {
 public:
  explicit SerialPorts(sim::Machine& machine) : machine_(machine) {}

  sim::DeviceNode* Node(unsigned port) { return machine_.PortNode(0, port); }
  bool Started(unsigned port) {
    sim::DeviceNode* node = Node(port);
    return node && node->state == sim::DeviceNode::State::Started;
  }
  std::string DeviceKey(unsigned port) { return sim::DeviceParametersPath(*Node(port)); }
  std::string InstanceKey(unsigned port) {
    return "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\" + Node(port)->InstancePath();
  }
  sim::Registry& registry() { return *machine_.kernel().registry; }

  // Restarts the port (query-stop, stop, start on the same resources),
  // after the port enumerator's probe that follows each start (up to
  // 3.84 s, during which the port refuses to stop).
  void Restart(unsigned port) {
    Wait(4000 * kMs);
    sim::MachineAction rebalance;
    rebalance.kind = sim::MachineAction::Kind::Rebalance;
    rebalance.port = port;
    rebalance.move_resources = false;
    ASSERT_EQ(machine_.Perform(rebalance).status, STATUS_SUCCESS);
  }

  sim::ActionResult Act(sim::MachineAction::Kind kind, unsigned port = 0, bool move_resources = true) {
    sim::MachineAction action;
    action.kind = kind;
    action.port = port;
    action.move_resources = move_resources;
    return machine_.Perform(action);
  }

  HANDLE Open(const std::string& path, NTSTATUS expected = STATUS_SUCCESS) {
    HANDLE handle = nullptr;
    EXPECT_EQ(machine_.app().Open(path, &handle), expected) << path;
    return handle;
  }

  sim::IoResult Control(HANDLE handle, ULONG code, const void* in, ULONG in_length, void* out = nullptr,
                        ULONG out_length = 0) {
    return machine_.app().DeviceIoControl(handle, code, in, in_length, out, out_length);
  }
  template <typename T>
  NTSTATUS Set(HANDLE handle, ULONG code, const T& value) {
    return Control(handle, code, &value, sizeof(T)).status;
  }
  template <typename T>
  T Get(HANDLE handle, ULONG code) {
    T value{};
    sim::IoResult result = Control(handle, code, nullptr, 0, &value, sizeof(T));
    EXPECT_EQ(result.status, STATUS_SUCCESS) << std::hex << code;
    EXPECT_EQ(result.information, sizeof(T)) << std::hex << code;
    return value;
  }

  NTSTATUS SetTimeouts(HANDLE handle, ULONG interval, ULONG multiplier, ULONG constant, ULONG write_multiplier = 0,
                       ULONG write_constant = 0) {
    SERIAL_TIMEOUTS t = {interval, multiplier, constant, write_multiplier, write_constant};
    return Set(handle, IOCTL_SERIAL_SET_TIMEOUTS, t);
  }

  LONGLONG Now() { return machine_.kernel().Now(); }
  void Wait(LONGLONG span) { machine_.DelayUntil(Now() + span); }

 private:
  sim::Machine& machine_;
};

// A booted machine with a four-port card (or the test's configuration).
class SerialTest : public sim::test::KernelTest {
 protected:
  sim::MachineConfig config() const override {
    sim::MachineConfig config = config_;
    if (config.cards.empty()) config.cards.push_back(FourPortCard());
    return config;
  }
  SerialPorts& ports() {
    if (!ports_) ports_ = std::make_unique<SerialPorts>(machine());
    return *ports_;
  }

  sim::MachineConfig config_;

 private:
  std::unique_ptr<SerialPorts> ports_;
};

}  // namespace serial_test
