// The preference panels the host draws: the preset editor (the stored
// presets, the selected one's values and the Save, Save New Preset and
// Delete buttons), and the element builder for one preset's values that the
// publishing action's recipe settings share.
#include <algorithm>
#include <string>
#include <vector>

#include "Plugin/color.h"
#include "Plugin/errors.h"
#include "Plugin/icons.h"
#include "Plugin/kadro_plugin.h"
#include "Plugin/settings.h"
#include "Plugin/unicode_text.h"

namespace kadro {
namespace {

constexpr Size kIconSize{128, 128};

constexpr char kBorderDescription[] =
    "Enable this to add a border around the cropped the image. The image will be sized to fit "
    "inside the border, so the resulting image will still be the same size.";
constexpr char kColorError[] = "Invalid color, should be in #RRGGBB format.";

template <typename Item>
std::shared_ptr<Item> makeItem(const Tag& tag) {
  return std::make_shared<Item>(tag.identifier, tag.label);
}

std::shared_ptr<ph::SettingsButtonItem> button(const Tag& tag, std::string context) {
  auto item = makeItem<ph::SettingsButtonItem>(tag);
  item->setContext(std::move(context));
  return item;
}

// The shapes a preset can be given here. "octo" stays out of the list: it
// is only kept when stored data already holds it.
std::shared_ptr<ph::SettingsListItem> cropTypeList(const Tag& tag, const std::string& type) {
  const Color grey = Color::grey();
  auto list = makeItem<ph::SettingsListItem>(tag);
  list->setOptions({
      {"square", "square", createSwatch(grey, kIconSize)},
      {"circle", "circle", createCircleIcon(grey, kIconSize)},
      {"hex", "hex", createPolygonIcon(6, 0, grey, kIconSize)},
      {"none", "none", ph::Image::empty(kIconSize.width, kIconSize.height)},
  });
  list->setValue(type);
  return list;
}

std::shared_ptr<ph::SettingsTextItem> textItem(const Tag& tag, std::string value) {
  auto item = makeItem<ph::SettingsTextItem>(tag);
  item->setValue(std::move(value));
  return item;
}

}  // namespace

ph::SettingsElementsGroups ZadaZevuPlugin::settings() {
  return {presetSettingPanel(), aboutSettingsPanel()};
}

std::shared_ptr<ph::SettingsElementsGroup> ZadaZevuPlugin::presetSettingPanel() {
  const PresetRead stored = Settings::shared().read();
  const PresetMap& presets = stored.presets;

  auto group = std::make_shared<ph::SettingsElementsGroup>();
  group->setIdentifier(joinIdentifier(ID::indentifier(), "presetSettingsGroup"));
  group->setTitle("Kadro Presets");

  std::vector<PresetMap::const_iterator> sorted;
  for (auto it = presets.begin(); it != presets.end(); ++it) sorted.push_back(it);
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](auto a, auto b) { return canonicalLess(a->first, b->first); });

  // The list names presets by their key: that is what the editor looks up,
  // renames and deletes, also where stored data has a name differing from it.
  auto list = makeItem<ph::SettingsListItem>(tags::presetList());
  std::vector<ph::SettingsListOption> options;
  for (const auto& it : sorted) {
    const auto& [key, preset] = *it;
    if (!currentPreset && it == sorted.front()) {
      currentName = key;
      currentPreset = preset;
    }
    options.emplace_back(key, key, preset.preview(kIconSize));
  }
  list->setOptions(std::move(options));
  if (currentName) list->setValue(*currentName);

  ph::SettingsElements elements;
  // Said first, so that nobody takes the built-ins shown for their presets.
  if (!stored.ok()) {
    const ZadaZevuPluginError e = ZadaZevuPluginError::presetStoreFailure(*stored.failure);
    elements.push_back(
        labelItem("preset-store-error", "", e.errorDescription() + " " + e.failureReason()));
  }
  elements.push_back(list);
  if (currentPreset) {
    elements.push_back(textItem(tags::presetName(), currentPreset->name));
    const ph::SettingsElements values = presetActionSettings(actionTags(), *currentPreset);
    elements.insert(elements.end(), values.begin(), values.end());
  }
  elements.push_back(button(tags::saveButton(), "save"));
  elements.push_back(button(tags::saveNewButton(), "New"));
  elements.push_back(button(tags::deleteButton(), "delete"));
  group->setElements(std::move(elements));
  return group;
}

ph::SettingsElements ZadaZevuPlugin::presetActionSettings(const ActionTags& tags,
                                                          const Action& action) const {
  ph::SettingsElements elements;
  elements.push_back(cropTypeList(tags.type, action.type));
  if (action.type != "none")
    elements.push_back(textItem(tags.maxSize, std::to_string(action.maxSize)));
  elements.push_back(labelItem(kBorderDescription, ""));

  auto enabled = makeItem<ph::SettingsBoolItem>(tags.cropBorderEnabled);
  enabled->setValue(action.borderEnabled);
  elements.push_back(enabled);
  if (!action.borderEnabled) return elements;

  elements.push_back(textItem(tags.cropBorderWidth, std::to_string(action.borderWidth)));

  std::vector<ph::SettingsListOption> colors = {
      {"white", "white", createSwatch(Color::white(), kIconSize)},
      {"black", "black", createSwatch(Color::black(), kIconSize)},
  };
  bool colorError = false;
  if (const auto custom = Color::hexStringToRGB(action.borderColorCustom)) {
    colors.emplace_back("custom", "custom (" + action.borderColorCustom + ")",
                        createSwatch(*custom, kIconSize));
  } else {
    colors.emplace_back("custom", "custom", createErrorSwatch(kIconSize));
    colorError = true;
  }
  // The other presets' colours, as ready-made choices (sorted by their text).
  for (const auto& [text, color] : customColors(action.borderColorCustom))
    colors.emplace_back(text, "custom (" + text + ")", createSwatch(color, kIconSize));
  auto colorList = makeItem<ph::SettingsListItem>(tags.cropBorderColor);
  colorList->setOptions(std::move(colors));
  colorList->setValue(action.borderColor);
  elements.push_back(colorList);

  if (action.borderColor == "custom") {
    elements.push_back(textItem(tags.cropBorderColorCustom, action.borderColorCustom));
    if (colorError) elements.push_back(labelItem(kColorError, ""));
  }
  return elements;
}

std::shared_ptr<ph::SettingsLabelItem> ZadaZevuPlugin::labelItem(const std::string& tag,
                                                                 const std::string& title,
                                                                 const std::string& value) {
  auto label =
      std::make_shared<ph::SettingsLabelItem>(joinIdentifier(ID::indentifier(), tag), title);
  label->setValue(value);
  return label;
}

std::shared_ptr<ph::SettingsLabelItem> ZadaZevuPlugin::labelItem(const std::string& value,
                                                                 const std::string& title) {
  return labelItem(nextAnonymousTag(), title, value);
}

}  // namespace kadro
