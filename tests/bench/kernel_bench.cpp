// Costs of the kernel model in wall time: switching between simulated
// threads (on fibers, against the OS-thread baton they replaced), and an
// IRP's round trip through a three-deep device stack.
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "sim/kernel/io_manager.h"
#include "sim/kernel/scheduler.h"
#include "sim/machine/machine.h"
#include "support/test_devices.h"
#include "wdm.h"

namespace {

struct PingPong {
  KEVENT ping;
  KEVENT pong;
  bool stop = false;
};

KSTART_ROUTINE Ponger;
void Ponger(PVOID context) {
  auto* state = static_cast<PingPong*>(context);
  for (;;) {
    KeWaitForSingleObject(&state->ping, Executive, KernelMode, FALSE, nullptr);
    if (state->stop) break;
    KeSetEvent(&state->pong, IO_NO_INCREMENT, FALSE);
  }
}

// Each iteration hands the processor to the other thread and back.
void BM_ThreadSwitch(benchmark::State& bench) {
  sim::Machine machine;
  PingPong state;
  KeInitializeEvent(&state.ping, SynchronizationEvent, FALSE);
  KeInitializeEvent(&state.pong, SynchronizationEvent, FALSE);
  HANDLE thread = nullptr;
  PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, Ponger, &state);
  ZwClose(thread);
  const uint64_t before = machine.kernel().scheduler->switches();
  for (auto _ : bench) {
    KeSetEvent(&state.ping, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&state.pong, Executive, KernelMode, FALSE, nullptr);
  }
  const uint64_t switches = machine.kernel().scheduler->switches() - before;
  bench.counters["switches_per_second"] = benchmark::Counter(static_cast<double>(switches), benchmark::Counter::kIsRate);
  state.stop = true;
  KeSetEvent(&state.ping, IO_NO_INCREMENT, FALSE);
  machine.Shutdown();
}
BENCHMARK(BM_ThreadSwitch)->UseRealTime();

// The baseline the fibers replaced: one OS thread per simulated thread, the
// processor handed over as a baton under a mutex and a condition variable.
void BM_OsThreadBatonSwitch(benchmark::State& bench) {
  std::mutex mutex;
  std::condition_variable wake[2];
  int holder = 0;
  bool stop = false;
  uint64_t switches = 0;
  std::thread other([&] {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      wake[1].wait(lock, [&] { return holder == 1; });
      if (stop) return;
      holder = 0;
      ++switches;
      wake[0].notify_one();
    }
  });
  {
    std::unique_lock<std::mutex> lock(mutex);
    for (auto _ : bench) {
      holder = 1;
      ++switches;
      wake[1].notify_one();
      wake[0].wait(lock, [&] { return holder == 0; });
    }
    stop = true;
    holder = 1;
    wake[1].notify_one();
  }
  other.join();
  bench.counters["switches_per_second"] = benchmark::Counter(static_cast<double>(switches), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_OsThreadBatonSwitch)->UseRealTime();

DRIVER_DISPATCH PassOrComplete;
NTSTATUS PassOrComplete(PDEVICE_OBJECT device, PIRP irp) {
  PDEVICE_OBJECT lower = device->DeviceObjectExtension->AttachedTo;
  if (lower) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lower, irp);
  }
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 4;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

// A buffered control request built, sent down three drivers, completed and
// copied back, as a driver sends one to the stack below it.
void BM_IrpRoundTripThreeDeep(benchmark::State& bench) {
  sim::Machine machine;
  sim::DriverRecord* driver = machine.kernel().io->CreateBuiltinDriver("bench");
  for (auto& dispatch : driver->object.MajorFunction) dispatch = PassOrComplete;
  DEVICE_OBJECT* bottom = sim::test::CreateTestDevice(driver);
  DEVICE_OBJECT* middle = sim::test::CreateTestDevice(driver);
  DEVICE_OBJECT* top = sim::test::CreateTestDevice(driver);
  IoAttachDeviceToDeviceStack(middle, bottom);
  IoAttachDeviceToDeviceStack(top, bottom);
  ULONG input = 1, output = 0;
  for (auto _ : bench) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK status;
    PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS), top,
                                             &input, sizeof input, &output, sizeof output, FALSE, &event, &status);
    if (IoCallDriver(top, irp) == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    benchmark::DoNotOptimize(status);
  }
  IoDetachDevice(middle);
  IoDetachDevice(bottom);
  IoDeleteDevice(top);
  IoDeleteDevice(middle);
  IoDeleteDevice(bottom);
  machine.Shutdown();
}
BENCHMARK(BM_IrpRoundTripThreeDeep)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
