// zarkcfg's host back end: a simulated machine booted from a scenario, its
// card's control device opened as an administrator who enabled the
// load-driver privilege, as the tool does on Windows.
#pragma once

#include <memory>
#include <string>

#include "sim/machine/machine.h"
#include "tools/zarkcfg/commands.h"

namespace zarkcfg {

class SimulatedCard : public ControlDevice {
 public:
  explicit SimulatedCard(const sim::MachineConfig& config);
  ~SimulatedCard() override;

  // STATUS_SUCCESS when the control device is open.
  NTSTATUS open_status() const { return open_status_; }
  Reply Control(uint32_t code, const std::vector<uint8_t>& input, uint32_t output_length) override;
  // Closes the device and shuts the machine down; what the verifier found,
  // or "" when nothing.
  std::string Finish();

 private:
  std::unique_ptr<sim::Machine> machine_;
  HANDLE handle_ = nullptr;
  NTSTATUS open_status_ = 0;
};

}  // namespace zarkcfg
