#include "host/plugin_task.h"

namespace ph {

PluginTask::~PluginTask() = default;

FileHandlingPluginTask::FileHandlingPluginTask(std::shared_ptr<PluginAction> action,
                                               std::optional<std::vector<std::string>> files)
    : action_(std::move(action)), files_(std::move(files)) {}

FileHandlingPluginTask::~FileHandlingPluginTask() = default;

}  // namespace ph
