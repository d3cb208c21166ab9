#include "sim/kernel/object_attributes.h"

#include "ntstatus.h"
#include "sim/kernel/utf16_text.h"

namespace sim {

NTSTATUS CheckObjectAttributes(const OBJECT_ATTRIBUTES* attributes, std::u16string_view* name) {
  if (attributes == nullptr || attributes->Length != sizeof(OBJECT_ATTRIBUTES)) return STATUS_INVALID_PARAMETER;
  const UNICODE_STRING* text = attributes->ObjectName;
  if (text != nullptr && (text->Length % 2 != 0 || text->Length > text->MaximumLength ||
                          (text->Length > 0 && text->Buffer == nullptr)))
    return STATUS_OBJECT_NAME_INVALID;
  *name = View(text);
  return STATUS_SUCCESS;
}

}  // namespace sim
