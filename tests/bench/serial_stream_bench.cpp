// Twelve ports streaming full duplex at 115200 baud: every port of a 12-port
// card has a loopback plug, and an application keeps a read and a write of
// the same block outstanding on each, so that every UART transmits and
// receives at once. Reports how many virtual seconds the machine simulates
// per wall second, and the interrupts the card raised per byte moved.
#include <benchmark/benchmark.h>

#include <chrono>
#include <string>
#include <vector>

#include "ntddser.h"
#include "sim/hw/devices/device_config.h"
#include "sim/machine/machine.h"

namespace {

constexpr unsigned kPorts = 12;
constexpr ULONG kBlock = 1024;  // bytes each way per port and round

void StreamTwelvePorts(benchmark::State& bench) {
  sim::MachineConfig config;
  sim::CardConfig card;
  card.device_id = 0x1112;
  for (unsigned port = 1; port <= kPorts; ++port) card.devices[port] = sim::hw::AttachedDeviceConfig{"loopback"};
  config.cards.push_back(card);
  double virtual_seconds = 0, wall_seconds = 0, bytes = 0, interrupts = 0;
  for (auto _ : bench) {
    sim::Machine machine(config);
    machine.Boot();
    sim::Application& app = machine.app();
    std::vector<HANDLE> handles(kPorts, nullptr);
    for (unsigned port = 0; port < kPorts; ++port) {
      // Port n is COM(n + 2): COM1 and COM2 belong to the motherboard.
      if (!NT_SUCCESS(app.Open("\\\\.\\COM" + std::to_string(port + 3), &handles[port]))) {
        bench.SkipWithError("a port did not open");
        return;
      }
      SERIAL_BAUD_RATE baud{115200};
      app.DeviceIoControl(handles[port], IOCTL_SERIAL_SET_BAUD_RATE, &baud, sizeof baud, nullptr, 0);
    }
    std::vector<std::vector<uint8_t>> out(kPorts, std::vector<uint8_t>(kBlock)), in(kPorts, std::vector<uint8_t>(kBlock));
    for (unsigned port = 0; port < kPorts; ++port)
      for (ULONG i = 0; i < kBlock; ++i) out[port][i] = static_cast<uint8_t>(i * 7 + port);
    std::vector<sim::Overlapped> reads(kPorts), writes(kPorts);
    const LONGLONG started = machine.kernel().Now();
    const uint64_t interrupts_before = machine.kernel().interrupts->serviced(machine.cards()[0].model->interrupt_line());
    auto wall_start = std::chrono::steady_clock::now();
    for (unsigned port = 0; port < kPorts; ++port) {
      app.ReadAsync(handles[port], in[port].data(), kBlock, &reads[port]);
      app.WriteAsync(handles[port], out[port].data(), kBlock, &writes[port]);
    }
    for (unsigned port = 0; port < kPorts; ++port) {
      app.Result(&writes[port], true);
      sim::IoResult read = app.Result(&reads[port], true);
      if (read.information != kBlock || in[port] != out[port]) bench.SkipWithError("a port lost or changed bytes");
    }
    wall_seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
    virtual_seconds += static_cast<double>(machine.kernel().Now() - started) / 1e7;
    interrupts += static_cast<double>(machine.kernel().interrupts->serviced(machine.cards()[0].model->interrupt_line()) -
                                      interrupts_before);
    bytes += 2.0 * kBlock * kPorts;
    for (HANDLE handle : handles) app.Close(handle);
    machine.Shutdown();
  }
  bench.counters["virtual_s_per_wall_s"] = virtual_seconds / wall_seconds;
  bench.counters["interrupts_per_byte"] = interrupts / bytes;
}
BENCHMARK(StreamTwelvePorts)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
