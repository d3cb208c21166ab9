// Starting a port on its handed-off resources, what it publishes (link,
// SERIALCOMM, PortAddr), the wrong hand-offs, exclusive opens and the two
// codes of our contract.
#include "serial_machine.h"

#include <map>

namespace serial_test {
namespace {

using Kind = sim::MachineAction::Kind;

uint16_t SlotAddress(sim::Machine& machine, unsigned slot) {
  return static_cast<uint16_t>((machine.cards().at(0).model->config().bars[5] & 0xFFFC) + 8 * slot);
}

// The SERIALCOMM entries as device name -> port name.
std::map<std::string, std::u16string> SerialComm(SerialPorts& ports) {
  std::map<std::string, std::u16string> entries;
  if (!ports.registry().KeyExists(kSerialComm)) return entries;
  for (const std::string& name : ports.registry().ValueNames(kSerialComm))
    entries[name] = ports.registry().GetString(kSerialComm, name).value_or(u"?");
  return entries;
}

TEST_F(SerialTest, PortStartsOnItsWindowAndPublishesItsNameWhenItHasOne) {
  for (unsigned port = 1; port <= 4; ++port) {
    ASSERT_TRUE(ports().Started(port)) << port;
    // PortAddr is the UART's own address in the card's window.
    EXPECT_EQ(ports().registry().GetDword(ports().DeviceKey(port), "PortAddr"), SlotAddress(machine(), port - 1));
  }
  const std::map<std::string, std::u16string> all = {{"\\Device\\Serial0", u"COM3"},
                                                     {"\\Device\\Serial1", u"COM4"},
                                                     {"\\Device\\Serial2", u"COM5"},
                                                     {"\\Device\\Serial3", u"COM6"}};
  EXPECT_EQ(SerialComm(ports()), all);

  sim::hw::Uart16550& uart = machine().cards().at(0).model->uart(1);
  HANDLE port = nullptr;
  ULONG_PTR information = 99;
  ASSERT_EQ(machine().app().Open("\\\\.\\COM4", &port, &information), STATUS_SUCCESS);
  EXPECT_EQ(information, 0u);
  // Opening raises DTR and RTS and enables the UART's interrupt output.
  EXPECT_EQ(uart.modem_control(), 0x0B);
  EXPECT_EQ(uart.divisor(), 12);  // 9600 baud at 1.8432 MHz
  EXPECT_EQ(uart.line_control(), 0x03);
  // One user at a time.
  ports().Open("\\\\.\\COM4", STATUS_ACCESS_DENIED);

  ULONG key = 0;
  EXPECT_EQ(ports().Control(port, IOCTL_PORT_QUERY_KEY, nullptr, 0, &key, sizeof(key)).status, STATUS_SUCCESS);
  EXPECT_EQ(key, SlotAddress(machine(), 1));
  USHORT short_key = 0;
  EXPECT_EQ(ports().Control(port, IOCTL_PORT_QUERY_KEY, nullptr, 0, &short_key, sizeof(short_key)).status,
            STATUS_BUFFER_TOO_SMALL);

  EXPECT_EQ(machine().app().Close(port), STATUS_SUCCESS);
  // Closing drops DTR and RTS and silences the UART.
  EXPECT_EQ(uart.modem_control(), 0x00);

  // Without a PortName the port runs with no link and no SERIALCOMM entry;
  // given one, it publishes it at its next start.
  ports().registry().DeleteValue(ports().DeviceKey(2), "PortName");
  ports().Restart(2);
  ASSERT_TRUE(ports().Started(2));
  ports().Open("\\\\.\\COM4", STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(SerialComm(ports()).count("\\Device\\Serial1"), 0u);
  ports().registry().SetString(ports().DeviceKey(2), "PortName", u"COM4");
  ports().Restart(2);
  EXPECT_EQ(SerialComm(ports()), all);
  port = ports().Open("\\\\.\\COM4");
  EXPECT_EQ(machine().app().Close(port), STATUS_SUCCESS);
}

class HandOffTest : public SerialTest {
 protected:
  HandOffTest() {
    config_.stand_in_hand_off = true;
    config_.registry.push_back(HandOffKnob(1, 1));
    config_.registry.push_back(HandOffKnob(2, 2));
    config_.registry.push_back(HandOffKnob(4, 2));  // past the last UART: nothing answers
  }
};

TEST_F(HandOffTest, PortsStartOnlyWithTheirOwnWindowAndAWrongWindowReachesTheNeighbour) {
  // The Plug and Play manager's own zero-length range: the driver refuses it.
  ASSERT_NE(ports().Node(1), nullptr);
  EXPECT_EQ(ports().Node(1)->state, sim::DeviceNode::State::Failed);
  EXPECT_EQ(ports().Node(1)->problem, STATUS_DEVICE_CONFIGURATION_ERROR);
  // The next port's window: the driver starts there and drives that UART.
  ASSERT_TRUE(ports().Started(2));
  ASSERT_TRUE(ports().Started(3));
  EXPECT_EQ(ports().registry().GetDword(ports().DeviceKey(2), "PortAddr"), SlotAddress(machine(), 2));
  HANDLE port = ports().Open("\\\\.\\COM4");
  ULONG key = 0;
  ports().Control(port, IOCTL_PORT_QUERY_KEY, nullptr, 0, &key, sizeof(key));
  EXPECT_EQ(key, SlotAddress(machine(), 2));
  EXPECT_EQ(ports().Set(port, IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{115200}), STATUS_SUCCESS);
  EXPECT_EQ(machine().cards().at(0).model->uart(2).divisor(), 1);
  EXPECT_NE(machine().cards().at(0).model->uart(1).divisor(), 1);
  EXPECT_EQ(machine().app().Close(port), STATUS_SUCCESS);
  // A window where no UART answers.
  EXPECT_EQ(ports().Node(4)->state, sim::DeviceNode::State::Failed);
  EXPECT_EQ(ports().Node(4)->problem, STATUS_DEVICE_NOT_CONNECTED);
}

TEST_F(SerialTest, SetComIndexRenamesThePortEverywhereAndKeepsItsHandleWorking) {
  // COM1 and COM2 are taken, COM3 to COM6 are the ports'.
  const std::vector<uint8_t> claimed = *ports().registry().GetBinary(kComDbKey, "ComDB");
  ASSERT_FALSE(claimed.empty());
  EXPECT_EQ(claimed[0], 0x3F);
  HANDLE port = ports().Open("\\\\.\\COM3");
  ports().Set(port, IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{19200});

  // Bad numbers change nothing.
  for (ULONG bad : {0xFFFFFFFFu, 256u, 1000u})
    EXPECT_EQ(ports().Set(port, IOCTL_PORT_SET_COM_INDEX, bad), STATUS_INVALID_PARAMETER) << bad;
  USHORT short_index = 6;
  EXPECT_EQ(ports().Set(port, IOCTL_PORT_SET_COM_INDEX, short_index), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(ports().Set(port, IOCTL_PORT_SET_COM_INDEX, ULONG{2}), STATUS_SUCCESS);  // COM3 already
  // A name another port holds stays with it.
  EXPECT_EQ(ports().Set(port, IOCTL_PORT_SET_COM_INDEX, ULONG{3}), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(ports().registry().GetString(ports().DeviceKey(1), "PortName"), u"COM3");
  ports().Open("\\\\.\\COM3", STATUS_ACCESS_DENIED);  // still this port's name
  EXPECT_EQ(ports().registry().GetBinary(kComDbKey, "ComDB"), claimed);

  EXPECT_EQ(ports().Set(port, IOCTL_PORT_SET_COM_INDEX, ULONG{6}), STATUS_SUCCESS);
  // One name everywhere: link, PortName, FriendlyName, SERIALCOMM, ComDB.
  ports().Open("\\\\.\\COM3", STATUS_OBJECT_NAME_NOT_FOUND);
  ports().Open("\\\\.\\COM7", STATUS_ACCESS_DENIED);  // the same port, still open
  EXPECT_EQ(ports().registry().GetString(ports().DeviceKey(1), "PortName"), u"COM7");
  EXPECT_EQ(ports().registry().GetString(ports().InstanceKey(1), "FriendlyName"), u"Communications Port (COM7)");
  EXPECT_EQ(SerialComm(ports()).at("\\Device\\Serial0"), u"COM7");
  std::vector<uint8_t> renamed = claimed;
  renamed[0] = 0x7B;  // COM3 released, COM7 claimed
  EXPECT_EQ(ports().registry().GetBinary(kComDbKey, "ComDB"), renamed);
  // The open handle keeps its port and settings.
  EXPECT_EQ(ports().Get<SERIAL_BAUD_RATE>(port, IOCTL_SERIAL_GET_BAUD_RATE).BaudRate, 19200u);
  EXPECT_EQ(machine().app().Close(port), STATUS_SUCCESS);
  port = ports().Open("\\\\.\\COM7");
  EXPECT_EQ(machine().app().Close(port), STATUS_SUCCESS);

  // The new name survives a restart: it is the port's PortName now.
  ports().Restart(1);
  port = ports().Open("\\\\.\\COM7");
  EXPECT_EQ(machine().app().Close(port), STATUS_SUCCESS);
}

}  // namespace
}  // namespace serial_test
