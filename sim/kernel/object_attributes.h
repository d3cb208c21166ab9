// Checks an OBJECT_ATTRIBUTES record as the object manager does before any
// name lookup, for the Zw routines that take one.
#pragma once

#include <string_view>

#include "nt/basetypes.h"

namespace sim {

// STATUS_INVALID_PARAMETER for a missing or wrongly sized record,
// STATUS_OBJECT_NAME_INVALID for a malformed name; otherwise success with
// the name's characters in *name (empty when there is none).
NTSTATUS CheckObjectAttributes(const OBJECT_ATTRIBUTES* attributes, std::u16string_view* name);

}  // namespace sim
