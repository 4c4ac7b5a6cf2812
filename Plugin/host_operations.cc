// The host's entry points: each runs the plug-in's own operation and turns a
// thrown ZadaZevuPluginError into the host's error object and a null, empty
// or false result; any other exception fails the operation the same way
// rather than take the host down.
#include <exception>
#include <string>

#include "Plugin/errors.h"
#include "Plugin/kadro_plugin.h"
#include "SmartCrop/diagnostics.h"

namespace kadro {
namespace {

// A failure the plug-in has no case for (out of memory, a library's own
// exception): the operation fails with the cause as its reason.
void reportUnexpected(const std::string& cause, ph::Error* error) {
  diagnosticLine("Kadro: " + cause);
  if (error) *error = ph::Error{"KadroPlugin", -1, "Unexpected failure.", cause};
}

template <typename Result, typename Operation>
Result guarded(ph::Error* error, Result failed, Operation&& operation) {
  try {
    return operation();
  } catch (const ZadaZevuPluginError& e) {
    report(e, error);
    return failed;
  } catch (const std::exception& e) {
    // Nothing may escape into the host, whose process this is.
    reportUnexpected(e.what(), error);
    return failed;
  } catch (...) {
    reportUnexpected("unknown failure", error);
    return failed;
  }
}

}  // namespace

std::optional<ph::PluginActions> ZadaZevuPlugin::openWithActionsWithFileInfo(
    const ph::SettingsMap& fileInfo, ph::OpenWithPluginRole role, ph::Error* error) {
  return guarded<std::optional<ph::PluginActions>>(error, std::nullopt,
                                                   [&] { return openWithActions(fileInfo, role); });
}

std::optional<ph::FileHandlingPluginTasks> ZadaZevuPlugin::tasksForAction(
    const std::shared_ptr<ph::PluginAction>& action, const std::vector<std::string>& files,
    ph::Error* error) {
  return guarded<std::optional<ph::FileHandlingPluginTasks>>(error, std::nullopt,
                                                             [&] { return tasks(action, files); });
}

std::optional<ph::PluginActions> ZadaZevuPlugin::publishingActionsFileCount(unsigned fileCount,
                                                                            ph::Error* error) {
  return guarded<std::optional<ph::PluginActions>>(
      error, std::nullopt, [&] { return publishingActionsFileCount(fileCount); });
}

std::optional<ph::SettingsMap> ZadaZevuPlugin::processingSettingsForAction(
    const std::shared_ptr<ph::PluginAction>& action, ph::Error* error) {
  return guarded<std::optional<ph::SettingsMap>>(error, std::nullopt,
                                                 [&] { return processingSettings(action); });
}

std::shared_ptr<ph::PluginActionOpenWithResult> ZadaZevuPlugin::startOpenWithTask(
    const ph::FileHandlingPluginTask& task, ph::Error* error,
    const ph::ProgressCallback& progress) {
  return guarded<std::shared_ptr<ph::PluginActionOpenWithResult>>(
      error, nullptr, [&] { return startOpen(task, progress); });
}

std::shared_ptr<ph::PluginActionPublishResult> ZadaZevuPlugin::startPublishingTask(
    const ph::FileHandlingPluginTask& task, ph::Error* error,
    const ph::ProgressCallback& progress) {
  return guarded<std::shared_ptr<ph::PluginActionPublishResult>>(
      error, nullptr, [&] { return startPublishingTask(task, progress); });
}

std::optional<ph::SettingsElementsGroups> ZadaZevuPlugin::settingsForAction(
    const std::shared_ptr<ph::PluginAction>& action, const ph::SettingsMap& map, ph::Error* error) {
  return guarded<std::optional<ph::SettingsElementsGroups>>(error, std::nullopt,
                                                            [&] { return settings(action, map); });
}

bool ZadaZevuPlugin::didUpdateValue(const ph::Value& value, const std::string& identifier,
                                    const std::shared_ptr<ph::PluginAction>& action,
                                    const ph::SettingsMap& map,
                                    ph::ActionSettingsCallbackAction* callbackAction,
                                    ph::Error* error) {
  return guarded<bool>(error, false, [&] {
    ph::ActionSettingsCallbackAction code =
        callbackAction ? *callbackAction : ph::kActionSettingsCallbackActionNone;
    didUpdateValue(value, identifier, action, map, code);
    if (callbackAction) *callbackAction = code;
    return true;
  });
}

bool ZadaZevuPlugin::validateSettings(const ph::SettingsMap& map,
                                      const std::shared_ptr<ph::PluginAction>& action,
                                      ph::Error* error) {
  return guarded<bool>(error, false, [&] {
    validate(map, action);
    return true;
  });
}

std::optional<ph::SettingsElementsGroups> ZadaZevuPlugin::settingsWithError(ph::Error* error) {
  return guarded<std::optional<ph::SettingsElementsGroups>>(error, std::nullopt,
                                                            [&] { return settings(); });
}

bool ZadaZevuPlugin::didUpdateValue(const ph::Value& value, const std::string& identifier,
                                    ph::Error* error, const ph::SettingsCallback& callback) {
  return guarded<bool>(error, false, [&] {
    didUpdateValue(value, identifier, callback);
    return true;
  });
}

bool ZadaZevuPlugin::handleEvent(ph::SettingsEvent event, const ph::SettingsItem& item,
                                 ph::Error* error, const ph::SettingsCallback& callback) {
  return guarded<bool>(error, false, [&] {
    handle(event, item, callback);
    return true;
  });
}

}  // namespace kadro
