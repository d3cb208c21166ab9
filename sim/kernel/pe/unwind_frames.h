// The host's C++ unwinder knows only DWARF call-frame information; a
// Windows image describes its frames in .pdata/.xdata. When a simulated
// thread is stopped (a machine shutting down, a test ending) the exception
// that ends it must pass the image's frames that lie on its stack, so each
// function's frame, as it stands after its prolog, is translated to DWARF
// and registered with the unwinder for as long as the image is loaded.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sim::pe {

class RegisteredFrames {
 public:
  // Translates the image's function table (`table_rva`, `table_size`) of the
  // image mapped at `base` (`size` bytes) and registers it. Functions whose
  // unwind data cannot be expressed are left out and counted in *skipped.
  static std::unique_ptr<RegisteredFrames> Register(const uint8_t* base, size_t size, uint32_t table_rva,
                                                    uint32_t table_size, size_t* skipped);
  ~RegisteredFrames();
  RegisteredFrames(const RegisteredFrames&) = delete;
  RegisteredFrames& operator=(const RegisteredFrames&) = delete;

  size_t functions() const { return functions_; }

 private:
  RegisteredFrames() = default;
  std::vector<uint8_t> frames_;  // CIE, FDEs, terminating zero: what the unwinder reads
  size_t functions_ = 0;
};

}  // namespace sim::pe
