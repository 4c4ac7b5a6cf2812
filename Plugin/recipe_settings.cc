// The publishing action's settings in each export recipe: a destination
// folder and one set of crop parameters, shown with the preset editor's
// elements under "-publish" identifiers. A successful check before an export
// parks the recipe's preset for the publishing task.
#include "Plugin/color.h"
#include "Plugin/errors.h"
#include "Plugin/kadro_plugin.h"
#include "SmartCrop/diagnostics.h"

namespace kadro {
namespace {

constexpr char kRecipeSuffix[] = "-publish";

}  // namespace

ph::SettingsElementsGroups ZadaZevuPlugin::settings(const std::shared_ptr<ph::PluginAction>&,
                                                    const ph::SettingsMap& map) {
  auto group = std::make_shared<ph::SettingsElementsGroup>();
  group->setIdentifier(anonymousIdentifier());
  group->setTitle("Kadro Settings");

  const ActionTags recipeTags = actionTags(kRecipeSuffix);
  const Action preset = actionFromSettings(Action(), recipeTags, map, /*hardFail=*/false);

  auto folder = std::make_shared<ph::SettingsFileItem>(recipeTags.destFolder.identifier,
                                                       recipeTags.destFolder.label);
  folder->setValue(ph::Value::array({preset.destFolder}));
  folder->setDirectoryURL(preset.destFolder);
  folder->setCanChooseDirectories(true);
  folder->setCanChooseFiles(false);
  folder->setAllowsMultipleSelection(false);

  ph::SettingsElements elements = group->elements();
  elements.push_back(folder);
  const ph::SettingsElements values = presetActionSettings(recipeTags, preset);
  elements.insert(elements.end(), values.begin(), values.end());
  group->setElements(std::move(elements));
  return {group};
}

void ZadaZevuPlugin::didUpdateValue(const ph::Value& value, const std::string& identifier,
                                    const std::shared_ptr<ph::PluginAction>&,
                                    const ph::SettingsMap&,
                                    ph::ActionSettingsCallbackAction& callbackAction) {
  const ActionTags recipeTags = actionTags(kRecipeSuffix);
  info(identifier + ": " + ph::describe(value),
       "didUpdateValue(_:forSetting:action:settings:callbackAction:)");
  // Elements come or go with these edits; a typed colour only once it reads.
  if (identifier == recipeTags.cropBorderEnabled.identifier ||
      identifier == recipeTags.cropBorderColor.identifier) {
    callbackAction = ph::kActionSettingsCallbackActionRefresh;
  } else if (identifier == recipeTags.cropBorderColorCustom.identifier) {
    if (value.is_string() && Color::hexStringToRGB(value.get<std::string>()))
      callbackAction = ph::kActionSettingsCallbackActionRefresh;
  }
}

void ZadaZevuPlugin::validate(const ph::SettingsMap& map,
                              const std::shared_ptr<ph::PluginAction>& action) {
  const ActionTags recipeTags = actionTags(kRecipeSuffix);
  info("validating", "validate(_:for:)");
  if (!action) throw ZadaZevuPluginError::invalidAction();
  Action preset = actionFromSettings(Action(), recipeTags, map, /*hardFail=*/true);
  actionSettings.insert_or_assign(action->identifier(), std::move(preset));
}

}  // namespace kadro
