// zarkcfg's commands, whatever carries them to the card: each command's
// words are checked, turned into control requests, and the replies into
// what the tool prints (text for people, JSON for scripts).
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

namespace zarkcfg {

// A command line the tool cannot use; nothing has been sent.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What one control request came back with.
struct Reply {
  uint32_t status = 0;       // NTSTATUS
  uint32_t information = 0;  // bytes returned
  std::vector<uint8_t> data;  // the output buffer, information bytes of it valid
};

// The card's control device, reached one way or another.
class ControlDevice {
 public:
  virtual ~ControlDevice() = default;
  virtual Reply Control(uint32_t code, const std::vector<uint8_t>& input, uint32_t output_length) = 0;
};

struct Command {
  std::string name;
  std::vector<std::string> args;
};

// Splits the words after the options into commands by the names and the
// number of arguments each takes ("set-fifo 3 6 get-fifo 3" is two).
std::vector<Command> SplitCommands(const std::vector<std::string>& words);

// The names of the commands, for the help text.
std::vector<std::string> CommandNames();

struct Outcome {
  bool ok = false;
  std::string text;     // one line for people
  nlohmann::json json;  // the same for scripts: {"command", "ok", ...}
};

// Runs one command against the device. Values are checked before anything
// is sent (UsageError); a request the card refuses is an outcome with ok
// false.
Outcome RunCommand(ControlDevice& device, const Command& command);

}  // namespace zarkcfg
