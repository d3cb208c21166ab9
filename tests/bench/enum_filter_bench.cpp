// What zarkenum adds to an application's traffic: the wall time of one-byte
// reads (answered at once, so that the stack's own path is measured, not
// the line) and of 4 KiB writes at 115200 baud on COM3, through the full
// stack with zarkenum on top and through the same stack with the bench's
// minimal hand-off filter in its place. Reports both ratios (goal: 1.10 at
// most).
//
// Under callgrind (scripts/bench-instructions) each measured loop is also
// dumped on its own, so that the instructions of the two stacks compare
// without the noise of wall time.
#include <benchmark/benchmark.h>

#include <chrono>
#include <string>
#include <vector>
#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_ZERO_STATS
#define CALLGRIND_DUMP_STATS_AT(label)
#endif

#include "sim/machine/machine.h"
#include "ntddser.h"

namespace {

constexpr int kReads = 2000;
constexpr int kWrites = 8;
constexpr ULONG kWriteBytes = 4096;

struct Cost {
  double read_s = 0;
  double write_s = 0;
};

Cost Measure(bool stand_in) {
  sim::MachineConfig config;
  config.stand_in_hand_off = stand_in;
  sim::CardConfig card;
  card.device_id = 0x1104;
  config.cards.push_back(card);
  sim::Machine machine(config);
  machine.Boot();
  sim::Application& app = machine.app();
  HANDLE handle = nullptr;
  Cost cost;
  if (!NT_SUCCESS(app.Open("\\\\.\\COM3", &handle))) return cost;
  SERIAL_BAUD_RATE baud{115200};
  app.DeviceIoControl(handle, IOCTL_SERIAL_SET_BAUD_RATE, &baud, sizeof baud, nullptr, 0);
  // A read returns at once with what is there.
  SERIAL_TIMEOUTS timeouts{MAXULONG, 0, 0, 0, 0};
  app.DeviceIoControl(handle, IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof timeouts, nullptr, 0);
  const std::string stack = stand_in ? "stand-in" : "zarkenum";
  char byte;
  CALLGRIND_ZERO_STATS;
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kReads; ++i) app.Read(handle, &byte, 1);
  cost.read_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  CALLGRIND_DUMP_STATS_AT(("reads " + stack).c_str());
  std::vector<char> block(kWriteBytes, 'z');
  start = std::chrono::steady_clock::now();
  for (int i = 0; i < kWrites; ++i) app.Write(handle, block.data(), kWriteBytes);
  cost.write_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  CALLGRIND_DUMP_STATS_AT(("writes " + stack).c_str());
  app.Close(handle);
  machine.Shutdown();
  return cost;
}

void FilterOverhead(benchmark::State& bench) {
  Cost with, without;
  for (auto _ : bench) {
    const Cost a = Measure(false);
    const Cost b = Measure(true);
    with.read_s += a.read_s;
    with.write_s += a.write_s;
    without.read_s += b.read_s;
    without.write_s += b.write_s;
  }
  if (without.read_s <= 0 || without.write_s <= 0) {
    bench.SkipWithError("COM3 did not open");
    return;
  }
  bench.counters["read_1_byte_ratio"] = with.read_s / without.read_s;
  bench.counters["write_4k_ratio"] = with.write_s / without.write_s;
  bench.counters["read_us_with_zarkenum"] = 1e6 * with.read_s / (kReads * double(bench.iterations()));
  bench.counters["write_ms_with_zarkenum"] = 1e3 * with.write_s / (kWrites * double(bench.iterations()));
}
BENCHMARK(FilterOverhead)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
