// Work the host hands to a plug-in: an action to carry out on exported files,
// with a flag the host raises to cancel it.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/plugin_action.h"

namespace ph {

class PluginTask {
 public:
  PluginTask() = default;
  PluginTask(const PluginTask&) = delete;
  PluginTask& operator=(const PluginTask&) = delete;
  virtual ~PluginTask();

  // Set by the host from any thread (a signal handler included: the flag is
  // a lock-free atomic); the plug-in polls it between files.
  bool cancelled() const { return cancelled_.load(std::memory_order_relaxed); }
  void setCancelled(bool cancelled = true) {
    cancelled_.store(cancelled, std::memory_order_relaxed);
  }

 private:
  std::atomic<bool> cancelled_{false};
  static_assert(std::atomic<bool>::is_always_lock_free);
};

class FileHandlingPluginTask : public PluginTask {
 public:
  // `files` are paths; nothing when the host has no file list for the task.
  FileHandlingPluginTask(std::shared_ptr<PluginAction> action,
                         std::optional<std::vector<std::string>> files);
  ~FileHandlingPluginTask() override;

  const std::shared_ptr<PluginAction>& action() const { return action_; }
  const std::optional<std::vector<std::string>>& files() const { return files_; }

 private:
  std::shared_ptr<PluginAction> action_;
  std::optional<std::vector<std::string>> files_;
};

// Reports a running task's progress: files done so far, the file count and a
// line of text. Called on the thread that runs the task.
using ProgressCallback = std::function<void(const PluginTask& task, unsigned done, unsigned count,
                                            const std::string& text)>;

}  // namespace ph
