// Removal of a card's device objects.
#include "card/driver/card_driver.h"

void TearDownCard(PDEVICE_OBJECT CardDevice) {
  CardExtension* card = static_cast<CardExtension*>(CardDevice->DeviceExtension);
  for (int slot = 0; slot < CARD_MAX_PORTS; ++slot) {
    if (card->PortDevices[slot]) {
      IoDeleteDevice(card->PortDevices[slot]);
      card->PortDevices[slot] = NULL;
    }
  }
  // Retired ports the Plug and Play manager has not removed yet.
  for (int i = 0; i < CARD_MAX_PORTS; ++i) {
    if (card->RetiredPorts[i]) {
      IoDeleteDevice(card->RetiredPorts[i]);
      card->RetiredPorts[i] = NULL;
    }
  }
  IoWMIRegistrationControl(CardDevice, WMIREG_ACTION_DEREGISTER);
  IoDetachDevice(card->NextLowerDevice);
  // By name: the link goes even if it had been pointed at a newer card.
  if (card->LinkName.Buffer) {
    IoDeleteSymbolicLink(&card->LinkName);
    ExFreePoolWithTag(card->LinkName.Buffer, CARD_POOL_TAG);
    card->LinkName.Buffer = NULL;
  }
  if (card->DeviceName.Buffer) {
    ExFreePoolWithTag(card->DeviceName.Buffer, CARD_POOL_TAG);
    card->DeviceName.Buffer = NULL;
  }
  IoDeleteDevice(CardDevice);
}
