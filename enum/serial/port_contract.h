// What our port enumerator and the serial port driver of each port agree
// on beyond the published serial interface: two private control codes, and
// the few published serial definitions one of the two kernel header sets
// may lack. Include after <ntddk.h> (or <wdm.h>).
#pragma once

#include <ntddser.h>

// Output: ULONG, the port's I/O base (16 bits) from its start resources.
// An output buffer shorter than 4 bytes gets STATUS_BUFFER_TOO_SMALL.
#define IOCTL_PORT_QUERY_KEY CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0xB19, METHOD_BUFFERED, FILE_ANY_ACCESS)

// Input: ULONG, the port's new COM number minus one (0 is COM1). The port
// takes that name everywhere a user sees it (see docs/serial-port-driver.md);
// 0xFFFFFFFF or an index above 255 gets STATUS_INVALID_PARAMETER.
#define IOCTL_PORT_SET_COM_INDEX CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0xB12, METHOD_BUFFERED, FILE_ANY_ACCESS)

static_assert(IOCTL_PORT_QUERY_KEY == 0x001B2C64, "IOCTL_PORT_QUERY_KEY");
static_assert(IOCTL_PORT_SET_COM_INDEX == 0x001B2C48, "IOCTL_PORT_SET_COM_INDEX");

// The highest COM number the COM name database holds (bit 255 of ComDB).
#define PORT_MAX_COM_NUMBER 256

// Published values that not every copy of ntddser.h carries.
#ifndef IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS
#define IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS \
  CTL_CODE(FILE_DEVICE_SERIAL_PORT, 3, METHOD_BUFFERED, FILE_ANY_ACCESS)
#endif
#ifndef IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS
#define IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS \
  CTL_CODE(FILE_DEVICE_SERIAL_PORT, 4, METHOD_BUFFERED, FILE_ANY_ACCESS)
#endif

static_assert(sizeof(SERIAL_BASIC_SETTINGS) == 44, "SERIAL_BASIC_SETTINGS is 44 bytes");
static_assert(sizeof(SERIAL_COMMPROP) == 64, "SERIAL_COMMPROP is 64 bytes");
