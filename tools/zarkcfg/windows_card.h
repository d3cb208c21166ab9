// zarkcfg's Windows back end: the card's control device "\\.\ZARKCARD",
// opened after enabling the load-driver privilege the card asks of callers
// that change anything.
#pragma once

#include <string>

#include "tools/zarkcfg/commands.h"

namespace zarkcfg {

class WindowsCard : public ControlDevice {
 public:
  WindowsCard();
  ~WindowsCard() override;
  WindowsCard(const WindowsCard&) = delete;
  WindowsCard& operator=(const WindowsCard&) = delete;

  // "" when the device is open, else why not.
  const std::string& open_error() const { return open_error_; }
  Reply Control(uint32_t code, const std::vector<uint8_t>& input, uint32_t output_length) override;

 private:
  void* handle_;
  std::string open_error_;
};

}  // namespace zarkcfg
