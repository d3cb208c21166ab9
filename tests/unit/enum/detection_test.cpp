// Device detection in booted machines with device models on the ports:
// what each kind of answer becomes, how long a probe takes, and how the
// child follows the device as it is plugged, replaced and pulled.
#include <array>
#include <cstring>
#include <map>
#include <string>

#include "unit/enum/detection_support.h"

namespace serial_test {
namespace {

using Kind = sim::MachineAction::Kind;

// No identity the Plug and Play manager sees holds a comma or a character
// outside 0x20..0x7F.
void ExpectPlainIds(const sim::DeviceNode* child) {
  Strings all = child->hardware_ids;
  all.insert(all.end(), child->compatible_ids.begin(), child->compatible_ids.end());
  all.push_back(child->device_id);
  for (const std::string& id : all)
    for (char c : id) {
      const unsigned char u = static_cast<unsigned char>(c);
      EXPECT_TRUE(u >= 0x20 && u <= 0x7F && c != ',') << "id \"" << id << "\"";
    }
}

// Twelve ports, each with another answer, probed at once at boot. No
// identity that reaches the Plug and Play manager holds a comma or a
// character outside 0x20..0x7F.
TEST(DetectionTest, EveryKindOfAnswerGetsItsIdentitiesAndTheProbesRunInParallel) {
  std::map<unsigned, sim::hw::AttachedDeviceConfig> devices = {
      {2, MouseOf("M")},                                    // DSR low
      {3, MouseOf("M3")},                                   // "M3" at the start
      {4, PnpSending("xyM3", "never")},                    // two bytes, then "M3"
      {5, MouseOf("B")},                                    // ballpoint
      {6, ExampleModem()},
      {7, ExampleModem(true)},                              // the 6-bit form
      {8, PnpSending("(\x01$ABC1234\\0000ABCD\\MODEM\\PNPC100\\My Modem\\G5)")},  // checksum not hex
      {9, PnpSending("(\x01$A\x85" "C1234)")},             // a character above 0x7F
      {10, PnpSending(std::string(300, 'x'))},              // 300 bytes without a gap
      {11, PnpSending("(\x01$A,C1234)")},                  // a comma in the ID: it separates
  };
  devices[12].kind = "modem";
  DetectionMachine bench(CardWith(0x1112, devices));
  std::vector<unsigned> all;
  for (unsigned port = 1; port <= 12; ++port) all.push_back(port);
  const std::vector<LONGLONG> ended = bench.SettleProbes(all, bench.booted());

  struct Expected {
    Strings hardware, compatible;
    std::string device_id, description;
  };
  const std::map<unsigned, Expected> expected = {
      {2, {{"*PNP0F01"}, {"SERIAL_MOUSE"}, "Serenum\\Mouse", ""}},
      {3, {{"*PNP0F01"}, {"SERIAL_MOUSE"}, "Serenum\\Mouse", ""}},
      {4, {{"*PNP0F08"}, {"SERIAL_MOUSE"}, "Serenum\\Mouse", ""}},
      {5, {{"*PNP0F09"}, {"*PNP0F0F", "SERIAL_MOUSE"}, "Serenum\\BallPoint", ""}},
      {6, {{"SERENUM\\ABC1234", "ABC1234"}, {"*PNPC100", "*PNPC101", "MODEM"}, "SERENUM\\ABC1234", "My Modem"}},
      {7, {{"SERENUM\\ABC1234", "ABC1234"}, {"*PNPC100", "*PNPC101", "MODEM"}, "SERENUM\\ABC1234", "My Modem"}},
      {11, {{"SERENUM\\A", "C1234", "A", "C1234"}, {}, "SERENUM\\A", ""}},
  };
  for (unsigned port = 1; port <= 12; ++port) {
    SCOPED_TRACE(testing::Message() << "port " << port);
    sim::DeviceNode* node = bench.ports().Node(port);
    sim::DeviceNode* child = ChildNode(node);
    EXPECT_GE(ended[port - 1], 0) << "the probe ended";
    if (port == 12) {
      // The modem answers the enumeration with its own string.
      ASSERT_NE(child, nullptr);
      EXPECT_EQ(child->device_id, "SERENUM\\ZRK0001");
      continue;
    }
    auto it = expected.find(port);
    if (it == expected.end()) {
      EXPECT_EQ(child, nullptr) << "no device, or an answer that is neither a mouse nor a valid string";
      continue;
    }
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(child->hardware_ids, it->second.hardware);
    EXPECT_EQ(child->compatible_ids, it->second.compatible);
    EXPECT_EQ(child->device_id, it->second.device_id);
    EXPECT_EQ(child->description, it->second.description);
    EXPECT_EQ(FilterOn(node)->ProbeCount, 1) << "one probe found it";
  }
  for (unsigned port = 1; port <= 12; ++port)
    if (sim::DeviceNode* child = ChildNode(bench.ports().Node(port))) ExpectPlainIds(child);

  // An empty port waits 3 x 1280 ms; a mouse answering 10 ms after RTS
  // costs three line steps, its one character at 1200 baud 7N1 and the
  // gap; 256 bytes end the read at once. Control codes take no time here.
  const LONGLONG step = 200 * kMs, gap = 240 * kMs, character = 75000;  // 9 bits at 1200 baud
  EXPECT_GE(ended[0], 3 * 1280 * kMs);
  EXPECT_LT(ended[0], 3 * 1280 * kMs + 5 * kMs);
  EXPECT_GE(ended[1], 3 * step + 10 * kMs + character + gap);
  EXPECT_LT(ended[1], 3 * step + 10 * kMs + character + gap + 5 * kMs);
  EXPECT_LT(ended[9], 3 * step + 10 * kMs + 257 * character + 5 * kMs) << "the read stopped at 256 bytes";
  std::printf("probe cycles: empty %.1f ms, mouse %.1f ms, modem %.1f ms, example string %.1f ms\n",
              ended[0] / 1e4, ended[1] / 1e4, ended[11] / 1e4, ended[5] / 1e4);
  bench.Finish();
}

// The child follows the device: plugged after boot it is found at the next
// scan; found again it stays as it is and no new enumeration is asked for;
// while an application holds the port nothing changes; replaced, the old
// child goes and the new one comes in the same probe; pulled, the child
// goes and the port may stop again.
TEST(DetectionTest, TheChildFollowsTheDeviceAsItIsPluggedReplacedAndPulled) {
  DetectionMachine bench(CardWith(0x1104, {}));
  bench.SettleProbes({1, 2, 3, 4}, bench.booted());
  sim::DeviceNode* port = bench.ports().Node(2);
  EnumFilterExtension* filter = FilterOn(port);
  EXPECT_EQ(ChildNode(port), nullptr);

  bench.Plug(2, ExampleModem());
  bench.Rescan(2);
  sim::DeviceNode* first = ChildNode(port);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->device_id, "SERENUM\\ABC1234");
  const size_t nodes = port->children.size();

