// Bring-up of a 12-port card: the boot of a one-card machine, from the
// card's arrival to its start, and the machine's shutdown. Besides wall
// time, each run reports per boot the configuration accesses by path, the
// I/O port accesses and the virtual time the boot took.
#include <benchmark/benchmark.h>

#include <vector>

#include "sim/machine/machine.h"

namespace {

sim::MachineConfig TwelvePortMachine(uint8_t file_flags) {
  sim::MachineConfig config;
  sim::CardConfig card;
  card.device_id = 0x1112;
  config.cards.push_back(card);
  // One active record for bus 1: every port gets a COM number entry.
  std::vector<uint8_t> record(16, 0);
  record[0] = 0x81;
  for (int slot = 0; slot < 12; ++slot) record[1 + slot] = static_cast<uint8_t>(3 + slot);
  record[13] = file_flags;
  config.config_file = record;
  return config;
}

void BringUp(benchmark::State& bench, uint8_t file_flags, bool preempt = false) {
  sim::MachineConfig config = TwelvePortMachine(file_flags);
  if (preempt) {
    config.preemption.mode = sim::PreemptionOptions::Mode::Random;
    config.preemption.per_mille = 150;
  }
  sim::hw::HwCounters totals;
  double virtual_us = 0;
  for (auto _ : bench) {
    config.seed++;
    sim::Machine machine(config);
    machine.Boot();
    const sim::hw::HwCounters& c = machine.hardware().counters();
    for (int i = 0; i < sim::hw::kCountedConfigPaths; ++i) {
      totals.config_reads[i] += c.config_reads[i];
      totals.config_writes[i] += c.config_writes[i];
    }
    totals.port_reads += c.port_reads;
    totals.port_writes += c.port_writes;
    virtual_us += static_cast<double>(machine.kernel().Now()) / 10;
    if (!machine.cards().empty() && !machine.cards()[0].pdo->AttachedDevice) bench.SkipWithError("the card did not start");
    machine.Shutdown();
  }
  auto per_boot = [](double value) { return benchmark::Counter(value, benchmark::Counter::kAvgIterations); };
  for (sim::hw::ConfigPath path : {sim::hw::ConfigPath::BusRequest, sim::hw::ConfigPath::BusInterface,
                                   sim::hw::ConfigPath::LegacyPorts, sim::hw::ConfigPath::Ecam, sim::hw::ConfigPath::Hal})
    bench.counters[std::string("cfg_") + sim::hw::ConfigPathName(path)] =
        per_boot(static_cast<double>(totals.ConfigAccesses(path)));
  bench.counters["io_ports"] = per_boot(static_cast<double>(totals.port_reads + totals.port_writes));
  bench.counters["virtual_us"] = per_boot(virtual_us);
}

// Probing on, COM numbers from the file.
void BM_TwelvePortBringUp(benchmark::State& bench) { BringUp(bench, 0x01); }
BENCHMARK(BM_TwelvePortBringUp)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same with preemption at every kernel entry (a new seed per boot).
void BM_TwelvePortBringUpPreempted(benchmark::State& bench) { BringUp(bench, 0x01, true); }
BENCHMARK(BM_TwelvePortBringUpPreempted)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same with the upstream-bridge fix-up, which searches bus 0 upward
// through the HAL (the card's port is at bus 0, device 1).
void BM_TwelvePortBringUpWithBridgeFixUp(benchmark::State& bench) { BringUp(bench, 0x41); }
BENCHMARK(BM_TwelvePortBringUpWithBridgeFixUp)->Unit(benchmark::kMillisecond)->UseRealTime();

// Baseline: the same machine with no card, so that the card's share of the
// wall time shows.
void BM_MachineWithoutCard(benchmark::State& bench) {
  for (auto _ : bench) {
    sim::Machine machine;
    machine.Boot();
    machine.Shutdown();
  }
}
BENCHMARK(BM_MachineWithoutCard)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
