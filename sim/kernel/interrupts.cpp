#include "sim/kernel/interrupts.h"

#include <algorithm>

#include "ntstatus.h"
#include "sim/kernel/image_loader.h"
#include "sim/kernel/io_manager.h"
#include "sim/kernel/irql_rules.h"
#include "sim/kernel/kernel_internal.h"
#include "sim/kernel/pnp/resource_arbiter.h"
#include "sim/kernel/scheduler.h"
#include "sim/kernel/sim_thread.h"
#include "wdm.h"

namespace sim {

void InterruptController::SetLine(ULONG line, bool asserted) {
  Line& state = lines_[line];
  state.asserted = asserted;
  if (!asserted) {
    state.unclaimed_in_a_row = 0;
    state.masked = false;
  }
}

bool InterruptController::Asserted(ULONG line) const {
  auto it = lines_.find(line);
  return it != lines_.end() && it->second.asserted;
}

unsigned InterruptController::serviced(ULONG line) const {
  auto it = lines_.find(line);
  return it == lines_.end() ? 0 : it->second.serviced;
}

unsigned InterruptController::claimed(ULONG line) const {
  auto it = lines_.find(line);
  return it == lines_.end() ? 0 : it->second.claimed;
}

NTSTATUS InterruptController::Connect(_KINTERRUPT** object, PKSERVICE_ROUTINE routine, PVOID context,
                                      PKSPIN_LOCK lock, ULONG vector, KIRQL irql, KIRQL synchronize_irql,
                                      KINTERRUPT_MODE mode, bool shared, const DriverImage* caller) {
  const ULONG line = vector - TranslatedVector(0);
  if (!object || !routine || vector < TranslatedVector(0) || InterruptIrql(line) != irql ||
      synchronize_irql < irql || mode != LevelSensitive) {
    ReportCaller(caller, "interrupt-connect",
                 "interrupt connected with vector " + Hex(vector) + ", IRQL " + std::to_string(irql) +
                     ", synchronize IRQL " + std::to_string(synchronize_irql) +
                     (mode != LevelSensitive ? ", latched" : "") +
                     ": not what the translated resources of a level-triggered PCI line give");
    return STATUS_INVALID_PARAMETER;
  }
  Line& state = lines_[line];
  for (const auto& other : state.connected)
    if (!other->shared || !shared) return STATUS_INVALID_PARAMETER;  // the vector is not shareable
  auto interrupt = std::make_unique<_KINTERRUPT>();
  interrupt->line = line;
  interrupt->vector = vector;
  interrupt->irql = irql;
  interrupt->synchronize_irql = synchronize_irql;
  interrupt->routine = routine;
  interrupt->context = context;
  interrupt->lock = lock ? lock : &interrupt->own_lock;
  interrupt->shared = shared;
  interrupt->owner = caller;
  *object = interrupt.get();
  state.connected.push_back(std::move(interrupt));
  return STATUS_SUCCESS;
}

bool InterruptController::Disconnect(_KINTERRUPT* object) {
  auto is_object = [object](const auto& candidate) { return candidate.get() == object; };
  for (auto& [number, line] : lines_) {
    if (std::none_of(line.connected.begin(), line.connected.end(), is_object)) continue;
    // A service in progress elsewhere still uses the object: as the platform
    // does, wait until it has finished.
    while (line.in_service) K().scheduler->Yield();
    line.connected.erase(std::find_if(line.connected.begin(), line.connected.end(), is_object));
    return true;
  }
  return false;
}

bool InterruptController::IsConnected(const _KINTERRUPT* object) const {
  for (const auto& [number, line] : lines_)
    for (const auto& candidate : line.connected)
      if (candidate.get() == object) return true;
  return false;
}

size_t InterruptController::DisconnectAllOf(const DriverImage* image) {
  size_t count = 0;
  for (auto& [number, line] : lines_) {
    auto& list = line.connected;
    size_t before = list.size();
    list.erase(std::remove_if(list.begin(), list.end(), [image](const auto& i) { return i->owner == image; }),
               list.end());
    count += before - list.size();
  }
  return count;
}

std::vector<InterruptController::PendingLine> InterruptController::LinesToService() const {
  std::vector<PendingLine> pending;
  for (const auto& [number, line] : lines_)
    if (line.asserted && !line.masked && !line.in_service && !line.connected.empty())
      pending.push_back(PendingLine{number, InterruptIrql(number)});
  return pending;
}

void InterruptController::BeginService(ULONG line) { lines_[line].in_service = true; }

void InterruptController::Service(ULONG number) {
  Line& line = lines_[number];
  Scheduler& scheduler = *K().scheduler;
  ++line.serviced;
  bool claimed = false;
  const KIRQL level = scheduler.Irql();
  for (size_t i = 0; i < line.connected.size() && !claimed; ++i) {
    _KINTERRUPT* interrupt = line.connected[i].get();
    scheduler.Current()->irql = interrupt->synchronize_irql;
    scheduler.AcquireSpinLock(interrupt->lock);
    scheduler.Current()->running_routine = reinterpret_cast<const void*>(interrupt->routine);
    claimed = interrupt->routine(interrupt, interrupt->context) != FALSE;
    scheduler.Current()->running_routine = nullptr;
    *interrupt->lock = 0;
    scheduler.Current()->irql = level;
  }
  if (claimed) {
    ++line.claimed;
    line.unclaimed_in_a_row = 0;
  } else if (line.asserted && ++line.unclaimed_in_a_row >= kStormThreshold) {
    std::string owners;
    for (const auto& interrupt : line.connected) owners += (owners.empty() ? "" : ", ") + ImageName(interrupt->owner);
    K().verifier->Report("interrupt-storm", owners,
                         "interrupt line " + std::to_string(number) + " stayed asserted through " +
                             std::to_string(line.unclaimed_in_a_row) +
                             " services that no service routine claimed; the line is masked");
    line.masked = true;
  }
  line.in_service = false;
}

}  // namespace sim

