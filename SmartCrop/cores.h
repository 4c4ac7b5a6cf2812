// How many cores the work of this process may spread over.
#pragma once

#include <sched.h>

#include <algorithm>
#include <thread>

namespace kadro {

// The cores this process may run on (taskset and cpusets included), which
// may be fewer than the machine has: more threads than that only take turns.
inline int usableCores() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
  return std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
}

}  // namespace kadro
