#include "host/plugin_protocols.h"

namespace ph {

// Out of line so that the type information the host's dynamic_casts compare
// lives once, in this library.
PluginBase::~PluginBase() = default;
FileHandling::~FileHandling() = default;
ActionSettings::~ActionSettings() = default;
OpenWithPlugin::~OpenWithPlugin() = default;
PublishingPlugin::~PublishingPlugin() = default;
VariantProcessing::~VariantProcessing() = default;
SettingsPlugin::~SettingsPlugin() = default;

}  // namespace ph
