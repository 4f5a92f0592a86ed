// Threads started beside the caller's, on another core from the start.
#pragma once

#include <atomic>
#include <memory>
#include <thread>
#include <utility>

#if defined(__linux__)
#include <sched.h>
#endif

namespace tessaloom::storage {

namespace detail {

// The CPUs a thread may run on, where the system says (Linux).
struct CpuSet {
#if defined(__linux__)
  cpu_set_t cpus;
#endif
  bool known = false;
};
// The calling thread's.
CpuSet current_cpus() noexcept;
// Lets `thread` run on the CPUs of `cpus` but the one the caller runs on
// now, where there are others.
void move_off_caller(std::thread& thread, const CpuSet& cpus) noexcept;
// Lets the calling thread run on every CPU of `cpus` again.
void allow(const CpuSet& cpus) noexcept;

}  // namespace detail

// Starts `work` on a new thread, or throws what std::thread throws.  A new
// thread waits on the core of the thread that starts it until the
// scheduler moves it to an idle one, which takes milliseconds on some
// machines (the caller is busy on its own core meanwhile): it is moved off
// the caller's core as soon as it exists, and may run anywhere again once
// it runs.
template <class Work>
std::thread start_thread(Work work) {
  const detail::CpuSet cpus = detail::current_cpus();
  const auto moved = std::make_shared<std::atomic<bool>>(false);
  std::thread thread([work = std::move(work), cpus, moved]() mutable {
    while (!moved->load(std::memory_order_acquire)) std::this_thread::yield();
    detail::allow(cpus);
    work();
  });
  detail::move_off_caller(thread, cpus);
  moved->store(true, std::memory_order_release);
  return thread;
}

}  // namespace tessaloom::storage
