// The port resource interface: a port device hands it to the port
// enumerator above its serial driver, which fetches the port's own I/O
// window and the card's interrupt as ready-made start lists with it. Both
// drivers build against this record. The port answers the query with a
// reference already taken; the user calls GetPortResources once and then
// InterfaceDereference once.
#pragma once

#include <ntddk.h>

// {0AA04540-6FD1-11D3-81B5-00C04FA330A6}
DEFINE_GUID(GUID_PORT_RESOURCE_INTERFACE, 0x0aa04540, 0x6fd1, 0x11d3, 0x81, 0xb5, 0x00, 0xc0, 0x4f, 0xa3, 0x30, 0xa6);

#define PORT_RESOURCE_INTERFACE_VERSION 1

// Allocates the port's raw and translated CM_RESOURCE_LISTs from paged pool;
// the caller frees both. PASSIVE_LEVEL only.
typedef NTSTATUS NTAPI GET_PORT_RESOURCES(PVOID Context, PDEVICE_OBJECT PortDevice, PCM_RESOURCE_LIST* RawList,
                                          PCM_RESOURCE_LIST* TranslatedList);
typedef GET_PORT_RESOURCES* PGET_PORT_RESOURCES;

typedef struct _PortResourceInterface {
  // The INTERFACE header.
  USHORT Size;
  USHORT Version;
  PVOID Context;  // the card's CardExtension
  PINTERFACE_REFERENCE InterfaceReference;
  PINTERFACE_DEREFERENCE InterfaceDereference;
  PGET_PORT_RESOURCES GetPortResources;
} PortResourceInterface;

static_assert(sizeof(PortResourceInterface) == 40, "the interface record is 40 bytes on x64");
static_assert(FIELD_OFFSET(PortResourceInterface, GetPortResources) == sizeof(INTERFACE), "header first");
