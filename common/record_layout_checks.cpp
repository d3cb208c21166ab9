// Sizes and offsets of the kernel records the drivers exchange with the
// system. This file compiles into the drivers in both builds: against the
// Windows kernel headers it checks our assumptions, against the simulator's
// headers it keeps them from drifting away from Windows x64.
#include <ntddk.h>
#include <ntddser.h>
#include <wmilib.h>
#include <wmistr.h>

#define CHECK_SIZE(type, size) static_assert(sizeof(type) == (size), #type " has the wrong size")
#define CHECK_OFFSET(type, field, offset) \
  static_assert(FIELD_OFFSET(type, field) == (offset), #type "." #field " is at the wrong offset")

// Bit fields: the bit a field starts at, counted from the record's first
// byte, found by setting the field to 1 in an empty record and looking at
// the record's bytes. Windows packs bit fields its own way (GCC's
// -mms-bitfields, the default of the Windows build). The host build keeps
// GCC's packing: the kernel records' bit fields are all ULONGs filling whole
// ULONGs, where the two agree, and these checks pin that.
template <unsigned long N>
struct RecordBytes {
  unsigned char Byte[N];
};
template <unsigned long N>
constexpr int LowestSetBit(const RecordBytes<N>& bytes) {
  for (unsigned long i = 0; i < N; ++i)
    for (int bit = 0; bit < 8; ++bit)
      if (bytes.Byte[i] & (1 << bit)) return static_cast<int>(i * 8 + bit);
  return -1;
}
// clang 14 cannot bit_cast a record with bit-fields in a constant
// expression; the two GCC builds (host and Windows) make these checks.
#if defined(__clang__) && __clang_major__ < 15
#define CHECK_BIT(type, field, bit) static_assert(true)
#else
#define CHECK_BIT(type, field, bit)                                             \
  static_assert(LowestSetBit([] {                                               \
                  type record{};                                                \
                  record.field = 1;                                             \
                  return __builtin_bit_cast(RecordBytes<sizeof(type)>, record); \
                }()) == (bit),                                                  \
                #type "." #field " starts at the wrong bit")
#endif

// Basic types.
CHECK_SIZE(WCHAR, 2);
CHECK_SIZE(ULONG, 4);
CHECK_SIZE(LONG, 4);
CHECK_SIZE(ULONG_PTR, 8);
CHECK_SIZE(PHYSICAL_ADDRESS, 8);
CHECK_SIZE(GUID, 16);
CHECK_SIZE(UNICODE_STRING, 16);
CHECK_OFFSET(UNICODE_STRING, MaximumLength, 2);
CHECK_OFFSET(UNICODE_STRING, Buffer, 8);
CHECK_SIZE(ANSI_STRING, 16);

// Assigned resources.
CHECK_SIZE(CM_PARTIAL_RESOURCE_DESCRIPTOR, 20);
CHECK_OFFSET(CM_PARTIAL_RESOURCE_DESCRIPTOR, ShareDisposition, 1);
CHECK_OFFSET(CM_PARTIAL_RESOURCE_DESCRIPTOR, Flags, 2);
CHECK_OFFSET(CM_PARTIAL_RESOURCE_DESCRIPTOR, u.Port.Start, 4);
CHECK_OFFSET(CM_PARTIAL_RESOURCE_DESCRIPTOR, u.Port.Length, 12);
CHECK_OFFSET(CM_PARTIAL_RESOURCE_DESCRIPTOR, u.Memory.Start, 4);
CHECK_OFFSET(CM_PARTIAL_RESOURCE_DESCRIPTOR, u.Memory.Length, 12);
CHECK_OFFSET(CM_PARTIAL_RESOURCE_DESCRIPTOR, u.Interrupt.Level, 4);
CHECK_OFFSET(CM_PARTIAL_RESOURCE_DESCRIPTOR, u.Interrupt.Vector, 8);
CHECK_OFFSET(CM_PARTIAL_RESOURCE_DESCRIPTOR, u.Interrupt.Affinity, 12);
CHECK_OFFSET(CM_PARTIAL_RESOURCE_DESCRIPTOR, u.DevicePrivate.Data, 4);
CHECK_OFFSET(CM_PARTIAL_RESOURCE_DESCRIPTOR, u.BusNumber.Length, 8);
CHECK_SIZE(CM_PARTIAL_RESOURCE_LIST, 28);
CHECK_OFFSET(CM_PARTIAL_RESOURCE_LIST, PartialDescriptors, 8);
CHECK_SIZE(CM_FULL_RESOURCE_DESCRIPTOR, 36);
CHECK_OFFSET(CM_FULL_RESOURCE_DESCRIPTOR, PartialResourceList, 8);
CHECK_SIZE(CM_RESOURCE_LIST, 40);  // one full descriptor with one partial
CHECK_OFFSET(CM_RESOURCE_LIST, List, 4);
CHECK_OFFSET(CM_RESOURCE_LIST, List[0].PartialResourceList.PartialDescriptors, 20);

// Resource requirements.
CHECK_SIZE(IO_RESOURCE_DESCRIPTOR, 32);
CHECK_OFFSET(IO_RESOURCE_DESCRIPTOR, Flags, 4);
CHECK_OFFSET(IO_RESOURCE_DESCRIPTOR, u.Port.Length, 8);
CHECK_OFFSET(IO_RESOURCE_DESCRIPTOR, u.Port.Alignment, 12);
CHECK_OFFSET(IO_RESOURCE_DESCRIPTOR, u.Port.MinimumAddress, 16);
CHECK_OFFSET(IO_RESOURCE_DESCRIPTOR, u.Port.MaximumAddress, 24);
CHECK_OFFSET(IO_RESOURCE_DESCRIPTOR, u.Interrupt.MinimumVector, 8);
CHECK_OFFSET(IO_RESOURCE_DESCRIPTOR, u.Interrupt.MaximumVector, 12);
CHECK_SIZE(IO_RESOURCE_LIST, 40);
CHECK_OFFSET(IO_RESOURCE_LIST, Descriptors, 8);
CHECK_SIZE(IO_RESOURCE_REQUIREMENTS_LIST, 72);
CHECK_OFFSET(IO_RESOURCE_REQUIREMENTS_LIST, SlotNumber, 12);
CHECK_OFFSET(IO_RESOURCE_REQUIREMENTS_LIST, AlternativeLists, 28);
CHECK_OFFSET(IO_RESOURCE_REQUIREMENTS_LIST, List, 32);

// Objects the kernel allocates and drivers use in place: a device's DPC
// (IoInitializeDpcRequest, IoRequestDpc) and its extension.
CHECK_SIZE(KDPC, 0x40);
CHECK_SIZE(KEVENT, 0x18);
CHECK_SIZE(DEVICE_OBJECT, 0x148);
CHECK_OFFSET(DEVICE_OBJECT, DeviceExtension, 0x40);
CHECK_OFFSET(DEVICE_OBJECT, StackSize, 0x4C);
CHECK_OFFSET(DEVICE_OBJECT, Dpc, 0xC8);
CHECK_OFFSET(DEVICE_OBJECT, DeviceObjectExtension, 0x138);

// Power records.
CHECK_SIZE(SYSTEM_POWER_STATE_CONTEXT, 4);
CHECK_SIZE(POWER_STATE, 4);

// Plug and Play records.
CHECK_SIZE(DEVICE_CAPABILITIES, 64);
CHECK_OFFSET(DEVICE_CAPABILITIES, Address, 8);
CHECK_OFFSET(DEVICE_CAPABILITIES, UINumber, 12);
CHECK_OFFSET(DEVICE_CAPABILITIES, DeviceState, 16);
CHECK_OFFSET(DEVICE_CAPABILITIES, SystemWake, 44);
CHECK_OFFSET(DEVICE_CAPABILITIES, DeviceWake, 48);
CHECK_OFFSET(DEVICE_CAPABILITIES, D3Latency, 60);
CHECK_BIT(DEVICE_CAPABILITIES, DeviceD1, 32);
CHECK_BIT(DEVICE_CAPABILITIES, SurpriseRemovalOK, 41);
CHECK_BIT(DEVICE_CAPABILITIES, NoDisplayInUI, 49);
CHECK_BIT(DEVICE_CAPABILITIES, Reserved, 50);
CHECK_SIZE(INTERFACE, 32);
CHECK_OFFSET(INTERFACE, Context, 8);
CHECK_OFFSET(INTERFACE, InterfaceDereference, 24);
CHECK_SIZE(BUS_INTERFACE_STANDARD, 64);
CHECK_OFFSET(BUS_INTERFACE_STANDARD, TranslateBusAddress, 32);
CHECK_OFFSET(BUS_INTERFACE_STANDARD, SetBusData, 48);
CHECK_OFFSET(BUS_INTERFACE_STANDARD, GetBusData, 56);
CHECK_SIZE(PNP_BUS_INFORMATION, 24);
CHECK_OFFSET(PNP_BUS_INFORMATION, LegacyBusType, 16);
CHECK_OFFSET(PNP_BUS_INFORMATION, BusNumber, 20);
CHECK_SIZE(DEVICE_RELATIONS, 16);
CHECK_OFFSET(DEVICE_RELATIONS, Objects, 8);
CHECK_SIZE(PCI_SLOT_NUMBER, 4);
typedef decltype(PCI_SLOT_NUMBER().u.bits) PCI_SLOT_NUMBER_BITS;
CHECK_BIT(PCI_SLOT_NUMBER_BITS, DeviceNumber, 0);
CHECK_BIT(PCI_SLOT_NUMBER_BITS, FunctionNumber, 5);
CHECK_BIT(PCI_SLOT_NUMBER_BITS, Reserved, 8);
CHECK_SIZE(PCI_COMMON_CONFIG, 256);
CHECK_OFFSET(PCI_COMMON_CONFIG, HeaderType, 0x0E);
CHECK_OFFSET(PCI_COMMON_CONFIG, u.type0.BaseAddresses, 0x10);
CHECK_OFFSET(PCI_COMMON_CONFIG, u.type0.SubVendorID, 0x2C);
CHECK_OFFSET(PCI_COMMON_CONFIG, u.type0.InterruptLine, 0x3C);
CHECK_OFFSET(PCI_COMMON_CONFIG, u.type1.SecondaryBus, 0x19);
CHECK_OFFSET(PCI_COMMON_CONFIG, u.type1.BridgeControl, 0x3E);

// Cancel-safe queues.
CHECK_SIZE(IO_CSQ_IRP_CONTEXT, 24);
CHECK_OFFSET(IO_CSQ_IRP_CONTEXT, Irp, 8);
CHECK_OFFSET(IO_CSQ_IRP_CONTEXT, Csq, 16);
CHECK_SIZE(IO_CSQ, 64);
CHECK_OFFSET(IO_CSQ, CsqInsertIrp, 8);
CHECK_OFFSET(IO_CSQ, CsqCompleteCanceledIrp, 48);
CHECK_OFFSET(IO_CSQ, ReservePointer, 56);

// Registry query records.
CHECK_SIZE(KEY_VALUE_PARTIAL_INFORMATION, 16);
CHECK_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Type, 4);
CHECK_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, DataLength, 8);
CHECK_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data, 12);
CHECK_SIZE(KEY_VALUE_FULL_INFORMATION, 24);
CHECK_OFFSET(KEY_VALUE_FULL_INFORMATION, DataOffset, 8);
CHECK_OFFSET(KEY_VALUE_FULL_INFORMATION, NameLength, 16);
CHECK_OFFSET(KEY_VALUE_FULL_INFORMATION, Name, 20);

