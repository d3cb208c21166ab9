// The card's control codes against a booted machine: a 4-port and a
// 12-port card, opened by an administrator with the load-driver privilege
// enabled, so that every handler is reachable. An input is a run of
// requests of 22 bytes each (the last one padded with zeros): the code (from the card's table or one it does
// not know; the top bit picks the second card), the input and output
// lengths (0 to 64), and the 19 bytes of the record. Every request must
// complete, return no more than the caller's buffer and the record hold,
// write nothing past its Information, and leave the verifier clean.
//
// The machine persists from one input to the next, as a real card would
// between calls of a tool: a finding names the input that showed it, which
// may need the inputs before it to replay.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "card/control/control_codes.h"
#include "sim/kernel/kernel.h"
#include "sim/kernel/verifier.h"
#include "sim/machine/machine.h"

namespace {

constexpr ULONG kCodes[] = {
    IOCTL_CARD_BATCH_BEGIN,      IOCTL_CARD_BATCH_SELECT,     IOCTL_CARD_BATCH_APPLY,    IOCTL_CARD_READ_CONFIG_BYTE,
    IOCTL_CARD_WRITE_CONFIG_BYTE, IOCTL_CARD_READ_IO_BYTE,    IOCTL_CARD_WRITE_IO_BYTE,  IOCTL_CARD_READ_MEMORY_BYTE,
    IOCTL_CARD_WRITE_MEMORY_BYTE, IOCTL_CARD_READ_PCI_DWORD,  IOCTL_CARD_WRITE_PCI,      IOCTL_CARD_GET_PORT_INFO,
    IOCTL_CARD_SET_PORT_CLOCK,   IOCTL_CARD_GET_PORT_FIFO,    IOCTL_CARD_SET_PORT_FIFO,  IOCTL_CARD_SET_PORT_MODE,
    IOCTL_CARD_SET_GPIO,         IOCTL_CARD_GET_CONFIG_WINDOW, 0xA415280Cu,              0x00000000u};
constexpr size_t kRequestBytes = 3 + sizeof(ControlRecord);
constexpr ULONG kBufferBytes = 64;
constexpr uint8_t kMarker = 0xEE;

std::unique_ptr<sim::Machine> machine;
HANDLE handles[2];

[[noreturn]] void Fail(const char* what, ULONG code) {
  std::fprintf(stderr, "control_codes_fuzz: code %#lx: %s\n%s\n", static_cast<unsigned long>(code), what,
               machine->verifier().Summary().c_str());
  std::abort();
}

void ShutDown() {
  for (HANDLE handle : handles) machine->app().Close(handle);
  machine->Shutdown();
  if (!machine->verifier().clean()) Fail("findings at shutdown", 0);
  machine.reset();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  sim::MachineConfig config;
  config.cards.resize(2);
  config.cards[0].device_id = 0x1104;
  config.cards[1].device_id = 0x1112;
  machine = std::make_unique<sim::Machine>(config);
  machine->Boot();
  sim::Application& app = machine->app();
  if (app.EnablePrivilege(SE_LOAD_DRIVER_PRIVILEGE) != STATUS_SUCCESS) Fail("privilege not enabled", 0);
  if (app.Open("\\Device\\ZARKLINK_0", &handles[0]) != STATUS_SUCCESS ||
      app.Open("\\Device\\ZARKLINK_1", &handles[1]) != STATUS_SUCCESS)
    Fail("control device not opened", 0);
  std::atexit(ShutDown);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  while (size > 0) {
    // A short last request is padded with zeros.
    uint8_t request[kRequestBytes] = {};
    const size_t taken = size < kRequestBytes ? size : kRequestBytes;
    std::memcpy(request, data, taken);
    data += taken;
    size -= taken;
    const ULONG code = kCodes[(request[0] & 0x7F) % std::size(kCodes)];
    const HANDLE handle = handles[request[0] >> 7];
    const ULONG in = request[1] % (kBufferBytes + 1);
    const ULONG out = request[2] % (kBufferBytes + 1);
    uint8_t input[kBufferBytes] = {};
    std::memcpy(input, request + 3, sizeof(ControlRecord));
    uint8_t output[kBufferBytes];
    std::memset(output, kMarker, sizeof output);

    const sim::IoResult result = machine->app().DeviceIoControl(handle, code, input, in, output, out);
    if (result.status == STATUS_PENDING) Fail("request left pending", code);
    if (result.information > out || result.information > sizeof(ControlRecord)) Fail("Information past the record", code);
    for (size_t b = result.information; b < sizeof output; ++b)
      if (output[b] != kMarker) Fail("byte written past Information", code);
    if (!machine->verifier().clean()) Fail("verifier finding", code);
  }
  return 0;
}
