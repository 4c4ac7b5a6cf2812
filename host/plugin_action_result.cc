#include "host/plugin_action_result.h"

namespace ph {

PluginActionResult::~PluginActionResult() = default;
PluginActionOpenWithResult::~PluginActionOpenWithResult() = default;
PluginActionPublishResult::~PluginActionPublishResult() = default;

}  // namespace ph
