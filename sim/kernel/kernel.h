// The kernel model of one simulated machine. Exactly one Kernel is current
// at a time in a process (a machine boots, runs and shuts down; then the next
// one may boot); the exported kernel routines reach it through K().
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "nt/basetypes.h"
#include "sim/kernel/handle_table.h"
#include "sim/kernel/image_loader.h"
#include "sim/kernel/scheduler.h"
#include "sim/kernel/verifier.h"

namespace sim {

class Pool;
class ObjectNamespace;
class Registry;
class FileSystem;
class IoManager;
class PnpManager;
class FaultPlan;
class WorkQueue;
class InterruptController;
class PowerManager;

struct KernelOptions {
  uint64_t seed = 1;
  int processors = 2;
  PreemptionOptions preemption;
  ImageOptions images;  // which build of the drivers the machine runs
};

class Kernel {
 public:
  explicit Kernel(const KernelOptions& options);
  ~Kernel();
  Kernel(const Kernel&) = delete;
  Kernel& operator=(const Kernel&) = delete;

  std::unique_ptr<Verifier> verifier;
  std::unique_ptr<FaultPlan> faults;
  std::unique_ptr<Scheduler> scheduler;
  std::unique_ptr<InterruptController> interrupts;
  std::unique_ptr<Pool> pool;
  std::unique_ptr<HandleTable> handles;
  std::unique_ptr<ObjectNamespace> names;
  std::unique_ptr<Registry> registry;
  std::unique_ptr<FileSystem> files;
  std::unique_ptr<ImageLoader> images;
  std::unique_ptr<IoManager> io;
  std::unique_ptr<WorkQueue> work;
  std::unique_ptr<PnpManager> pnp;
  std::unique_ptr<PowerManager> power;

  // Virtual time now, in 100 ns units since boot.
  LONGLONG Now() const;
};

// The current kernel. Calling a kernel routine with no machine running is a
// programming error of the test and aborts with a message.
Kernel& K();
bool HasKernel();

// The driver image whose code contains the address, or null for the kernel,
// the simulator and the test program. Kernel routines pass
// __builtin_return_address(0) to learn which driver called them.
const DriverImage* ImageOf(const void* code_address);

// The name of a driver image for reports ("zarkcard"), or "kernel" for null.
std::string ImageName(const DriverImage* image);

}  // namespace sim
