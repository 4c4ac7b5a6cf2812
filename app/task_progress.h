// How the kadro host shows a running task: a progress bar on standard error
// at a terminal, one plain line per file otherwise; and Ctrl-C (or SIGTERM,
// SIGHUP), which marks the task cancelled so the plug-in stops after the
// file it is working on.
#pragma once

#include <signal.h>

#include <string>

#include "host/plugin_task.h"

namespace kadro::app {

class TaskProgress {
 public:
  TaskProgress();
  // The callback to hand to the plug-in.
  ph::ProgressCallback callback();
  // Files reported done so far.
  unsigned done() const { return done_; }
  // Ends the bar's line, if one is drawn.
  void finish();

 private:
  bool terminal_;
  bool drawn_ = false;
  unsigned done_ = 0;
};

// While it lives, Ctrl-C (SIGINT), SIGTERM and SIGHUP cancel `task` instead
// of ending the program; the previous handlers come back afterwards.
class CancelOnInterrupt {
 public:
  explicit CancelOnInterrupt(ph::PluginTask& task);
  ~CancelOnInterrupt();
  CancelOnInterrupt(const CancelOnInterrupt&) = delete;
  CancelOnInterrupt& operator=(const CancelOnInterrupt&) = delete;

  // The signal that cancelled the task, 0 when none came.
  int signal() const;
  // The exit status after that signal: 128 + its number, as a shell reports
  // a program it ended.
  int exitStatus() const { return 128 + signal(); }

 private:
  struct sigaction previous_[3]{};
};

}  // namespace kadro::app
