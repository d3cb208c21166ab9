// The kernel's own copy of the platform GUIDs, for the models that answer
// interface queries and report bus types.
#include <initguid.h>

#include <ntddser.h>
#include <wdmguid.h>
