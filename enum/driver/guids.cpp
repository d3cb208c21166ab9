// The one definition of every GUID the driver uses.
#include <ntddk.h>
#include <initguid.h>
#include <ntddser.h>
#include <wdmguid.h>

#include "enum/serial/port_resource_interface.h"
