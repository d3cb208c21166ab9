// Fault injection: make the n-th call of a kind of kernel service fail, to
// drive every failure path of a driver. Counting starts when the plan is set.
// Services that know their caller count only calls made by driver images,
// so the kernel's own use of them (the bus driver's ID strings, the I/O
// manager's buffers) never shifts the count.
#pragma once

#include <map>
#include <set>
#include <string>

namespace sim {

class DriverImage;

// Reference: ObReferenceObjectByHandle refuses the handle (access denied).
enum class FaultKind { Pool, Irp, DeviceCreation, SymbolicLink, Attach, Registry, File, WorkItem, Thread, Reference };

const char* FaultKindName(FaultKind kind);
// Parses "pool", "irp", "device", "symlink", "attach", "registry", "file",
// "workitem", "thread", "reference"; false for anything else.
bool ParseFaultKind(const std::string& text, FaultKind* kind);

class FaultPlan {
 public:
  // Fails the n-th (1-based) call of this kind from now on.
  void FailNth(FaultKind kind, unsigned n);
  void Clear();
  // Counts a call; true when this call must fail.
  bool ShouldFail(FaultKind kind);
  // The same for a call from the given image; calls from the kernel
  // (null) are neither counted nor failed.
  bool ShouldFail(FaultKind kind, const DriverImage* caller) { return caller && ShouldFail(kind); }
  unsigned Calls(FaultKind kind) const;

 private:
  std::map<FaultKind, unsigned> calls_;
  std::map<FaultKind, std::set<unsigned>> failing_;
};

}  // namespace sim
