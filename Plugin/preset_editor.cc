// The preset editor's side of the preferences: edits land in a working copy
// of the selected preset; Save, Save New Preset and Delete write the store;
// the host is asked to rebuild the panels whenever what it shows changes.
// Also the reading of a whole settings map into a preset, which the recipe
// settings of the publishing action use.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "Plugin/color.h"
#include "Plugin/decimal.h"
#include "Plugin/errors.h"
#include "Plugin/kadro_plugin.h"
#include "Plugin/settings.h"
#include "Plugin/unicode_text.h"
#include "SmartCrop/diagnostics.h"

namespace kadro {
namespace {

constexpr char kActionFromSettings[] = "actionFromSettings(action:tags:settings:hardFail:)";

std::optional<std::string> text(const ph::Value& value) {
  if (!value.is_string()) return std::nullopt;
  return value.get<std::string>();
}

bool isFixedColorChoice(const std::string& color) {
  return color == "white" || color == "black" || color == "custom";
}

// The stored key equal to `name`, canonically equivalent spellings included.
std::optional<std::string> storedKey(const PresetMap& presets, const std::string& name) {
  if (presets.count(name)) return name;
  for (const auto& [key, preset] : presets)
    if (canonicalEqual(key, name)) return key;
  return std::nullopt;
}

void refresh(const ph::SettingsCallback& callback) {
  if (callback) callback(ph::kSettingsCallbackActionRefresh, std::nullopt);
}

// Carries out `change` on the stored presets in one write transaction.
void store(const std::function<void(PresetMap&)>& change) {
  try {
    Settings::shared().update(change);
  } catch (const PresetStoreError& e) {
    throw ZadaZevuPluginError::presetStoreFailure(e);
  }
}

}  // namespace

void ZadaZevuPlugin::didUpdateValue(const ph::Value& value, const std::string& identifier,
                                    const ph::SettingsCallback& callback) {
  // Nothing selected (after Delete): edits wait for the next panel build.
  if (!currentPreset) return;
  Action preset = *currentPreset;
  const std::optional<std::string> typed = text(value);
  bool needsRefresh = false;

  // A value of another type than the element's leaves the preset as it is.
  if (identifier == tags::presetList().identifier) {
    // The list offers what the panel showed: the built-ins when the stored
    // presets could not be read.
    const PresetRead stored = Settings::shared().read();
    const PresetMap& presets = stored.presets;
    const std::optional<std::string> key = typed ? storedKey(presets, *typed) : std::nullopt;
    if (!key && !stored.ok()) throw ZadaZevuPluginError::presetStoreFailure(*stored.failure);
    if (!key) throw ZadaZevuPluginError::invalidSettingValue(identifier);
    currentName = *key;
    preset = presets.at(*key);  // unsaved edits are dropped
    needsRefresh = true;
  } else if (identifier == tags::presetName().identifier) {
    if (typed) preset.name = *typed;
  } else if (identifier == tags::type().identifier) {
    if (typed) {
      // The Max Size field comes or goes with "none".
      needsRefresh = preset.type == "none" || *typed == "none";
      preset.type = *typed;
    }
  } else if (identifier == tags::maxSize().identifier) {
    // Text that is no whole number leaves the number as it was; the panel
    // then shows the number kept, and hosts say the text was not taken.
    if (const auto n = typed ? parseDecimal(*typed) : std::nullopt) preset.maxSize = *n;
  } else if (identifier == tags::cropBorderEnabled().identifier) {
    if (value.is_boolean()) {
      preset.borderEnabled = value.get<bool>();
      needsRefresh = true;
    }
  } else if (identifier == tags::cropBorderWidth().identifier) {
    if (const auto n = typed ? parseDecimal(*typed) : std::nullopt) preset.borderWidth = *n;
  } else if (identifier == tags::cropBorderColor().identifier) {
    if (typed) {
      if (isFixedColorChoice(*typed)) {
        preset.borderColor = *typed;
      } else {  // another preset's colour, offered under its "#RRGGBB" text
        preset.borderColor = "custom";
        preset.borderColorCustom = *typed;
      }
      needsRefresh = true;
    }
  } else if (identifier == tags::cropBorderColorCustom().identifier) {
    if (typed) {
      // Kept as typed; an unreadable colour shows its error at the next
      // refresh, which half-typed text should not trigger.
      preset.borderColorCustom = *typed;
      needsRefresh = Color::hexStringToRGB(*typed).has_value();
    }
  } else {
    throw ZadaZevuPluginError::invalidSettingValue(identifier + "default");
  }

  currentPreset = std::move(preset);
  if (needsRefresh) refresh(callback);
}

void ZadaZevuPlugin::handle(ph::SettingsEvent event, const ph::SettingsItem& item,
                            const ph::SettingsCallback& callback) {
  if (event != ph::kSettingsEventButtonPressed) throw ZadaZevuPluginError::unsupportedEvent();
  if (!currentPreset || !currentName) throw ZadaZevuPluginError::invalidAction();

  // The store is read and written in one transaction, so that what another
  // process stored meanwhile stays; the editor state changes only once the
  // change is stored, so a failed Save keeps the edit.
  const Action preset = *currentPreset;
  const std::string key = *currentName;
  const std::string& id = item.identifier();

  if (id == tags::saveButton().identifier) {
    const bool renamed = !canonicalEqual(preset.name, key);
    store([&](PresetMap& presets) {
      if (!renamed) {
        presets.insert_or_assign(key, preset);
        return;
      }
      if (storedKey(presets, preset.name))
        throw ZadaZevuPluginError::duplicatePresetName(preset.name);
      presets.erase(key);
      presets.insert_or_assign(preset.name, preset);
    });
    if (renamed) currentName = preset.name;
    // Save asks for the refresh twice (the other buttons once); hosts are
    // used to that.
    refresh(callback);
    refresh(callback);
  } else if (id == tags::saveNewButton().identifier) {
    store([&](PresetMap& presets) {
      if (storedKey(presets, preset.name))
        throw ZadaZevuPluginError::duplicatePresetName(preset.name);
      presets.insert_or_assign(preset.name, preset);
    });
    currentName = preset.name;
    refresh(callback);
  } else if (id == tags::deleteButton().identifier) {
    store([&](PresetMap& presets) { presets.erase(key); });
    currentName.reset();
    currentPreset.reset();
    refresh(callback);
  } else {
    throw ZadaZevuPluginError::unsupportedEvent();
  }
}

Action ZadaZevuPlugin::actionFromSettings(const Action& action, const ActionTags& tags,
                                          const ph::SettingsMap& settings, bool hardFail) {
  Action result = action;
  // A colour picked from the list wins over the typed custom colour. The
  // typed one is applied (and checked) after the whole map has been read,
  // so that the outcome does not hang on which entry comes first.
  bool colorFromList = false;
  std::optional<std::string> typedColor;

  const auto number = [&](const std::optional<std::string>& typed, const Tag& tag,
                          std::int64_t fallback) -> std::int64_t {
    if (const auto n = parseDecimal(*typed)) return *n;
    if (hardFail) throw ZadaZevuPluginError::invalidSettingValue(tag.label);
    return fallback;
  };

  for (const auto& [key, value] : settings) {
    info(key + ": " + ph::describe(value), kActionFromSettings);
    const std::optional<std::string> typed = text(value);
    // Values of another type than the element's are passed over.
    if (key == tags.destFolder.identifier) {
      // An empty list keeps the base preset's folder.
      if (value.is_array() && !value.empty() && value.front().is_string())
        result.destFolder = value.front().get<std::string>();
    } else if (key == tags.type.identifier) {
      if (typed) result.type = *typed;
    } else if (key == tags.maxSize.identifier) {
      if (typed) result.maxSize = number(typed, tags.maxSize, 800);
    } else if (key == tags.cropBorderEnabled.identifier) {
      if (value.is_boolean()) result.borderEnabled = value.get<bool>();
    } else if (key == tags.cropBorderWidth.identifier) {
      if (typed) result.borderWidth = number(typed, tags.cropBorderWidth, 0);
    } else if (key == tags.cropBorderColor.identifier) {
      if (typed) {
        if (isFixedColorChoice(*typed)) {
          result.borderColor = *typed;
        } else {
          result.borderColor = "custom";
          result.borderColorCustom = *typed;
          colorFromList = true;
        }
      }
    } else if (key == tags.cropBorderColorCustom.identifier) {
      if (typed) typedColor = *typed;
    } else {
      info("ignoring unknown setting " + key, kActionFromSettings);
    }
  }

  if (typedColor && !colorFromList) {
    if (hardFail && !Color::hexStringToRGB(*typedColor))
      throw ZadaZevuPluginError::invalidSettingValue(tags.cropBorderColorCustom.label);
    result.borderColorCustom = *typedColor;
  }
  return result;
}

}  // namespace kadro
