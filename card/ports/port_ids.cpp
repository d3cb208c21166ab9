// A port's identities: device ID "ZARKLINK\*KVRCOMnn", hardware ID
// "*KVRCOMnn" (nn: the port number 01 to 12) and instance ID "0000".
#include "card/driver/card_driver.h"
#include "card/ports/ports.h"

namespace {

// The longest answer, "ZARKLINK\*KVRCOM12", and its two NULs.
const ULONG kMaxIdChars = 20;

// Appends Text to Buffer at *Length.
void Append(WCHAR* buffer, ULONG* length, const WCHAR* text) {
  while (*text) buffer[(*length)++] = *text++;
}

// The answer to a query type for the port in Slot, without NULs; 0 when
// the type is not answered.
ULONG ComposeId(BUS_QUERY_ID_TYPE type, int slot, WCHAR* buffer) {
  ULONG length = 0;
  if (type == BusQueryInstanceID) {
    Append(buffer, &length, L"0000");
    return length;
  }
  if (type != BusQueryDeviceID && type != BusQueryHardwareIDs) return 0;
  // The device ID is the hardware ID behind the bus name.
  if (type == BusQueryDeviceID) Append(buffer, &length, L"ZARKLINK\\");
  const int port = slot + 1;
  Append(buffer, &length, L"*KVRCOM");
  buffer[length++] = static_cast<WCHAR>(L'0' + port / 10);
  buffer[length++] = static_cast<WCHAR>(L'0' + port % 10);
  return length;
}

}  // namespace

NTSTATUS PortQueryId(PDEVICE_OBJECT PortDevice, PIRP Irp) {
  PortExtension* port = static_cast<PortExtension*>(PortDevice->DeviceExtension);
  const BUS_QUERY_ID_TYPE type = IoGetCurrentIrpStackLocation(Irp)->Parameters.QueryId.IdType;
  const int slot = PortSlotFromFlags(port->DeviceFlags);
  WCHAR text[kMaxIdChars];
  const ULONG length = slot < 0 ? 0 : ComposeId(type, slot, text);
  if (length == 0) return CompleteRequestWithInformation(Irp, STATUS_NOT_SUPPORTED, 0);

  // Every answer is a one-entry multi-string: the text and two NULs.
  const ULONG bytes = (length + 2) * sizeof(WCHAR);
  PWCHAR answer = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, bytes, CARD_POOL_TAG));
  if (!answer) return CompleteRequestWithInformation(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
  RtlCopyMemory(answer, text, length * sizeof(WCHAR));
  answer[length] = L'\0';
  answer[length + 1] = L'\0';
  return CompleteRequestWithInformation(Irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(answer));
}
