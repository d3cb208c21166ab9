// The chips the card comes as and which of their ports are optional.
#include "card/hw/register_map.h"

namespace {

struct ChipInfo {
  USHORT DeviceId;
  UCHAR Ports;
  USHORT OptionalPorts;  // bit n: port n is present only when the mask says so
};

const ChipInfo kChips[] = {
    {CHIP_4_PORTS, 4, 0x000C},
    {CHIP_8_PORTS, 8, 0x000C},
    {CHIP_12_PORTS, 12, 0x0F0C},
};

const ChipInfo* FindChip(USHORT DeviceId) {
  for (ULONG i = 0; i < sizeof kChips / sizeof kChips[0]; ++i)
    if (kChips[i].DeviceId == DeviceId) return &kChips[i];
  return NULL;
}

}  // namespace

ULONG ChipPortCount(USHORT DeviceId) {
  const ChipInfo* chip = FindChip(DeviceId);
  return chip ? chip->Ports : 0;
}

ULONG OptionalPortBit(ULONG Port) {
  switch (Port) {
    case 2: return 0x01;
    case 3: return 0x02;
    case 8: return 0x04;
    case 9: return 0x08;
    case 10: return 0x10;
    case 11: return 0x20;
    default: return 0;
  }
}

BOOLEAN ChipPortMissingByMask(USHORT DeviceId, ULONG Port, UCHAR OptionalPortMask) {
  const ChipInfo* chip = FindChip(DeviceId);
  if (!chip || Port >= chip->Ports || !(chip->OptionalPorts & (1u << Port))) return FALSE;
  return (OptionalPortMask & OptionalPortBit(Port)) == 0;
}

BOOLEAN PortInChipsLastGroup(USHORT DeviceId, ULONG Port) {
  const ChipInfo* chip = FindChip(DeviceId);
  return chip && Port < chip->Ports && Port >= chip->Ports - 4u;
}
