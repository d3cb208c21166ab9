#include "sim/kernel/pe/pe_image.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "sim/kernel/kernel.h"
#include "sim/kernel/kernel_entry_thunks.h"
#include "sim/kernel/pe/kernel_exports.h"
#include "sim/kernel/pe/pe_format.h"
#include "sim/kernel/pe/privileged_instructions.h"
#include "sim/kernel/verifier.h"

namespace sim::pe {

namespace {

constexpr uint64_t kStatusNotImplemented = 0xC0000002;

// Where every stub of an unresolved import leads: the image called a
// routine the kernel model does not have. Reported as a verifier finding;
// the caller gets STATUS_NOT_IMPLEMENTED back.
__attribute__((ms_abi)) uint64_t UnresolvedImportCalled(const UnresolvedImport* import) {
  std::string detail = "called " + import->module + "!" + import->name + ", which the kernel does not export";
  if (HasKernel()) {
    K().verifier->Report("unresolved-import", import->image, detail);
  } else {
    std::fprintf(stderr, "simulator: %s %s\n", import->image.c_str(), detail.c_str());
  }
  return kStatusNotImplemented;
}

// One stub: movabs $import, %rcx; movabs $UnresolvedImportCalled, %rax;
// jmp *%rax. The caller's return address and shadow space stay as they
// were, so the report returns straight to the caller.
struct UnresolvedStub {
  uint8_t load_import[2];
  uint64_t import;
  uint8_t load_handler[2];
  uint64_t handler;
  uint8_t jump[2];
  uint8_t padding[10];
} __attribute__((packed));
static_assert(sizeof(UnresolvedStub) == 32);

size_t PageSize() { return static_cast<size_t>(sysconf(_SC_PAGESIZE)); }

size_t RoundUp(size_t value, size_t unit) { return (value + unit - 1) / unit * unit; }

std::string HexRva(uint64_t value) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%" PRIx64, value);
  return text;
}

}  // namespace

class Loader {
 public:
  Loader(std::string name, std::span<const uint8_t> file, std::string* error)
      : name_(std::move(name)), file_(file), error_(error) {}

  std::unique_ptr<PeImage> Run(const LoadOptions& options) {
    image_.reset(new PeImage);
    image_->name_ = name_;
    if (!ParseHeaders() || !ReadSymbols() || !Map(options.base) || !CheckInitialisers() || !Relocate() ||
        !BindImports() || !Protect() || !RegisterFrames())
      return nullptr;
    if (!RegisterImageRange(image_.get(), base_, size_)) {
      Fail("more than " + std::to_string(kMaxLoadedImages) + " Windows images are loaded at once");
      return nullptr;
    }
    return std::move(image_);
  }

 private:
  bool Fail(const std::string& why) {
    *error_ = "driver image " + name_ + ": " + why;
    return false;
  }

  // A structure of the file at that offset, or null when it does not fit.
  template <class T>
  const T* FileAt(size_t offset) const {
    if (offset > file_.size() || file_.size() - offset < sizeof(T)) return nullptr;
    return reinterpret_cast<const T*>(file_.data() + offset);
  }

  // Whether [rva, rva + length) lies inside the mapped image.
  bool InImage(uint64_t rva, uint64_t length) const { return rva <= size_ && size_ - rva >= length; }

  // A NUL-terminated string of the mapped image, or null.
  const char* ImageString(uint32_t rva) const {
    if (rva >= size_) return nullptr;
    const void* end = std::memchr(base_ + rva, 0, size_ - rva);
    return end ? reinterpret_cast<const char*>(base_ + rva) : nullptr;
  }

  const DataDirectory& Directory(int index) const {
    static const DataDirectory empty{};
    return index < static_cast<int>(optional_->number_of_rva_and_sizes) ? optional_->directories[index] : empty;
  }