// Serial port records.
CHECK_SIZE(SERIAL_BAUD_RATE, 4);
CHECK_SIZE(SERIAL_LINE_CONTROL, 3);
CHECK_OFFSET(SERIAL_LINE_CONTROL, WordLength, 2);
CHECK_SIZE(SERIAL_TIMEOUTS, 20);
CHECK_SIZE(SERIAL_HANDFLOW, 16);
CHECK_SIZE(SERIAL_CHARS, 6);
CHECK_SIZE(SERIAL_STATUS, 20);
CHECK_SIZE(SERIAL_QUEUE_SIZE, 8);
CHECK_SIZE(SERIAL_BASIC_SETTINGS, 44);
CHECK_OFFSET(SERIAL_BASIC_SETTINGS, HandFlow, 20);
CHECK_OFFSET(SERIAL_BASIC_SETTINGS, RxFifo, 36);
CHECK_SIZE(SERIAL_COMMPROP, 64);
CHECK_OFFSET(SERIAL_COMMPROP, SettableData, 40);

// Control codes are numbers both sides must agree on.
static_assert(IOCTL_SERIAL_SET_BAUD_RATE == 0x001B0004, "IOCTL_SERIAL_SET_BAUD_RATE");
static_assert(IOCTL_SERIAL_GET_MODEMSTATUS == 0x001B0068, "IOCTL_SERIAL_GET_MODEMSTATUS");
static_assert(IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS == 0x001B000C, "IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS");
static_assert(IOCTL_SERENUM_GET_PORT_NAME == 0x0037020C, "IOCTL_SERENUM_GET_PORT_NAME");
static_assert(IOCTL_INTERNAL_SERENUM_REMOVE_SELF == 0x00370207, "IOCTL_INTERNAL_SERENUM_REMOVE_SELF");

