#include "sim/kernel/pnp/pnp_manager.h"

#include <algorithm>
#include <cctype>

#include "sim/kernel/io_manager.h"
#include "sim/kernel/kernel_internal.h"
#include "sim/kernel/pool.h"

namespace sim {

namespace {

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// Splits a REG_MULTI_SZ-style list of UTF-16 strings.
std::vector<std::string> SplitMultiString(const WCHAR* list, bool multi) {
  std::vector<std::string> out;
  if (!list) return out;
  const auto* p = reinterpret_cast<const char16_t*>(list);
  while (*p) {
    std::u16string item;
    while (*p) item += *p++;
    out.push_back(Utf16ToUtf8(item));
    ++p;
    if (!multi) break;
  }
  return out;
}

}  // namespace

const char* DeviceNodeStateName(DeviceNode::State state) {
  switch (state) {
    case DeviceNode::State::Initialized: return "initialized";
    case DeviceNode::State::DriversAdded: return "drivers added";
    case DeviceNode::State::Started: return "started";
    case DeviceNode::State::Removed: return "removed";
    case DeviceNode::State::Failed: return "problem";
  }
  return "?";
}

PnpManager::PnpManager() = default;
PnpManager::~PnpManager() = default;

void PnpManager::Bind(const std::string& id, const std::string& service) { bindings_[Upper(id)] = service; }

std::string PnpManager::ServiceFor(const DeviceNode& node) const {
  // Hardware IDs first, most specific first; then compatible IDs.
  for (const auto* ids : {&node.hardware_ids, &node.compatible_ids}) {
    for (const std::string& id : *ids) {
      auto it = bindings_.find(Upper(id));
      if (it != bindings_.end()) return it->second;
    }
  }
  return {};
}

IO_STATUS_BLOCK PnpManager::SendPnp(DeviceNode* node, UCHAR minor, const std::function<void(IO_STACK_LOCATION*)>& fill) {
  IoRequest request;
  request.major = IRP_MJ_PNP;
  request.minor = minor;
  request.initial_status = STATUS_NOT_SUPPORTED;
  request.fill = fill;
  return K().io->SendAndWait(node->pdo, request);
}

std::vector<std::string> PnpManager::QueryIds(DeviceNode* node, BUS_QUERY_ID_TYPE type) {
  IO_STATUS_BLOCK result =
      SendPnp(node, IRP_MN_QUERY_ID, [type](IO_STACK_LOCATION* stack) { stack->Parameters.QueryId.IdType = type; });
  if (!NT_SUCCESS(result.Status) || !result.Information) return {};
  auto* list = reinterpret_cast<WCHAR*>(result.Information);
  bool multi = type == BusQueryHardwareIDs || type == BusQueryCompatibleIDs;
  std::vector<std::string> ids = SplitMultiString(list, multi);
  ExFreePool(list);
  return ids;
}

DeviceNode* PnpManager::DeviceArrived(DEVICE_OBJECT* pdo) {
  auto node = std::make_unique<DeviceNode>();
  node->pdo = pdo;
  pdo->DeviceObjectExtension->DeviceNode = node.get();
  ObfReferenceObject(pdo);  // the node's reference, dropped after removal
  DeviceNode* raw = node.get();
  nodes_.push_back(std::move(node));
  auto device_ids = QueryIds(raw, BusQueryDeviceID);
  auto instance_ids = QueryIds(raw, BusQueryInstanceID);
  raw->device_id = device_ids.empty() ? "" : device_ids[0];
  raw->instance_id = instance_ids.empty() ? "" : instance_ids[0];
  raw->hardware_ids = QueryIds(raw, BusQueryHardwareIDs);
  raw->compatible_ids = QueryIds(raw, BusQueryCompatibleIDs);
  if (raw->device_id.empty()) {
    raw->state = DeviceNode::State::Failed;
    raw->problem = STATUS_INVALID_PARAMETER;
    return raw;
  }
  AddAndStart(raw);
  return raw;
}

NTSTATUS PnpManager::AddAndStart(DeviceNode* node) {
  node->service = ServiceFor(*node);
  if (node->service.empty()) return STATUS_SUCCESS;  // no driver installed: the node waits
  DriverRecord* driver = K().io->FindDriver(node->service);
  if (!driver) {
    NTSTATUS status = STATUS_SUCCESS;
    std::string error;
    driver = K().io->LoadDriver(node->service, &status, &error);
    if (!driver) {
      node->state = DeviceNode::State::Failed;
      node->problem = status;
      return status;
    }
  }
  node->function_driver = driver;
  NTSTATUS status = STATUS_SUCCESS;
  if (driver->extension.AddDevice) status = driver->extension.AddDevice(&driver->object, node->pdo);
  if (!NT_SUCCESS(status)) {
    node->state = DeviceNode::State::Failed;
    node->problem = status;
    UnloadIfUnused(driver);
    return status;
  }
  node->state = DeviceNode::State::DriversAdded;
  IO_STATUS_BLOCK result = SendPnp(node, IRP_MN_START_DEVICE, [](IO_STACK_LOCATION* stack) {
    stack->Parameters.StartDevice.AllocatedResources = nullptr;
    stack->Parameters.StartDevice.AllocatedResourcesTranslated = nullptr;
  });
  if (!NT_SUCCESS(result.Status)) {
    // A failed start is followed by removal of the stack, as on Windows.
    node->problem = result.Status;
    SendPnp(node, IRP_MN_REMOVE_DEVICE);
    node->state = DeviceNode::State::Failed;
    UnloadIfUnused(driver);
    return result.Status;
  }
  node->state = DeviceNode::State::Started;
  return STATUS_SUCCESS;
}

NTSTATUS PnpManager::RemoveDevice(DeviceNode* node) {
  if (node->state == DeviceNode::State::Removed) return STATUS_NO_SUCH_DEVICE;
  bool has_function_driver = node->pdo->AttachedDevice != nullptr;
  if (has_function_driver) {
    IO_STATUS_BLOCK query = SendPnp(node, IRP_MN_QUERY_REMOVE_DEVICE);
    if (!NT_SUCCESS(query.Status)) {
      SendPnp(node, IRP_MN_CANCEL_REMOVE_DEVICE);
      return query.Status;
    }
  }
  DEVICE_OBJECT* pdo = node->pdo;
  // The device leaves the bus: the bus driver deletes its PDO on removal.
  pdo->DeviceObjectExtension->ExtensionFlags |= DOE_REMOVE_PENDING;
  SendPnp(node, IRP_MN_REMOVE_DEVICE);
  FinishRemoval(node);
  return STATUS_SUCCESS;
}

void PnpManager::RemoveAll() {
  for (auto it = nodes_.rbegin(); it != nodes_.rend(); ++it) {
    DeviceNode* node = it->get();
    if (node->state == DeviceNode::State::Removed) continue;
    if (!NT_SUCCESS(RemoveDevice(node))) {
      // Shutdown does not take no for an answer.
      node->pdo->DeviceObjectExtension->ExtensionFlags |= DOE_REMOVE_PENDING;
      SendPnp(node, IRP_MN_REMOVE_DEVICE);
      FinishRemoval(node);
    }
  }
}

void PnpManager::FinishRemoval(DeviceNode* node) {
  DEVICE_OBJECT* pdo = node->pdo;
  node->state = DeviceNode::State::Removed;
  node->pdo = nullptr;
  ObfDereferenceObject(pdo);
  if (node->function_driver) UnloadIfUnused(node->function_driver);
}

void PnpManager::UnloadIfUnused(DriverRecord* driver) {
  if (!driver->image || driver->object.DeviceObject) return;
  for (const auto& node : nodes_)
    if (node->function_driver == driver && node->state != DeviceNode::State::Removed &&
        node->state != DeviceNode::State::Failed)
      return;
  K().io->UnloadDriver(driver);
}

DeviceNode* PnpManager::NodeOf(const DEVICE_OBJECT* device) const {
  return static_cast<DeviceNode*>(device->DeviceObjectExtension->DeviceNode);
}

std::vector<DeviceNode*> PnpManager::LiveNodes() const {
  std::vector<DeviceNode*> out;
  for (const auto& node : nodes_)
    if (node->state != DeviceNode::State::Removed) out.push_back(node.get());
  return out;
}

}  // namespace sim