  std::string SectionName(const SectionHeader& section) const {
    std::string name(section.name, strnlen(section.name, sizeof section.name));
    // Long names live in the string table as "/offset".
    if (name.size() > 1 && name[0] == '/' && strings_) {
      size_t offset = std::strtoul(name.c_str() + 1, nullptr, 10);
      if (offset < strings_size_) return std::string(strings_ + offset, strnlen(strings_ + offset, strings_size_ - offset));
    }
    return name;
  }

  bool ParseHeaders() {
    const auto* dos = FileAt<DosHeader>(0);
    if (!dos || dos->magic != kDosMagic) return Fail("not an executable image (no MZ header)");
    if (dos->pe_offset < 0) return Fail("the PE header offset is negative");
    const size_t pe = static_cast<size_t>(dos->pe_offset);
    const auto* signature = FileAt<uint32_t>(pe);
    if (!signature || *signature != kPeSignature) return Fail("no PE signature");
    header_ = FileAt<FileHeader>(pe + 4);
    if (!header_) return Fail("the file header is cut short");
    if (header_->machine != kMachineAmd64) return Fail("not an x64 image (machine " + HexRva(header_->machine) + ")");
    if (!(header_->characteristics & kFileExecutableImage)) return Fail("not marked as an executable image");
    const size_t optional_at = pe + 4 + sizeof(FileHeader);
    const size_t directories_at = offsetof(OptionalHeader64, directories);
    if (header_->size_of_optional_header < directories_at) return Fail("the optional header is too small");
    optional_ = FileAt<OptionalHeader64>(optional_at);
    if (!optional_ || optional_->magic != kOptionalMagicPe32Plus) return Fail("not a PE32+ image");
    if (optional_->number_of_rva_and_sizes > kDirectoryCount ||
        directories_at + optional_->number_of_rva_and_sizes * sizeof(DataDirectory) >
            header_->size_of_optional_header)
      return Fail("the data directories do not fit the optional header");
    if (optional_->subsystem != kSubsystemNative) return Fail("not a native (kernel) image");
    if (optional_->section_alignment < PageSize() || optional_->section_alignment % PageSize() != 0)
      return Fail("section alignment " + HexRva(optional_->section_alignment) + " is not a multiple of the page size");
    size_ = optional_->size_of_image;
    if (size_ == 0 || size_ % PageSize() != 0 || size_ > (256u << 20))
      return Fail("image size " + HexRva(size_) + " is not a plausible whole number of pages");
    if (optional_->size_of_headers > size_ || optional_->size_of_headers > file_.size())
      return Fail("the headers do not fit the image");
    const size_t sections_at = optional_at + header_->size_of_optional_header;
    if (header_->number_of_sections == 0) return Fail("the image has no sections");
    if (sections_at + header_->number_of_sections * sizeof(SectionHeader) > optional_->size_of_headers)
      return Fail("the section table does not fit the headers");
    sections_ = reinterpret_cast<const SectionHeader*>(file_.data() + sections_at);
    for (int i = 0; i < header_->number_of_sections; ++i) {
      const SectionHeader& section = sections_[i];
      const uint64_t span = SectionSpan(section);
      if (section.virtual_address % PageSize() != 0 || section.virtual_address < optional_->size_of_headers ||
          !InImage(section.virtual_address, RoundUp(span, PageSize())))
        return Fail("section " + std::to_string(i + 1) + " lies outside the image");
      if (section.size_of_raw_data &&
          (section.pointer_to_raw_data > file_.size() ||
           file_.size() - section.pointer_to_raw_data < std::min<uint64_t>(section.size_of_raw_data, span)))
        return Fail("section " + std::to_string(i + 1) + " runs past the end of the file");
      for (int j = 0; j < i; ++j)
        if (section.virtual_address < sections_[j].virtual_address + RoundUp(SectionSpan(sections_[j]), PageSize()) &&
            sections_[j].virtual_address < section.virtual_address + RoundUp(span, PageSize()))
          return Fail("sections " + std::to_string(j + 1) + " and " + std::to_string(i + 1) + " overlap");
    }
    const DataDirectory& tls = Directory(kDirectoryTls);
    if (tls.rva || tls.size)
      return Fail("the image has thread-local storage (a TLS directory), which a kernel image cannot have");
    return true;
  }

