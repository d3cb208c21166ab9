// Device detection on a 12-port card with a device on every port (mice,
// plug-and-play modems, a modem): from the boot until every port's probe
// has ended and the Plug and Play manager has built the children's stacks.
// Reports per run the virtual time that took and its ratio to the wall time
// (the goal: at least 100 times faster than real time), and the slowest
// port's probe cycle.
#include <benchmark/benchmark.h>

#include <chrono>
#include <string>

#include "enum/driver/enum_driver.h"
#include "sim/kernel/io_manager.h"
#include "sim/kernel/pnp/device_node.h"
#include "sim/kernel/pnp/pnp_manager.h"
#include "sim/machine/machine.h"

namespace {

sim::MachineConfig FullCard() {
  sim::MachineConfig config;
  sim::CardConfig card;
  card.device_id = 0x1112;
  for (unsigned port = 1; port <= 12; ++port) {
    sim::hw::AttachedDeviceConfig& device = card.devices[port];
    switch (port % 3) {
      case 0:
        device.kind = "mouse";
        device.model = port % 2 ? "M3" : "B";
        break;
      case 1:
        device.kind = "pnp";
        device.eisa = "ABC";
        device.product = "12" + std::to_string(10 + port);
        device.serial = "0000ABCD";
        device.device_class = "MODEM";
        device.compatible = "PNPC100,PNPC101";
        device.user = "My Modem";
        break;
      default:
        device.kind = "modem";
        break;
    }
  }
  config.cards.push_back(card);
  return config;
}

bool AnyProbeRunning(sim::Machine& machine) {
  for (unsigned port = 1; port <= 12; ++port) {
    sim::DeviceNode* node = machine.PortNode(0, port);
    if (!node) continue;
    DEVICE_OBJECT* top = IoGetAttachedDevice(node->pdo);
    if (FilterOf(top)->ProbeFlags & PROBE_RUNNING) return true;
  }
  return false;
}

void BM_TwelvePortsDetected(benchmark::State& bench) {
  sim::MachineConfig config = FullCard();
  double virtual_ms = 0, wall_ms = 0, boot_wall_ms = 0;
  for (auto _ : bench) {
    config.seed++;
    const auto start = std::chrono::steady_clock::now();
    sim::Machine machine(config);
    machine.Boot();
    boot_wall_ms += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    // Steps of 10 ms of virtual time until every probe has ended.
    while (AnyProbeRunning(machine)) machine.DelayUntil(machine.kernel().Now() + 100000);
    machine.kernel().pnp->WaitIdle();
    const double settled = static_cast<double>(machine.kernel().Now()) / 1e4;
    wall_ms += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    virtual_ms += settled;
    unsigned children = 0;
    for (unsigned port = 1; port <= 12; ++port)
      for (sim::DeviceNode* child : machine.PortNode(0, port)->children)
        if (!child->Gone()) ++children;
    if (children != 12) bench.SkipWithError("not every device was detected");
    machine.Shutdown();
  }
  const double runs = static_cast<double>(bench.iterations());
  bench.counters["virtual_settle_ms"] = virtual_ms / runs;
  bench.counters["wall_settle_ms"] = wall_ms / runs;
  bench.counters["boot_wall_ms"] = boot_wall_ms / runs;
  bench.counters["virtual_per_wall"] = virtual_ms / wall_ms;
}
BENCHMARK(BM_TwelvePortsDetected)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