using sim::K;

extern "C" {

NTSTATUS IoConnectInterrupt(PKINTERRUPT* InterruptObject, PKSERVICE_ROUTINE ServiceRoutine, PVOID ServiceContext,
                            PKSPIN_LOCK SpinLock, ULONG Vector, KIRQL Irql, KIRQL SynchronizeIrql,
                            KINTERRUPT_MODE InterruptMode, BOOLEAN ShareVector, KAFFINITY, BOOLEAN) {
  if (!sim::CheckIrql("IoConnectInterrupt", PASSIVE_LEVEL)) return STATUS_INVALID_DEVICE_STATE;
  return K().interrupts->Connect(InterruptObject, ServiceRoutine, ServiceContext, SpinLock, Vector, Irql,
                                 SynchronizeIrql, InterruptMode, ShareVector != FALSE, SIM_CALLER());
}

NTSTATUS IoConnectInterruptEx(PIO_CONNECT_INTERRUPT_PARAMETERS Parameters) {
  if (!sim::CheckIrql("IoConnectInterruptEx", PASSIVE_LEVEL)) return STATUS_INVALID_DEVICE_STATE;
  if (Parameters->Version != CONNECT_FULLY_SPECIFIED && Parameters->Version != CONNECT_FULLY_SPECIFIED_GROUP) {
    sim::ReportCaller(SIM_CALLER(), "unsupported-by-model",
                      "IoConnectInterruptEx version " + std::to_string(Parameters->Version) +
                          " (only the fully specified form is modelled)");
    return STATUS_NOT_SUPPORTED;
  }
  const IO_CONNECT_INTERRUPT_FULLY_SPECIFIED_PARAMETERS& p = Parameters->FullySpecified;
  if (!p.PhysicalDeviceObject || !K().io->IsLiveDevice(p.PhysicalDeviceObject)) return STATUS_INVALID_PARAMETER;
  return K().interrupts->Connect(p.InterruptObject, p.ServiceRoutine, p.ServiceContext, p.SpinLock, p.Vector, p.Irql,
                                 p.SynchronizeIrql, p.InterruptMode, p.ShareVector != FALSE, SIM_CALLER());
}

void IoDisconnectInterrupt(PKINTERRUPT InterruptObject) {
  sim::CheckIrql("IoDisconnectInterrupt", PASSIVE_LEVEL);
  if (!K().interrupts->Disconnect(InterruptObject)) {
    sim::ReportCaller(SIM_CALLER(), "bad-object",
                      "IoDisconnectInterrupt of " + sim::Hex(reinterpret_cast<ULONG_PTR>(InterruptObject)) +
                          ", which is not a connected interrupt");
  }
}

void IoDisconnectInterruptEx(PIO_DISCONNECT_INTERRUPT_PARAMETERS Parameters) {
  sim::CheckIrql("IoDisconnectInterruptEx", PASSIVE_LEVEL);
  if (!K().interrupts->Disconnect(Parameters->ConnectionContext.InterruptObject)) {
    sim::ReportCaller(SIM_CALLER(), "bad-object", "IoDisconnectInterruptEx of an interrupt that is not connected");
  }
}

BOOLEAN KeSynchronizeExecution(PKINTERRUPT Interrupt, PKSYNCHRONIZE_ROUTINE SynchronizeRoutine,
                               PVOID SynchronizeContext) {
  sim::Scheduler& scheduler = *K().scheduler;
  if (!sim::CheckIrql("KeSynchronizeExecution", Interrupt->synchronize_irql)) return FALSE;
  const KIRQL old = scheduler.Irql();
  scheduler.Current()->irql = Interrupt->synchronize_irql;
  scheduler.AcquireSpinLock(Interrupt->lock);
  BOOLEAN result = SynchronizeRoutine(SynchronizeContext);
  *Interrupt->lock = 0;
  scheduler.SetIrql(old);
  return result;
}

KIRQL KeAcquireInterruptSpinLock(PKINTERRUPT Interrupt) {
  sim::Scheduler& scheduler = *K().scheduler;
  const KIRQL old = scheduler.Irql();
  if (old > Interrupt->synchronize_irql) {
    sim::ReportCaller(SIM_CALLER(), "irql", "KeAcquireInterruptSpinLock above the interrupt's synchronize IRQL");
  }
  scheduler.Current()->irql = std::max(old, Interrupt->synchronize_irql);
  scheduler.AcquireSpinLock(Interrupt->lock);
  return old;
}

void KeReleaseInterruptSpinLock(PKINTERRUPT Interrupt, KIRQL OldIrql) {
  sim::Scheduler& scheduler = *K().scheduler;
  if (*Interrupt->lock != scheduler.LockMark())
    sim::ReportCaller(SIM_CALLER(), "spin-lock", "KeReleaseInterruptSpinLock of an interrupt lock not held");
  *Interrupt->lock = 0;
  scheduler.SetIrql(OldIrql);
}

ULONG KeGetCurrentProcessorNumber(void) { return K().scheduler->CurrentProcessor(); }

ULONG KeQueryActiveProcessorCount(PKAFFINITY ActiveProcessors) {
  const int count = K().scheduler->processor_count();
  if (ActiveProcessors) *ActiveProcessors = count >= 64 ? ~KAFFINITY{0} : (KAFFINITY{1} << count) - 1;
  return static_cast<ULONG>(count);
}

}  // extern "C"
