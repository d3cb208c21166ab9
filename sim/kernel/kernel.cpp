#include "sim/kernel/kernel.h"

#include <cstdio>
#include <cstdlib>

#include "sim/kernel/fault_plan.h"
#include "sim/kernel/files/file_system.h"
#include "sim/kernel/image_loader.h"
#include "sim/kernel/interrupts.h"
#include "sim/kernel/io_manager.h"
#include "sim/kernel/object_namespace.h"
#include "sim/kernel/pnp/pnp_manager.h"
#include "sim/kernel/power/power_manager.h"
#include "sim/kernel/pool.h"
#include "sim/kernel/registry/registry.h"
#include "sim/kernel/scheduler.h"
#include "sim/kernel/work_queue.h"

namespace sim {

namespace {
Kernel* current_kernel = nullptr;
}

Kernel::Kernel(const KernelOptions& options) {
  if (current_kernel) {
    std::fprintf(stderr, "simulator: only one machine can run at a time in a process\n");
    std::abort();
  }
  current_kernel = this;
  verifier = std::make_unique<Verifier>();
  faults = std::make_unique<FaultPlan>();
  scheduler = std::make_unique<Scheduler>(SchedulerOptions{options.seed, options.processors, options.preemption});
  scheduler->AdoptCurrentThread("main");
  interrupts = std::make_unique<InterruptController>();
  pool = std::make_unique<Pool>();
  handles = std::make_unique<HandleTable>();
  names = std::make_unique<ObjectNamespace>();
  registry = std::make_unique<Registry>();
  files = std::make_unique<FileSystem>();
  images = std::make_unique<ImageLoader>(options.images);
  io = std::make_unique<IoManager>();
  work = std::make_unique<WorkQueue>();
  pnp = std::make_unique<PnpManager>();
  power = std::make_unique<PowerManager>();
}

Kernel::~Kernel() {
  power.reset();
  pnp.reset();
  work.reset();
  io.reset();
  images.reset();
  files.reset();
  registry.reset();
  names.reset();
  handles.reset();
  pool.reset();
  interrupts.reset();
  scheduler.reset();
  faults.reset();
  verifier.reset();
  current_kernel = nullptr;
}

LONGLONG Kernel::Now() const { return scheduler ? scheduler->Now() : 0; }

Kernel& K() {
  if (!current_kernel) {
    std::fprintf(stderr, "simulator: a kernel routine was called with no machine running\n");
    std::abort();
  }
  return *current_kernel;
}

bool HasKernel() { return current_kernel != nullptr; }

const DriverImage* ImageOf(const void* code_address) {
  if (!current_kernel || !current_kernel->images) return nullptr;
  return current_kernel->images->Find(code_address);
}

std::string ImageName(const DriverImage* image) { return image ? image->name : "kernel"; }

}  // namespace sim