  static uint64_t SectionSpan(const SectionHeader& section) {
    return section.virtual_size ? section.virtual_size : section.size_of_raw_data;
  }

  // The COFF symbol table the cross linker leaves in the image: the names
  // of its routines for reports, and the constructor list's bounds.
  bool ReadSymbols() {
    if (!header_->pointer_to_symbol_table || !header_->number_of_symbols)
      return Fail("the image has no symbol table, so its initialisers cannot be checked");
    const uint64_t table = header_->pointer_to_symbol_table;
    const uint64_t table_size = uint64_t{header_->number_of_symbols} * sizeof(CoffSymbol);
    if (table > file_.size() || file_.size() - table < table_size + 4) return Fail("the symbol table is cut short");
    const auto* symbols = reinterpret_cast<const CoffSymbol*>(file_.data() + table);
    strings_ = reinterpret_cast<const char*>(file_.data() + table + table_size);
    uint32_t strings_size;
    std::memcpy(&strings_size, strings_, 4);
    if (strings_size < 4 || file_.size() - table - table_size < strings_size)
      return Fail("the symbol table's strings are cut short");
    strings_size_ = strings_size;
    std::vector<ImageSymbol>& out = image_->symbols_;
    for (uint32_t i = 0; i < header_->number_of_symbols; i += 1 + symbols[i].number_of_aux_symbols) {
      const CoffSymbol& symbol = symbols[i];
      if (symbol.section_number < 1 || symbol.section_number > header_->number_of_sections) continue;
      if (symbol.storage_class != kStorageExternal && symbol.storage_class != kStorageStatic) continue;
      std::string name;
      if (symbol.name.long_name.zeroes == 0) {
        const uint32_t offset = symbol.name.long_name.offset;
        if (offset >= strings_size_) continue;
        name.assign(strings_ + offset, strnlen(strings_ + offset, strings_size_ - offset));
      } else {
        name.assign(symbol.name.short_name, strnlen(symbol.name.short_name, sizeof symbol.name.short_name));
      }
      if (name.empty() || name[0] == '.') continue;  // section symbols
      const uint64_t rva = uint64_t{sections_[symbol.section_number - 1].virtual_address} + symbol.value;
      if (rva >= size_) continue;
      out.push_back({static_cast<uint32_t>(rva), std::move(name)});
    }
    std::stable_sort(out.begin(), out.end(), [](const ImageSymbol& a, const ImageSymbol& b) { return a.rva < b.rva; });
    return true;
  }

  bool Map(uintptr_t at) {
    if (at % PageSize() != 0) return Fail("the requested base " + HexRva(at) + " is not page aligned");
    int flags = MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE;
    if (at) flags |= MAP_FIXED_NOREPLACE;
    void* mapped = mmap(reinterpret_cast<void*>(at), size_, PROT_READ | PROT_WRITE, flags, -1, 0);
    if (mapped == MAP_FAILED) return Fail("cannot map " + HexRva(size_) + " bytes at " + HexRva(at) + ": " + strerror(errno));
    base_ = static_cast<uint8_t*>(mapped);
    image_->base_ = base_;
    image_->size_ = size_;
    image_->preferred_base_ = optional_->image_base;
    if (at && mapped != reinterpret_cast<void*>(at)) return Fail("the kernel could not map the image at " + HexRva(at));
    std::memcpy(base_, file_.data(), optional_->size_of_headers);
    for (int i = 0; i < header_->number_of_sections; ++i) {
      const SectionHeader& section = sections_[i];
      const uint64_t raw = std::min<uint64_t>(section.size_of_raw_data, SectionSpan(section));
      if (raw) std::memcpy(base_ + section.virtual_address, file_.data() + section.pointer_to_raw_data, raw);
    }
    const uint32_t entry = optional_->address_of_entry_point;
    if (!entry || !InCode(entry)) return Fail("the entry point " + HexRva(entry) + " is not in a code section");
    image_->entry_ = base_ + entry;
    return true;
  }

