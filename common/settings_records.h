// Records shared by the card driver and the port enumerator: the entries of
// the "ComNumConfig" table and the records of the card configuration file.
#pragma once

#include <ntddk.h>

// "ComNumConfig" under the serial port driver's service key: REG_BINARY of
// 1023 bytes, read into a zeroed 1024-byte buffer and used as 256 entries.
#define COM_NUMBER_TABLE_KEY L"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\KALVOR1110"
#define COM_NUMBER_TABLE_VALUE L"ComNumConfig"
#define COM_NUMBER_TABLE_VALUE_SIZE 1023
#define COM_NUMBER_TABLE_BUFFER_SIZE 1024
#define COM_NUMBER_TABLE_ENTRIES 256

// One entry of "ComNumConfig". Four zero bytes mark a free entry.
typedef struct _ComNumberEntry {
  UCHAR AddressHigh;  // bits 15:8 of the port's I/O base address
  UCHAR AddressLow;   // bits 7:0 of the port's I/O base address
  UCHAR ComNumber;    // 0: none given, the port enumerator picks one
  UCHAR Applied;      // set to 1 by the port enumerator once applied
} ComNumberEntry;

inline USHORT ComNumberEntryAddress(const ComNumberEntry* entry) {
  return static_cast<USHORT>(entry->AddressHigh << 8 | entry->AddressLow);
}

inline BOOLEAN ComNumberEntryIsFree(const ComNumberEntry* entry) {
  return entry->AddressHigh == 0 && entry->AddressLow == 0 && entry->ComNumber == 0 && entry->Applied == 0;
}

// The card configuration file: at most 27 records of 16 bytes are read.
#define CONFIG_FILE_PATH L"\\SystemRoot\\SysWOW64\\ZARKCARD.cfg"
#define CONFIG_FILE_RECORDS 27
#define CONFIG_FILE_SIZE (CONFIG_FILE_RECORDS * 16)

// Selector bits.
#define CONFIG_SELECTOR_BUS_MASK 0x1F
#define CONFIG_SELECTOR_FIFO 0x40    // FifoSetting gives the card's FIFO setting
#define CONFIG_SELECTOR_ACTIVE 0x80  // the card is described; ComNumbers apply

// GlobalFlags bits; only the first record's byte counts.
#define CONFIG_FLAG_PROBE 0x01
#define CONFIG_FLAG_LINK_BOUNCE 0x10
#define CONFIG_FLAG_BRIDGE_FIXUP 0x40

typedef struct _ConfigFileRecord {
  UCHAR Selector;
  UCHAR ComNumbers[12];  // by port slot
  UCHAR GlobalFlags;
  UCHAR FifoSetting;
  UCHAR Unused;
} ConfigFileRecord;

static_assert(sizeof(ComNumberEntry) == 4, "ComNumberEntry is 4 bytes");
static_assert(sizeof(ConfigFileRecord) == 16, "ConfigFileRecord is 16 bytes");
static_assert(FIELD_OFFSET(ConfigFileRecord, GlobalFlags) == 13, "global flags at byte 13");
static_assert(FIELD_OFFSET(ConfigFileRecord, FifoSetting) == 14, "FIFO setting at byte 14");
