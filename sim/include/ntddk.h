// Host edition of ntddk.h: everything of wdm.h.
#pragma once
#include "wdm.h"