  bool InCode(uint64_t rva) const {
    for (int i = 0; i < header_->number_of_sections; ++i)
      if ((sections_[i].characteristics & kSectionExecute) && rva >= sections_[i].virtual_address &&
          rva < sections_[i].virtual_address + SectionSpan(sections_[i]))
        return true;
    return false;
  }

  // Dynamic initialisers would never run: the kernel calls an image only
  // at its entry point. The cross linker gathers them into a list between
  // __CTOR_LIST__ (a -1 marker) and a terminating 0; other toolchains use
  // .ctors, .init_array or .CRT$XC* sections.
  bool CheckInitialisers() {
    for (const char* list : {"__CTOR_LIST__", "__DTOR_LIST__"}) {
      const void* at = image_->SymbolAddress(list);
      if (!at) continue;
      const uint64_t rva = static_cast<const uint8_t*>(at) - base_;
      uint64_t first;
      if (!InImage(rva, 16)) return Fail(std::string(list) + " lies outside the image");
      std::memcpy(&first, base_ + rva + 8, sizeof first);
      if (first != 0)
        return Fail(std::string("the image has dynamic initialisers (") + list +
                    " is not empty), which a kernel image never runs");
    }
    for (int i = 0; i < header_->number_of_sections; ++i) {
      const std::string name = SectionName(sections_[i]);
      const bool initialisers = name == ".ctors" || name == ".dtors" || name == ".init_array" ||
                                name == ".fini_array" || name.rfind(".CRT", 0) == 0;
      if (!initialisers) continue;
      const uint8_t* begin = base_ + sections_[i].virtual_address;
      const uint8_t* end = begin + SectionSpan(sections_[i]);
      if (std::any_of(begin, end, [](uint8_t byte) { return byte != 0; }))
        return Fail("the image has dynamic initialisers (section " + name + "), which a kernel image never runs");
    }
    return true;
  }

  bool Relocate() {
    const uint64_t delta = reinterpret_cast<uint64_t>(base_) - optional_->image_base;
    const DataDirectory& directory = Directory(kDirectoryBaseReloc);
    if (delta && (header_->characteristics & kFileRelocsStripped))
      return Fail("the image cannot be moved from its preferred base (its relocations were stripped)");
    if (!directory.size) return true;
    if (!InImage(directory.rva, directory.size)) return Fail("the base relocations lie outside the image");
    uint64_t offset = 0;
    while (offset + sizeof(BaseRelocationBlock) <= directory.size) {
      BaseRelocationBlock block;
      std::memcpy(&block, base_ + directory.rva + offset, sizeof block);
      if (block.block_size < sizeof block || block.block_size % 2 || block.block_size > directory.size - offset)
        return Fail("base relocation block at " + HexRva(directory.rva + offset) + " has a bad size");
      const size_t count = (block.block_size - sizeof block) / 2;
      for (size_t i = 0; i < count; ++i) {
        uint16_t entry;
        std::memcpy(&entry, base_ + directory.rva + offset + sizeof block + 2 * i, sizeof entry);
        const uint16_t type = entry >> 12;
        const uint64_t rva = uint64_t{block.page_rva} + (entry & 0xFFF);
        if (type == kRelocAbsolute) continue;
        if (type != kRelocDir64)
          return Fail("base relocation of type " + std::to_string(type) + " at " + HexRva(rva) +
                      " is not supported (only 64-bit relocations)");
        if (!InImage(rva, 8)) return Fail("base relocation at " + HexRva(rva) + " lies outside the image");
        uint64_t value;
        std::memcpy(&value, base_ + rva, sizeof value);
        value += delta;
        std::memcpy(base_ + rva, &value, sizeof value);
      }
      offset += block.block_size;
    }
    return true;
  }

