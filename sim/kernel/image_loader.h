// Driver images. Each load copies the driver's shared object to a fresh file
// and opens that copy, so its global data starts afresh exactly as when
// Windows loads an image; unloading closes and deletes the copy. A machine
// can instead run the drivers' Windows images (.sys), which the PE loader
// maps afresh at every load.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "nt/basetypes.h"
#include "nt/io.h"
#include "sim/kernel/loaded_segments.h"

namespace sim {

namespace pe {
class PeImage;
}

// Which build of the drivers a machine runs: the host's shared objects or
// the Windows images the cross build makes.
enum class ImageKind { Host, Sys };

// The kind a machine runs unless its configuration says otherwise: the host
// images, but a test program's --images=sys makes it the Windows images for
// every machine its tests boot.
ImageKind DefaultImageKind();
void SetDefaultImageKind(ImageKind kind);

struct ImageOptions {
  ImageKind kind = DefaultImageKind();
  std::string sys_directory;  // where the .sys images are; "" for the build's own
};

// "host" or "sys"; ParseImageKind is the inverse (nullopt for anything else).
const char* ImageKindName(ImageKind kind);
std::optional<ImageKind> ParseImageKind(const std::string& name);

class DriverImage {
 public:
  DriverImage();
  ~DriverImage();
  std::string name;         // service name, e.g. "zarkcard"
  std::string loaded_path;  // the private copy that was opened
  void* handle = nullptr;   // dlopen handle
  const void* base = nullptr;
  AddressSpan span;  // where a caller's return address lies to be this image's
  PDRIVER_INITIALIZE entry = nullptr;
  std::unique_ptr<pe::PeImage> pe;  // set for a Windows image
};

class ImageLoader {
 public:
  explicit ImageLoader(const ImageOptions& options = {});
  ~ImageLoader();

  // Directory holding the built images (<name>.so).
  static std::string ImageDirectory();
  // Directory holding the Windows build's images (<name>.sys).
  static std::string DefaultSysDirectory();

  // A service is installed when it has an image of either kind, so that a
  // machine asked to run a .sys that was never built says so when it loads.
  bool Installed(const std::string& name) const;
  // Loads a fresh copy of the service's image of the machine's kind. Returns
  // null and sets *error on failure.
  DriverImage* Load(const std::string& name, std::string* error);
  // Loads a Windows kernel image (.sys) under the service name.
  DriverImage* LoadSys(const std::string& name, const std::string& path, std::string* error);
  void Unload(DriverImage* image);

  const DriverImage* Find(const void* code_address) const;
  const std::vector<std::unique_ptr<DriverImage>>& images() const { return images_; }

 private:
  DriverImage* LoadShared(const std::string& name, std::string* error);
  std::string SysPath(const std::string& name) const;

  ImageOptions options_;
  std::string scratch_directory_;
  unsigned copies_ = 0;
  std::vector<std::unique_ptr<DriverImage>> images_;
};

}  // namespace sim
