#include "app/task_progress.h"

#include <unistd.h>

#include <atomic>
#include <cstring>
#include <iostream>
#include <iterator>

namespace kadro::app {
namespace {

constexpr int kBarWidth = 30;

std::atomic<ph::PluginTask*> interruptedTask{nullptr};
std::atomic<int> receivedSignal{0};

// Ctrl-C, a terminal hung up, and a polite request to end (kill, a service
// manager) all stop the task between files, so no file is left half made.
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

void onInterrupt(int signal) {
  if (ph::PluginTask* task = interruptedTask.load()) task->setCancelled(true);
  receivedSignal.store(signal);
  static const char kMessage[] = "\nkadro: stopping after the current file\n";
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
  receivedSignal.store(0);
  struct sigaction action {};
  action.sa_handler = onInterrupt;
  sigemptyset(&action.sa_mask);
  // Let the image job's system calls go on: the task is cancelled between files.
  action.sa_flags = SA_RESTART;
  for (std::size_t i = 0; i < std::size(kStopSignals); ++i)
    sigaction(kStopSignals[i], &action, &previous_[i]);
}

CancelOnInterrupt::~CancelOnInterrupt() {
  for (std::size_t i = 0; i < std::size(kStopSignals); ++i)
    sigaction(kStopSignals[i], &previous_[i], nullptr);
  interruptedTask.store(nullptr);
}

int CancelOnInterrupt::signal() const { return receivedSignal.load(); }

}  // namespace kadro::app
