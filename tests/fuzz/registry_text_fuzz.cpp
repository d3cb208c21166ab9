// Fuzz target: the registry text loader, and the promise that whatever it
// accepts dumps to text that loads again to the same dump.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

#include "sim/kernel/registry/registry.h"
#include "sim/kernel/registry/registry_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  sim::Registry registry;
  try {
    sim::LoadRegistryText(registry, text);
  } catch (const std::exception&) {
    return 0;  // refused with a message: fine
  }
  const std::string dumped = sim::DumpRegistry(registry);
  sim::Registry again;
  sim::LoadRegistryText(again, dumped);  // throws (and so fails) if the dump is not loadable
  if (sim::DumpRegistry(again) != dumped) __builtin_trap();
  return 0;
}
