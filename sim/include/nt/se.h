// Security: privilege values and the privilege check of the caller's token.
#pragma once

#include "nt/basetypes.h"

typedef struct _LUID {
  ULONG LowPart;
  LONG HighPart;
} LUID, *PLUID;

#define SE_CREATE_TOKEN_PRIVILEGE 2
#define SE_TCB_PRIVILEGE 7
#define SE_SECURITY_PRIVILEGE 8
#define SE_LOAD_DRIVER_PRIVILEGE 10
#define SE_BACKUP_PRIVILEGE 17
#define SE_SHUTDOWN_PRIVILEGE 19
#define SE_DEBUG_PRIVILEGE 20
#define SE_CHANGE_NOTIFY_PRIVILEGE 23
#define SE_IMPERSONATE_PRIVILEGE 29
#define SE_CREATE_GLOBAL_PRIVILEGE 30

inline LUID RtlConvertLongToLuid(LONG Val) {
  LARGE_INTEGER temp;
  temp.QuadPart = Val;
  LUID luid;
  luid.LowPart = temp.u.LowPart;
  luid.HighPart = temp.u.HighPart;
  return luid;
}

// TRUE when PreviousMode is KernelMode, or when the current thread's token
// holds the privilege enabled.
NTKERNELAPI BOOLEAN NTAPI SeSinglePrivilegeCheck(LUID PrivilegeValue, KPROCESSOR_MODE PreviousMode);
