// A simulated execution context: a kernel thread, or the DPC or interrupt
// context of a virtual processor. Each runs on a fiber of its own. The
// thread object drivers see is _KTHREAD.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "nt/basetypes.h"
#include "nt/ke.h"
#include "sim/kernel/fiber.h"
#include "sim/kernel/scheduler.h"

namespace sim {
class SimThread;
struct Token;
}

// The thread object: waitable (signalled when the thread ends).
struct _KTHREAD {
  DISPATCHER_HEADER Header;
  sim::SimThread* Thread;
};

namespace sim {

class SimThread {
 public:
  enum class State { Ready, Running, Waiting, Terminated };
  enum class Kind { Thread, Dpc, Interrupt };

  int id = 0;
  std::string name;
  Kind kind = Kind::Thread;
  const DriverImage* owner = nullptr;  // the driver that created it; null: kernel
  State state = State::Ready;
  KIRQL irql = PASSIVE_LEVEL;
  KPRIORITY priority = 8;
  _KTHREAD object{};
  std::function<void()> body;
  std::unique_ptr<Fiber> fiber;
  bool adopted = false;  // the OS thread existed before the machine
  bool stop_requested = false;
  LONG object_references = 0;
  NTSTATUS exit_status = 0;

  // The virtual processor it runs on, or -1. A thread keeps its processor
  // while it is interrupted or runs at DISPATCH_LEVEL or above; a DPC or
  // interrupt context always belongs to its processor.
  int processor = -1;
  // The DPC or interrupt service routine a processor's context runs, or null.
  const void* running_routine = nullptr;
  // A spin lock it waits for (spinning), or null.
  const volatile KSPIN_LOCK* spinning_on = nullptr;

  // The wait in progress.
  DISPATCHER_HEADER* waiting_on = nullptr;
  LONGLONG wait_deadline = -1;
  bool has_timeout_entry = false;
  TimerEntry timeout_entry{};
  NTSTATUS wait_status = 0;
  // The token it acts with; null: the system's.
  std::shared_ptr<const Token> token;
};

}  // namespace sim
