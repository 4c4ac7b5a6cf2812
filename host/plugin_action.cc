#include "host/plugin_action.h"

namespace ph {

PluginAction::PluginAction(std::string displayName) : displayName_(std::move(displayName)) {}

PluginAction::~PluginAction() = default;

bool PluginAction::isEqualToPluginAction(const PluginAction& other) const {
  return this == &other || (identifier_ == other.identifier_ && displayName_ == other.displayName_);
}

}  // namespace ph
