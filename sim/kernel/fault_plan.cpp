#include "sim/kernel/fault_plan.h"

namespace sim {

namespace {
const std::pair<FaultKind, const char*> kNames[] = {
    {FaultKind::Pool, "pool"},         {FaultKind::Irp, "irp"},
    {FaultKind::DeviceCreation, "device"}, {FaultKind::SymbolicLink, "symlink"},
    {FaultKind::Attach, "attach"},     {FaultKind::Registry, "registry"},
    {FaultKind::File, "file"},         {FaultKind::WorkItem, "workitem"},
    {FaultKind::Thread, "thread"},     {FaultKind::Reference, "reference"},
};
}  // namespace

const char* FaultKindName(FaultKind kind) {
  for (const auto& [k, name] : kNames)
    if (k == kind) return name;
  return "?";
}

bool ParseFaultKind(const std::string& text, FaultKind* kind) {
  for (const auto& [k, name] : kNames) {
    if (text == name) {
      *kind = k;
      return true;
    }
  }
  return false;
}

void FaultPlan::FailNth(FaultKind kind, unsigned n) { failing_[kind].insert(calls_[kind] + n); }

void FaultPlan::Clear() {
  failing_.clear();
  calls_.clear();
}

bool FaultPlan::ShouldFail(FaultKind kind) {
  unsigned call = ++calls_[kind];
  auto it = failing_.find(kind);
  return it != failing_.end() && it->second.count(call) != 0;
}

unsigned FaultPlan::Calls(FaultKind kind) const {
  auto it = calls_.find(kind);
  return it == calls_.end() ? 0 : it->second;
}

}  // namespace sim
