// Parse rate of identification strings (strings per second), with the
// kernel model's tracked pool underneath: one work area and up to six
// identities allocated and freed per string.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "enum/id_string.h"
#include "enum/multi_string.h"
#include "sim/machine/machine.h"

namespace {

const std::string kRevision("\x01\x24", 2);

std::string SixBit(const std::string& ascii) {
  std::string text = "\x08" + ascii.substr(1, 2);
  for (size_t k = 3; k < ascii.size(); ++k) text += static_cast<char>(ascii[k] - 0x20);
  return text;
}

const std::string kShort = "(" + kRevision + "ABC1234)";
const std::string kModem = "(" + kRevision + "ABC1234\\0000ABCD\\MODEM\\PNPC100,PNPC101\\My Modem\\5A)";
const std::string kLongest = std::string(119, 'x') + "(" + kRevision + "XYZ9876\\12345678\\" +
                             std::string(32, 'C') + "\\" + std::string(40, 'P') + "\\" +
                             std::string(40, 'D') + "FF)";
const std::string kGarbage = std::string(256, 'x');

void ParseLoop(benchmark::State& state, const std::string& text) {
  sim::Machine machine;
  machine.Boot();
  UCHAR buffer[kIdStringMaxBytes + 1];
  UNICODE_STRING ids[6];
  for (auto _ : state) {
    // The parser changes the buffer in place, so each round starts afresh.
    std::memcpy(buffer, text.data(), text.size());
    NTSTATUS status = ParseIdString(nullptr, buffer, static_cast<ULONG>(text.size()), &ids[0], &ids[1],
                                    &ids[2], &ids[3], &ids[4], &ids[5]);
    benchmark::DoNotOptimize(status);
    for (UNICODE_STRING& id : ids) FreeMultiString(&id);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
  machine.Shutdown();
}

void BM_ParseShortAscii(benchmark::State& state) { ParseLoop(state, kShort); }
void BM_ParseModemAscii(benchmark::State& state) { ParseLoop(state, kModem); }
void BM_ParseModemSixBit(benchmark::State& state) { ParseLoop(state, SixBit(kModem)); }
void BM_ParseLongestAscii(benchmark::State& state) { ParseLoop(state, kLongest); }
void BM_RejectNoMarker(benchmark::State& state) { ParseLoop(state, kGarbage); }

BENCHMARK(BM_ParseShortAscii);
BENCHMARK(BM_ParseModemAscii);
BENCHMARK(BM_ParseModemSixBit);
BENCHMARK(BM_ParseLongestAscii);
BENCHMARK(BM_RejectNoMarker);

}  // namespace

BENCHMARK_MAIN();