  bool BindImports() {
    const DataDirectory& directory = Directory(kDirectoryImport);
    if (!directory.size) return true;
    if (!InImage(directory.rva, sizeof(ImportDescriptor))) return Fail("the import directory lies outside the image");
    std::vector<std::pair<uint64_t, const UnresolvedImport*>> unresolved_slots;
    for (uint64_t at = directory.rva;; at += sizeof(ImportDescriptor)) {
      if (!InImage(at, sizeof(ImportDescriptor))) return Fail("the import directory is not terminated");
      ImportDescriptor descriptor;
      std::memcpy(&descriptor, base_ + at, sizeof descriptor);
      if (!descriptor.name_rva && !descriptor.address_table_rva) break;
      const char* module = ImageString(descriptor.name_rva);
      if (!module) return Fail("an import descriptor's module name lies outside the image");
      const uint32_t lookup = descriptor.lookup_table_rva ? descriptor.lookup_table_rva : descriptor.address_table_rva;
      for (uint64_t index = 0;; ++index) {
        const uint64_t entry_rva = lookup + 8 * index;
        const uint64_t slot_rva = descriptor.address_table_rva + 8 * index;
        if (!InImage(entry_rva, 8) || !InImage(slot_rva, 8))
          return Fail(std::string("the imports from ") + module + " run past the image");
        uint64_t entry;
        std::memcpy(&entry, base_ + entry_rva, sizeof entry);
        if (!entry) break;
        if (entry & kImportByOrdinal)
          return Fail(std::string("imports ordinal ") + std::to_string(entry & 0xFFFF) + " of " + module +
                      "; only imports by name are supported");
        const char* name = entry + 2 < size_ ? ImageString(static_cast<uint32_t>(entry + 2)) : nullptr;
        if (!name) return Fail(std::string("an import name from ") + module + " lies outside the image");
        void* address = nullptr;
        if (const KernelExport* known = FindKernelExport(name)) {
          // Every kernel routine an image calls is a preemption point, as for host images.
          address = known->data || known->runtime ? known->address : KernelEntryThunk(known->address);
          if (!address) return Fail("no memory for kernel entry thunks");
          std::memcpy(base_ + slot_rva, &address, sizeof address);
        } else {
          image_->unresolved_.push_back(std::make_unique<UnresolvedImport>(UnresolvedImport{name_, module, name}));
          unresolved_slots.emplace_back(slot_rva, image_->unresolved_.back().get());
        }
      }
    }
    if (unresolved_slots.empty()) return true;
    // Stubs for the unresolved imports, in pages of their own.
    const size_t stubs_size = RoundUp(unresolved_slots.size() * sizeof(UnresolvedStub), PageSize());
    void* stubs = mmap(nullptr, stubs_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (stubs == MAP_FAILED) return Fail("no memory for the unresolved imports' stubs");
    image_->stubs_ = static_cast<uint8_t*>(stubs);
    image_->stubs_size_ = stubs_size;
    for (size_t i = 0; i < unresolved_slots.size(); ++i) {
      UnresolvedStub stub{{0x48, 0xB9}, reinterpret_cast<uint64_t>(unresolved_slots[i].second),
                          {0x48, 0xB8}, reinterpret_cast<uint64_t>(&UnresolvedImportCalled),
                          {0xFF, 0xE0}, {0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC}};
      uint8_t* place = image_->stubs_ + i * sizeof stub;
      std::memcpy(place, &stub, sizeof stub);
      std::memcpy(base_ + unresolved_slots[i].first, &place, sizeof place);
    }
    if (mprotect(stubs, stubs_size, PROT_READ | PROT_EXEC) != 0) return Fail("cannot protect the import stubs");
    return true;
  }

  // The image's function table, translated for the host's unwinder, so
  // that stopping a thread whose stack holds the image's frames unwinds it.
  bool RegisterFrames() {
    const DataDirectory& table = Directory(kDirectoryException);
    if (!table.size) return true;
    if (!InImage(table.rva, table.size)) return Fail("the function table lies outside the image");
    size_t skipped = 0;
    image_->frames_ = RegisteredFrames::Register(base_, size_, table.rva, table.size, &skipped);
    if (skipped) return Fail(std::to_string(skipped) + " function(s) with unwind data the loader cannot translate");
    return true;
  }

  // Headers read-only, each section as its characteristics say, and
  // whatever lies between sections inaccessible.
  bool Protect() {
    if (mprotect(base_, size_, PROT_NONE) != 0) return Fail("cannot protect the image");
    if (mprotect(base_, RoundUp(optional_->size_of_headers, PageSize()), PROT_READ) != 0)
      return Fail("cannot protect the image's headers");
    for (int i = 0; i < header_->number_of_sections; ++i) {
      const SectionHeader& section = sections_[i];
      const uint32_t flags = section.characteristics;
      int protection = PROT_NONE;
      if (flags & kSectionRead) protection |= PROT_READ;
      if (flags & kSectionWrite) protection |= PROT_WRITE;
      if (flags & kSectionExecute) protection |= PROT_EXEC;
      const size_t length = RoundUp(SectionSpan(section), PageSize());
      if (length && mprotect(base_ + section.virtual_address, length, protection) != 0)
        return Fail("cannot protect section " + SectionName(section));
    }
    return true;
  }

  std::string name_;
  std::span<const uint8_t> file_;
  std::string* error_;
  std::unique_ptr<PeImage> image_;
  const FileHeader* header_ = nullptr;
  const OptionalHeader64* optional_ = nullptr;
  const SectionHeader* sections_ = nullptr;
  const char* strings_ = nullptr;
  size_t strings_size_ = 0;
  uint8_t* base_ = nullptr;
  size_t size_ = 0;
};

std::unique_ptr<PeImage> PeImage::Load(std::string name, std::span<const uint8_t> file, const LoadOptions& options,
                                       std::string* error) {
  return Loader(std::move(name), file, error).Run(options);
}

std::unique_ptr<PeImage> PeImage::LoadFile(std::string name, const std::string& path, const LoadOptions& options,
                                           std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read driver image " + path;
    return nullptr;
  }
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return Load(std::move(name), bytes, options, error);
}

PeImage::~PeImage() {
  frames_.reset();
  if (base_) {
    UnregisterImageRange(base_);
    munmap(base_, size_);
  }
  if (stubs_) munmap(stubs_, stubs_size_);
}

bool PeImage::Contains(const void* address) const {
  const auto* byte = static_cast<const uint8_t*>(address);
  return byte >= base_ && byte < base_ + size_;
}

void* PeImage::SymbolAddress(std::string_view symbol) const {
  for (const ImageSymbol& candidate : symbols_)
    if (candidate.name == symbol) return base_ + candidate.rva;
  return nullptr;
}

const ImageSymbol* PeImage::SymbolAt(const void* address, size_t* offset) const {
  if (!Contains(address)) return nullptr;
  const auto rva = static_cast<uint32_t>(static_cast<const uint8_t*>(address) - base_);
  auto after = std::upper_bound(symbols_.begin(), symbols_.end(), rva,
                                [](uint32_t value, const ImageSymbol& symbol) { return value < symbol.rva; });
  if (after == symbols_.begin()) return nullptr;
  const ImageSymbol& symbol = *std::prev(after);
  *offset = rva - symbol.rva;
  return &symbol;
}

}  // namespace sim::pe
