// Driver images. Each load copies the driver's shared object to a fresh file
// and opens that copy, so its global data starts afresh exactly as when
// Windows loads an image; unloading closes and deletes the copy. A driver
// can also run from its Windows image (.sys), which the PE loader maps.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "nt/basetypes.h"
#include "nt/io.h"

namespace sim {

namespace pe {
class PeImage;
}

class DriverImage {
 public:
  DriverImage();
  ~DriverImage();
  std::string name;         // service name, e.g. "zarkcard"
  std::string loaded_path;  // the private copy that was opened
  void* handle = nullptr;   // dlopen handle
  const void* base = nullptr;
  PDRIVER_INITIALIZE entry = nullptr;
  std::unique_ptr<pe::PeImage> pe;  // set for a Windows image
};

class ImageLoader {
 public:
  ImageLoader();
  ~ImageLoader();

  // Directory holding the built images (<name>.so).
  static std::string ImageDirectory();

  // Loads a fresh copy of <name>.so. Returns null and sets *error on failure.
  DriverImage* Load(const std::string& name, std::string* error);
  // Loads a Windows kernel image (.sys) under the service name.
  DriverImage* LoadSys(const std::string& name, const std::string& path, std::string* error);
  void Unload(DriverImage* image);

  const DriverImage* Find(const void* code_address) const;
  const std::vector<std::unique_ptr<DriverImage>>& images() const { return images_; }

 private:
  std::string scratch_directory_;
  unsigned copies_ = 0;
  std::vector<std::unique_ptr<DriverImage>> images_;
};

}  // namespace sim
