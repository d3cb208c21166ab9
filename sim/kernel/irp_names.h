// Names of IRP major functions, for reports.
#pragma once

#include <string>

#include "nt/basetypes.h"

namespace sim {

// "IRP_MJ_READ" for 3; the number for a code the model does not name.
std::string MajorFunctionName(UCHAR major);

}  // namespace sim
