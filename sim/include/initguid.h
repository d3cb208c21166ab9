// Included before a header of GUIDs, it makes DEFINE_GUID define each GUID
// instead of declaring it. The definitions are weak (as selectany ones are on
// Windows): every image and the kernel may carry the same GUID.
#pragma once
#include "nt/basetypes.h"

#ifndef INITGUID
#define INITGUID
#endif
#undef DEFINE_GUID
#define DEFINE_GUID DEFINE_GUID_DEFINITION
