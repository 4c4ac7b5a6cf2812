#include "SmartCrop/cores.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
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

std::optional<char> taskState(std::string_view stat) {
  // "pid (name) S ...": the name may hold spaces and parentheses itself.
  const std::size_t close = stat.rfind(')');
  if (close == std::string_view::npos || close + 2 >= stat.size() || stat[close + 1] != ' ')
    return std::nullopt;
  return stat[close + 2];
}

namespace {

// The text of a small file under /proc; nothing when it cannot be read.
std::optional<std::string_view> readProcFile(const char* path, char* buffer, std::size_t size) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  const ssize_t n = ::read(fd, buffer, size);
  ::close(fd);
  if (n <= 0) return std::nullopt;
  return std::string_view(buffer, std::size_t(n));
}

// This process's threads that are running or waiting to run, the caller
// included.
int ownRunnableThreads() {
  DIR* tasks = ::opendir("/proc/self/task");
  if (!tasks) return 1;
  int runnable = 0;
  char path[sizeof "/proc/self/task//stat" + sizeof dirent::d_name], text[512];
  while (const dirent* entry = ::readdir(tasks)) {
    if (entry->d_name[0] == '.') continue;
    std::snprintf(path, sizeof path, "/proc/self/task/%s/stat", entry->d_name);
    const std::optional<std::string_view> stat = readProcFile(path, text, sizeof text);
    if (stat && taskState(*stat) == 'R') ++runnable;
  }
  ::closedir(tasks);
  return std::max(runnable, 1);
}

}  // namespace

int idleCores() {
  const int usable = usableCores();
  if (usable == 1) return 1;
  // The kernel's count of runnable tasks at this instant, system-wide: a
  // few small reads, cheap beside a pass of the network. Where it cannot
  // be read, every usable core counts as idle.
  char text[128];
  const std::optional<std::string_view> loadavg = readProcFile("/proc/loadavg", text, sizeof text);
  const std::optional<int> runnable = loadavg ? runnableTasks(*loadavg) : std::nullopt;
  if (!runnable) return usable;
  // This process's own runnable threads do not count against it: at the
  // start of a pass they are the pipeline's workers that just filled its
  // input, on their way back to sleep, and batches set their threads per
  // pass themselves.
  const int others = std::max(0, *runnable - ownRunnableThreads());
  return std::clamp(usable - others, 1, usable);
}

}  // namespace kadro
