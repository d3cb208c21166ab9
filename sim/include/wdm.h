// Host edition of the WDM kernel interface: the subset of the platform the
// drivers use, with the platform's names and the Windows x64 layouts.
#pragma once
#include "ntstatus.h"
#include "nt/basetypes.h"
#include "nt/ex.h"
#include "nt/io.h"
#include "nt/csq.h"
#include "nt/ioctl.h"
#include "nt/ke.h"
#include "nt/ob.h"
#include "nt/pnp_records.h"
#include "nt/pnp_types.h"
#include "nt/power.h"
#include "nt/resources.h"
#include "nt/rtl.h"
#include "nt/zw.h"
#include "nt/hal.h"
#include "nt/se.h"
