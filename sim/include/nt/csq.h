// Cancel-safe IRP queues: the driver supplies the queue and its lock as
// callbacks, the I/O manager's IoCsqXxx routines do the cancellation.
#pragma once
#include "nt/basetypes.h"
#include "nt/io.h"

#define IO_TYPE_CSQ_IRP_CONTEXT 1
#define IO_TYPE_CSQ 2
#define IO_TYPE_CSQ_EX 3

struct _IO_CSQ;

typedef struct _IO_CSQ_IRP_CONTEXT {
  ULONG Type;
  struct _IRP* Irp;
  struct _IO_CSQ* Csq;
} IO_CSQ_IRP_CONTEXT, *PIO_CSQ_IRP_CONTEXT;

typedef void(NTAPI* PIO_CSQ_INSERT_IRP)(struct _IO_CSQ* Csq, PIRP Irp);
typedef void(NTAPI* PIO_CSQ_REMOVE_IRP)(struct _IO_CSQ* Csq, PIRP Irp);
typedef PIRP(NTAPI* PIO_CSQ_PEEK_NEXT_IRP)(struct _IO_CSQ* Csq, PIRP Irp, PVOID PeekContext);
typedef void(NTAPI* PIO_CSQ_ACQUIRE_LOCK)(struct _IO_CSQ* Csq, PKIRQL Irql);
typedef void(NTAPI* PIO_CSQ_RELEASE_LOCK)(struct _IO_CSQ* Csq, KIRQL Irql);
typedef void(NTAPI* PIO_CSQ_COMPLETE_CANCELED_IRP)(struct _IO_CSQ* Csq, PIRP Irp);

typedef struct _IO_CSQ {
  ULONG Type;
  PIO_CSQ_INSERT_IRP CsqInsertIrp;
  PIO_CSQ_REMOVE_IRP CsqRemoveIrp;
  PIO_CSQ_PEEK_NEXT_IRP CsqPeekNextIrp;
  PIO_CSQ_ACQUIRE_LOCK CsqAcquireLock;
  PIO_CSQ_RELEASE_LOCK CsqReleaseLock;
  PIO_CSQ_COMPLETE_CANCELED_IRP CsqCompleteCanceledIrp;
  PVOID ReservePointer;
} IO_CSQ, *PIO_CSQ;

NTKERNELAPI NTSTATUS NTAPI IoCsqInitialize(PIO_CSQ Csq, PIO_CSQ_INSERT_IRP CsqInsertIrp,
                                           PIO_CSQ_REMOVE_IRP CsqRemoveIrp, PIO_CSQ_PEEK_NEXT_IRP CsqPeekNextIrp,
                                           PIO_CSQ_ACQUIRE_LOCK CsqAcquireLock, PIO_CSQ_RELEASE_LOCK CsqReleaseLock,
                                           PIO_CSQ_COMPLETE_CANCELED_IRP CsqCompleteCanceledIrp);
NTKERNELAPI void NTAPI IoCsqInsertIrp(PIO_CSQ Csq, PIRP Irp, PIO_CSQ_IRP_CONTEXT Context);
NTKERNELAPI PIRP NTAPI IoCsqRemoveIrp(PIO_CSQ Csq, PIO_CSQ_IRP_CONTEXT Context);
NTKERNELAPI PIRP NTAPI IoCsqRemoveNextIrp(PIO_CSQ Csq, PVOID PeekContext);
