// A loaded PE32+ kernel image: the driver images built by the Windows cross
// toolchain, mapped into the simulator's address space and bound to the
// kernel model. Loading maps the image at an address other than its
// preferred base, copies the sections, applies the base relocations,
// resolves the imports by name against the kernel model's export table and
// finally gives each section its protection. An import the model lacks is
// bound to a stub that reports the import by name when called. Images that
// need what a kernel image cannot have (thread-local storage, dynamic
// initialisers) are refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sim/kernel/pe/unwind_frames.h"

namespace sim::pe {

// A routine or variable of the image, from its COFF symbol table.
struct ImageSymbol {
  uint32_t rva;
  std::string name;
};

// An import the kernel model does not export.
struct UnresolvedImport {
  std::string image;   // the image that imports it
  std::string module;  // e.g. "ntoskrnl.exe"
  std::string name;
};

struct LoadOptions {
  // Where to map the image; 0 lets the host choose. Never the preferred
  // base unless asked for, so relocation is always exercised.
  uintptr_t base = 0;
};

class PeImage {
 public:
  // Loads the image from its file contents. Returns null with *error set
  // when the image is malformed or needs something the loader refuses.
  static std::unique_ptr<PeImage> Load(std::string name, std::span<const uint8_t> file, const LoadOptions& options,
                                       std::string* error);
  static std::unique_ptr<PeImage> LoadFile(std::string name, const std::string& path, const LoadOptions& options,
                                           std::string* error);
  ~PeImage();
  PeImage(const PeImage&) = delete;
  PeImage& operator=(const PeImage&) = delete;

  const std::string& name() const { return name_; }
  uint8_t* base() const { return base_; }
  size_t size() const { return size_; }
  uint64_t preferred_base() const { return preferred_base_; }
  // The image's entry point, which for a driver is DriverEntry.
  void* entry() const { return entry_; }
  bool Contains(const void* address) const;

  // The address of the image's symbol of that name, or null.
  void* SymbolAddress(std::string_view symbol) const;
  // The symbol at or nearest before the address, and the address's offset
  // from it; null when the address is outside the image or precedes
  // every symbol.
  const ImageSymbol* SymbolAt(const void* address, size_t* offset) const;

  const std::vector<std::unique_ptr<UnresolvedImport>>& unresolved_imports() const { return unresolved_; }

 private:
  PeImage() = default;
  friend class Loader;

  std::string name_;
  uint8_t* base_ = nullptr;
  size_t size_ = 0;
  uint64_t preferred_base_ = 0;
  void* entry_ = nullptr;
  std::vector<ImageSymbol> symbols_;  // by address
  std::vector<std::unique_ptr<UnresolvedImport>> unresolved_;
  uint8_t* stubs_ = nullptr;  // the unresolved imports' stubs
  std::unique_ptr<RegisteredFrames> frames_;  // the image's frames, for the host's unwinder
  size_t stubs_size_ = 0;
};

}  // namespace sim::pe
