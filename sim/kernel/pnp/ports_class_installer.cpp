#include "sim/kernel/pnp/ports_class_installer.h"

#include "sim/kernel/kernel.h"
#include "sim/kernel/pnp/device_node.h"
#include "sim/kernel/pnp/enum_registry.h"
#include "sim/kernel/registry/registry.h"
#include "sim/kernel/utf16_text.h"

namespace sim {

const char kComNameArbiterKey[] = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter";

namespace {

constexpr char kComDb[] = "ComDB";
constexpr size_t kComDbGrowth = 32;  // bytes: the database grows 256 numbers at a time
// The class of serial and parallel ports.
constexpr char16_t kPortsClassGuid[] = u"{4D36E978-E325-11CE-BFC1-08002BE10318}";

std::vector<uint8_t> ReadComDb() {
  return K().registry->GetBinary(kComNameArbiterKey, kComDb).value_or(std::vector<uint8_t>{});
}

// The number after "COM", or 0.
unsigned ComNumberOf(const std::u16string& name) {
  if (name.size() < 4 || name.compare(0, 3, u"COM") != 0) return 0;
  unsigned number = 0;
  for (size_t i = 3; i < name.size(); ++i) {
    if (name[i] < u'0' || name[i] > u'9' || number > 100000) return 0;
    number = number * 10 + (name[i] - u'0');
  }
  return number;
}

unsigned LowestFreeComNumber(const std::vector<uint8_t>& db) {
  for (size_t bit = 0; bit < db.size() * 8; ++bit)
    if (!(db[bit / 8] & (1u << (bit % 8)))) return static_cast<unsigned>(bit + 1);
  return static_cast<unsigned>(db.size() * 8 + 1);
}

}  // namespace

std::vector<unsigned> ComNumbersInUse() {
  std::vector<unsigned> numbers;
  std::vector<uint8_t> db = ReadComDb();
  for (size_t bit = 0; bit < db.size() * 8; ++bit)
    if (db[bit / 8] & (1u << (bit % 8))) numbers.push_back(static_cast<unsigned>(bit + 1));
  return numbers;
}

void ClaimComNumber(unsigned number) {
  if (number == 0) return;
  std::vector<uint8_t> db = ReadComDb();
  size_t byte = (number - 1) / 8;
  if (byte >= db.size()) db.resize((byte / kComDbGrowth + 1) * kComDbGrowth, 0);
  db[byte] = static_cast<uint8_t>(db[byte] | 1u << ((number - 1) % 8));
  K().registry->SetBinary(kComNameArbiterKey, kComDb, std::move(db));
}

unsigned InstallPort(const DeviceNode& node) {
  Registry& registry = *K().registry;
  const std::string instance = InstanceKeyPath(node);
  const std::string parameters = DeviceParametersPath(node);
  registry.SetString(instance, "Class", u"Ports");
  registry.SetString(instance, "ClassGUID", kPortsClassGuid);
  if (auto existing = registry.GetString(parameters, "PortName")) return ComNumberOf(*existing);

  unsigned number = LowestFreeComNumber(ReadComDb());
  ClaimComNumber(number);
  std::u16string name = u"COM" + Utf8ToUtf16(std::to_string(number));
  registry.SetString(parameters, "PortName", name);
  registry.SetString(instance, "FriendlyName", u"Communications Port (" + name + u")");
  return number;
}

}  // namespace sim
