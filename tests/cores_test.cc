#include "SmartCrop/cores.h"

#include <gtest/gtest.h>
#include <sched.h>

namespace kadro {
namespace {

TEST(Cores, RunnableTasksComeFromTheFourthFieldOfTheLoadAverage) {
  EXPECT_EQ(runnableTasks("0.52 0.58 0.59 3/467 12345\n"), 3);
  EXPECT_EQ(runnableTasks("12.00 9.31 7.02 17/2048 99"), 17);
  EXPECT_EQ(runnableTasks("0.00  0.01  0.05  1/80 7"), 1);
  // Anything else is not guessed at: the caller then counts every core idle.
  EXPECT_EQ(runnableTasks(""), std::nullopt);
  EXPECT_EQ(runnableTasks("0.52 0.58 0.59"), std::nullopt);
  EXPECT_EQ(runnableTasks("0.52 0.58 0.59 "), std::nullopt);
  EXPECT_EQ(runnableTasks("0.52 0.58 0.59 x/467 1"), std::nullopt);
  EXPECT_EQ(runnableTasks("0.52 0.58 0.59 3"), std::nullopt);
  EXPECT_EQ(runnableTasks("0.52 0.58 0.59 3 467"), std::nullopt);
  EXPECT_EQ(runnableTasks("0.52 0.58 0.59 99999999999999/2 1"), std::nullopt);
}

TEST(Cores, TaskStateFollowsTheLastParenthesisOfTheName) {
  EXPECT_EQ(taskState("4242 (kadro) R 1 4242 4242 0 -1"), 'R');
  EXPECT_EQ(taskState("4243 (libvips worker) S 1 4242"), 'S');
  // A thread may name itself anything, parentheses and state letters too.
  EXPECT_EQ(taskState("4244 (a) R (b)) S 1 4242"), 'S');
  EXPECT_EQ(taskState("4245 (x)"), std::nullopt);
  EXPECT_EQ(taskState("4245 x R"), std::nullopt);
  EXPECT_EQ(taskState(""), std::nullopt);
}

TEST(Cores, IdleCoresStayWithinTheCoresThisProcessMayUse) {
  const int usable = usableCores();
  EXPECT_GE(usable, 1);
  const int idle = idleCores();
  EXPECT_GE(idle, 1);
  EXPECT_LE(idle, usable);

  // Pinned to one core, the process has one, busy or not.
  cpu_set_t saved;
  ASSERT_EQ(sched_getaffinity(0, sizeof saved, &saved), 0);
  cpu_set_t one;
  CPU_ZERO(&one);
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
    if (CPU_ISSET(cpu, &saved)) {
      CPU_SET(cpu, &one);
      break;
    }
  ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
  EXPECT_EQ(usableCores(), 1);
  EXPECT_EQ(idleCores(), 1);
  ASSERT_EQ(sched_setaffinity(0, sizeof saved, &saved), 0);
}

}  // namespace
}  // namespace kadro
