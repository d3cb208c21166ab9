// The card's register map: the chips it comes as, the header registers the
// driver uses, one port configuration block per UART in the device-specific
// configuration space, and the GPIO registers in the extended space.
#pragma once

#include <ntddk.h>

#include "card/driver/card_extension.h"

#define CARD_VENDOR_ID 0x1C29
#define CHIP_4_PORTS 0x1104
#define CHIP_8_PORTS 0x1108
#define CHIP_12_PORTS 0x1112

// Standard header registers.
#define CFG_VENDOR_ID 0x00
#define CFG_DEVICE_ID 0x02
#define CFG_COMMAND 0x04
#define CFG_BAR(n) (0x10 + 4 * (n))
#define CFG_SUBSYSTEM 0x2C
#define CFG_INTERRUPT_LINE 0x3C
#define CFG_HEADER_SIZE 256

// Subsystem vendor and subsystem IDs of a card that keeps its devices.
#define PINNED_CARD_SUBSYSTEM 0x00011C29u

// Port configuration block n (0 to 11), 8 bytes each from 0x40.
#define PORT_BLOCK(n) (0x40 + 8 * (n))
#define BLOCK_CONTROL 0        // bit 0 enable, bits 2:1 = 01 not available, bits 7:4 clock
#define BLOCK_FIFO 1
#define BLOCK_ADDRESS_LOW 4
#define BLOCK_ADDRESS_HIGH 5
#define BLOCK_MODE 7
#define BLOCK_ENABLE 0x01
#define BLOCK_AVAILABILITY_MASK 0x06
#define BLOCK_NOT_AVAILABLE 0x02

// Other device-specific registers.
#define CFG_BAR0_COPY 0xA1  // 16 bits
#define CFG_GLOBAL_B9 0xB9
#define CFG_BAR2_COPY 0xF1  // 16 bits
#define CFG_OPTIONAL_PORT_MASK 0xF3

// GPIO group g (0 to 5): two bytes in the memory-mapped configuration space.
#define GPIO_GROUPS 6
#define GPIO_LOW_OFFSET(g) (0xF8 + 8 * (g))
#define GPIO_HIGH_OFFSET(g) (0xF9 + 8 * (g))

// FIFO setting of every port when the configuration file gives none.
#define DEFAULT_FIFO_SETTING 3

// Number of UART ports of a chip; 0 for a Device ID the driver does not know.
ULONG ChipPortCount(USHORT DeviceId);

// The bit of OptionalPortMask that says port n is present (ports 2, 3 and
// 8 to 11), or 0 for a port that is not optional on any chip.
ULONG OptionalPortBit(ULONG Port);

// True when port n is optional on this chip and its bit in the mask is
// clear. An 8-port chip ignores the bits of ports 8 to 11.
BOOLEAN ChipPortMissingByMask(USHORT DeviceId, ULONG Port, UCHAR OptionalPortMask);

// True when Port lies in the last group of four of this chip (0 to 3 on the
// 4-port chip, 4 to 7 on the 8-port chip, 8 to 11 on the 12-port chip).
BOOLEAN PortInChipsLastGroup(USHORT DeviceId, ULONG Port);

// The I/O base address of the UART at byte offset Offset of the card's UART
// range: (BAR5 & 0xFFFC) + Offset.
inline USHORT UartAddress(ULONG Bar5, ULONG Offset) { return static_cast<USHORT>((Bar5 & 0xFFFC) + Offset); }

// Physical address of the memory-mapped configuration space of function 0
// of device 0 on the bus; 0 when the machine offers none the driver can use.
ULONG EcamAddress(ULONG BusNumber);

// Finds the PCI-to-PCI bridge whose I/O and memory windows are exactly the
// 4 KB and 1 MB blocks that hold the card's I/O and memory BARs and writes
// 0xFF to two bytes of its extended configuration space.
NTSTATUS FixUpUpstreamBridge(CardExtension* Card, UCHAR SubClass, UCHAR BaseClass);
