// What a plug-in can do for the host. The principal object of a bundle
// derives from PluginBase and from each protocol it adopts; the host finds
// them with dynamic_cast. Operations are named after the host's selectors.
// A failing operation returns null, nothing or false and, when `error` is
// not null, fills it in.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/codes.h"
#include "host/error.h"
#include "host/plugin_action.h"
#include "host/plugin_action_result.h"
#include "host/plugin_task.h"
#include "host/settings_element.h"
#include "host/value.h"

namespace ph {

using PluginActions = std::vector<std::shared_ptr<PluginAction>>;
using FileHandlingPluginTasks = std::vector<std::shared_ptr<FileHandlingPluginTask>>;
using SettingsElementsGroups = std::vector<std::shared_ptr<SettingsElementsGroup>>;

// Called by a plug-in, before a settings operation returns, to ask the host
// for something (a refresh), with an optional value.
using SettingsCallback = std::function<void(SettingsCallbackAction action, std::optional<Value>)>;

class PluginBase {
 public:
  virtual ~PluginBase();
};

// Makes the tasks that carry out an action on exported files.
class FileHandling {
 public:
  virtual ~FileHandling();
  virtual std::optional<FileHandlingPluginTasks> tasksForAction(
      const std::shared_ptr<PluginAction>& action, const std::vector<std::string>& files,
      Error* error) = 0;
};

// The settings panel an export recipe shows for one of the plug-in's actions.
// `settings` is the recipe's current settings map, owned by the host.
class ActionSettings {
 public:
  virtual ~ActionSettings();
  virtual std::optional<SettingsElementsGroups> settingsForAction(
      const std::shared_ptr<PluginAction>& action, const SettingsMap& settings, Error* error) = 0;
  // `callbackAction` comes in with the host's value and may be changed.
  virtual bool didUpdateValue(const Value& value, const std::string& identifier,
                              const std::shared_ptr<PluginAction>& action,
                              const SettingsMap& settings,
                              ActionSettingsCallbackAction* callbackAction, Error* error) = 0;
  virtual bool validateSettings(const SettingsMap& settings,
                                const std::shared_ptr<PluginAction>& action, Error* error) = 0;
};

class OpenWithPlugin : public virtual FileHandling, public virtual ActionSettings {
 public:
  ~OpenWithPlugin() override;
  // `fileInfo`: file type key to number, for the recipe's exported files.
  virtual std::optional<PluginActions> openWithActionsWithFileInfo(const SettingsMap& fileInfo,
                                                                   OpenWithPluginRole role,
                                                                   Error* error) = 0;
  virtual std::shared_ptr<PluginActionOpenWithResult> startOpenWithTask(
      const FileHandlingPluginTask& task, Error* error, const ProgressCallback& progress) = 0;
};

class PublishingPlugin : public virtual FileHandling, public virtual ActionSettings {
 public:
  ~PublishingPlugin() override;
  virtual std::optional<PluginActions> publishingActionsFileCount(unsigned fileCount,
                                                                  Error* error) = 0;
  virtual std::shared_ptr<PluginActionPublishResult> startPublishingTask(
      const FileHandlingPluginTask& task, Error* error, const ProgressCallback& progress) = 0;
};

// Fixed processing settings for the variants the host exports for an action:
// processing keys of codes.h to values (numbers, lists, nested maps).
class VariantProcessing {
 public:
  virtual ~VariantProcessing();
  virtual std::optional<SettingsMap> processingSettingsForAction(
      const std::shared_ptr<PluginAction>& action, Error* error) = 0;
};

// The plug-in's own preference panels. (Not named "Settings": a base class
// name is visible unqualified inside the derived class and would hide a
// plug-in's own Settings type there.)
class SettingsPlugin {
 public:
  virtual ~SettingsPlugin();
  virtual std::optional<SettingsElementsGroups> settingsWithError(Error* error) = 0;
  virtual bool didUpdateValue(const Value& value, const std::string& identifier, Error* error,
                              const SettingsCallback& callback) = 0;
  virtual bool handleEvent(SettingsEvent event, const SettingsItem& item, Error* error,
                           const SettingsCallback& callback) = 0;
};

}  // namespace ph
