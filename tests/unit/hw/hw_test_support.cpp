#include "hw_test_support.h"

#include "sim/kernel/interrupts.h"
#include "wdmguid.h"

namespace sim::test {

namespace {
uint32_t Mechanism1Address(const hw::PciLocation& where, uint32_t reg) {
  return 0x80000000u | where.bus << 16 | where.device << 11 | where.function << 8 | (reg & 0xFF);
}
}  // namespace

NTSTATUS HwTest::ConfigRequest(bool write, void* buffer, ULONG offset, ULONG length, ULONG_PTR* information) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK io_status{};
  PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, pdo(), nullptr, 0, nullptr, &event, &io_status);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MinorFunction = write ? IRP_MN_WRITE_CONFIG : IRP_MN_READ_CONFIG;
  stack->Parameters.ReadWriteConfig.WhichSpace = PCI_WHICHSPACE_CONFIG;
  stack->Parameters.ReadWriteConfig.Buffer = buffer;
  stack->Parameters.ReadWriteConfig.Offset = offset;
  stack->Parameters.ReadWriteConfig.Length = length;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  NTSTATUS status = IoCallDriver(pdo(), irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    status = io_status.Status;
  }
  if (information) *information = io_status.Information;
  return status;
}

uint32_t HwTest::LegacyRead(const hw::PciLocation& where, uint32_t reg) {
  WRITE_PORT_ULONG(reinterpret_cast<PULONG>(0xCF8), Mechanism1Address(where, reg));
  return READ_PORT_ULONG(reinterpret_cast<PULONG>(0xCFC));
}

void HwTest::LegacyWrite(const hw::PciLocation& where, uint32_t reg, uint32_t value) {
  WRITE_PORT_ULONG(reinterpret_cast<PULONG>(0xCF8), Mechanism1Address(where, reg));
  WRITE_PORT_ULONG(reinterpret_cast<PULONG>(0xCFC), value);
}

uint32_t HwTest::EcamRead32(const hw::PciLocation& where, uint32_t reg) {
  PHYSICAL_ADDRESS address;
  address.QuadPart = 0xE0000000ll + (where.bus << 20) + (where.device << 15) + (where.function << 12) + reg;
  auto* mapped = static_cast<volatile ULONG*>(MmMapIoSpace(address, 4, MmNonCached));
  if (!mapped) return 0;
  ULONG value = READ_REGISTER_ULONG(mapped);
  MmUnmapIoSpace(const_cast<ULONG*>(mapped), 4);
  return value;
}

void HwTest::EcamWrite8(const hw::PciLocation& where, uint32_t reg, uint8_t value) {
  PHYSICAL_ADDRESS address;
  address.QuadPart = 0xE0000000ll + (where.bus << 20) + (where.device << 15) + (where.function << 12) + reg;
  auto* mapped = static_cast<volatile UCHAR*>(MmMapIoSpace(address, 1, MmNonCached));
  if (!mapped) return;
  WRITE_REGISTER_UCHAR(mapped, value);
  MmUnmapIoSpace(const_cast<UCHAR*>(mapped), 1);
}

BUS_INTERFACE_STANDARD HwTest::QueryBusInterface(NTSTATUS* status) {
  BUS_INTERFACE_STANDARD bus{};
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK io_status{};
  PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, pdo(), nullptr, 0, nullptr, &event, &io_status);
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MinorFunction = IRP_MN_QUERY_INTERFACE;
  stack->Parameters.QueryInterface.InterfaceType = &GUID_BUS_INTERFACE_STANDARD;
  stack->Parameters.QueryInterface.Size = sizeof bus;
  stack->Parameters.QueryInterface.Version = 1;
  stack->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(&bus);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  *status = IoCallDriver(pdo(), irp);
  if (*status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    *status = io_status.Status;
  }
  return bus;
}

void HwTest::EnableBlock(unsigned n, uint16_t address) {
  hw::UartCard& c = card();
  uint32_t block = hw::UartCard::kBlockBase + 8 * n;
  c.Write(block + 4, address, 2);
  c.Write(block, c.Read(block, 1) | 1, 1);
}

void HwTest::Advance(LONGLONG ticks) {
  LARGE_INTEGER interval;
  interval.QuadPart = -ticks;
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

bool HwTest::IntxAsserted() { return kernel().interrupts->Asserted(card().Read(0x3C, 1)); }

UCHAR UartPorts::In(unsigned reg) const {
  return READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(static_cast<uintptr_t>(base + reg)));
}

void UartPorts::Out(unsigned reg, UCHAR value) const {
  WRITE_PORT_UCHAR(reinterpret_cast<PUCHAR>(static_cast<uintptr_t>(base + reg)), value);
}

void UartPorts::Program(uint16_t divisor, UCHAR line_control) const {
  Out(hw::Uart16550::kLineControl, static_cast<UCHAR>(0x80 | line_control));
  Out(0, static_cast<UCHAR>(divisor));
  Out(1, static_cast<UCHAR>(divisor >> 8));
  Out(hw::Uart16550::kLineControl, line_control);
}

std::string UartPorts::Drain() const {
  std::string bytes;
  while (In(hw::Uart16550::kLineStatus) & hw::Uart16550::kDataReady) bytes.push_back(static_cast<char>(In(0)));
  return bytes;
}

}  // namespace sim::test
