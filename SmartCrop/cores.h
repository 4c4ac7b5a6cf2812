// How many cores the work of this process may spread over.
#pragma once

#include <optional>
#include <string_view>

namespace kadro {

// The cores this process may run on (taskset and cpusets included), which
// may be fewer than the machine has: more threads than that only take turns.
int usableCores();

// The usable cores that no other program wants right now: at least 1. Threads that wait for each
// other at every step (the face network's) lose many times over when one of them has to take turns
// with a busy program, so they are only spread over these.
int idleCores();

// The number of runnable tasks in the text of /proc/loadavg ("0.52 0.58
// 0.59 3/467 12345" gives 3); nothing for anything else.
std::optional<int> runnableTasks(std::string_view loadavg);

// The state letter of a task in the text of its /proc/.../stat ("R" for
// running or runnable); nothing for anything else.
std::optional<char> taskState(std::string_view stat);

}  // namespace kadro
