#include "tools/zarkcfg/commands.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <map>

#include "card/control/control_codes.h"

namespace zarkcfg {

namespace {

constexpr uint32_t kStatusSuccess = 0;
constexpr uint32_t kStatusAccessDenied = 0xC0000022;
constexpr uint32_t kStatusPrivilegeNotHeld = 0xC0000061;

struct CommandShape {
  int args;
  const char* usage;
};

const std::map<std::string, CommandShape>& Shapes() {
  static const std::map<std::string, CommandShape> shapes = {
      {"port-info", {1, "port-info PORT"}},
      {"set-clock", {2, "set-clock PORT CHOICE (1: 1.8432 MHz, 2: 14.769 MHz, 3: 18.432 MHz, 4: 24 MHz)"}},
      {"get-fifo", {1, "get-fifo PORT"}},
      {"set-fifo", {2, "set-fifo PORT SPEED (1 to 16)"}},
      {"set-mode", {2, "set-mode PORT MODE (232 or 485)"}},
      {"set-gpio", {2, "set-gpio GROUP VALUE (group 0 to 5, value 0 to 0xFFFF)"}},
      {"batch-fifo", {1, "batch-fifo SELECTION (1 to 4)"}},
      {"config-window", {0, "config-window"}},
      {"read-config", {1, "read-config OFFSET (0 to 0xFFF)"}},
      {"write-config", {2, "write-config OFFSET BYTE"}},
      {"read-io", {1, "read-io PORT-ADDRESS"}},
      {"write-io", {2, "write-io PORT-ADDRESS BYTE"}},
      {"read-mem", {1, "read-mem ADDRESS"}},
      {"write-mem", {2, "write-mem ADDRESS BYTE"}},
      {"read-pci", {4, "read-pci BUS DEVICE FUNCTION OFFSET"}},
      {"write-pci", {6, "write-pci BUS DEVICE FUNCTION OFFSET WIDTH DATA"}},
  };
  return shapes;
}

// A number in decimal or with 0x, within [low, high].
uint32_t Number(const std::string& word, uint64_t low, uint64_t high, const char* what) {
  if (word.empty()) throw UsageError(std::string(what) + ": a number is needed");
  size_t used = 0;
  unsigned long long value = 0;
  try {
    value = std::stoull(word, &used, 0);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used != word.size() || word[0] == '-' || word[0] == '+')
    throw UsageError(std::string(what) + ": \"" + word + "\" is not a number");
  if (value < low || value > high) {
    char range[64];
    std::snprintf(range, sizeof range, " is outside %llu to %llu", static_cast<unsigned long long>(low),
                  static_cast<unsigned long long>(high));
    throw UsageError(std::string(what) + " " + word + range);
  }
  return static_cast<uint32_t>(value);
}

std::string Hex(uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*X", digits, value);
  return text;
}

std::vector<uint8_t> Bytes(const ControlRecord& record) {
  std::vector<uint8_t> bytes(sizeof record);
  std::memcpy(bytes.data(), &record, sizeof record);
  return bytes;
}

std::vector<uint8_t> Bytes(const PciAccessRecord& record) {
  std::vector<uint8_t> bytes(sizeof record);
  std::memcpy(bytes.data(), &record, sizeof record);
  return bytes;
}

// Why a request failed, or "" when the card served it.
std::string Failure(const Reply& reply, uint32_t record_size) {
  if (reply.status == kStatusPrivilegeNotHeld || reply.status == kStatusAccessDenied)
    return "the card's settings can be changed by an administrator only";
  if (reply.status != kStatusSuccess) return "the request failed with status " + Hex(reply.status, 8);
  if (reply.information != record_size) return "the card refused the request";
  return "";
}

class Runner {
 public:
  Runner(ControlDevice& device, const Command& command) : device_(device), command_(command) {
    outcome_.json = {{"command", command.name}};
  }

  Outcome Run();

 private:
  // Sends a ControlRecord; false (with the outcome's error) when the card
  // did not serve it.
  bool Send(uint32_t code, uint32_t target, uint32_t value, ControlRecord* reply = nullptr) {
    ControlRecord record{};
    record.Target = target;
    record.Value = value;
    Reply answer = device_.Control(code, Bytes(record), sizeof record);
    if (std::string failure = Failure(answer, sizeof record); !failure.empty()) return Fail(failure);
    if (reply) {
      *reply = record;
      std::memcpy(reply, answer.data.data(), std::min<size_t>(answer.data.size(), sizeof *reply));
    }
    return true;
  }
  bool SendPci(uint32_t code, PciAccessRecord* record) {
    Reply answer = device_.Control(code, Bytes(*record), sizeof *record);
    if (std::string failure = Failure(answer, sizeof *record); !failure.empty()) return Fail(failure);
    std::memcpy(record, answer.data.data(), std::min<size_t>(answer.data.size(), sizeof *record));
    return true;
  }
  bool Fail(const std::string& error) {
    outcome_.ok = false;
    outcome_.text = command_.name + ": " + error;
    outcome_.json["ok"] = false;
    outcome_.json["error"] = error;
    return false;
  }
  void Succeed(const std::string& text) {
    outcome_.ok = true;
    outcome_.text = text;
    outcome_.json["ok"] = true;
  }

