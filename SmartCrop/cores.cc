#include "SmartCrop/cores.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <thread>

namespace kadro {

int usableCores() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
  return std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
}

std::optional<int> runnableTasks(std::string_view loadavg) {
  // Three load averages, then "runnable/all".
  std::size_t at = 0;
  for (int field = 0; field < 3; ++field) {
    at = loadavg.find(' ', at);
    if (at == std::string_view::npos) return std::nullopt;
    at = loadavg.find_first_not_of(' ', at);
    if (at == std::string_view::npos) return std::nullopt;
  }
  int runnable = 0;
  const char* end = loadavg.data() + loadavg.size();
  const auto [next, ec] = std::from_chars(loadavg.data() + at, end, runnable);
  if (ec != std::errc() || next == end || *next != '/' || runnable < 0) return std::nullopt;
  return runnable;
}

int idleCores() {
  const int usable = usableCores();
  if (usable == 1) return 1;
  // The kernel's count of runnable tasks at this instant, system-wide: a
  // read of a few dozen bytes, cheap beside a pass of the network. Where it
  // cannot be read, every usable core counts as idle, as before.
  char text[128];
  const int fd = ::open("/proc/loadavg", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return usable;
  const ssize_t n = ::read(fd, text, sizeof text);
  ::close(fd);
  if (n <= 0) return usable;
  const std::optional<int> runnable = runnableTasks(std::string_view(text, std::size_t(n)));
  if (!runnable) return usable;
  // The calling thread is one of them.
  return std::clamp(usable - (*runnable - 1), 1, usable);
}

}  // namespace kadro
