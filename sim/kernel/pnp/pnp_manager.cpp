#include "sim/kernel/pnp/pnp_manager.h"

#include <functional>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "sim/kernel/image_loader.h"
#include "sim/kernel/irql_rules.h"
#include "sim/kernel/io_manager.h"
#include "sim/kernel/kernel_internal.h"
#include "sim/kernel/pnp/device_ids.h"
#include "sim/kernel/pnp/enum_registry.h"
#include "sim/kernel/pnp/ports_class_installer.h"
#include "sim/kernel/pool.h"
#include "sim/kernel/scheduler.h"
#include "sim/kernel/security.h"
#include "sim/kernel/sim_thread.h"

namespace sim {

namespace {

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// The characters of the pool block that holds text (as much as can be read).
size_t PoolChars(const void* text) {
  const auto& blocks = K().pool->blocks();
  auto it = blocks.upper_bound(const_cast<void*>(text));
  if (it == blocks.begin()) return SIZE_MAX;
  --it;
  const auto* start = static_cast<const char*>(it->first);
  const auto* at = static_cast<const char*>(text);
  if (at >= start + it->second.size) return SIZE_MAX;
  return static_cast<size_t>(start + it->second.size - at) / sizeof(WCHAR);
}

// The "prefix & UniqueID" form Windows gives the instance ID of a child
// whose bus cannot make it unique system-wide: it names the parent.
std::string ParentIdPrefix(const DeviceNode& parent) {
  uint32_t hash = 2166136261u;  // FNV-1a of the parent's instance path
  for (char c : Upper(parent.InstancePath())) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
  char prefix[32];
  std::snprintf(prefix, sizeof prefix, "5&%x&0&", hash);
  return prefix;
}

bool InSubtree(const DeviceNode* node, const DeviceNode* root) {
  for (; node; node = node->parent)
    if (node == root) return true;
  return false;
}

// A service is installed when its image exists or the kernel has it built in.
bool DriverInstalled(const std::string& service) {
  return K().io->FindDriver(service) || K().images->Installed(service);
}

}  // namespace

const char* DeviceNodeStateName(DeviceNode::State state) {
  switch (state) {
    case DeviceNode::State::Initialized: return "no driver";
    case DeviceNode::State::DriversAdded: return "drivers added";
    case DeviceNode::State::Started: return "started";
    case DeviceNode::State::StopPending: return "stop pending";
    case DeviceNode::State::Stopped: return "stopped";
    case DeviceNode::State::RemovePending: return "remove pending";
    case DeviceNode::State::SurpriseRemoved: return "surprise removed";
    case DeviceNode::State::Removed: return "removed";
    case DeviceNode::State::Disabled: return "disabled";
    case DeviceNode::State::Failed: return "problem";
  }
  return "?";
}

PnpManager::PnpManager() { KeInitializeSemaphore(&work_available_, 0, MAXLONG); }
PnpManager::~PnpManager() = default;

// ---------------------------------------------------------------------------
// The manager's thread.

void PnpManager::Queue(std::function<void()> operation) {
  if (!thread_) thread_ = K().scheduler->CreateThread("pnp manager", nullptr, [this] { ThreadLoop(); });
  work_.push_back(std::move(operation));
  KeReleaseSemaphore(&work_available_, 0, 1, FALSE);
}

void PnpManager::ThreadLoop() {
  for (;;) {
    K().scheduler->WaitForObject(&work_available_.Header, -1);
    std::function<void()> operation = std::move(work_.front());
    work_.pop_front();
    operation();
  }
}

void PnpManager::Run(const std::function<void()>& operation) {
  if (thread_ && K().scheduler->Current() == thread_) {
    operation();
    return;
  }
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  Queue([&operation, &done] {
    operation();
    KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
  });
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
}

void PnpManager::WaitIdle() {
  Run([] {});
}

// ---------------------------------------------------------------------------
// Binding and requests.

void PnpManager::Bind(const std::string& id, const std::string& service, std::vector<std::string> upper_filters,
                      std::vector<std::string> lower_filters) {
  bindings_[Upper(id)] = DriverBinding{service, std::move(upper_filters), std::move(lower_filters), {}, {}};
}

void PnpManager::SetSetupClass(const std::string& id, const std::string& setup_class) {
  setup_classes_[Upper(id)] = setup_class;
}

void PnpManager::SetSecurity(const std::string& id, const std::string& sddl) {
  if (!ParseSddl(sddl)) throw std::invalid_argument("unreadable Security value \"" + sddl + "\" for " + id);
  security_[Upper(id)] = sddl;
}

DriverBinding PnpManager::BindingFor(const DeviceNode& node) const {
  // Hardware IDs first, most specific first; then compatible IDs.
  for (const auto* ids : {&node.hardware_ids, &node.compatible_ids}) {
    for (const std::string& id : *ids) {
      auto it = bindings_.find(Upper(id));
      if (it == bindings_.end()) continue;
      DriverBinding binding = it->second;
      auto setup_class = setup_classes_.find(Upper(id));
      if (setup_class != setup_classes_.end()) binding.setup_class = setup_class->second;
      auto security = security_.find(Upper(id));
      if (security != security_.end()) binding.security = security->second;
      return binding;
    }
  }
  return {};
}

IO_STATUS_BLOCK PnpManager::SendPnp(DeviceNode* node, UCHAR minor, const std::function<void(IO_STACK_LOCATION*)>& fill,
                                    ULONG_PTR information) {
  IoRequest request;
  request.major = IRP_MJ_PNP;
  request.minor = minor;
  request.initial_status = STATUS_NOT_SUPPORTED;
  request.initial_information = information;
  request.fill = fill;
  return K().io->SendAndWait(node->pdo, request);
}

std::vector<std::string> PnpManager::QueryIds(DeviceNode* node, BUS_QUERY_ID_TYPE type, bool* valid) {
  IO_STATUS_BLOCK result =
      SendPnp(node, IRP_MN_QUERY_ID, [type](IO_STACK_LOCATION* stack) { stack->Parameters.QueryId.IdType = type; });
  if (!NT_SUCCESS(result.Status) || !result.Information) return {};
  auto* list = reinterpret_cast<WCHAR*>(result.Information);
  IdAnswer answer = ReadIdAnswer(type, list, PoolChars(list));
  ExFreePool(list);
  if (!answer.problem.empty()) {
    // Windows stops with PNP_DETECTED_FATAL_ERROR (0xCA).
    std::string shown;
    for (const std::string& id : answer.ids) shown += (shown.empty() ? "\"" : " \"") + id + "\"";
    ReportBadNode(node, "pnp-bad-id",
                  "the " + std::string(IdTypeName(type)) + " answer " + shown + " of " +
                      K().io->DescribeDevice(node->pdo) + " is not valid: " + answer.problem);
    *valid = false;
  }
  return answer.ids;
}

void PnpManager::ReportBadNode(DeviceNode* node, const std::string& rule, const std::string& detail) {
  K().verifier->Report(rule, K().io->DriverNameOf(node->pdo), detail);
}

std::string PnpManager::QueryText(DeviceNode* node, DEVICE_TEXT_TYPE type) {
  IO_STATUS_BLOCK result = SendPnp(node, IRP_MN_QUERY_DEVICE_TEXT, [type](IO_STACK_LOCATION* stack) {
    stack->Parameters.QueryDeviceText.DeviceTextType = type;
    stack->Parameters.QueryDeviceText.LocaleId = 0x409;
  });
  if (!NT_SUCCESS(result.Status) || !result.Information) return {};
  auto* text = reinterpret_cast<WCHAR*>(result.Information);
  std::vector<std::string> strings = MultiStringEntries(text, PoolChars(text));
  ExFreePool(text);
  return strings.empty() ? std::string() : strings[0];
}

// ---------------------------------------------------------------------------
// Arrival, stacks, start and enumeration.

DeviceNode* PnpManager::NewNode(DEVICE_OBJECT* pdo, DeviceNode* parent) {
  auto node = std::make_unique<DeviceNode>();
  node->pdo = pdo;
  node->parent = parent;
  pdo->DeviceObjectExtension->DeviceNode = node.get();
  DeviceNode* raw = node.get();
  if (parent) parent->children.push_back(raw);
  nodes_.push_back(std::move(node));
  return raw;
}

DeviceNode* PnpManager::DeviceArrived(DEVICE_OBJECT* pdo) {
  DeviceNode* node = nullptr;
  Run([&] {
    ObfReferenceObject(pdo);  // the node's reference, dropped after removal
    node = NewNode(pdo, nullptr);
    ProcessNewNode(node);
  });
  return node;
}

// A bus whose instance IDs are unique only on the bus (UniqueID FALSE)
// gets every child's instance ID prefixed with a part naming the parent, so
// that two cards' "ZARKLINK\*KVRCOM01\0000" stay apart; a root device's
// bus already answers the full instance ID. A path taken twice is the bus
// driver's fault (Windows stops with PNP_DETECTED_FATAL_ERROR).
bool PnpManager::AssignInstancePath(DeviceNode* node) {
  const bool unique = node->capabilities.UniqueID != 0;
  if (node->device_id.size() + node->instance_id.size() >= MaxInstancePathLength(unique)) {
    ReportBadNode(node, "pnp-bad-id",
                  "device ID \"" + node->device_id + "\" and instance ID \"" + node->instance_id + "\" of " +
                      K().io->DescribeDevice(node->pdo) + " are too long together (at most " +
                      std::to_string(MaxInstancePathLength(unique) - 1) + " characters)");
    return false;
  }
  if (node->parent && !unique) node->instance_id = ParentIdPrefix(*node->parent) + node->instance_id;
  for (const auto& other : nodes_) {
    if (other.get() == node || other->Gone() || Upper(other->InstancePath()) != Upper(node->InstancePath())) continue;
    ReportBadNode(node, "pnp-duplicate-instance",
                  K().io->DescribeDevice(node->pdo) + " has the instance path " + node->InstancePath() +
                      (unique ? ", which its bus calls unique system-wide," : "") + " of " +
                      K().io->DescribeDevice(other->pdo));
    return false;
  }
  return true;
}

// In the order Windows asks a new device: its device ID, the bus driver's
// capabilities, its instance ID, hardware and compatible IDs and texts;
// then, when a driver is installed, requirements, stack and start.
void PnpManager::ProcessNewNode(DeviceNode* node) {
  // The first malformed answer ends it (Windows stops there).
  bool valid = true;
  auto fail = [node] {
    node->state = DeviceNode::State::Failed;
    node->problem = STATUS_INVALID_PARAMETER;
  };
  auto device_ids = QueryIds(node, BusQueryDeviceID, &valid);
  node->device_id = device_ids.empty() ? "" : device_ids[0];
  if (!valid || node->device_id.empty()) return fail();
  QueryCapabilities(node);
  auto instance_ids = QueryIds(node, BusQueryInstanceID, &valid);
  node->instance_id = instance_ids.empty() ? "" : instance_ids[0];
  if (!valid) return fail();
  node->hardware_ids = QueryIds(node, BusQueryHardwareIDs, &valid);
  if (valid) node->compatible_ids = QueryIds(node, BusQueryCompatibleIDs, &valid);
  if (!valid || !AssignInstancePath(node)) return fail();
  node->description = QueryText(node, DeviceTextDescription);
  node->location = QueryText(node, DeviceTextLocationInformation);
  node->binding = BindingFor(*node);
  node->service = node->binding.service;
  WriteInstanceKey(*node);
  // A device whose driver is not installed waits without one, as on Windows.
  if (node->service.empty() || !DriverInstalled(node->service)) return;
  if (node->binding.setup_class == kPortsClass) InstallPort(*node);
  if (NT_SUCCESS(BringUp(node))) Enumerate(node);
}

void PnpManager::QueryCapabilities(DeviceNode* node) {
  DEVICE_CAPABILITIES caps;
  std::memset(&caps, 0, sizeof caps);
  caps.Size = sizeof caps;
  caps.Version = 1;
  caps.Address = MAXULONG;
  caps.UINumber = MAXULONG;
  SendPnp(node, IRP_MN_QUERY_CAPABILITIES,
          [&caps](IO_STACK_LOCATION* stack) { stack->Parameters.DeviceCapabilities.Capabilities = &caps; });
  node->capabilities = caps;
}

// The requirements come from the bus driver before any driver is added.
NTSTATUS PnpManager::BringUp(DeviceNode* node) {
  IO_RESOURCE_REQUIREMENTS_LIST* requirements = QueryRequirements(node);
  NTSTATUS status = BuildStack(node);
  if (!NT_SUCCESS(status)) {
    if (requirements) ExFreePool(requirements);
    return status;
  }
  return AssignAndStart(node, requirements, true);
}

IO_RESOURCE_REQUIREMENTS_LIST* PnpManager::QueryRequirements(DeviceNode* node) {
  IO_STATUS_BLOCK query = SendPnp(node, IRP_MN_QUERY_RESOURCE_REQUIREMENTS);
  return NT_SUCCESS(query.Status) ? reinterpret_cast<IO_RESOURCE_REQUIREMENTS_LIST*>(query.Information) : nullptr;
}

NTSTATUS PnpManager::BuildStack(DeviceNode* node) {
  std::vector<std::string> services = node->binding.lower_filters;
  services.push_back(node->binding.service);
  services.insert(services.end(), node->binding.upper_filters.begin(), node->binding.upper_filters.end());
  node->drivers.clear();
  node->function_driver = nullptr;
  NTSTATUS status = STATUS_SUCCESS;
  for (const std::string& service : services) {
    DriverRecord* driver = K().io->FindDriver(service);
    if (!driver) {
      std::string error;
      driver = DriverInstalled(service) ? K().io->LoadDriver(service, &status, &error) : nullptr;
      if (!driver && NT_SUCCESS(status)) status = STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (driver) {
      if (service == node->binding.service) node->function_driver = driver;
      node->drivers.push_back(driver);
      status = driver->extension.AddDevice ? driver->extension.AddDevice(&driver->object, node->pdo) : STATUS_SUCCESS;
    }
    if (!NT_SUCCESS(status)) {
      // The drivers already added tear their devices down again.
      if (node->pdo->AttachedDevice) SendPnp(node, IRP_MN_REMOVE_DEVICE);
      node->state = DeviceNode::State::Failed;
      node->problem = status;
      for (DriverRecord* added : node->drivers) UnloadIfUnused(added);
      return status;
    }
  }
  ApplySecurity(*node);
  node->state = DeviceNode::State::DriversAdded;
  return STATUS_SUCCESS;
}

void PnpManager::ApplySecurity(const DeviceNode& node) {
  if (node.binding.security.empty()) return;
  auto descriptor = std::make_shared<const SecurityDescriptor>(*ParseSddl(node.binding.security));
  for (DEVICE_OBJECT* device = node.pdo; device; device = device->AttachedDevice)
    if (DeviceRecord* record = K().io->FindDevice(device)) record->security = descriptor;
}

NTSTATUS PnpManager::AssignAndStart(DeviceNode* node, IO_RESOURCE_REQUIREMENTS_LIST* requirements,
                                    bool first_start) {
  // Every driver of the stack may edit the list, or replace it (freeing the
  // one it was given); the manager frees what comes back.
  IO_STATUS_BLOCK filtered = SendPnp(
      node, IRP_MN_FILTER_RESOURCE_REQUIREMENTS,
      [requirements](IO_STACK_LOCATION* stack) {
        stack->Parameters.FilterResourceRequirements.IoResourceRequirementList = requirements;
      },
      reinterpret_cast<ULONG_PTR>(requirements));
  if (NT_SUCCESS(filtered.Status) && filtered.Information)
    requirements = reinterpret_cast<IO_RESOURCE_REQUIREMENTS_LIST*>(filtered.Information);
  NTSTATUS status = STATUS_SUCCESS;
  node->resources = ResourceLists{};
  if (requirements) {
    status = arbiter_.Assign(requirements, node, &node->resources);
    ExFreePool(requirements);
  }
  if (!NT_SUCCESS(status)) {
    SendPnp(node, IRP_MN_REMOVE_DEVICE);
    node->state = DeviceNode::State::Failed;
    node->problem = status;
    for (DriverRecord* driver : node->drivers) UnloadIfUnused(driver);
    return status;
  }
  const CM_RESOURCE_LIST* raw = node->resources.Raw();
  const CM_RESOURCE_LIST* translated = node->resources.Translated();
  IO_STATUS_BLOCK start = SendPnp(node, IRP_MN_START_DEVICE, [raw, translated](IO_STACK_LOCATION* stack) {
    stack->Parameters.StartDevice.AllocatedResources = const_cast<CM_RESOURCE_LIST*>(raw);
    stack->Parameters.StartDevice.AllocatedResourcesTranslated = const_cast<CM_RESOURCE_LIST*>(translated);
  });
  if (!NT_SUCCESS(start.Status)) {
    // A failed start is followed by removal of the stack, as on Windows;
    // a restarted bus's children cannot outlive it and go first.
    std::vector<DeviceNode*> children;
    for (DeviceNode* child : node->children)
      if (!child->Gone()) children.push_back(child);
    RemoveRelated(children);
    SendPnp(node, IRP_MN_REMOVE_DEVICE);
    arbiter_.Release(node);
    node->state = DeviceNode::State::Failed;
    node->problem = start.Status;
    for (DriverRecord* driver : node->drivers) UnloadIfUnused(driver);
    return start.Status;
  }
  node->state = DeviceNode::State::Started;
  node->problem = 0;
  if (node->function_driver) AddToServiceEnum(node->service, node->InstancePath());
  // A started stack is asked its capabilities again, all drivers taking
  // part, and after its first start its state; bus relations follow.
  QueryCapabilities(node);
  if (first_start) {
    IO_STATUS_BLOCK state = SendPnp(node, IRP_MN_QUERY_PNP_DEVICE_STATE);
    node->device_state = NT_SUCCESS(state.Status) ? static_cast<PNP_DEVICE_STATE>(state.Information) : 0;
  }
  return STATUS_SUCCESS;
}

void PnpManager::Enumerate(DeviceNode* node) {
  if (node->state != DeviceNode::State::Started) return;
  IO_STATUS_BLOCK result = SendPnp(node, IRP_MN_QUERY_DEVICE_RELATIONS, [](IO_STACK_LOCATION* stack) {
    stack->Parameters.QueryDeviceRelations.Type = BusRelations;
  });
  // A stack that does not answer keeps the children it had.
  if (!NT_SUCCESS(result.Status)) return;
  auto* relations = reinterpret_cast<DEVICE_RELATIONS*>(result.Information);
  std::vector<DeviceNode*> reported;
  std::vector<DeviceNode*> arrived;
  std::vector<DEVICE_OBJECT*> reported_pdos;
  for (ULONG i = 0; relations && i < relations->Count; ++i) {
    DEVICE_OBJECT* pdo = relations->Objects[i];
    if (!K().io->IsLiveDevice(pdo)) {
      K().verifier->Report("pnp-deleted-pdo-reported",
                           node->function_driver ? node->function_driver->name : K().io->DriverNameOf(node->pdo),
                           "bus relations of " + node->InstancePath() + " name " +
                               Hex(reinterpret_cast<ULONG_PTR>(pdo)) + ", a device object that was deleted");
      if (K().io->FindDevice(pdo)) ObfDereferenceObject(pdo);
      continue;
    }
    DeviceNode* known = nullptr;
    for (DeviceNode* child : node->children)
      if (child->pdo == pdo && !child->Gone()) known = child;
    reported_pdos.push_back(pdo);
    if (known) {
      ObfDereferenceObject(pdo);  // the node holds its reference already
      reported.push_back(known);
    } else {
      DeviceNode* child = NewNode(pdo, node);  // keeps the reference the driver took
      reported.push_back(child);
      arrived.push_back(child);
    }
  }
  if (relations) ExFreePool(relations);
  // A retained PDO reported again is a new node with its own reference;
  // one no longer reported gets its second remove.
  ReleaseRetained(node, &reported_pdos);
  std::vector<DeviceNode*> vanished;
  for (DeviceNode* child : node->children)
    if (child->present && !child->Gone() && std::find(reported.begin(), reported.end(), child) == reported.end())
      vanished.push_back(child);
  for (DeviceNode* child : vanished) {
    child->missing = true;
    MarkSubtreeGone(child);
    SurpriseSubtree(child);
    RemoveWhenClosed(child);
  }
  for (DeviceNode* child : arrived) ProcessNewNode(child);
}

void PnpManager::EnumerateNow(DeviceNode* node) {
  Run([&] { Enumerate(node); });
}

void PnpManager::QueueEnumeration(DEVICE_OBJECT* pdo) {
  // The node, not the PDO: the device may be removed and freed before the
  // queued enumeration runs (the node outlives it and is then gone).
  DeviceNode* node = NodeOf(pdo);
  Queue([this, node] {
    if (node && !node->Gone()) Enumerate(node);
  });
}

// ---------------------------------------------------------------------------
// Removal.

NTSTATUS PnpManager::QueryRemoveSubtree(DeviceNode* node) {
  for (DeviceNode* child : node->children) {
    if (child->Gone()) continue;
    NTSTATUS status = QueryRemoveSubtree(child);
    if (!NT_SUCCESS(status)) return status;
  }
  if (node->state != DeviceNode::State::Started && node->state != DeviceNode::State::DriversAdded) return STATUS_SUCCESS;
  IO_STATUS_BLOCK result = SendPnp(node, IRP_MN_QUERY_REMOVE_DEVICE);
  if (!NT_SUCCESS(result.Status)) return result.Status;
  node->state = DeviceNode::State::RemovePending;
  return STATUS_SUCCESS;
}

size_t PnpManager::OpenHandlesInSubtree(const DeviceNode* node) const {
  size_t count = K().io->OpenFilesOn(node);
  for (const DeviceNode* child : node->children) count += OpenHandlesInSubtree(child);
  return count;
}

std::vector<DeviceNode*> PnpManager::QueryRemovalRelations(DeviceNode* node) {
  IO_STATUS_BLOCK result = SendPnp(node, IRP_MN_QUERY_DEVICE_RELATIONS, [](IO_STACK_LOCATION* stack) {
    stack->Parameters.QueryDeviceRelations.Type = RemovalRelations;
  });
  std::vector<DeviceNode*> related;
  if (!NT_SUCCESS(result.Status) || !result.Information) return related;
  auto* relations = reinterpret_cast<DEVICE_RELATIONS*>(result.Information);
  for (ULONG i = 0; i < relations->Count; ++i) {
    DEVICE_OBJECT* device = relations->Objects[i];
    DeviceNode* other = K().io->IsLiveDevice(device) ? NodeOf(device) : nullptr;
    if (other && other->pdo == device && !other->Gone() && !InSubtree(other, node) &&
        std::find(related.begin(), related.end(), other) == related.end())
      related.push_back(other);
    if (K().io->FindDevice(device)) ObfDereferenceObject(device);
  }
  ExFreePool(relations);
  return related;
}

// A handle holder that does not close vetoes the removal, as one that
// ignores the query-remove notification does on Windows.
NTSTATUS PnpManager::QueryRemoveOrCancel(const std::vector<DeviceNode*>& nodes) {
  for (DeviceNode* node : nodes)
    if (OpenHandlesInSubtree(node)) return STATUS_PLUGPLAY_QUERY_VETOED;
  NTSTATUS status = STATUS_SUCCESS;
  for (DeviceNode* node : nodes) {
    status = QueryRemoveSubtree(node);
    if (!NT_SUCCESS(status)) break;
  }
  if (!NT_SUCCESS(status))
    for (DeviceNode* node : nodes) CancelRemoveSubtree(node);
  return status;
}

void PnpManager::RemoveWhenClosed(DeviceNode* node) {
  if (OpenHandlesInSubtree(node)) {
    node->remove_when_closed = true;  // cleanup and close still reach the stack
    return;
  }
  RemoveSubtree(node, false);
}

void PnpManager::HandleClosed(DeviceNode* node) {
  for (DeviceNode* waiting = node; waiting; waiting = waiting->parent) {
    if (!waiting->remove_when_closed) continue;
    if (OpenHandlesInSubtree(waiting)) return;
    waiting->remove_when_closed = false;
    Queue([this, waiting] {
      if (!waiting->Gone()) RemoveSubtree(waiting, false);
    });
    return;
  }
}

void PnpManager::CancelRemoveSubtree(DeviceNode* node) {
  for (DeviceNode* child : node->children)
    if (!child->Gone()) CancelRemoveSubtree(child);
  // Everyone asked hears the cancel, the one that vetoed included.
  if (node->pdo->AttachedDevice || node->state == DeviceNode::State::RemovePending) {
    SendPnp(node, IRP_MN_CANCEL_REMOVE_DEVICE);
    if (node->state == DeviceNode::State::RemovePending) node->state = DeviceNode::State::Started;
  }
}

void PnpManager::MarkSubtreeGone(DeviceNode* node) {
  node->present = false;
  for (DeviceNode* child : node->children) MarkSubtreeGone(child);
}

void PnpManager::SurpriseSubtree(DeviceNode* node) {
  for (DeviceNode* child : node->children)
    if (!child->Gone()) SurpriseSubtree(child);
  if (node->state == DeviceNode::State::Started || node->state == DeviceNode::State::StopPending ||
      node->state == DeviceNode::State::RemovePending || node->state == DeviceNode::State::Stopped) {
    SendPnp(node, IRP_MN_SURPRISE_REMOVAL);
    node->state = DeviceNode::State::SurpriseRemoved;
  }
}

void PnpManager::RemoveSubtree(DeviceNode* node, bool keep_node) {
  for (DeviceNode* child : std::vector<DeviceNode*>(node->children))
    if (!child->Gone()) RemoveSubtree(child, false);
  const bool was_running = node->state != DeviceNode::State::Initialized && node->state != DeviceNode::State::Failed &&
                           node->state != DeviceNode::State::Disabled;
  // The bus driver gets the remove of its PDO too; it deletes the PDO when
  // the device is no longer present.
  if (was_running || !keep_node) SendPnp(node, IRP_MN_REMOVE_DEVICE);
  // The bus's own removal took the PDOs it still kept.
  ReleaseRetained(node, nullptr);
  arbiter_.Release(node);
  node->resources = ResourceLists{};
  if (node->function_driver) RemoveFromServiceEnum(node->service, node->InstancePath());
  std::vector<DriverRecord*> drivers = node->drivers;
  node->drivers.clear();
  node->function_driver = nullptr;
  if (keep_node) {
    node->state = DeviceNode::State::Disabled;
  } else {
    FinishRemoval(node);
  }
  for (DriverRecord* driver : drivers) UnloadIfUnused(driver);
}

void PnpManager::FinishRemoval(DeviceNode* node) {
  DEVICE_OBJECT* pdo = node->pdo;
  node->state = DeviceNode::State::Removed;
  node->pdo = nullptr;
  DetachFromParent(node);
  // A PDO its bus kept after the remove (the device is still there) waits,
  // with the node's reference, for the bus to stop reporting it.
  if (node->parent && !node->parent->Gone() && !node->missing && K().io->IsLiveDevice(pdo)) {
    node->parent->retained.push_back(pdo);
    return;
  }
  ObfDereferenceObject(pdo);
}

void PnpManager::ReleaseRetained(DeviceNode* node, const std::vector<DEVICE_OBJECT*>* reported) {
  std::vector<DEVICE_OBJECT*> retained;
  retained.swap(node->retained);
  for (DEVICE_OBJECT* pdo : retained) {
    // Reported again, it became a new node with a reference of its own;
    // gone from the relations, its bus gets the second remove.
    const bool gone = reported && std::find(reported->begin(), reported->end(), pdo) == reported->end();
    if (gone && K().io->IsLiveDevice(pdo)) {
      IoRequest request;
      request.major = IRP_MJ_PNP;
      request.minor = IRP_MN_REMOVE_DEVICE;
      request.initial_status = STATUS_NOT_SUPPORTED;
      K().io->SendAndWait(pdo, request);
    }
    ObfDereferenceObject(pdo);
  }
}

void PnpManager::DetachFromParent(DeviceNode* node) {
  if (!node->parent) return;
  auto& siblings = node->parent->children;
  siblings.erase(std::remove(siblings.begin(), siblings.end(), node), siblings.end());
}

void PnpManager::UnloadIfUnused(DriverRecord* driver) {
  if (!driver->image || driver->object.DeviceObject) return;
  K().io->UnloadDriver(driver);
}

// ---------------------------------------------------------------------------
// User actions.

NTSTATUS PnpManager::RunAction(DeviceNode* node, const std::function<NTSTATUS()>& action) {
  NTSTATUS status = STATUS_NO_SUCH_DEVICE;
  Run([&] {
    if (!node->Gone()) status = action();
  });
  return status;
}

// Removal relations are asked first; the related devices are queried and
// removed before the device itself.
NTSTATUS PnpManager::QueryRemoveWithRelations(DeviceNode* node, std::vector<DeviceNode*>* related) {
  *related = QueryRemovalRelations(node);
  std::vector<DeviceNode*> leaving = *related;
  leaving.push_back(node);
  return QueryRemoveOrCancel(leaving);
}

void PnpManager::RemoveRelated(const std::vector<DeviceNode*>& related) {
  for (DeviceNode* each : related) {
    MarkSubtreeGone(each);
    RemoveSubtree(each, false);
  }
}

NTSTATUS PnpManager::RemoveDevice(DeviceNode* node) {
  return RunAction(node, [&] {
    std::vector<DeviceNode*> related;
    NTSTATUS status = QueryRemoveWithRelations(node, &related);
    if (!NT_SUCCESS(status)) return status;
    RemoveRelated(related);
    MarkSubtreeGone(node);
    RemoveSubtree(node, false);
    return STATUS_SUCCESS;
  });
}

NTSTATUS PnpManager::DisableDevice(DeviceNode* node) {
  return RunAction(node, [&] {
    if (node->state == DeviceNode::State::Disabled) return STATUS_INVALID_DEVICE_STATE;
    std::vector<DeviceNode*> related;
    NTSTATUS status = QueryRemoveWithRelations(node, &related);
    if (!NT_SUCCESS(status)) return status;
    RemoveRelated(related);
    RemoveSubtree(node, true);
    return STATUS_SUCCESS;
  });
}

NTSTATUS PnpManager::EnableDevice(DeviceNode* node) {
  return RunAction(node, [&] {
    if (node->state != DeviceNode::State::Disabled) return STATUS_INVALID_DEVICE_STATE;
    node->state = DeviceNode::State::Initialized;
    // Without an installed driver the device waits without one, as at arrival.
    if (node->service.empty() || !DriverInstalled(node->service)) return STATUS_SUCCESS;
    NTSTATUS status = BringUp(node);
    if (NT_SUCCESS(status)) Enumerate(node);
    return status;
  });
}

NTSTATUS PnpManager::SurpriseRemove(DeviceNode* node) {
  return RunAction(node, [&] {
    MarkSubtreeGone(node);
    SurpriseSubtree(node);
    RemoveWhenClosed(node);
    return STATUS_SUCCESS;
  });
}

// A rebalance of a node rebalances its whole subtree, as Windows does: every
// started stack below it is queried and stopped first (the leaves first),
// and a veto anywhere cancels the stop on every stack that was queried.
// The node then starts on its new resources and its children start again
// on theirs, parents before children.
NTSTATUS PnpManager::Rebalance(DeviceNode* node, bool move_resources) {
  return RunAction(node, [&] {
    if (node->state != DeviceNode::State::Started) return STATUS_INVALID_DEVICE_STATE;
    std::vector<DeviceNode*> stacks;  // leaves first, the node last
    std::function<void(DeviceNode*)> collect = [&](DeviceNode* each) {
      for (DeviceNode* child : each->children)
        if (!child->Gone()) collect(child);
      if (each->state == DeviceNode::State::Started) stacks.push_back(each);
    };
    collect(node);
    std::vector<DeviceNode*> queried;
    for (DeviceNode* each : stacks) {
      IO_STATUS_BLOCK query = SendPnp(each, IRP_MN_QUERY_STOP_DEVICE);
      queried.push_back(each);
      if (!NT_SUCCESS(query.Status)) {
        for (auto it = queried.rbegin(); it != queried.rend(); ++it) {
          SendPnp(*it, IRP_MN_CANCEL_STOP_DEVICE);
          (*it)->state = DeviceNode::State::Started;
        }
        return query.Status;
      }
      each->state = DeviceNode::State::StopPending;
    }
    for (DeviceNode* each : stacks) {
      SendPnp(each, IRP_MN_STOP_DEVICE);
      each->state = DeviceNode::State::Stopped;
    }
    // Keep the old ranges taken while assigning anew, so that they move.
    int blocker = 0;
    arbiter_.Release(node);
    if (move_resources) arbiter_.Reserve(node->resources.Raw(), &blocker);
    NTSTATUS status = AssignAndStart(node, QueryRequirements(node), false);
    arbiter_.Release(&blocker);
    stacks.pop_back();
    if (!NT_SUCCESS(status)) return status;  // its children went with it
    for (auto it = stacks.rbegin(); it != stacks.rend(); ++it) {
      DeviceNode* each = *it;
      if (each->Gone() || each->state != DeviceNode::State::Stopped) continue;
      arbiter_.Release(each);
      AssignAndStart(each, QueryRequirements(each), false);
    }
    Enumerate(node);
    return status;
  });
}

NTSTATUS PnpManager::Eject(DeviceNode* node) {
  return RunAction(node, [&] {
    std::vector<DeviceNode*> related;
    NTSTATUS status = QueryRemoveWithRelations(node, &related);
    if (!NT_SUCCESS(status)) return status;
    RemoveRelated(related);
    SendPnp(node, IRP_MN_EJECT);
    MarkSubtreeGone(node);
    RemoveSubtree(node, false);
    return STATUS_SUCCESS;
  });
}

void PnpManager::RemoveAll() {
  Run([&] {
    for (auto it = nodes_.rbegin(); it != nodes_.rend(); ++it) {
      DeviceNode* node = it->get();
      if (node->parent || node->Gone()) continue;
      MarkSubtreeGone(node);
      RemoveSubtree(node, false);
    }
  });
}

DeviceNode* PnpManager::NodeOf(const DEVICE_OBJECT* device) const {
  return static_cast<DeviceNode*>(device->DeviceObjectExtension->DeviceNode);
}

DeviceNode* PnpManager::StackNode(const DEVICE_OBJECT* device) const {
  while (device->DeviceObjectExtension->AttachedTo) device = device->DeviceObjectExtension->AttachedTo;
  return NodeOf(device);
}

bool PnpManager::AcceptsOpens(const DeviceNode& node) {
  switch (node.state) {
    case DeviceNode::State::Started:
    case DeviceNode::State::StopPending:
    case DeviceNode::State::Stopped:
    case DeviceNode::State::RemovePending:
      return true;
    default:
      return false;
  }
}

std::vector<DeviceNode*> PnpManager::LiveNodes() const {
  std::vector<DeviceNode*> out;
  for (const auto& node : nodes_)
    if (!node->Gone()) out.push_back(node.get());
  return out;
}

}  // namespace sim

extern "C" void IoInvalidateDeviceRelations(PDEVICE_OBJECT DeviceObject, DEVICE_RELATION_TYPE Type) {
  if (!sim::CheckIrql("IoInvalidateDeviceRelations", DISPATCH_LEVEL)) return;
  // Windows stops with PNP_DETECTED_FATAL_ERROR (0xCA) for anything but a PDO.
  sim::DeviceNode* node =
      sim::K().io->IsLiveDevice(DeviceObject) ? sim::K().pnp->NodeOf(DeviceObject) : nullptr;
  if (!node || node->pdo != DeviceObject) {
    sim::ReportCaller(SIM_CALLER(), "not-a-pdo",
                      "IoInvalidateDeviceRelations on " + sim::K().io->DescribeDevice(DeviceObject) +
                          ", which is not a physical device object");
    return;
  }
  // Only bus relations change the tree in this model.
  if (Type == BusRelations) sim::K().pnp->QueueEnumeration(DeviceObject);
}