// Interrupt connection records.
CHECK_SIZE(IO_CONNECT_INTERRUPT_PARAMETERS, 80);
CHECK_OFFSET(IO_CONNECT_INTERRUPT_PARAMETERS, FullySpecified, 8);
CHECK_OFFSET(IO_CONNECT_INTERRUPT_FULLY_SPECIFIED_PARAMETERS, Vector, 44);
CHECK_OFFSET(IO_CONNECT_INTERRUPT_FULLY_SPECIFIED_PARAMETERS, Irql, 48);
CHECK_OFFSET(IO_CONNECT_INTERRUPT_FULLY_SPECIFIED_PARAMETERS, InterruptMode, 52);
CHECK_OFFSET(IO_CONNECT_INTERRUPT_FULLY_SPECIFIED_PARAMETERS, ProcessorEnableMask, 56);
CHECK_OFFSET(IO_CONNECT_INTERRUPT_FULLY_SPECIFIED_PARAMETERS, Group, 64);
CHECK_SIZE(IO_DISCONNECT_INTERRUPT_PARAMETERS, 16);

// WMI: the library's context and the WNODEs of WMI requests.
CHECK_SIZE(WMIGUIDREGINFO, 16);
CHECK_SIZE(WMILIB_CONTEXT, 64);
CHECK_OFFSET(WMILIB_CONTEXT, QueryWmiRegInfo, 16);
CHECK_OFFSET(WMILIB_CONTEXT, WmiFunctionControl, 56);
CHECK_SIZE(WNODE_HEADER, 48);
CHECK_OFFSET(WNODE_HEADER, Guid, 24);
CHECK_OFFSET(WNODE_HEADER, Flags, 44);
CHECK_OFFSET(WNODE_ALL_DATA, DataBlockOffset, 48);
CHECK_OFFSET(WNODE_ALL_DATA, OffsetInstanceDataAndLength, 60);
CHECK_SIZE(WNODE_SINGLE_INSTANCE, 64);
CHECK_OFFSET(WNODE_SINGLE_INSTANCE, DataBlockOffset, 56);
CHECK_OFFSET(WNODE_SINGLE_ITEM, SizeDataItem, 64);
CHECK_OFFSET(WNODE_METHOD_ITEM, SizeDataBlock, 64);
CHECK_SIZE(WNODE_TOO_SMALL, 56);
CHECK_SIZE(WMIREGGUIDW, 32);
CHECK_OFFSET(WMIREGINFOW, WmiRegGuid, 24);