  // The port number (1 to 12) a word names: a number, or a COM name looked
  // up through the ports' information.
  uint32_t Port(const std::string& word);
  std::string ComName(uint32_t info) const { return (info >> 8) ? "COM" + std::to_string(info >> 8) : ""; }

  void PortInfo();
  void BatchFifo();
  void ReadPci();
  void WritePci();

  ControlDevice& device_;
  const Command& command_;
  Outcome outcome_;
};

uint32_t Runner::Port(const std::string& word) {
  std::string upper;
  for (char c : word) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (upper.rfind("COM", 0) != 0) return Number(word, 1, 12, "port");
  const uint32_t com = Number(upper.substr(3), 1, 255, "COM number");
  for (uint32_t port = 1; port <= 12; ++port) {
    ControlRecord record{};
    record.Target = port;
    Reply answer = device_.Control(IOCTL_CARD_GET_PORT_INFO, Bytes(record), sizeof record);
    if (answer.status != kStatusSuccess || answer.information != sizeof record) continue;
    std::memcpy(&record, answer.data.data(), sizeof record);
    if ((record.Result >> 8) == com) return port;
  }
  throw UsageError("no port of the card is " + upper);
}

void Runner::PortInfo() {
  const uint32_t port = Port(command_.args[0]);
  ControlRecord reply{};
  if (!Send(IOCTL_CARD_GET_PORT_INFO, port, 0, &reply)) return;
  static const char* const kClocks[] = {"", "1.8432 MHz", "14.769 MHz", "18.432 MHz", "24 MHz"};
  const uint32_t choice = (reply.Result >> 4) & 0xF;
  const uint32_t rate_class = reply.Result & 0xF;
  outcome_.json["port"] = port;
  outcome_.json["com_name"] = ComName(reply.Result);
  outcome_.json["clock_choice"] = choice;
  outcome_.json["clock_rate_class"] = rate_class;
  outcome_.json["raw"] = reply.Result;
  const std::string com = ComName(reply.Result);
  Succeed("port " + std::to_string(port) + (com.empty() ? "" : " (" + com + ")") + ": clock " +
          (choice >= 1 && choice <= 4 ? kClocks[choice] : "?") + ", driver clock rate class " +
          std::to_string(rate_class));
}

void Runner::BatchFifo() {
  const uint32_t selection = Number(command_.args[0], 1, 4, "selection");
  ControlRecord begin{};
  if (!Send(IOCTL_CARD_BATCH_BEGIN, 0, 0, &begin)) return;
  if (begin.Result == CONTROL_RESULT_REFUSED) {
    Fail("the card is not one the batch knows");
    return;
  }
  if (!Send(IOCTL_CARD_BATCH_SELECT, 0, selection)) return;
  ControlRecord apply{};
  if (!Send(IOCTL_CARD_BATCH_APPLY, 0, 0, &apply)) return;
  if (apply.Result == CONTROL_RESULT_REFUSED) {
    Fail("the card's port count is unknown");
    return;
  }
  outcome_.json["selection"] = selection;
  Succeed("FIFO pattern " + std::to_string(selection) + " applied to every port");
}

void Runner::ReadPci() {
  PciAccessRecord record{};
  record.Bus = Number(command_.args[0], 0, 255, "bus");
  record.Device = static_cast<uint8_t>(Number(command_.args[1], 0, 31, "device"));
  record.Function = static_cast<uint8_t>(Number(command_.args[2], 0, 7, "function"));
  record.Offset = Number(command_.args[3], 0, 0xFC, "offset");
  if (record.Offset % 4) throw UsageError("offset " + command_.args[3] + " is not a multiple of 4");
  record.Width = 4;
  if (!SendPci(IOCTL_CARD_READ_PCI_DWORD, &record)) return;
  outcome_.json["value"] = record.Data;
  Succeed(Hex(record.Data, 8));
}

void Runner::WritePci() {
  PciAccessRecord record{};
  record.Bus = Number(command_.args[0], 0, 255, "bus");
  record.Device = static_cast<uint8_t>(Number(command_.args[1], 0, 31, "device"));
  record.Function = static_cast<uint8_t>(Number(command_.args[2], 0, 7, "function"));
  record.Offset = Number(command_.args[3], 0, 0xFF, "offset");
  record.Width = Number(command_.args[4], 1, 4, "width");
  if (record.Width == 3) throw UsageError("width 3: only 1, 2 or 4 bytes are written");
  const uint64_t limit = record.Width == 4 ? 0xFFFFFFFFull : (1ull << (8 * record.Width)) - 1;
  record.Data = Number(command_.args[5], 0, limit, "data");
  if (record.Offset + record.Width > 0x100) throw UsageError("the write runs past offset 0xFF");
  if (!SendPci(IOCTL_CARD_WRITE_PCI, &record)) return;
  Succeed("written");
}

Outcome Runner::Run() {
  const std::string& name = command_.name;
  const std::vector<std::string>& a = command_.args;
  ControlRecord reply{};
  if (name == "port-info") {
    PortInfo();
  } else if (name == "set-clock") {
    const uint32_t port = Port(a[0]);
    const uint32_t choice = Number(a[1], 1, 4, "clock choice");
    if (Send(IOCTL_CARD_SET_PORT_CLOCK, port, choice)) Succeed("port " + std::to_string(port) + ": clock set");
  } else if (name == "get-fifo") {
    const uint32_t port = Port(a[0]);
    if (Send(IOCTL_CARD_GET_PORT_FIFO, port, 0, &reply)) {
      outcome_.json["port"] = port;
      outcome_.json["fifo"] = reply.Result;
      Succeed("port " + std::to_string(port) + ": FIFO " + std::to_string(reply.Result));
    }
  } else if (name == "set-fifo") {
    const uint32_t port = Port(a[0]);
    const uint32_t speed = Number(a[1], 1, 16, "FIFO speed");
    if (Send(IOCTL_CARD_SET_PORT_FIFO, port, speed)) Succeed("port " + std::to_string(port) + ": FIFO set");
  } else if (name == "set-mode") {
    const uint32_t port = Port(a[0]);
    const uint32_t mode = Number(a[1], 232, 485, "mode");
    if (mode != 232 && mode != 485) throw UsageError("mode " + a[1] + ": 232 or 485");
    if (Send(IOCTL_CARD_SET_PORT_MODE, port, mode)) Succeed("port " + std::to_string(port) + ": RS-" + a[1]);
  } else if (name == "set-gpio") {
    const uint32_t group = Number(a[0], 0, 5, "GPIO group");
    const uint32_t value = Number(a[1], 0, 0xFFFF, "GPIO value");
    if (Send(IOCTL_CARD_SET_GPIO, group, value)) Succeed("GPIO" + std::to_string(group) + " stored; applied at the next start");
  } else if (name == "batch-fifo") {
    BatchFifo();
  } else if (name == "config-window") {
    if (Send(IOCTL_CARD_GET_CONFIG_WINDOW, 0, 0, &reply)) {
      outcome_.json["address"] = reply.Result;
      if (reply.Result == 0) Fail("the machine has no configuration window the card can use");
      else Succeed(Hex(reply.Result, 8));
    }
  } else if (name == "read-config" || name == "read-io" || name == "read-mem") {
    const uint32_t code = name == "read-config" ? IOCTL_CARD_READ_CONFIG_BYTE
                          : name == "read-io"   ? IOCTL_CARD_READ_IO_BYTE
                                                : IOCTL_CARD_READ_MEMORY_BYTE;
    const uint32_t limit = name == "read-config" ? 0xFFF : name == "read-io" ? 0xFFFF : 0xFFFFFFFF;
    const uint32_t target = Number(a[0], 0, limit, "address");
    if (Send(code, target, 0, &reply)) {
      outcome_.json["value"] = reply.Result;
      Succeed(Hex(reply.Result, 2));
    }
  } else if (name == "write-config" || name == "write-io" || name == "write-mem") {
    const uint32_t code = name == "write-config" ? IOCTL_CARD_WRITE_CONFIG_BYTE
                          : name == "write-io"   ? IOCTL_CARD_WRITE_IO_BYTE
                                                 : IOCTL_CARD_WRITE_MEMORY_BYTE;
    const uint32_t limit = name == "write-config" ? 0xFFF : name == "write-io" ? 0xFFFF : 0xFFFFFFFF;
    const uint32_t target = Number(a[0], 0, limit, "address");
    const uint32_t value = Number(a[1], 0, 0xFF, "byte");
    if (Send(code, target, value)) Succeed("written");
  } else if (name == "read-pci") {
    ReadPci();
  } else if (name == "write-pci") {
    WritePci();
  }
  return outcome_;
}

}  // namespace

std::vector<std::string> CommandNames() {
  std::vector<std::string> names;
  for (const auto& entry : Shapes()) names.push_back(entry.second.usage);
  return names;
}

std::vector<Command> SplitCommands(const std::vector<std::string>& words) {
  std::vector<Command> commands;
  for (size_t i = 0; i < words.size();) {
    auto shape = Shapes().find(words[i]);
    if (shape == Shapes().end()) throw UsageError("unknown command \"" + words[i] + "\"");
    const size_t count = static_cast<size_t>(shape->second.args);
    if (i + 1 + count > words.size()) throw UsageError("usage: " + std::string(shape->second.usage));
    const auto first = words.begin() + static_cast<std::ptrdiff_t>(i + 1);
    Command command{words[i], {first, first + static_cast<std::ptrdiff_t>(count)}};
    for (const std::string& arg : command.args)
      if (Shapes().count(arg)) throw UsageError("usage: " + std::string(shape->second.usage));
    commands.push_back(std::move(command));
    i += 1 + count;
  }
  if (commands.empty()) throw UsageError("no command given");
  return commands;
}

Outcome RunCommand(ControlDevice& device, const Command& command) {
  Runner runner(device, command);
  return runner.Run();
}

}  // namespace zarkcfg
