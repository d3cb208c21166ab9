// The parts of the PE32+ image format the loader reads: the headers, the
// section table, the data directories, base relocation blocks, import
// descriptors and the COFF symbol table. All fields little-endian.
#pragma once

#include <cstdint>

namespace sim::pe {

constexpr uint16_t kDosMagic = 0x5A4D;          // "MZ"
constexpr uint32_t kPeSignature = 0x00004550;   // "PE\0\0"
constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kOptionalMagicPe32Plus = 0x20B;

// File header characteristics.
constexpr uint16_t kFileRelocsStripped = 0x0001;
constexpr uint16_t kFileExecutableImage = 0x0002;
constexpr uint16_t kFileDll = 0x2000;

// Subsystems.
constexpr uint16_t kSubsystemNative = 1;

// Data directory indices.
constexpr int kDirectoryExport = 0;
constexpr int kDirectoryImport = 1;
constexpr int kDirectoryException = 3;
constexpr int kDirectoryBaseReloc = 5;
constexpr int kDirectoryTls = 9;
constexpr int kDirectoryCount = 16;

// Section characteristics.
constexpr uint32_t kSectionCode = 0x00000020;
constexpr uint32_t kSectionUninitializedData = 0x00000080;
constexpr uint32_t kSectionExecute = 0x20000000;
constexpr uint32_t kSectionRead = 0x40000000;
constexpr uint32_t kSectionWrite = 0x80000000;

// Base relocation types.
constexpr uint16_t kRelocAbsolute = 0;
constexpr uint16_t kRelocDir64 = 10;

constexpr uint64_t kImportByOrdinal = 0x8000000000000000ull;

#pragma pack(push, 1)

struct DosHeader {
  uint16_t magic;
  uint8_t unused[58];
  int32_t pe_offset;  // e_lfanew
};
static_assert(sizeof(DosHeader) == 64);

struct FileHeader {
  uint16_t machine;
  uint16_t number_of_sections;
  uint32_t time_date_stamp;
  uint32_t pointer_to_symbol_table;
  uint32_t number_of_symbols;
  uint16_t size_of_optional_header;
  uint16_t characteristics;
};
static_assert(sizeof(FileHeader) == 20);

struct DataDirectory {
  uint32_t rva;
  uint32_t size;
};

struct OptionalHeader64 {
  uint16_t magic;
  uint8_t major_linker_version;
  uint8_t minor_linker_version;
  uint32_t size_of_code;
  uint32_t size_of_initialized_data;
  uint32_t size_of_uninitialized_data;
  uint32_t address_of_entry_point;
  uint32_t base_of_code;
  uint64_t image_base;
  uint32_t section_alignment;
  uint32_t file_alignment;
  uint16_t major_os_version;
  uint16_t minor_os_version;
  uint16_t major_image_version;
  uint16_t minor_image_version;
  uint16_t major_subsystem_version;
  uint16_t minor_subsystem_version;
  uint32_t win32_version_value;
  uint32_t size_of_image;
  uint32_t size_of_headers;
  uint32_t checksum;
  uint16_t subsystem;
  uint16_t dll_characteristics;
  uint64_t size_of_stack_reserve;
  uint64_t size_of_stack_commit;
  uint64_t size_of_heap_reserve;
  uint64_t size_of_heap_commit;
  uint32_t loader_flags;
  uint32_t number_of_rva_and_sizes;
  DataDirectory directories[kDirectoryCount];
};
static_assert(sizeof(OptionalHeader64) == 240);

struct SectionHeader {
  char name[8];
  uint32_t virtual_size;
  uint32_t virtual_address;
  uint32_t size_of_raw_data;
  uint32_t pointer_to_raw_data;
  uint32_t pointer_to_relocations;
  uint32_t pointer_to_line_numbers;
  uint16_t number_of_relocations;
  uint16_t number_of_line_numbers;
  uint32_t characteristics;
};
static_assert(sizeof(SectionHeader) == 40);

struct BaseRelocationBlock {
  uint32_t page_rva;
  uint32_t block_size;  // including this header
};

struct ImportDescriptor {
  uint32_t lookup_table_rva;  // OriginalFirstThunk
  uint32_t time_date_stamp;
  uint32_t forwarder_chain;
  uint32_t name_rva;
  uint32_t address_table_rva;  // FirstThunk
};
static_assert(sizeof(ImportDescriptor) == 20);

struct CoffSymbol {
  union {
    char short_name[8];
    struct {
      uint32_t zeroes;
      uint32_t offset;  // into the string table
    } long_name;
  } name;
  uint32_t value;
  int16_t section_number;  // 1-based; 0 undefined, negative special
  uint16_t type;
  uint8_t storage_class;
  uint8_t number_of_aux_symbols;
};
static_assert(sizeof(CoffSymbol) == 18);

#pragma pack(pop)

constexpr uint16_t kSymbolTypeFunction = 0x20;  // complex type "function" in the type's high byte
constexpr uint8_t kStorageExternal = 2;
constexpr uint8_t kStorageStatic = 3;

}  // namespace sim::pe
