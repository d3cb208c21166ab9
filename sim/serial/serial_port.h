// The serial port driver of one 16550-class UART: its device extension and
// the routines its files share. One port, one function device object,
// named \Device\Serial<k>, with the link \DosDevices\<PortName> while it
// runs.
#pragma once

#include <ntddk.h>
#include <ntddser.h>
#include <ntstrsafe.h>

#include "enum/serial/port_contract.h"

#define SERIAL_POOL_TAG 'lreS'

// UART registers (offsets from the I/O base) and their bits.
#define UART_RBR 0  // receive buffer (read), transmit holding (write), DLL with DLAB
#define UART_THR 0
#define UART_DLL 0
#define UART_IER 1  // interrupt enable, DLM with DLAB
#define UART_DLM 1
#define UART_IIR 2  // interrupt identification (read), FIFO control (write)
#define UART_FCR 2
#define UART_LCR 3
#define UART_MCR 4
#define UART_LSR 5
#define UART_MSR 6
#define UART_SCR 7
#define UART_REGISTER_COUNT 8

#define IER_RX_DATA 0x01
#define IER_THR_EMPTY 0x02
#define IER_LINE_STATUS 0x04
#define IER_MODEM_STATUS 0x08
#define IER_ALL (IER_RX_DATA | IER_THR_EMPTY | IER_LINE_STATUS | IER_MODEM_STATUS)

#define IIR_NO_INTERRUPT 0x01
#define IIR_CAUSE_MASK 0x0E
#define IIR_MODEM_STATUS 0x00
#define IIR_THR_EMPTY 0x02
#define IIR_RX_DATA 0x04
#define IIR_LINE_STATUS 0x06
#define IIR_RX_TIMEOUT 0x0C

#define FCR_ENABLE 0x01
#define FCR_RX_RESET 0x02
#define FCR_TX_RESET 0x04
#define FCR_TRIGGER_MASK 0xC0

#define LCR_WORD_MASK 0x03
#define LCR_TWO_STOP 0x04
#define LCR_PARITY_MASK 0x38
#define LCR_BREAK 0x40
#define LCR_DLAB 0x80

#define MCR_DTR 0x01
#define MCR_RTS 0x02
#define MCR_OUT2 0x08

#define LSR_DATA_READY 0x01
#define LSR_OVERRUN 0x02
#define LSR_PARITY 0x04
#define LSR_FRAMING 0x08
#define LSR_BREAK 0x10
#define LSR_THR_EMPTY 0x20
#define LSR_TX_EMPTY 0x40

#define MSR_DCTS 0x01
#define MSR_DDSR 0x02
#define MSR_TERI 0x04
#define MSR_DDCD 0x08

#define UART_FIFO_DEPTH 16

#define SERIAL_DEFAULT_CLOCK 1843200
#define SERIAL_DEFAULT_BAUD 9600
#define SERIAL_DEFAULT_QUEUE 4096
#define SERIAL_MAX_QUEUE (1024 * 1024)

// Plug and Play state of the port.
typedef enum _SERIAL_PNP_STATE {
  SerialNotStarted,
  SerialStarted,
  SerialStopPending,
  SerialStopped,
  SerialRemovePending,
  SerialSurpriseRemoved,
  SerialRemoved
} SERIAL_PNP_STATE;

// What the port is programmed with; kept across stop and D3 and written to
// the UART again on start and D0.
typedef struct _SERIAL_SETTINGS {
  ULONG BaudRate;
  SERIAL_LINE_CONTROL LineControl;
  SERIAL_TIMEOUTS Timeouts;
  SERIAL_HANDFLOW HandFlow;
  SERIAL_CHARS Chars;
  UCHAR Fcr;       // FIFO control as written (receive trigger and enable)
  ULONG TxFifo;    // bytes handed to the transmit FIFO at a time
  UCHAR Mcr;       // DTR and RTS as the application set them
  BOOLEAN Break;
} SERIAL_SETTINGS;

