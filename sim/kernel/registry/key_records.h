// The information records that ZwQueryKey, ZwEnumerateKey, ZwQueryValueKey
// and ZwEnumerateValueKey return, built whole and then copied into the
// caller's buffer by the configuration manager's rules.
#pragma once

#include <cstdint>
#include <vector>

#include "nt/basetypes.h"
#include "nt/zw.h"
#include "sim/kernel/registry/registry.h"

namespace sim {

struct InfoRecord {
  std::vector<uint8_t> bytes;  // the whole record
  ULONG fixed = 0;             // size of its fixed part
};

// STATUS_INVALID_PARAMETER for an information class the model does not serve.
NTSTATUS BuildValueRecord(const RegistryValue& value, KEY_VALUE_INFORMATION_CLASS info_class,
                          InfoRecord& record);
// For a subkey being enumerated KeyNameInformation is not served.
NTSTATUS BuildKeyRecord(const RegistryKey& key, KEY_INFORMATION_CLASS info_class,
                        bool enumerating, InfoRecord& record);

// Buffer smaller than the fixed part: STATUS_BUFFER_TOO_SMALL, nothing
// written. Fixed part fits but not the rest: STATUS_BUFFER_OVERFLOW with as
// much of the record as fits. Otherwise STATUS_SUCCESS. ResultLength is the
// whole record's size in every case.
NTSTATUS CopyRecord(const InfoRecord& record, PVOID buffer, ULONG length, PULONG result_length);

}  // namespace sim
