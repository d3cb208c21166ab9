// Status codes (see nt/ntstatus_list.h for the list).
#pragma once
#include "nt/basetypes.h"

#define X(name, value) constexpr NTSTATUS name = (NTSTATUS)value##U;
#include "nt/ntstatus_list.h"
#undef X
