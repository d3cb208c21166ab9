// Makes the n-th pool allocation fail while an instance lives, whoever asks.
// The kernel's fault plan counts only calls made by driver images; the
// enumerator's parts are linked into this test program instead, so this
// program puts its own ExAllocatePoolWithTag in front of the kernel's.
#pragma once

namespace enum_test {

class PoolFailure {
 public:
  explicit PoolFailure(unsigned nth);
  ~PoolFailure();
  PoolFailure(const PoolFailure&) = delete;
  PoolFailure& operator=(const PoolFailure&) = delete;
};

}  // namespace enum_test
