#include "thread.hpp"

#if defined(__linux__)
#include <pthread.h>
#endif

namespace tessaloom::storage::detail {

CpuSet current_cpus() noexcept {
  CpuSet set;
#if defined(__linux__)
  set.known = pthread_getaffinity_np(pthread_self(), sizeof set.cpus, &set.cpus) == 0;
#endif
  return set;
}

void move_off_caller([[maybe_unused]] std::thread& thread, [[maybe_unused]] const CpuSet& cpus) noexcept {
#if defined(__linux__)
  if (!cpus.known) return;
  cpu_set_t others = cpus.cpus;
  const int here = sched_getcpu();
  if (here < 0 || here >= CPU_SETSIZE || !CPU_ISSET(here, &others)) return;
  CPU_CLR(here, &others);
  if (CPU_COUNT(&others) > 0) pthread_setaffinity_np(thread.native_handle(), sizeof others, &others);
#endif
}

void allow([[maybe_unused]] const CpuSet& cpus) noexcept {
#if defined(__linux__)
  if (cpus.known) pthread_setaffinity_np(pthread_self(), sizeof cpus.cpus, &cpus.cpus);
#endif
}

}  // namespace tessaloom::storage::detail
