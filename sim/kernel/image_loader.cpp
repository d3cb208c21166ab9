#include "sim/kernel/image_loader.h"

#include <dlfcn.h>
#include <link.h>

#include <cstdlib>
#include <filesystem>

#include "sim/kernel/kernel_entry_thunks.h"
#include "sim/kernel/loaded_segments.h"
#include "sim/kernel/pe/pe_image.h"

namespace sim {

namespace fs = std::filesystem;

DriverImage::DriverImage() = default;
DriverImage::~DriverImage() = default;

namespace {
ImageKind default_kind = ImageKind::Host;
}

ImageKind DefaultImageKind() { return default_kind; }
void SetDefaultImageKind(ImageKind kind) { default_kind = kind; }

const char* ImageKindName(ImageKind kind) { return kind == ImageKind::Sys ? "sys" : "host"; }

std::optional<ImageKind> ParseImageKind(const std::string& name) {
  if (name == "host") return ImageKind::Host;
  if (name == "sys") return ImageKind::Sys;
  return std::nullopt;
}

ImageLoader::ImageLoader(const ImageOptions& options) : options_(options) {
  if (options_.sys_directory.empty()) options_.sys_directory = DefaultSysDirectory();
  std::string pattern = (fs::temp_directory_path() / "zarksim-images-XXXXXX").string();
  if (mkdtemp(pattern.data())) scratch_directory_ = pattern;
}

ImageLoader::~ImageLoader() {
  while (!images_.empty()) Unload(images_.back().get());
  std::error_code ignored;
  if (!scratch_directory_.empty()) fs::remove_all(scratch_directory_, ignored);
}

std::string ImageLoader::ImageDirectory() {
  if (const char* overridden = std::getenv("ZARK_IMAGE_DIR")) return overridden;
  return ZARK_IMAGE_DIR;
}

std::string ImageLoader::DefaultSysDirectory() { return ZARK_SYS_IMAGE_DIR; }

std::string ImageLoader::SysPath(const std::string& name) const {
  return (fs::path(options_.sys_directory) / (name + ".sys")).string();
}

bool ImageLoader::Installed(const std::string& name) const {
  std::error_code ignored;
  return fs::exists(fs::path(ImageDirectory()) / (name + ".so"), ignored) || fs::exists(SysPath(name), ignored);
}

DriverImage* ImageLoader::Load(const std::string& name, std::string* error) {
  if (options_.kind == ImageKind::Host) return LoadShared(name, error);
  const std::string path = SysPath(name);
  std::error_code ignored;
  if (!fs::exists(path, ignored)) {
    *error = "the machine runs .sys images, but " + path +
             " does not exist (the Windows build makes it: configure with -DZARK_WINDOWS_BUILD=ON)";
    return nullptr;
  }
  return LoadSys(name, path, error);
}

DriverImage* ImageLoader::LoadShared(const std::string& name, std::string* error) {
  fs::path source = fs::path(ImageDirectory()) / (name + ".so");
  if (scratch_directory_.empty()) {
    *error = "no scratch directory for driver images";
    return nullptr;
  }
  fs::path copy = fs::path(scratch_directory_) / (name + "-" + std::to_string(++copies_) + ".so");
  std::error_code failure;
  fs::copy_file(source, copy, fs::copy_options::overwrite_existing, failure);
  if (failure) {
    *error = "cannot copy driver image " + source.string() + ": " + failure.message();
    return nullptr;
  }
  void* handle = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    *error = std::string("cannot load driver image: ") + dlerror();
    fs::remove(copy, failure);
    return nullptr;
  }
  void* entry = dlsym(handle, "DriverEntry");
  Dl_info info{};
  if (!entry || !dladdr(entry, &info)) {
    *error = "driver image " + name + " has no DriverEntry";
    dlclose(handle);
    fs::remove(copy, failure);
    return nullptr;
  }
  // Every kernel routine the image calls becomes a preemption point.
  if (InstallKernelEntryThunks(handle, error) < 0) {
    dlclose(handle);
    fs::remove(copy, failure);
    return nullptr;
  }
  link_map* map = nullptr;
  const AddressSpan span =
      dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map ? LoadedSegments(map->l_addr) : AddressSpan{};
  if (span.empty()) {
    *error = "driver image " + name + ": its loaded segments were not found";
    dlclose(handle);
    fs::remove(copy, failure);
    return nullptr;
  }
  auto image = std::make_unique<DriverImage>();
  image->name = name;
  image->loaded_path = copy.string();
  image->span = span;
  image->handle = handle;
  image->base = info.dli_fbase;
  image->entry = reinterpret_cast<PDRIVER_INITIALIZE>(entry);
  images_.push_back(std::move(image));
  return images_.back().get();
}

DriverImage* ImageLoader::LoadSys(const std::string& name, const std::string& path, std::string* error) {
  std::unique_ptr<pe::PeImage> mapped = pe::PeImage::LoadFile(name, path, {}, error);
  if (!mapped) return nullptr;
  auto image = std::make_unique<DriverImage>();
  image->name = name;
  image->loaded_path = path;
  image->base = mapped->base();
  image->entry = reinterpret_cast<PDRIVER_INITIALIZE>(mapped->entry());
  image->pe = std::move(mapped);
  images_.push_back(std::move(image));
  return images_.back().get();
}

void ImageLoader::Unload(DriverImage* image) {
  for (auto it = images_.begin(); it != images_.end(); ++it) {
    if (it->get() != image) continue;
    if (image->pe) {  // unmapped with the image
      images_.erase(it);
      return;
    }
    dlclose(image->handle);
    std::error_code ignored;
    fs::remove(image->loaded_path, ignored);
    images_.erase(it);
    return;
  }
}

// Called for every kernel entry to name the calling driver, so a range
// check rather than dladdr, whose nearest-symbol search costs far more.
const DriverImage* ImageLoader::Find(const void* code_address) const {
  for (const auto& image : images_) {
    if (image->pe ? image->pe->Contains(code_address) : image->span.Contains(code_address)) return image.get();
  }
  return nullptr;
}

}  // namespace sim
