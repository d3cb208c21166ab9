// Machines with serial devices on the card's ports, for the tests of device
// detection: device descriptions, the child a port reports, and the probe
// cycle watched through the filter's flags in virtual time.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "enum/driver/enum_driver.h"
#include "sim/hw/devices/device_config.h"
#include "sim/kernel/io_manager.h"
#include "unit/serial/serial_machine.h"

namespace serial_test {

using Strings = std::vector<std::string>;

inline constexpr char kComNumConfigKey[] = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\KALVOR1110";

inline sim::hw::AttachedDeviceConfig MouseOf(const std::string& model) {
  sim::hw::AttachedDeviceConfig device;
  device.kind = "mouse";
  device.model = model;
  return device;
}

// A serial plug-and-play device sending exactly these bytes.
inline sim::hw::AttachedDeviceConfig PnpSending(const std::string& bytes, const std::string& dsr = "normal") {
  sim::hw::AttachedDeviceConfig device;
  device.kind = "pnp";
  device.id = bytes;
  device.has_id = true;
  device.dsr = dsr;
  return device;
}

// The example modem of the published device specification.
inline sim::hw::AttachedDeviceConfig ExampleModem(bool six_bit = false, const std::string& product = "1234") {
  sim::hw::AttachedDeviceConfig device;
  device.kind = "pnp";
  device.eisa = "ABC";
  device.product = product;
  device.serial = "0000ABCD";
  device.device_class = "MODEM";
  device.compatible = "PNPC100,PNPC101";
  device.user = "My Modem";
  device.six_bit = six_bit;
  return device;
}

inline std::unique_ptr<sim::hw::SerialDevice> Make(const sim::hw::AttachedDeviceConfig& config) {
  std::string error;
  auto device = sim::hw::MakeSerialDevice(config, &error);
  EXPECT_TRUE(device) << error;
  return device;
}

inline EnumFilterExtension* FilterOn(sim::DeviceNode* port) {
  DEVICE_OBJECT* top = IoGetAttachedDevice(port->pdo);
  EXPECT_EQ(sim::K().io->FindDevice(top)->driver->name, "zarkenum");
  return FilterOf(top);
}

// The child a port reports (not removed), or null.
inline sim::DeviceNode* ChildNode(sim::DeviceNode* port) {
  for (sim::DeviceNode* child : port->children)
    if (!child->Gone() && child->present) return child;
  return nullptr;
}

inline bool ProbeRunning(sim::DeviceNode* port) { return FilterOn(port)->ProbeFlags & PROBE_RUNNING; }

// A machine with one card and the given devices, booted.
class DetectionMachine {
 public:
  explicit DetectionMachine(sim::MachineConfig config) : machine_(std::move(config)), ports_(machine_) {
    machine_.Boot();
    booted_ = ports_.Now();
  }
  ~DetectionMachine() {
    if (!machine_.shut_down()) Finish();
  }
  // Shuts down; the verifier must have found nothing.
  void Finish() {
    machine_.Shutdown();
    EXPECT_TRUE(machine_.verifier().clean()) << machine_.verifier().Summary();
  }

  sim::Machine& machine() { return machine_; }
  SerialPorts& ports() { return ports_; }
  sim::PnpManager& pnp() { return *machine_.kernel().pnp; }
  LONGLONG booted() const { return booted_; }

  // Waits in steps of 1 ms until no probe runs on any of the ports and the
  // Plug and Play manager took over what they found; returns, per port, how
  // long after `since` its probe cycle ended (-1: it ran past `limit`).
  std::vector<LONGLONG> SettleProbes(const std::vector<unsigned>& ports, LONGLONG since, LONGLONG limit = 6000 * kMs) {
    std::vector<LONGLONG> ended(ports.size(), -1);
    while (ports_.Now() - since <= limit) {
      bool all = true;
      for (size_t i = 0; i < ports.size(); ++i) {
        if (ended[i] >= 0) continue;
        sim::DeviceNode* node = ports_.Node(ports[i]);
        if (!node || !ProbeRunning(node))
          ended[i] = ports_.Now() - since;
        else
          all = false;
      }
      if (all) break;
      ports_.Wait(kMs);
    }
    pnp().WaitIdle();
    return ended;
  }

  // The Plug and Play manager asks the port for its bus relations again,
  // as a scan for hardware changes does; the probe it starts is waited for.
  LONGLONG Rescan(unsigned port) {
    const LONGLONG start = ports_.Now();
    pnp().EnumerateNow(ports_.Node(port));
    return SettleProbes({port}, start)[0];
  }

  void Plug(unsigned port, const sim::hw::AttachedDeviceConfig& device) {
    machine_.cards().at(0).model->Plug(port - 1, Make(device));
  }
  void Unplug(unsigned port) { machine_.cards().at(0).model->Unplug(port - 1); }

 private:
  sim::Machine machine_;
  SerialPorts ports_;
  LONGLONG booted_ = 0;
};

inline sim::MachineConfig CardWith(USHORT device_id, std::map<unsigned, sim::hw::AttachedDeviceConfig> devices,
                                   sim::MachineConfig config = {}) {
  sim::CardConfig card;
  card.device_id = device_id;
  card.devices = std::move(devices);
  config.cards.push_back(card);
  return config;
}

}  // namespace serial_test
