// How the kadro host shows a running task: a progress bar on standard error
// at a terminal, one plain line per file otherwise; and Ctrl-C, which marks
// the task cancelled so the plug-in stops after the file it is working on.
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

// While it lives, Ctrl-C (SIGINT) cancels `task` instead of ending the
// program; the previous handler comes back afterwards.
class CancelOnInterrupt {
 public:
  explicit CancelOnInterrupt(ph::PluginTask& task);
  ~CancelOnInterrupt();
  CancelOnInterrupt(const CancelOnInterrupt&) = delete;
  CancelOnInterrupt& operator=(const CancelOnInterrupt&) = delete;

 private:
  struct sigaction previous_ {};
};

}  // namespace kadro::app
