// A simulated kernel thread and the thread object drivers see (_KTHREAD).
#pragma once

#include <pthread.h>

#include <condition_variable>
#include <functional>
#include <string>

#include "nt/basetypes.h"
#include "nt/ke.h"
#include "sim/kernel/scheduler.h"

namespace sim {
class SimThread;
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

  int id = 0;
  std::string name;
  const DriverImage* owner = nullptr;  // the driver that created it; null: kernel
  State state = State::Ready;
  KIRQL irql = PASSIVE_LEVEL;
  KPRIORITY priority = 8;
  _KTHREAD object{};
  std::function<void()> body;
  std::condition_variable wake;
  pthread_t os_thread{};
  bool adopted = false;  // the OS thread existed before the machine
  bool started = false;
  bool stop_requested = false;
  LONG object_references = 0;
  NTSTATUS exit_status = 0;

  // The wait in progress.
  DISPATCHER_HEADER* waiting_on = nullptr;
  LONGLONG wait_deadline = -1;
  bool has_timeout_entry = false;
  TimerEntry timeout_entry{};
  NTSTATUS wait_status = 0;
  const char* wait_reason = "";
};

}  // namespace sim
