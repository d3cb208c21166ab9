// Execution contexts switched in user space. Every simulated thread, and
// every DPC and interrupt context of a virtual processor, runs on a fiber of
// its own; only one fiber runs at a time on the host thread that owns the
// machine, and a switch is a register swap, not an OS context switch.
// AddressSanitizer is told about every switch so that it keeps tracking the
// right stack.
#pragma once

#include <cstddef>
#include <functional>

namespace sim {

class Fiber {
 public:
  // The calling OS thread's own stack, so that it can switch to fibers and
  // be switched back to.
  Fiber();
  // A fresh stack that starts in entry the first time it is switched to.
  // entry must never return: a finished fiber leaves with SwitchForever.
  Fiber(size_t stack_size, std::function<void()> entry);
  ~Fiber();
  Fiber(const Fiber&) = delete;
  Fiber& operator=(const Fiber&) = delete;

  // Suspends from (the fiber running now) and resumes to. Returns when
  // something switches back to from.
  static void Switch(Fiber* from, Fiber* to);
  // As Switch, for a fiber that will never run again.
  [[noreturn]] static void SwitchForever(Fiber* from, Fiber* to);

  bool started() const { return started_; }

 private:
  friend struct FiberAccess;

  void* context_ = nullptr;  // the saved registers while suspended
  void* stack_ = nullptr;    // the mapping, guard page included
  size_t mapping_size_ = 0;
  const void* stack_bottom_ = nullptr;  // the usable stack, for the sanitizer
  size_t stack_size_ = 0;
  std::function<void()> entry_;
  Fiber* switching_to_ = nullptr;
  bool started_ = false;
};

}  // namespace sim
