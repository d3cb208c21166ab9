// Fault injection: make the n-th call of a kind of kernel service fail, to
// drive every failure path of a driver. Counting starts when the plan is set.
#pragma once

#include <map>
#include <set>
#include <string>

namespace sim {

enum class FaultKind { Pool, Irp, DeviceCreation, SymbolicLink, Attach, Registry, File, WorkItem, Thread };

const char* FaultKindName(FaultKind kind);
// Parses "pool", "irp", "device", "symlink", "attach", "registry", "file",
// "workitem", "thread"; false for anything else.
bool ParseFaultKind(const std::string& text, FaultKind* kind);

class FaultPlan {
 public:
  // Fails the n-th (1-based) call of this kind from now on.
  void FailNth(FaultKind kind, unsigned n);
  void Clear();
  // Counts a call; true when this call must fail.
  bool ShouldFail(FaultKind kind);
  unsigned Calls(FaultKind kind) const;

 private:
  std::map<FaultKind, unsigned> calls_;
  std::map<FaultKind, std::set<unsigned>> failing_;
};

}  // namespace sim
