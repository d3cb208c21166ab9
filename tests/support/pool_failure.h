// Makes the n-th pool allocation of the test program's own code fail while an
// instance lives.
// The kernel's fault plan counts only calls made by driver images; a
// driver's parts linked into a test program are not one, so the program
// routes its own calls of ExAllocatePoolWithTag through a wrapper (link
// option --wrap, set by the test_pool_failure library).
#pragma once

namespace sim::test {

class PoolFailure {
 public:
  explicit PoolFailure(unsigned nth);
  ~PoolFailure();
  PoolFailure(const PoolFailure&) = delete;
  PoolFailure& operator=(const PoolFailure&) = delete;
};

}  // namespace sim::test
