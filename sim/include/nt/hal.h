// Hardware abstraction layer: port and register access, bus data.
#pragma once
#include "nt/basetypes.h"
