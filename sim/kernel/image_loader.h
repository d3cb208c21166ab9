// Driver images. Each load copies the driver's shared object to a fresh file
// and opens that copy, so its global data starts afresh exactly as when
// Windows loads an image; unloading closes and deletes the copy.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "nt/basetypes.h"
#include "nt/io.h"
#include "sim/kernel/loaded_segments.h"

namespace sim {

class DriverImage {
 public:
  std::string name;         // service name, e.g. "zarkcard"
  std::string loaded_path;  // the private copy that was opened
  void* handle = nullptr;   // dlopen handle
  const void* base = nullptr;
  AddressSpan span;  // where a caller's return address lies to be this image's
  PDRIVER_INITIALIZE entry = nullptr;
};

class ImageLoader {
 public:
  ImageLoader();
  ~ImageLoader();

  // Directory holding the built images (<name>.so).
  static std::string ImageDirectory();

  // Loads a fresh copy of <name>.so. Returns null and sets *error on failure.
  DriverImage* Load(const std::string& name, std::string* error);
  void Unload(DriverImage* image);

  const DriverImage* Find(const void* code_address) const;
  const std::vector<std::unique_ptr<DriverImage>>& images() const { return images_; }

 private:
  std::string scratch_directory_;
  unsigned copies_ = 0;
  std::vector<std::unique_ptr<DriverImage>> images_;
};

}  // namespace sim
