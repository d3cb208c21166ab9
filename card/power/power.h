// The card's power path: the state machine that serves the card's
// set-power and query-power requests, and the search for the PCI Express
// port above the card.
#pragma once

#include "card/driver/card_driver.h"

// Where a request served by the machine stands.
typedef enum _PowerPhase {
  PowerPhaseStart = 0,
  PowerPhaseSystemUpForwarded,
  PowerPhaseSystemUpWaitDevice,
  PowerPhaseSystemDownWaitDevice,
  PowerPhaseSystemDownForwarded,
  PowerPhaseDeviceUpForwarded,
  PowerPhaseDeviceDownForwarded,
  PowerPhaseDeviceQueryUpForwarded,
  PowerPhaseDeviceQueryDownForwarded,
  PowerPhaseCount
} PowerPhase;

// What enters the machine.
typedef enum _PowerEvent {
  PowerEventDispatch = 0,
  PowerEventIrpCompleted,
  PowerEventDeviceIrpCompleted,
  PowerEventCount
} PowerEvent;

// One set-power or query-power request of the card, from its dispatch to
// its finish (non-paged, tag "TBus").
typedef struct _PowerContext {
  CardExtension* Extension;
  PIRP Irp;
  LONG Phase;        // PowerPhase
  NTSTATUS Status;   // of the last request that completed for this context
  UCHAR MinorFunction;
} PowerContext;

// Runs the card's machine for a set-power or query-power request: the
// request's dispatch result (STATUS_PENDING, or the status it was completed
// with when no context could be had).
NTSTATUS RunCardPowerMachine(CardExtension* Card, PIRP Irp);

// Looks through every bus for the PCI-to-PCI bridge whose windows are one
// 4 KiB I/O block and one 1 MiB memory block holding the card's BARs; when
// it has a PCI Express capability, records it in UpstreamPort and sets
// Link Disable in its Link Control register. PASSIVE_LEVEL.
void FindAndDisableUpstreamPort(CardExtension* Card);

// Clears Link Disable of the recorded upstream port. PASSIVE_LEVEL.
void EnableUpstreamLink(CardExtension* Card);

// The most capability entries a walk follows: a conventional configuration
// space holds at most 48 dword-aligned capabilities of 4 bytes between 0x40
// and 0xFF, so a longer walk is a list that loops.
#define CAPABILITY_WALK_LIMIT 48
