// The PE loader, with small images built by the cross compiler: an image
// runs wherever it is mapped, binds kernel routines and data, reports an
// import the kernel lacks when it is called, and images a kernel cannot run
// are refused with the reason.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "ntddk.h"
#include "sim/kernel/image_loader.h"
#include "sim/kernel/pe/pe_format.h"
#include "sim/kernel/pe/pe_image.h"
#include "sim/kernel/pool.h"
#include "sim/kernel/scheduler.h"
#include "sim/machine/machine.h"
#include "support/kernel_test.h"

namespace {

using sim::pe::LoadOptions;
using sim::pe::PeImage;
using PeLoaderTest = sim::test::KernelTest;

#ifdef PE_TEST_IMAGE_DIR
std::string ImagePath(const std::string& name) { return std::string(PE_TEST_IMAGE_DIR) + "/" + name + ".sys"; }
#define REQUIRE_TEST_IMAGES()
#else
std::string ImagePath(const std::string& name) { return name; }
#define REQUIRE_TEST_IMAGES() GTEST_SKIP() << "no cross compiler for the test images"
#endif

std::vector<uint8_t> ReadImage(const std::string& name) {
  std::ifstream in(ImagePath(name), std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The host's protection of the page holding the address ("r-xp", ...), or
// "" when it is not mapped.
std::string Protection(const void* address) {
  std::ifstream maps("/proc/self/maps");
  const auto at = reinterpret_cast<uintptr_t>(address);
  std::string line;
  while (std::getline(maps, line)) {
    std::istringstream fields(line);
    std::string range, protection;
    fields >> range >> protection;
    const uintptr_t begin = std::stoull(range.substr(0, range.find('-')), nullptr, 16);
    const uintptr_t end = std::stoull(range.substr(range.find('-') + 1), nullptr, 16);
    if (at >= begin && at < end) return protection;
  }
  return "";
}

template <class Function>
Function* Routine(const PeImage& image, const char* name) {
  void* address = image.SymbolAddress(name);
  EXPECT_NE(address, nullptr) << name;
  return reinterpret_cast<Function*>(address);
}

TEST_F(PeLoaderTest, ImageRunsAtAnyBaseWithItsImportsBoundAndItsSectionsProtected) {
  REQUIRE_TEST_IMAGES();
  const std::vector<uint8_t> file = ReadImage("probe");
  ASSERT_FALSE(file.empty());
  // The host's choice, a base below the preferred one (a negative delta
  // that changes the high half of every pointer) and one far above it.
  // (The preferred base itself lies in the address sanitizer's reserved
  // range, so a host image never runs there.)
  for (uintptr_t base : {uintptr_t{0}, uintptr_t{0x10000000}, uintptr_t{0x6f0000000000}}) {
    SCOPED_TRACE(testing::Message() << "base 0x" << std::hex << base);
    std::string error;
    std::unique_ptr<PeImage> image = PeImage::Load("probe", file, LoadOptions{base}, &error);
    ASSERT_NE(image, nullptr) << error;
    EXPECT_EQ(image->preferred_base(), 0x140000000u);
    if (base) {
      EXPECT_EQ(image->base(), reinterpret_cast<uint8_t*>(base));
    }

    // Pointers stored in the image's data point into this copy.
    int* counter = Routine<int* __attribute__((ms_abi))()>(*image, "CounterAddress")();
    EXPECT_TRUE(image->Contains(counter));
    EXPECT_EQ(*static_cast<int**>(image->SymbolAddress("counter_pointer")), counter);
    EXPECT_STREQ(*static_cast<const char**>(image->SymbolAddress("greeting_pointer")), "relocated");
    auto* operate = Routine<int __attribute__((ms_abi))(int, int)>(*image, "Operate");
    EXPECT_EQ(operate(0, 21), 42);
    EXPECT_EQ(operate(1, 5), 15);
    // The compiler's memcpy call reaches the kernel's, in the image's convention.
    char from[300], to[300] = {};
    for (size_t i = 0; i < sizeof from; ++i) from[i] = static_cast<char>(i * 7);
    Routine<void __attribute__((ms_abi))(void*, const void*, unsigned long long)>(*image, "CopyBlock")(to, from,
                                                                                                 sizeof from);
    EXPECT_EQ(std::memcmp(to, from, sizeof from), 0);

    // The entry point is DriverEntry; it calls a kernel routine.
    ASSERT_EQ(image->entry(), image->SymbolAddress("DriverEntry"));
    auto* entry = reinterpret_cast<PDRIVER_INITIALIZE>(image->entry());
    auto entries = [this] { return kernel().scheduler->kernel_entries(); };
    const uint64_t before_call = entries();
    EXPECT_EQ(entry(nullptr, nullptr), PASSIVE_LEVEL);
    EXPECT_EQ(entries(), before_call + 1);  // the imported routine is a kernel entry
    EXPECT_EQ(*counter, 1);
    // The IRQL read inline from CR8 is the model's.
    auto* irql = Routine<unsigned long long __attribute__((ms_abi))()>(*image, "CurrentIrql");
    auto* irql_r12 = Routine<unsigned long long __attribute__((ms_abi))()>(*image, "CurrentIrqlThroughR12");
    // Each emulated instruction is a kernel entry too, as the routine it
    // stands for is when a host image calls it.
    const uint64_t before_read = entries();
    EXPECT_EQ(irql(), PASSIVE_LEVEL);
    EXPECT_EQ(entries(), before_read + 1);
    KIRQL old_irql;
    KeRaiseIrql(DISPATCH_LEVEL, &old_irql);
    EXPECT_EQ(irql(), DISPATCH_LEVEL);
    EXPECT_EQ(irql_r12(), DISPATCH_LEVEL);
    KeLowerIrql(old_irql);
    EXPECT_EQ(irql_r12(), PASSIVE_LEVEL);
    // And written to CR8, it raises and lowers the model's IRQL.
    auto* set_irql = Routine<void __attribute__((ms_abi))(unsigned long long)>(*image, "SetIrql");
    set_irql(DISPATCH_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_EQ(irql(), DISPATCH_LEVEL);
    set_irql(PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    // The clocks in KUSER_SHARED_DATA and the current thread at gs:[0x188]
    // are the model's.
    EXPECT_EQ(Routine<unsigned long long __attribute__((ms_abi))()>(*image, "InterruptTime")(), KeQueryInterruptTime());
    EXPECT_EQ(Routine<void* __attribute__((ms_abi))()>(*image, "CurrentThread")(),
              static_cast<void*>(KeGetCurrentThread()));
    // A frame of three pages, probed by ___chkstk_ms.
    unsigned long long sum = 0;
    for (unsigned i = 0; i < 3 * 4096; i += 4096) sum += static_cast<unsigned char>((i + 1) * 5);
    EXPECT_EQ(Routine<unsigned long long __attribute__((ms_abi))(unsigned)>(*image, "LargeFrame")(5), sum);
    // Port instructions reach the machine's I/O space: the PCI
    // configuration address latch, and an unanswered port reads all ones.
    Routine<void __attribute__((ms_abi))(unsigned short, unsigned)>(*image, "OutDword")(0xCF8, 0x80001810);
    EXPECT_EQ(machine().hardware().io().config_address(), 0x80001810u);
    EXPECT_EQ(Routine<unsigned __attribute__((ms_abi))(unsigned short)>(*image, "InDword")(0xCF8), 0x80001810u);
    Routine<void __attribute__((ms_abi))(unsigned short, unsigned)>(*image, "OutDword")(0xCF8, 0);
    EXPECT_EQ(Routine<unsigned long long __attribute__((ms_abi))(unsigned short)>(*image, "InByteOverPattern")(0xCFC),
              0x11223344556677FFull);
    EXPECT_EQ(Routine<unsigned long long __attribute__((ms_abi))()>(*image, "InByteFromPort80")(),
              0x11223344556677FFull);
    // Loads and stores through a device mapping reach the same registers
    // as the HAL's register routines: the host bridge's configuration space.
    PHYSICAL_ADDRESS ecam;
    ecam.QuadPart = static_cast<LONGLONG>(machine().hardware().memory().ecam_base());
    auto* window = static_cast<PUCHAR>(MmMapIoSpace(ecam, 0x1000, MmNonCached));
    ASSERT_NE(window, nullptr);
    const ULONG identity = READ_REGISTER_ULONG(reinterpret_cast<PULONG>(window));
    EXPECT_NE(identity, 0xFFFFFFFFu);
    EXPECT_EQ(Routine<unsigned __attribute__((ms_abi))(PUCHAR)>(*image, "ReadRegisterDword")(window), identity);
    EXPECT_EQ(Routine<UCHAR __attribute__((ms_abi))(PUCHAR)>(*image, "ReadRegisterByte")(window + 2),
              (identity >> 16) & 0xFF);
    // The command register keeps what is written to it.
    const uint64_t writes = machine().hardware().counters().register_writes;
    Routine<void __attribute__((ms_abi))(PUCHAR, UCHAR)>(*image, "WriteRegisterByte")(window + 4, 0x06);
    EXPECT_EQ(READ_REGISTER_UCHAR(window + 4), 0x06);
    Routine<void __attribute__((ms_abi))(PUCHAR)>(*image, "WriteRegisterDwordConstant")(window + 4);
    EXPECT_EQ(READ_REGISTER_UCHAR(window + 4), 0x02);
    EXPECT_EQ(machine().hardware().counters().register_writes, writes + 2);
    MmUnmapIoSpace(window, 0x1000);
    // A data import points at the kernel's variable.
    EXPECT_EQ(Routine<void* __attribute__((ms_abi))()>(*image, "FileObjectType")(),
              static_cast<void*>(IoFileObjectType));
    ASSERT_EQ(image->unresolved_imports().size(), 1u);
    EXPECT_EQ(image->unresolved_imports()[0]->name, "ZarkProbeMissingRoutine");

    // Addresses inside the image name their routine.
    size_t offset = 0;
    const sim::pe::ImageSymbol* symbol = image->SymbolAt(reinterpret_cast<uint8_t*>(operate) + 3, &offset);
    ASSERT_NE(symbol, nullptr);
    EXPECT_EQ(symbol->name, "Operate");
    EXPECT_EQ(offset, 3u);
    EXPECT_EQ(image->SymbolAt(image->base() + image->size(), &offset), nullptr);

    // Code is executable and read-only, constant data read-only, the
    // headers read-only.
    EXPECT_EQ(Protection(reinterpret_cast<void*>(operate)), "r-xp");
    EXPECT_EQ(Protection(image->SymbolAddress("operations")), "r--p");
    EXPECT_EQ(Protection(counter), "rw-p");
    EXPECT_EQ(Protection(image->base()), "r--p");
    // Unloading unmaps the whole image: it loads again at the same base.
    image.reset();
    if (base) {
      image = PeImage::Load("probe", file, LoadOptions{base}, &error);
      EXPECT_NE(image, nullptr) << error;
    }
  }
}

// Findings about a loaded image's calls name the image, as for host images.
TEST_F(PeLoaderTest, FindingsAboutALoadedImageNameItIncludingAnImportTheKernelLacksAndAnUnmappedRegister) {
  REQUIRE_TEST_IMAGES();
  std::string error;
  sim::DriverImage* driver = kernel().images->LoadSys("probe", ImagePath("probe"), &error);
  ASSERT_NE(driver, nullptr) << error;
  const PeImage& image = *driver->pe;
  EXPECT_EQ(sim::ImageOf(image.entry()), driver);

  auto* allocate = Routine<void* __attribute__((ms_abi))(unsigned long long)>(image, "Allocate");
  void* block = allocate(24);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(kernel().pool->blocks().at(block).owner, driver);
  void* empty = allocate(0);
  EXPECT_NE(TakeOnlyFinding("pool-zero-size", "probe").find("Prob"), std::string::npos);
  auto* release = Routine<void __attribute__((ms_abi))(void*)>(image, "Release");
  release(block);
  release(empty);
  EXPECT_EQ(kernel().pool->blocks().count(block), 0u);

  // A register access where no mapping is left is the HAL's finding, and reads all ones.
  PHYSICAL_ADDRESS ecam;
  ecam.QuadPart = static_cast<LONGLONG>(machine().hardware().memory().ecam_base());
  auto* window = static_cast<PUCHAR>(MmMapIoSpace(ecam, 0x1000, MmNonCached));
  ASSERT_NE(window, nullptr);
  MmUnmapIoSpace(window, 0x1000);
  EXPECT_EQ(Routine<unsigned __attribute__((ms_abi))(PUCHAR)>(image, "ReadRegisterDword")(window), 0xFFFFFFFFu);
  EXPECT_NE(TakeOnlyFinding("register-access", "probe").find("READ_REGISTER of"), std::string::npos);
  Routine<void __attribute__((ms_abi))(PUCHAR, UCHAR)>(image, "WriteRegisterByte")(window + 4, 0x06);
  EXPECT_NE(TakeOnlyFinding("register-access", "probe").find("WRITE_REGISTER of"), std::string::npos);

  // A fault nobody emulates names the image, the offset and the routine before the sanitizer's report.
  auto* read_dword = Routine<unsigned __attribute__((ms_abi))(PUCHAR)>(image, "ReadRegisterDword");
  EXPECT_DEATH(read_dword(reinterpret_cast<PUCHAR>(0x10)),
               "simulator: fault at probe\\+0x[0-9a-f]+ \\(ReadRegisterDword\\+0\\), address 0x10");

  EXPECT_EQ(Routine<NTSTATUS __attribute__((ms_abi))()>(image, "CallMissing")(), STATUS_NOT_IMPLEMENTED);
  const std::string detail = TakeOnlyFinding("unresolved-import", "probe");
  EXPECT_NE(detail.find("ntoskrnl.exe!ZarkProbeMissingRoutine"), std::string::npos) << detail;
  kernel().images->Unload(driver);
}

// A machine set to run .sys images whose image is missing says which file
// it looked for, instead of leaving the card without a driver in silence.
TEST(PeMachineTest, AMissingSysImageIsAFindingThatNamesTheFile) {
  sim::MachineConfig config;
  config.images = {sim::ImageKind::Sys, "/nonexistent/images"};
  config.cards.emplace_back();
  sim::Machine machine(config);
  machine.Boot();
  machine.Shutdown();
  const sim::Verifier& verifier = machine.verifier();
  ASSERT_EQ(verifier.findings().size(), 1u) << verifier.Summary();
  EXPECT_EQ(verifier.findings()[0].rule, "image-load");
  EXPECT_EQ(verifier.findings()[0].subject, "zarkcard");
  EXPECT_NE(verifier.findings()[0].detail.find("/nonexistent/images/zarkcard.sys does not exist"), std::string::npos)
      << verifier.Summary();
}

// The file offset of an image address, through the section table.
size_t FileOffset(const std::vector<uint8_t>& file, uint32_t rva) {
  int32_t pe;
  std::memcpy(&pe, file.data() + 0x3C, 4);
  sim::pe::FileHeader header;
  std::memcpy(&header, file.data() + pe + 4, sizeof header);
  const size_t sections = pe + 4 + sizeof header + header.size_of_optional_header;
  for (int i = 0; i < header.number_of_sections; ++i) {
    sim::pe::SectionHeader section;
    std::memcpy(&section, file.data() + sections + i * sizeof section, sizeof section);
    if (rva >= section.virtual_address && rva < section.virtual_address + section.size_of_raw_data)
      return section.pointer_to_raw_data + (rva - section.virtual_address);
  }
  ADD_FAILURE() << "no section holds RVA " << rva;
  return 0;
}

size_t OptionalHeaderOffset(const std::vector<uint8_t>& file) {
  int32_t pe;
  std::memcpy(&pe, file.data() + 0x3C, 4);
  return pe + 4 + sizeof(sim::pe::FileHeader);
}

sim::pe::DataDirectory* Directory(std::vector<uint8_t>& file, int index) {
  return reinterpret_cast<sim::pe::DataDirectory*>(file.data() + OptionalHeaderOffset(file) +
                                                   offsetof(sim::pe::OptionalHeader64, directories)) +
         index;
}

TEST_F(PeLoaderTest, ImagesAKernelCannotRunAreRefusedWithTheReason) {
  REQUIRE_TEST_IMAGES();
  struct Case {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> change;
    const char* reason;
  };
  const std::vector<Case> cases = {
      {"a TLS directory",
       [](std::vector<uint8_t>& file) { *Directory(file, sim::pe::kDirectoryTls) = {0x2000, 0x28}; },
       "thread-local storage"},
      {"a 32-bit relocation",
       [](std::vector<uint8_t>& file) {
         const size_t block = FileOffset(file, Directory(file, sim::pe::kDirectoryBaseReloc)->rva);
         uint16_t entry;
         std::memcpy(&entry, file.data() + block + 8, 2);
         entry = static_cast<uint16_t>((entry & 0xFFF) | (3 << 12));
         std::memcpy(file.data() + block + 8, &entry, 2);
       },
       "type 3"},
      {"an import by ordinal",
       [](std::vector<uint8_t>& file) {
         sim::pe::ImportDescriptor descriptor;
         const size_t at = FileOffset(file, Directory(file, sim::pe::kDirectoryImport)->rva);
         std::memcpy(&descriptor, file.data() + at, sizeof descriptor);
         const uint64_t ordinal = sim::pe::kImportByOrdinal | 12;
         std::memcpy(file.data() + FileOffset(file, descriptor.lookup_table_rva), &ordinal, 8);
       },
       "ordinal 12"},
      {"stripped relocations",
       [](std::vector<uint8_t>& file) {
         auto* header = reinterpret_cast<sim::pe::FileHeader*>(file.data() + OptionalHeaderOffset(file) -
                                                               sizeof(sim::pe::FileHeader));
         header->characteristics |= sim::pe::kFileRelocsStripped;
       },
       "stripped"},
      {"a user-mode subsystem",
       [](std::vector<uint8_t>& file) {
         auto* optional = reinterpret_cast<sim::pe::OptionalHeader64*>(file.data() + OptionalHeaderOffset(file));
         optional->subsystem = 3;
       },
       "native"},
      {"a section past the end of the file", [](std::vector<uint8_t>& file) { file.resize(file.size() / 2); },
       "cut short"},
  };
  const std::vector<uint8_t> original = ReadImage("probe");
  ASSERT_FALSE(original.empty());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> file = original;
    c.change(file);
    std::string error;
    EXPECT_EQ(PeImage::Load("probe", file, {}, &error), nullptr);
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    EXPECT_NE(error.find("probe"), std::string::npos) << error;
  }

  // A global object with a constructor: nothing would run it.
  std::string error;
  EXPECT_EQ(PeImage::LoadFile("initialiser", ImagePath("initialiser"), {}, &error), nullptr);
  EXPECT_NE(error.find("dynamic initialisers"), std::string::npos) << error;
}

}  // namespace
