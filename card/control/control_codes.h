// The card's private control codes and the records they exchange, shared by
// the card driver and the configuration tool. Every code is device type
// 0xA415, METHOD_BUFFERED, FILE_ANY_ACCESS; records are packed little-endian.
#pragma once

#include <stdint.h>

#define CARD_CONTROL_CODE(function) (0xA4150000u | ((function) << 2))

#define IOCTL_CARD_BATCH_BEGIN CARD_CONTROL_CODE(0xA00)         // 0xA4152800
#define IOCTL_CARD_BATCH_SELECT CARD_CONTROL_CODE(0xA01)        // 0xA4152804
#define IOCTL_CARD_BATCH_APPLY CARD_CONTROL_CODE(0xA02)         // 0xA4152808
#define IOCTL_CARD_READ_CONFIG_BYTE CARD_CONTROL_CODE(0xB00)    // 0xA4152C00
#define IOCTL_CARD_WRITE_CONFIG_BYTE CARD_CONTROL_CODE(0xB01)   // 0xA4152C04
#define IOCTL_CARD_READ_IO_BYTE CARD_CONTROL_CODE(0xB02)        // 0xA4152C08
#define IOCTL_CARD_WRITE_IO_BYTE CARD_CONTROL_CODE(0xB03)       // 0xA4152C0C
#define IOCTL_CARD_READ_MEMORY_BYTE CARD_CONTROL_CODE(0xB04)    // 0xA4152C10
#define IOCTL_CARD_WRITE_MEMORY_BYTE CARD_CONTROL_CODE(0xB05)   // 0xA4152C14
#define IOCTL_CARD_READ_PCI_DWORD CARD_CONTROL_CODE(0xB06)      // 0xA4152C18
#define IOCTL_CARD_WRITE_PCI CARD_CONTROL_CODE(0xB07)           // 0xA4152C1C
#define IOCTL_CARD_GET_PORT_INFO CARD_CONTROL_CODE(0xB08)       // 0xA4152C20
#define IOCTL_CARD_SET_PORT_CLOCK CARD_CONTROL_CODE(0xB09)      // 0xA4152C24
#define IOCTL_CARD_GET_PORT_FIFO CARD_CONTROL_CODE(0xB0A)       // 0xA4152C28
#define IOCTL_CARD_SET_PORT_FIFO CARD_CONTROL_CODE(0xB0B)       // 0xA4152C2C
#define IOCTL_CARD_SET_PORT_MODE CARD_CONTROL_CODE(0xB0C)       // 0xA4152C30
#define IOCTL_CARD_SET_GPIO CARD_CONTROL_CODE(0xB0D)            // 0xA4152C34
#define IOCTL_CARD_GET_CONFIG_WINDOW CARD_CONTROL_CODE(0xB0E)   // 0xA4152C38

// What a code reports as Result when the batch cannot act on the card.
#define CONTROL_RESULT_REFUSED 0xFFFF0000u

#pragma pack(push, 1)

// Used by every code but the two PCI dword codes.
typedef struct _ControlRecord {
  uint32_t Target;     // configuration offset, port number, I/O port, physical address or GPIO number
  uint32_t Result;     // what the code returns
  uint32_t Value;      // what the caller supplies
  uint8_t Opaque[7];   // returned as sent
} ControlRecord;

// Used by IOCTL_CARD_READ_PCI_DWORD and IOCTL_CARD_WRITE_PCI.
typedef struct _PciAccessRecord {
  uint32_t Bus;
  uint32_t Data;
  uint32_t Offset;  // only the low byte is used
  uint32_t Width;   // 1, 2 or 4 (writes only)
  uint8_t Device;
  uint8_t Function;
} PciAccessRecord;

#pragma pack(pop)

static_assert(sizeof(ControlRecord) == 19, "ControlRecord is 19 bytes");
static_assert(sizeof(PciAccessRecord) == 18, "PciAccessRecord is 18 bytes");
static_assert(IOCTL_CARD_BATCH_BEGIN == 0xA4152800u && IOCTL_CARD_GET_CONFIG_WINDOW == 0xA4152C38u, "codes");
