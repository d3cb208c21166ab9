// The kernel model's one definition of each platform GUID it uses itself.
#include <initguid.h>
#include "wdm.h"
#include "ntddser.h"
#include "wdmguid.h"
