// The UART presence probe.
#pragma once

#include <ntddk.h>

// True when the UART at I/O base Address does not answer: its modem status
// and line status read like an unanswered address (all ones).
BOOLEAN UartAbsent(USHORT Address);
