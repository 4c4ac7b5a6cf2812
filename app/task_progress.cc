#include "app/task_progress.h"

#include <unistd.h>

#include <atomic>
#include <cstring>
#include <iostream>

namespace kadro::app {
namespace {

constexpr int kBarWidth = 30;

std::atomic<ph::PluginTask*> interruptedTask{nullptr};

void onInterrupt(int) {
  if (ph::PluginTask* task = interruptedTask.load()) task->setCancelled(true);
  static const char kMessage[] = "\nkadro: stopping after the current file (Ctrl-C)\n";
  // Only async-signal-safe calls here.
  [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
}

}  // namespace

TaskProgress::TaskProgress() : terminal_(::isatty(STDERR_FILENO) == 1) {}

ph::ProgressCallback TaskProgress::callback() {
  return [this](const ph::PluginTask&, unsigned done, unsigned count, const std::string& text) {
    done_ = done;
    if (!terminal_) {
      std::cerr << done << "/" << count << " " << text << "\n";
      return;
    }
    const int filled = count ? static_cast<int>(kBarWidth * static_cast<double>(done) / count) : 0;
    std::cerr << "\r\x1b[2K[" << std::string(filled, '#') << std::string(kBarWidth - filled, ' ')
              << "] " << done << "/" << count << " " << text << std::flush;
    drawn_ = true;
  };
}

void TaskProgress::finish() {
  if (drawn_) std::cerr << "\n";
  drawn_ = false;
}

CancelOnInterrupt::CancelOnInterrupt(ph::PluginTask& task) {
  interruptedTask.store(&task);
  struct sigaction action {};
  action.sa_handler = onInterrupt;
  sigemptyset(&action.sa_mask);
  // Let the image job's system calls go on: the task is cancelled between files.
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, &previous_);
}

CancelOnInterrupt::~CancelOnInterrupt() {
  sigaction(SIGINT, &previous_, nullptr);
  interruptedTask.store(nullptr);
}

}  // namespace kadro::app
