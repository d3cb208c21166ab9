// Objects, handles and system threads.
#pragma once
#include "nt/basetypes.h"
#include "nt/ke.h"

typedef struct _OBJECT_TYPE* POBJECT_TYPE;
typedef struct _CLIENT_ID {
  HANDLE UniqueProcess;
  HANDLE UniqueThread;
} CLIENT_ID, *PCLIENT_ID;
typedef struct _OBJECT_HANDLE_INFORMATION {
  ULONG HandleAttributes;
  ACCESS_MASK GrantedAccess;
} OBJECT_HANDLE_INFORMATION, *POBJECT_HANDLE_INFORMATION;

extern "C" POBJECT_TYPE* PsThreadType;
extern "C" POBJECT_TYPE* IoFileObjectType;
extern "C" POBJECT_TYPE* ExEventObjectType;

NTKERNELAPI LONG_PTR NTAPI ObfReferenceObject(PVOID Object);
NTKERNELAPI LONG_PTR NTAPI ObfDereferenceObject(PVOID Object);
#define ObReferenceObject(Object) ObfReferenceObject(Object)
#define ObDereferenceObject(Object) ObfDereferenceObject(Object)
NTKERNELAPI NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                                     POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                                     PVOID* Object, POBJECT_HANDLE_INFORMATION HandleInformation);
NTSYSAPI NTSTATUS NTAPI ZwClose(HANDLE Handle);

typedef void NTAPI KSTART_ROUTINE(PVOID StartContext);
typedef KSTART_ROUTINE* PKSTART_ROUTINE;
NTKERNELAPI NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                                                POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                                                PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                                                PVOID StartContext);
NTKERNELAPI NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus);
NTKERNELAPI PETHREAD NTAPI PsGetCurrentThread(void);
NTKERNELAPI HANDLE NTAPI PsGetCurrentThreadId(void);
#define NtCurrentProcess() ((HANDLE)(LONG_PTR)-1)
#define ZwCurrentProcess() NtCurrentProcess()
