#include "tools/zarkcfg/simulated_card.h"

namespace zarkcfg {

SimulatedCard::SimulatedCard(const sim::MachineConfig& config) : machine_(std::make_unique<sim::Machine>(config)) {
  machine_->Boot();
  machine_->app().RunAs(sim::Account::Administrator);
  machine_->app().EnablePrivilege(SE_LOAD_DRIVER_PRIVILEGE);
  open_status_ = machine_->app().Open("\\\\.\\ZARKCARD", &handle_);
}

SimulatedCard::~SimulatedCard() { Finish(); }

Reply SimulatedCard::Control(uint32_t code, const std::vector<uint8_t>& input, uint32_t output_length) {
  Reply reply;
  reply.data.assign(output_length, 0);
  sim::IoResult result =
      machine_->app().DeviceIoControl(handle_, code, input.data(), static_cast<ULONG>(input.size()),
                                      reply.data.data(), output_length);
  reply.status = static_cast<uint32_t>(result.status);
  reply.information = static_cast<uint32_t>(result.information);
  return reply;
}

std::string SimulatedCard::Finish() {
  if (machine_->shut_down()) return "";
  if (handle_) machine_->app().Close(handle_);
  handle_ = nullptr;
  machine_->Shutdown();
  return machine_->verifier().clean() ? "" : machine_->verifier().Summary();
}

}  // namespace zarkcfg
