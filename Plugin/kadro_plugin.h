// ZadaZevuPlugin: the principal object of the Kadro bundle. The host creates
// it through the bundle's entry point and calls it for Open With actions and
// tasks, the publishing action and its recipe settings, and the preference
// panels. Host operations (named after the host's selectors) catch the
// plug-in's ZadaZevuPluginError and hand it over as the host's error; the
// operations they call throw it.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Plugin/action.h"
#include "Plugin/color.h"
#include "Plugin/identifiers.h"
#include "host/plugin_protocols.h"

namespace kadro {

class ZadaZevuPlugin : public ph::PluginBase,
                       public ph::OpenWithPlugin,
                       public ph::PublishingPlugin,
                       public ph::VariantProcessing,
                       public ph::SettingsPlugin {
 public:
  using tags = ZadaZevuPluginTags;

  ZadaZevuPlugin();
  ~ZadaZevuPlugin() override;

  // Per-recipe preset table: host action identifier to the preset its last
  // validation produced; a publishing task takes its entry out.
  std::map<std::string, Action> actionSettings;
  // The preset editor's selection: the key of the selected stored preset and
  // the working copy being edited. Set and cleared together.
  std::optional<std::string> currentName;
  std::optional<Action> currentPreset;

  // The one publishing action, "Export with Kadro", made on first use
  // (thread-safe) and the same object ever after.
  static const std::shared_ptr<ph::PluginAction>& cropAllAction();

  static ActionTags actionTags() { return kadro::actionTags(); }
  static ActionTags actionTags(std::string_view suffix) { return kadro::actionTags(suffix); }

  // ---- Actions
  // One Open With action per stored preset, sorted by name, for role 2 and
  // JPEG or PNG files; empty otherwise.
  ph::PluginActions openWithActions(const ph::SettingsMap& fileInfo, ph::OpenWithPluginRole role);
  // "Kadro: " + name, identifier plug-in id + "." + name, the 32-point preview.
  std::shared_ptr<ph::PluginAction> pluginAction(const Action& preset) const;
  ph::FileHandlingPluginTasks tasks(const std::shared_ptr<ph::PluginAction>& action,
                                    const std::vector<std::string>& files) const;
  ph::PluginActions publishingActionsFileCount(unsigned fileCount) const;
  ph::SettingsMap processingSettings(const std::shared_ptr<ph::PluginAction>& action) const;

  // ---- Tasks (throw ZadaZevuPluginError before the first file)
  std::shared_ptr<ph::PluginActionOpenWithResult> startOpen(const ph::FileHandlingPluginTask& task,
                                                            const ph::ProgressCallback& progress);
  std::shared_ptr<ph::PluginActionPublishResult> startPublishingTask(
      const ph::FileHandlingPluginTask& task, const ph::ProgressCallback& progress);

  // ---- Recipe action settings of the publishing action
  ph::SettingsElementsGroups settings(const std::shared_ptr<ph::PluginAction>& action,
                                      const ph::SettingsMap& settings);
  void didUpdateValue(const ph::Value& value, const std::string& identifier,
                      const std::shared_ptr<ph::PluginAction>& action,
                      const ph::SettingsMap& settings,
                      ph::ActionSettingsCallbackAction& callbackAction);
  void validate(const ph::SettingsMap& settings, const std::shared_ptr<ph::PluginAction>& action);

  // ---- Preference panels
  // The preset panel, then the about panel.
  ph::SettingsElementsGroups settings();
  std::shared_ptr<ph::SettingsElementsGroup> presetSettingPanel();
  ph::SettingsElements presetActionSettings(const ActionTags& tags, const Action& action) const;
  std::shared_ptr<ph::SettingsElementsGroup> aboutSettingsPanel() const;
  // A label under plug-in id + "." + `tag`.
  static std::shared_ptr<ph::SettingsLabelItem> labelItem(const std::string& tag,
                                                          const std::string& title,
                                                          const std::string& value);
  // A label under the next anonymous identifier; the text comes first.
  static std::shared_ptr<ph::SettingsLabelItem> labelItem(const std::string& value,
                                                          const std::string& title);
  // The custom colours of the stored presets but `excluded`.
  std::map<std::string, Color> customColors(const std::optional<std::string>& excluded) const;

  // ---- Preset editor events
  void didUpdateValue(const ph::Value& value, const std::string& identifier,
                      const ph::SettingsCallback& callback);
  void handle(ph::SettingsEvent event, const ph::SettingsItem& item,
              const ph::SettingsCallback& callback);
  // Reads a settings map into a copy of `action`; strictly with `hardFail`.
  static Action actionFromSettings(const Action& action, const ActionTags& tags,
                                   const ph::SettingsMap& settings, bool hardFail);

  // ---- Host operations
  std::optional<ph::PluginActions> openWithActionsWithFileInfo(const ph::SettingsMap& fileInfo,
                                                               ph::OpenWithPluginRole role,
                                                               ph::Error* error) override;
  std::optional<ph::FileHandlingPluginTasks> tasksForAction(
      const std::shared_ptr<ph::PluginAction>& action, const std::vector<std::string>& files,
      ph::Error* error) override;
  std::optional<ph::PluginActions> publishingActionsFileCount(unsigned fileCount,
                                                              ph::Error* error) override;
  std::optional<ph::SettingsMap> processingSettingsForAction(
      const std::shared_ptr<ph::PluginAction>& action, ph::Error* error) override;
  std::shared_ptr<ph::PluginActionOpenWithResult> startOpenWithTask(
      const ph::FileHandlingPluginTask& task, ph::Error* error,
      const ph::ProgressCallback& progress) override;
  std::shared_ptr<ph::PluginActionPublishResult> startPublishingTask(
      const ph::FileHandlingPluginTask& task, ph::Error* error,
      const ph::ProgressCallback& progress) override;
  std::optional<ph::SettingsElementsGroups> settingsForAction(
      const std::shared_ptr<ph::PluginAction>& action, const ph::SettingsMap& settings,
      ph::Error* error) override;
  bool didUpdateValue(const ph::Value& value, const std::string& identifier,
                      const std::shared_ptr<ph::PluginAction>& action,
                      const ph::SettingsMap& settings,
                      ph::ActionSettingsCallbackAction* callbackAction, ph::Error* error) override;
  bool validateSettings(const ph::SettingsMap& settings,
                        const std::shared_ptr<ph::PluginAction>& action, ph::Error* error) override;
  std::optional<ph::SettingsElementsGroups> settingsWithError(ph::Error* error) override;
  bool didUpdateValue(const ph::Value& value, const std::string& identifier, ph::Error* error,
                      const ph::SettingsCallback& callback) override;
  bool handleEvent(ph::SettingsEvent event, const ph::SettingsItem& item, ph::Error* error,
                   const ph::SettingsCallback& callback) override;
};

}  // namespace kadro