typedef struct _SERIAL_EXTENSION {
  PDEVICE_OBJECT Self;
  PDEVICE_OBJECT Lower;
  PDEVICE_OBJECT Pdo;
  IO_REMOVE_LOCK RemoveLock;
  SERIAL_PNP_STATE PnpState;
  SERIAL_PNP_STATE StateBeforeQuery;
  DEVICE_POWER_STATE DevicePower;

  // Names. DeviceName is the object's own; PortName ("COMn") comes from the
  // device key, empty when it has none.
  ULONG DeviceIndex;
  WCHAR DeviceNameBuffer[32];
  UNICODE_STRING DeviceName;
  WCHAR PortName[16];
  BOOLEAN LinkCreated;
  BOOLEAN SerialCommWritten;

  // Start resources.
  PUCHAR Port;
  ULONG PortLength;
  ULONG Vector;
  KIRQL Irql;
  KAFFINITY Affinity;
  KINTERRUPT_MODE InterruptMode;
  BOOLEAN ShareVector;
  PKINTERRUPT Interrupt;
  ULONG ClockRate;

  // ControlLock guards everything below that requests share: the queues,
  // the current requests, the settings, HardwareReady and Interrupt. The
  // interrupt's own lock (taken inside ControlLock, never the other way)
  // guards what the interrupt service routine shares.
  KSPIN_LOCK ControlLock;
  BOOLEAN HardwareReady;  // started and in D0: the UART may be touched
  LONG OpenCount;
  SERIAL_SETTINGS Settings;

  LIST_ENTRY ReadQueue;
  LIST_ENTRY WriteQueue;
  PIRP CurrentRead;
  ULONG ReadDone;
  LONGLONG ReadDeadline;      // interrupt time the total timeout ends, 0: none
  LONGLONG IntervalDeadline;  // interrupt time the interval timeout ends, 0: none
  BOOLEAN ReadReturnsOnAny;   // return as soon as a byte is there
  PIRP CurrentWrite;
  LONGLONG WriteDeadline;
  PIRP WaitIrp;
  ULONG WaitMask;
  ULONG EventHistory;

  KTIMER ReadTotalTimer;
  KDPC ReadTotalDpc;
  KTIMER ReadIntervalTimer;
  KDPC ReadIntervalDpc;
  KTIMER WriteTotalTimer;
  KDPC WriteTotalDpc;

  // Shared with the interrupt service routine.
  PUCHAR RxBuffer;
  ULONG RxSize;
  ULONG RxHead;
  ULONG RxCount;
  PUCHAR TxData;
  ULONG TxRemaining;
  BOOLEAN TxActive;  // a write is being sent
  BOOLEAN TxDone;    // its last byte went to the UART
  ULONG PendingEvents;
  ULONG Errors;
  SERIALPERF_STATS Perf;
  UCHAR LastMsr;
} SERIAL_EXTENSION, *PSERIAL_EXTENSION;

inline PSERIAL_EXTENSION SerialExt(PDEVICE_OBJECT Device) {
  return static_cast<PSERIAL_EXTENSION>(Device->DeviceExtension);
}

extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_ADD_DEVICE SerialAddDevice;
DRIVER_UNLOAD SerialUnload;
DRIVER_DISPATCH SerialCreate;
DRIVER_DISPATCH SerialCleanup;
DRIVER_DISPATCH SerialClose;
DRIVER_DISPATCH SerialRead;
DRIVER_DISPATCH SerialWrite;
DRIVER_DISPATCH SerialDeviceControl;
DRIVER_DISPATCH SerialInternalDeviceControl;
DRIVER_DISPATCH SerialPnp;
DRIVER_DISPATCH SerialPower;
DRIVER_DISPATCH SerialPassDown;
DRIVER_CANCEL SerialCancel;
KSERVICE_ROUTINE SerialIsr;
IO_DPC_ROUTINE SerialIsrDpc;
KDEFERRED_ROUTINE SerialReadTotalTimeout;
KDEFERRED_ROUTINE SerialReadIntervalTimeout;
KDEFERRED_ROUTINE SerialWriteTotalTimeout;

// Serialises renames and the COM name database across the driver's ports.
extern KEVENT SerialNamesLock;

