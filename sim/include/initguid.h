// Included before a header of GUIDs, it makes DEFINE_GUID define each GUID
// instead of declaring it. The definitions are weak (as selectany ones are on
// Windows): every image and the kernel may carry the same GUID.
#pragma once
#include "nt/basetypes.h"

#ifndef INITGUID
#define INITGUID
#endif
#undef DEFINE_GUID
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
  extern "C" __attribute__((weak)) const GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
