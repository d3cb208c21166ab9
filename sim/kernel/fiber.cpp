#include "sim/kernel/fiber.h"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <boost/context/detail/fcontext.hpp>
#include <cstdio>
#include <cstdlib>

#if defined(__SANITIZE_ADDRESS__)
#define SIM_FIBER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SIM_FIBER_ASAN 1
#endif
#endif

#ifdef SIM_FIBER_ASAN
#include <sanitizer/common_interface_defs.h>
#endif

namespace sim {

namespace ctx = boost::context::detail;

struct FiberAccess {
  // Where a switch lands: records the context of the fiber that was left.
  static void Landed(ctx::transfer_t transfer, void* fake_stack) {
    auto* left = static_cast<Fiber*>(transfer.data);
    left->context_ = transfer.fctx;
#ifdef SIM_FIBER_ASAN
    __sanitizer_finish_switch_fiber(fake_stack, nullptr, nullptr);
#else
    (void)fake_stack;
#endif
  }

  static void Start(ctx::transfer_t transfer) {
    Fiber* self = static_cast<Fiber*>(transfer.data)->switching_to_;
    Landed(transfer, nullptr);
    self->entry_();
    std::fprintf(stderr, "simulator: a fiber's entry returned\n");
    std::abort();
  }

  static ctx::transfer_t Jump(Fiber* from, Fiber* to, void** fake_stack) {
#ifdef SIM_FIBER_ASAN
    __sanitizer_start_switch_fiber(fake_stack, to->stack_bottom_, to->stack_size_);
#else
    (void)fake_stack;
#endif
    from->switching_to_ = to;
    return ctx::jump_fcontext(to->context_, from);
  }
};

Fiber::Fiber() : started_(true) {
  // The OS thread's stack bounds, which the sanitizer needs when switching back.
  pthread_attr_t attributes;
  if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
    void* address = nullptr;
    size_t size = 0;
    pthread_attr_getstack(&attributes, &address, &size);
    stack_bottom_ = address;
    stack_size_ = size;
    pthread_attr_destroy(&attributes);
  }
}

Fiber::Fiber(size_t stack_size, std::function<void()> entry) : entry_(std::move(entry)) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  stack_size = (stack_size + page - 1) / page * page;
  mapping_size_ = stack_size + page;
  stack_ = mmap(nullptr, mapping_size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (stack_ == MAP_FAILED) {
    std::fprintf(stderr, "simulator: no memory for a fiber's stack\n");
    std::abort();
  }
  mprotect(stack_, page, PROT_NONE);  // guard page below the stack: an overflow faults
  stack_bottom_ = static_cast<char*>(stack_) + page;
  stack_size_ = stack_size;
  context_ = ctx::make_fcontext(static_cast<char*>(stack_) + mapping_size_, stack_size_, &FiberAccess::Start);
}

Fiber::~Fiber() {
  if (stack_) munmap(stack_, mapping_size_);
}

void Fiber::Switch(Fiber* from, Fiber* to) {
  to->started_ = true;
  void* fake_stack = nullptr;
  ctx::transfer_t transfer = FiberAccess::Jump(from, to, &fake_stack);
  FiberAccess::Landed(transfer, fake_stack);
}

void Fiber::SwitchForever(Fiber* from, Fiber* to) {
  to->started_ = true;
  // No fake stack to keep: the sanitizer frees the one of the fiber left.
  FiberAccess::Jump(from, to, nullptr);
  std::fprintf(stderr, "simulator: a finished fiber was resumed\n");
  std::abort();
}

}  // namespace sim