// ---- requests (transfers.cpp)
// Completes a request the driver took with the remove lock held.
void SerialComplete(PSERIAL_EXTENSION Ext, PIRP Irp, NTSTATUS Status);
// Completes a request the driver does not take (no remove lock held).
NTSTATUS SerialCompleteNow(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);
// Completes the requests collected on the list (ControlLock not held).
void SerialCompleteList(PSERIAL_EXTENSION Ext, PLIST_ENTRY Done);
// Queues a read, write or wait request, or finishes it at once; the caller
// holds ControlLock and has marked it pending.
void SerialQueueRequest(PSERIAL_EXTENSION Ext, PLIST_ENTRY Queue, PIRP Irp, PLIST_ENTRY Done);
// Moves received bytes into reads and completes the finished ones; starts
// the next write. ControlLock held.
void SerialProcessReads(PSERIAL_EXTENSION Ext, PLIST_ENTRY Done);
void SerialStartNextWrite(PSERIAL_EXTENSION Ext, PLIST_ENTRY Done);
// Collects what the interrupt service routine found (finished write,
// events) and completes the requests it finishes. ControlLock held.
void SerialCollectInterruptWork(PSERIAL_EXTENSION Ext, PLIST_ENTRY Done);
// Ends every pending read (reads), write (writes) and the wait request
// (wait) with the status. ControlLock held.
void SerialEndPending(PSERIAL_EXTENSION Ext, BOOLEAN Reads, BOOLEAN Writes, BOOLEAN Wait, NTSTATUS Status,
                      PLIST_ENTRY Done);
// Records events for the wait-on-mask request. ControlLock held.
void SerialNoteEvents(PSERIAL_EXTENSION Ext, ULONG Events, PLIST_ENTRY Done);

// ---- the UART (uart.cpp)
UCHAR SerialReadRegister(PSERIAL_EXTENSION Ext, ULONG Register);
void SerialWriteRegister(PSERIAL_EXTENSION Ext, ULONG Register, UCHAR Value);
// True when a 16550 answers at the port's window.
BOOLEAN SerialUartAnswers(PSERIAL_EXTENSION Ext);
// Runs the routine with the interrupt service routine kept out (directly
// when no interrupt is connected). ControlLock held.
BOOLEAN SerialSynchronize(PSERIAL_EXTENSION Ext, PKSYNCHRONIZE_ROUTINE Routine, PVOID Context);
// Writes the settings to the UART: divisor, line control, FIFO, break,
// modem control, and the interrupt enables when the port is open.
// ControlLock held, hardware ready.
void SerialProgram(PSERIAL_EXTENSION Ext);
// Writes MCR and IER from the settings and the open state. ControlLock held.
void SerialApplyModemControl(PSERIAL_EXTENSION Ext);
// Silences the UART: no interrupt enables, OUT2 off. ControlLock held.
void SerialQuiet(PSERIAL_EXTENSION Ext);
// The divisor for the baud rate at the port's clock, or 0 when the clock
// cannot make that rate within 1%.
ULONG SerialDivisor(ULONG ClockRate, ULONG BaudRate);
// LCR bits for the line control, or 0xFF when it is not valid.
UCHAR SerialLineControlBits(const SERIAL_LINE_CONTROL* LineControl);
// Hands the current write's bytes to the transmitter, from where it stopped
// if it was under way. ControlLock held, hardware ready.
void SerialKickTransmitter(PSERIAL_EXTENSION Ext);
// Takes up to Length received bytes out of the ring buffer; ControlLock held.
ULONG SerialTakeReceived(PSERIAL_EXTENSION Ext, PUCHAR Buffer, ULONG Length);
ULONG SerialReceivedCount(PSERIAL_EXTENSION Ext);
// Moves the bytes waiting in the receive FIFO (below its interrupt trigger)
// into the ring. ControlLock held, at DISPATCH_LEVEL.
void SerialPollReceive(PSERIAL_EXTENSION Ext);
// Empties the receive ring and the receive FIFO. ControlLock held.
void SerialPurgeReceive(PSERIAL_EXTENSION Ext);

// ---- Plug and Play and names (port_pnp.cpp, port_names.cpp)
NTSTATUS SerialStartDevice(PSERIAL_EXTENSION Ext, PIRP Irp);
// Undoes the start (interrupt, link, SERIALCOMM entry); pending requests
// end with Status.
void SerialStopDevice(PSERIAL_EXTENSION Ext, NTSTATUS Status);
// Creates the link and the SERIALCOMM entry for PortName; PASSIVE_LEVEL.
void SerialPublishName(PSERIAL_EXTENSION Ext);
void SerialWithdrawName(PSERIAL_EXTENSION Ext);
// Reads PortName and ClockRate from the device key, writes PortAddr.
void SerialReadDeviceKey(PSERIAL_EXTENSION Ext, BOOLEAN WritePortAddress);
NTSTATUS SerialSetComIndex(PSERIAL_EXTENSION Ext, ULONG Index);

// ---- control requests (control.cpp)
NTSTATUS SerialSetBasicSettings(PSERIAL_EXTENSION Ext, PIRP Irp);