  bench.Rescan(2);
  EXPECT_EQ(ChildNode(port), first);
  EXPECT_EQ(filter->ProbeFlags, 0u) << "unchanged: nothing to take over, no enumeration asked for";
  EXPECT_EQ(port->children.size(), nodes);

  HANDLE com4 = bench.ports().Open("\\\\.\\COM4");
  bench.Unplug(2);
  const UCHAR probes = filter->ProbeCount;
  bench.Rescan(2);
  EXPECT_EQ(filter->ProbeCount, probes + 1);
  EXPECT_EQ(ChildNode(port), first) << "the probe could not open the port";
  EXPECT_EQ(filter->ProbeFlags, 0u);
  EXPECT_EQ(bench.machine().app().Close(com4), STATUS_SUCCESS);

  bench.Plug(2, ExampleModem(false, "5678"));
  bench.Rescan(2);
  sim::DeviceNode* second = ChildNode(port);
  ASSERT_NE(second, nullptr);
  EXPECT_TRUE(first->Gone());
  EXPECT_EQ(second->device_id, "SERENUM\\ABC5678");
  EXPECT_EQ(filter->ProbeCount, probes + 2) << "one probe dropped the old child and made the new one";

  bench.Unplug(2);
  bench.Rescan(2);
  EXPECT_EQ(ChildNode(port), nullptr);
  EXPECT_TRUE(second->Gone());
  EXPECT_EQ(bench.ports().Act(Kind::Rebalance, 2, false).status, STATUS_SUCCESS) << "nothing holds the port";
  bench.Finish();
}

}  // namespace
}  // namespace serial_test

