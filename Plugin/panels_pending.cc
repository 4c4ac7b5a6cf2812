// Preference panels, preset editor and recipe settings: not built yet.
#include "Plugin/errors.h"
#include "Plugin/kadro_plugin.h"

namespace kadro {

ph::SettingsElementsGroups ZadaZevuPlugin::settings(const std::shared_ptr<ph::PluginAction>&,
                                                    const ph::SettingsMap&) {
  throw ZadaZevuPluginError::unsupportedEvent();
}
void ZadaZevuPlugin::didUpdateValue(const ph::Value&, const std::string&,
                                    const std::shared_ptr<ph::PluginAction>&,
                                    const ph::SettingsMap&, ph::ActionSettingsCallbackAction&) {}
void ZadaZevuPlugin::validate(const ph::SettingsMap&, const std::shared_ptr<ph::PluginAction>&) {
  throw ZadaZevuPluginError::unsupportedEvent();
}
ph::SettingsElementsGroups ZadaZevuPlugin::settings() { return {}; }
void ZadaZevuPlugin::didUpdateValue(const ph::Value&, const std::string&,
                                    const ph::SettingsCallback&) {}
void ZadaZevuPlugin::handle(ph::SettingsEvent, const ph::SettingsItem&,
                            const ph::SettingsCallback&) {
  throw ZadaZevuPluginError::unsupportedEvent();
}

}  // namespace kadro
