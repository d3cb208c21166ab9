#include "sim/kernel/image_loader.h"

#include <dlfcn.h>
#include <link.h>

#include <cstdlib>
#include <filesystem>

#include "sim/kernel/kernel_entry_thunks.h"

namespace sim {

namespace fs = std::filesystem;

namespace {

struct SegmentSpan {
  const std::string* path;
  uintptr_t begin = 0;
  uintptr_t end = 0;
};

// The span of the loaded segments of the object opened from `path`.
int FindSpan(dl_phdr_info* info, size_t, void* data) {
  auto* span = static_cast<SegmentSpan*>(data);
  if (!info->dlpi_name || *span->path != info->dlpi_name) return 0;
  for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& segment = info->dlpi_phdr[i];
    if (segment.p_type != PT_LOAD) continue;
    const uintptr_t begin = info->dlpi_addr + segment.p_vaddr;
    const uintptr_t end = begin + segment.p_memsz;
    if (!span->begin || begin < span->begin) span->begin = begin;
    if (end > span->end) span->end = end;
  }
  return 1;
}

}  // namespace

ImageLoader::ImageLoader() {
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

DriverImage* ImageLoader::Load(const std::string& name, std::string* error) {
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
  const std::string loaded_path = copy.string();
  SegmentSpan span{&loaded_path};
  dl_iterate_phdr(FindSpan, &span);
  if (!span.end) {
    *error = "driver image " + name + ": its loaded segments were not found";
    dlclose(handle);
    fs::remove(copy, failure);
    return nullptr;
  }
  auto image = std::make_unique<DriverImage>();
  image->name = name;
  image->loaded_path = loaded_path;
  image->begin = span.begin;
  image->end = span.end;
  image->handle = handle;
  image->base = info.dli_fbase;
  image->entry = reinterpret_cast<PDRIVER_INITIALIZE>(entry);
  images_.push_back(std::move(image));
  return images_.back().get();
}

void ImageLoader::Unload(DriverImage* image) {
  for (auto it = images_.begin(); it != images_.end(); ++it) {
    if (it->get() != image) continue;
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
  const auto address = reinterpret_cast<uintptr_t>(code_address);
  for (const auto& image : images_)
    if (address >= image->begin && address < image->end) return image.get();
  return nullptr;
}

}  // namespace sim