namespace serial_test {
namespace {

using Kind = sim::MachineAction::Kind;

std::vector<uint8_t> Table(std::initializer_list<std::array<uint8_t, 4>> entries, size_t size = 1023) {
  std::vector<uint8_t> bytes(size, 0);
  size_t at = 0;
  for (const auto& entry : entries) {
    std::copy(entry.begin(), entry.end(), bytes.begin() + at);
    at += 4;
  }
  return bytes;
}

bool InUse(const std::vector<uint8_t>& db, unsigned number) {
  const unsigned bit = number - 1;
  return bit / 8 < db.size() && (db[bit / 8] >> (bit % 8) & 1);
}

// The port's entry of the COM number table is completed by the first probe
// and its number claimed; an applied entry is left alone, only the first
// entry of a key counts, a short table reads as zero entries, and nothing
// is claimed again after a reboot.
TEST(DetectionTest, TheFirstProbeClaimsThePortsComNumber) {
  struct Case {
    const char* what;
    USHORT card;
    std::vector<uint8_t> table;
    unsigned port;           // whose entry is looked at
    std::array<uint8_t, 4> entry;  // the first entry afterwards
    std::string name;        // the port's name afterwards
    std::vector<unsigned> claimed, free;
  };
  const Case cases[] = {
      {"configured number", 0x1104, Table({{0xE2, 0x00, 9, 0}}), 1, {0xE2, 0x00, 9, 1}, "COM9", {9}, {3}},
      // Ports 1 to 4 hold COM3 to COM6: n = 1 picks the second free number.
      {"picked number", 0x1104, Table({{0xE2, 0x08, 0, 0}}), 2, {0xE2, 0x08, 8, 1}, "COM8", {8}, {4, 7}},
      // Twelve ports hold COM3 to COM14; key 0xE240 gives n = 8.
      {"ninth free number", 0x1112, Table({{0xE2, 0x40, 0, 0}}), 9, {0xE2, 0x40, 23, 1}, "COM23", {23}, {11, 15}},
      {"applied entry", 0x1104, Table({{0xE2, 0x00, 7, 1}}), 1, {0xE2, 0x00, 7, 1}, "COM3", {3}, {7}},
      {"duplicate key", 0x1104, Table({{0xE2, 0x00, 9, 0}, {0xE2, 0x00, 10, 0}}), 1, {0xE2, 0x00, 9, 1}, "COM9", {9},
       {10}},
      {"short table", 0x1104, Table({{0xE2, 0x00, 9, 0}}, 512), 1, {0xE2, 0x00, 9, 1}, "COM9", {9}, {3}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    sim::MachineConfig config;
    config.registry.push_back({kComNumConfigKey, "ComNumConfig", REG_BINARY, c.table});
    DetectionMachine bench(CardWith(c.card, {}, config));
    std::vector<unsigned> all;
    for (unsigned port = 1; port <= (c.card == 0x1112 ? 12u : 4u); ++port) all.push_back(port);
    bench.SettleProbes(all, bench.booted());
    sim::Registry& registry = bench.ports().registry();
    const auto table = registry.GetBinary(kComNumConfigKey, "ComNumConfig");
    ASSERT_TRUE(table.has_value());
    EXPECT_EQ(table->size(), 1023u);
    EXPECT_EQ((std::array<uint8_t, 4>{(*table)[0], (*table)[1], (*table)[2], (*table)[3]}), c.entry);
    if (c.table[4] != 0) {
      EXPECT_EQ((*table)[6], c.table[6]);
      EXPECT_EQ((*table)[7], 0) << "the second entry of the key is never reached";
    }
    EXPECT_EQ(registry.GetString(bench.ports().DeviceKey(c.port), "PortName"),
              std::u16string(c.name.begin(), c.name.end()));
    const std::vector<uint8_t> db = registry.GetBinary(kComDbKey, "ComDB").value_or(std::vector<uint8_t>{});
    for (unsigned number : c.claimed) EXPECT_TRUE(InUse(db, number)) << "COM" << number;
    for (unsigned number : c.free) EXPECT_FALSE(InUse(db, number)) << "COM" << number;
    if (c.card != 0x1104 || c.table.size() != 1023 || c.table[4] != 0 || c.entry[2] != 9) continue;
    // Across a reboot nothing is claimed again and the name stays.
    bench.machine().Reboot();
    bench.SettleProbes(all, bench.ports().Now());
    EXPECT_EQ(registry.GetBinary(kComNumConfigKey, "ComNumConfig"), table);
    EXPECT_EQ(bench.ports().registry().GetBinary(kComDbKey, "ComDB").value_or(std::vector<uint8_t>{}), db);
    EXPECT_EQ(bench.ports().registry().GetString(bench.ports().DeviceKey(1), "PortName"), u"COM9");
  }
}

// A card the configuration file describes: its bring-up records its UARTs
// in the table with the configured numbers, and the probes claim them.
TEST(DetectionTest, ConfiguredNumbersOfACardInTheConfigurationFileAreClaimed) {
  std::vector<uint8_t> file(27 * 16, 0);
  file[0] = 0x81;   // the card on bus 1, active
  file[1 + 2] = 20;  // slot 2: COM20
  file[13] = 0x01;   // UART probing on
  sim::MachineConfig config;
  config.config_file = file;
  DetectionMachine bench(CardWith(0x1104, {}, config));
  bench.SettleProbes({1, 2, 3, 4}, bench.booted());
  const auto table = bench.ports().registry().GetBinary(kComNumConfigKey, "ComNumConfig");
  ASSERT_TRUE(table.has_value());
  std::map<unsigned, std::array<uint8_t, 2>> entries;  // address -> number, applied
  for (size_t at = 0; at + 4 <= table->size(); at += 4)
    if ((*table)[at] || (*table)[at + 1]) entries[(*table)[at] << 8 | (*table)[at + 1]] = {(*table)[at + 2], (*table)[at + 3]};
  ASSERT_EQ(entries.size(), 4u);
  for (const auto& [address, entry] : entries) EXPECT_EQ(entry[1], 1) << std::hex << address << " applied";
  EXPECT_EQ(entries[0xE210][0], 20);
  const std::vector<uint8_t> db = bench.ports().registry().GetBinary(kComDbKey, "ComDB").value_or(std::vector<uint8_t>{});
  for (const auto& [address, entry] : entries) {
    if (entry[0]) {
      EXPECT_TRUE(InUse(db, entry[0])) << "COM" << int(entry[0]) << " claimed";
    }
  }
  EXPECT_EQ(bench.ports().registry().GetString(bench.ports().DeviceKey(3), "PortName"), u"COM20");
  bench.Finish();
}

// A mouse on a port: detected, bound to the mouse driver, which reads its
// movements through the child and the port; pulling the card with the
// mouse open removes everything.
TEST(DetectionTest, AMouseIsDetectedGetsItsDriverAndItsMovementsArrive) {
  sim::hw::AttachedDeviceConfig mouse = MouseOf("M3");
  mouse.packets = {{500, 5, -3, false, false, false}, {600, -120, 100, true, false, false},
                   {700, 0, 0, false, true, true}, {800, 1, 1, false, false, false}};
  DetectionMachine bench(CardWith(0x1104, {{3, mouse}}));
  bench.SettleProbes({3}, bench.booted());
  sim::DeviceNode* child = ChildNode(bench.ports().Node(3));
  ASSERT_NE(child, nullptr);
  EXPECT_EQ(child->service, "SerialMouse");
  EXPECT_EQ(child->state, sim::DeviceNode::State::Started);
  bench.ports().Wait(2000 * kMs);
  const std::string key = sim::DeviceParametersPath(*child);
  const auto events = bench.ports().registry().GetBinary(key, "MouseEvents");
  ASSERT_TRUE(events.has_value());
  // dx, dy, buttons; the middle button comes in a fourth byte after its
  // packet and is an event of its own.
  const std::vector<uint8_t> expected = {5, 0xFD, 0, 0, 0x88, 100, 1, 0, 0, 0, 2, 0,
                                         0, 0,    6, 0, 1,    1,   4, 0, 0, 0, 0, 0};
  EXPECT_EQ(*events, expected);

  // Pulling the card: the mouse driver lets the port go, the stacks go.
  EXPECT_EQ(bench.ports().Act(Kind::SurpriseRemove, 0).status, STATUS_SUCCESS);
  bench.pnp().WaitIdle();
  EXPECT_TRUE(child->Gone());
  bench.Finish();
}

// Twelve ports probed at once while Plug and Play acts on some of them and
// an application opens another, under many seeds with preemption: a probe
// is never cut short (the ports nothing happens to find their devices),
// stop and removal wait for it, and the verifier finds nothing.
void RunProbesUnderActions(uint64_t seed) {
  std::map<unsigned, sim::hw::AttachedDeviceConfig> devices;
  for (unsigned port = 1; port <= 12; ++port) devices[port] = port % 3 ? ExampleModem(false, "100" + std::to_string(port % 10)) : MouseOf("B");
  sim::MachineConfig config = sim::test::PreemptedMachine(seed, 3);
  DetectionMachine bench(CardWith(0x1112, devices, config));
  SerialPorts& ports = bench.ports();
  ports.Wait(static_cast<LONGLONG>(seed % 5) * 100 * kMs);
  // Query-stop is refused while the probe runs; the port stays started.
  const NTSTATUS stop = ports.Act(Kind::Rebalance, 1, false).status;
  EXPECT_TRUE(stop == STATUS_SUCCESS || stop == STATUS_UNSUCCESSFUL) << std::hex << stop;
  EXPECT_TRUE(ports.Started(1));
  EXPECT_EQ(ports.Act(Kind::Disable, 2).status, STATUS_SUCCESS);
  EXPECT_EQ(ports.Act(Kind::Remove, 4).status, STATUS_SUCCESS);
  EXPECT_EQ(ports.Act(Kind::SurpriseRemove, 5).status, STATUS_SUCCESS);
  // COM10 is port 8: its open waits for the probe and then holds the port.
  HANDLE com10 = ports.Open("\\\\.\\COM10");
  ports.Wait(100 * kMs);
  EXPECT_EQ(bench.machine().app().Close(com10), STATUS_SUCCESS);
  EXPECT_EQ(ports.Act(Kind::Enable, 2).status, STATUS_SUCCESS);
  bench.SettleProbes({1, 2, 3, 6, 7, 8, 9, 10, 11, 12}, ports.Now());
  for (unsigned port : {2u, 3u, 6u, 7u, 9u, 10u, 11u, 12u}) {
    sim::DeviceNode* child = ChildNode(ports.Node(port));
    ASSERT_NE(child, nullptr) << "port " << port;
    EXPECT_EQ(child->device_id, port % 3 ? "SERENUM\\ABC100" + std::to_string(port % 10) : "Serenum\\BallPoint")
        << "port " << port;
  }
  bench.Finish();
}

TEST(DetectionConcurrencyTest, ProbesOfTwelvePortsUnderPlugAndPlayActionsAndOpens) {
  const sim::test::SeedRange seeds = sim::test::SeedsFromEnvironment(20);
  for (uint64_t seed = seeds.first; seed <= seeds.last(); ++seed) {
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    RunProbesUnderActions(seed);
    if (HasFailure()) break;
  }
}

}  // namespace
}  // namespace serial_test
