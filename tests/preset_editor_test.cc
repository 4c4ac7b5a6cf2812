#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Plugin/errors.h"
#include "tests/panel_test_support.h"

namespace kadro {
namespace {

using paneltest::CapturedDiagnostics;
using paneltest::pluginId;
using ::testing::ElementsAre;
using Case = ZadaZevuPluginError::Case;

// The error a call throws; fails the test when it throws none.
template <typename Call>
std::optional<ZadaZevuPluginError> thrown(Call&& call) {
  try {
    call();
  } catch (const ZadaZevuPluginError& e) {
    return e;
  }
  ADD_FAILURE() << "no error thrown";
  return std::nullopt;
}

class PresetEditor : public paneltest::PluginTest {
 protected:
  void SetUp() override {
    PluginTest::SetUp();
    plugin.presetSettingPanel();  // selects "Circle"
    ASSERT_EQ(plugin.currentName, "Circle");
  }

  ph::SettingsCallback counting() {
    return [this](ph::SettingsCallbackAction action, std::optional<ph::Value> value) {
      EXPECT_EQ(action, ph::kSettingsCallbackActionRefresh);
      EXPECT_FALSE(value);
      ++refreshes;
    };
  }
  // Applies one edit; gives the number of refresh requests it made.
  int edit(const ph::Value& value, const std::string& shortName) {
    refreshes = 0;
    plugin.didUpdateValue(value, pluginId(shortName), counting());
    return refreshes;
  }
  int press(const std::string& shortName, ph::SettingsEvent event = 1) {
    refreshes = 0;
    const ph::SettingsButtonItem item(pluginId(shortName), "");
    plugin.handle(event, item, counting());
    return refreshes;
  }
  const Action& working() const { return *plugin.currentPreset; }

  int refreshes = 0;
};

TEST_F(PresetEditor, EachElementEditsItsFieldAndRefreshesWhenTheLayoutChanges) {
  EXPECT_EQ(edit("Round", "preset-name"), 0);
  EXPECT_EQ(working().name, "Round");
  EXPECT_EQ(plugin.currentName, "Circle") << "the key stays until Save";
  EXPECT_EQ(edit("", "preset-name"), 0);
  EXPECT_EQ(working().name, "");

  EXPECT_EQ(edit("square", "type"), 0);
  EXPECT_EQ(edit("circle", "type"), 0);
  EXPECT_EQ(edit("none", "type"), 1);
  EXPECT_EQ(edit("hex", "type"), 1);
  EXPECT_EQ(edit("whatever", "type"), 0);
  EXPECT_EQ(working().type, "whatever") << "not validated";

  EXPECT_EQ(edit(false, "crop-border-enabled"), 1);
  EXPECT_FALSE(working().borderEnabled);
  EXPECT_EQ(edit(true, "crop-border-enabled"), 1);
  EXPECT_TRUE(working().borderEnabled);

  EXPECT_EQ(edit("#991111", "crop-border-color"), 1);
  EXPECT_EQ(working().borderColor, "custom");
  EXPECT_EQ(working().borderColorCustom, "#991111");
  EXPECT_EQ(edit("black", "crop-border-color"), 1);
  EXPECT_EQ(working().borderColor, "black");
  EXPECT_EQ(working().borderColorCustom, "#991111");

  // Half-typed colours are kept without a refresh; a readable one refreshes.
  EXPECT_EQ(edit("#12", "crop-border-color-custom"), 0);
  EXPECT_EQ(working().borderColorCustom, "#12");
  EXPECT_EQ(edit("#12AB5f", "crop-border-color-custom"), 1);
  EXPECT_EQ(working().borderColorCustom, "#12AB5f");

  // Nothing reached the store.
  EXPECT_EQ(stored(), Settings::defaultPresets());
}

// Text that is no whole number is refused with the field's name, so that a
// host shows why instead of the text that Save would not store.
TEST_F(PresetEditor, NumbersMustBeWholeDecimalsOrAreLeftAsTheyWere) {
  // An unreadable number is passed over without an error; the panel shows
  // the number kept.
  const auto maxSize = [&](const char* text) {
    EXPECT_EQ(edit(text, "max-size"), 0) << text;
    return working().maxSize;
  };
  EXPECT_EQ(maxSize("1024"), 1024);
  EXPECT_EQ(maxSize("12ab"), 1024);
  EXPECT_EQ(maxSize("-5"), -5);
  EXPECT_EQ(maxSize("+7"), 7);
  EXPECT_EQ(maxSize("7 "), 7) << "a trailing blank makes it unreadable";
  EXPECT_EQ(maxSize(""), 7);
  EXPECT_EQ(maxSize("9223372036854775808"), 7) << "beyond 64 bits";
  EXPECT_EQ(maxSize("-9223372036854775808"), INT64_MIN);

  EXPECT_EQ(edit("30", "crop-border-width"), 0);
  EXPECT_EQ(working().borderWidth, 30);
  EXPECT_EQ(edit("3.5", "crop-border-width"), 0);
  EXPECT_EQ(working().borderWidth, 30);
}

TEST_F(PresetEditor, ValuesOfTheWrongTypeChangeNothing) {
  const Action before = working();
  EXPECT_EQ(edit(500, "max-size"), 0);
  EXPECT_EQ(edit("yes", "crop-border-enabled"), 0);
  EXPECT_EQ(edit(nullptr, "type"), 0);
  EXPECT_EQ(edit(ph::Value::array({"#123456"}), "crop-border-color"), 0);
  EXPECT_EQ(working(), before);
}

TEST_F(PresetEditor, ChoosingAPresetDropsUnsavedEdits) {
  edit("Renamed", "preset-name");
  edit("none", "type");
  EXPECT_EQ(edit("Square", "preset-list"), 1);
  EXPECT_EQ(plugin.currentName, "Square");
  EXPECT_EQ(working(), Settings::defaultPresets().at("Square"));

  EXPECT_EQ(edit("Circle", "preset-list"), 1);
  EXPECT_EQ(working(), Settings::defaultPresets().at("Circle"));
}

TEST_F(PresetEditor, RejectedValuesLeaveTheStateAsItWas) {
  edit("Renamed", "preset-name");
  const Action before = working();

  auto e = thrown([&] { edit("Nope", "preset-list"); });
  ASSERT_TRUE(e);
  EXPECT_EQ(e->errorCase(), Case::invalidSettingValue);
  EXPECT_EQ(e->setting(), "KadroPlugin.preset-list");
  EXPECT_EQ(refreshes, 0);

  // An element the editor does not show, such as the destination folder.
  e = thrown([&] { edit(ph::Value::array({"file:///tmp"}), "dest-folder"); });
  ASSERT_TRUE(e);
  EXPECT_EQ(e->errorCase(), Case::invalidSettingValue);
  EXPECT_EQ(e->setting(), "KadroPlugin.dest-folderdefault");
  EXPECT_EQ(e->errorDescription(), "Invalid value for KadroPlugin.dest-folderdefault.");
  EXPECT_EQ(refreshes, 0);

  EXPECT_EQ(working(), before);
  EXPECT_EQ(plugin.currentName, "Circle");
}

TEST_F(PresetEditor, SavingKeepsKeyAndNameTogether) {
  // Without a rename the edits replace the stored preset.
  edit("321", "max-size");
  EXPECT_EQ(press("save-button"), 2);
  EXPECT_EQ(stored().at("Circle").maxSize, 321);
  EXPECT_EQ(stored().size(), 4u);

  // A rename moves the preset to its new key.
  edit("Round", "preset-name");
  edit("hex", "type");
  EXPECT_EQ(press("save-button"), 2);
  EXPECT_EQ(plugin.currentName, "Round");
  const PresetMap after = stored();
  EXPECT_FALSE(after.count("Circle"));
  ASSERT_TRUE(after.count("Round"));
  EXPECT_EQ(after.at("Round").name, "Round");
  EXPECT_EQ(after.at("Round").type, "hex");
  EXPECT_EQ(after.at("Round").maxSize, 321);
  EXPECT_EQ(after.at("Square"), Settings::defaultPresets().at("Square"));
}

TEST_F(PresetEditor, SavingUnderATakenNameChangesNothing) {
  edit("Square", "preset-name");
  auto e = thrown([&] { press("save-button"); });
  ASSERT_TRUE(e);
  EXPECT_EQ(e->errorCase(), Case::duplicatePresetName);
  EXPECT_EQ(e->name(), "Square");
  EXPECT_EQ(e->errorDescription(), "Preset \"Square\" already exists.");
  EXPECT_EQ(refreshes, 0);
  EXPECT_EQ(stored(), Settings::defaultPresets());
  EXPECT_EQ(working().name, "Square") << "the edit is kept";
  EXPECT_EQ(plugin.currentName, "Circle");

  // Canonically equivalent spellings are the same name.
  PresetMap presets = Settings::defaultPresets();
  presets.emplace("Caf\u00e9", Action("Caf\u00e9", "square", 400));
  Settings::shared().setPresets(presets);
  edit("Cafe\u0301", "preset-name");
  e = thrown([&] { press("save-button"); });
  ASSERT_TRUE(e);
  EXPECT_EQ(e->errorCase(), Case::duplicatePresetName);
  e = thrown([&] { press("save-new-button"); });
  ASSERT_TRUE(e);
  EXPECT_EQ(e->errorCase(), Case::duplicatePresetName);
  EXPECT_EQ(stored(), presets);
}

TEST_F(PresetEditor, SaveNewPresetAddsACopyAndSelectsIt) {
  auto e = thrown([&] { press("save-new-button"); });
  ASSERT_TRUE(e);
  EXPECT_EQ(e->errorCase(), Case::duplicatePresetName);
  EXPECT_EQ(e->name(), "Circle") << "its own stored entry carries the name";

  edit("Big Circle", "preset-name");
  edit("1200", "max-size");
  EXPECT_EQ(press("save-new-button"), 1);
  const PresetMap after = stored();
  EXPECT_EQ(after.size(), 5u);
  EXPECT_EQ(after.at("Circle"), Settings::defaultPresets().at("Circle"));
  EXPECT_EQ(after.at("Big Circle").maxSize, 1200);
  EXPECT_EQ(after.at("Big Circle").name, "Big Circle");
  EXPECT_EQ(plugin.currentName, "Big Circle");
}

TEST_F(PresetEditor, DeleteClearsTheSelectionUntilTheNextBuild) {
  edit("Square", "preset-list");
  EXPECT_EQ(press("delete-button"), 1);
  EXPECT_FALSE(stored().count("Square"));
  EXPECT_EQ(stored().size(), 3u);
  EXPECT_FALSE(plugin.currentName);
  EXPECT_FALSE(plugin.currentPreset);

  // Edits are ignored without an error, buttons refused.
  EXPECT_EQ(edit("Circle", "preset-list"), 0);
  EXPECT_EQ(edit(1, "no-such-element"), 0);
  EXPECT_FALSE(plugin.currentPreset);
  for (const char* b : {"save-button", "save-new-button", "delete-button", "other"}) {
    auto e = thrown([&] { press(b); });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->errorCase(), Case::invalidAction) << b;
  }

  plugin.presetSettingPanel();
  EXPECT_EQ(plugin.currentName, "Circle");
}

TEST_F(PresetEditor, DeletingTheLastPresetLeavesTheDefaultOne) {
  Settings::shared().setPresets({{"Only", Action("Only", "circle", 300)}});
  plugin.currentPreset.reset();
  plugin.presetSettingPanel();
  ASSERT_EQ(plugin.currentName, "Only");
  EXPECT_EQ(press("delete-button"), 1);
  const PresetMap after = stored();
  ASSERT_EQ(after.size(), 1u);
  EXPECT_EQ(after.begin()->first, "Default");
}

TEST_F(PresetEditor, OnlyButtonPressesOfKnownButtonsAreHandled) {
  auto e = thrown([&] { press("save-button", 2); });
  ASSERT_TRUE(e);
  EXPECT_EQ(e->errorCase(), Case::unsupportedEvent);
  e = thrown([&] { press("preset-name"); });
  ASSERT_TRUE(e);
  EXPECT_EQ(e->errorCase(), Case::unsupportedEvent);
  EXPECT_EQ(refreshes, 0);
  EXPECT_EQ(stored(), Settings::defaultPresets());
}

TEST_F(PresetEditor, TheHostSeesErrorsAsErrorObjectsAndNoCallback) {
  ph::SettingsPlugin& host = plugin;
  int calls = 0;
  const ph::SettingsCallback callback = [&](auto, auto) { ++calls; };
  ph::Error error;
  EXPECT_TRUE(host.didUpdateValue("Square", pluginId("preset-name"), &error, callback));
  EXPECT_FALSE(host.handleEvent(1, ph::SettingsButtonItem(pluginId("save-button"), "Save"), &error,
                                callback));
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(error.domain, "KadroPlugin.ZadaZevuPluginError");
  EXPECT_EQ(error.code, 2);
  EXPECT_EQ(error.localizedDescription, "Preset \"Square\" already exists.");

  EXPECT_TRUE(host.didUpdateValue("Squarish", pluginId("preset-name"), &error, callback));
  EXPECT_TRUE(host.handleEvent(1, ph::SettingsButtonItem(pluginId("save-button"), "Save"), &error,
                               callback));
  EXPECT_EQ(calls, 2);
}

// ---- actionFromSettings

class ActionFromSettings : public ::testing::Test {
 protected:
  const ActionTags editor = actionTags();
  const ActionTags recipe = actionTags("-publish");
  const Action base{"Base", "circle", 640, true, 9, "black", "#010203"};
};

TEST_F(ActionFromSettings, ReadsEveryTagIntoACopyOfTheBase) {
  const ph::SettingsMap map = {
      {recipe.destFolder.identifier, ph::Value::array({"file:///srv/out/", "file:///other/"})},
      {recipe.type.identifier, "hex"},
      {recipe.maxSize.identifier, "256"},
      {recipe.cropBorderEnabled.identifier, false},
      {recipe.cropBorderWidth.identifier, "-3"},
      {recipe.cropBorderColor.identifier, "white"},
      {recipe.cropBorderColorCustom.identifier, "#ABCDEF"},
  };
  Action expected("Base", "hex", 256, false, -3, "white", "#ABCDEF");
  expected.destFolder = "file:///srv/out/";
  for (bool hardFail : {false, true})
    EXPECT_EQ(ZadaZevuPlugin::actionFromSettings(base, recipe, map, hardFail), expected);
  // Absent entries keep the base; another set of tags matches nothing.
  EXPECT_EQ(ZadaZevuPlugin::actionFromSettings(base, editor, map, true), base);
  EXPECT_EQ(ZadaZevuPlugin::actionFromSettings(base, recipe, {}, true), base);
}

TEST_F(ActionFromSettings, UnreadableNumbersFailStrictlyOrFallBack) {
  const auto read = [&](const char* maxSize, const char* width, bool hardFail) {
    return ZadaZevuPlugin::actionFromSettings(
        base, editor,
        {{editor.maxSize.identifier, maxSize}, {editor.cropBorderWidth.identifier, width}},
        hardFail);
  };
  Action loose = read("12ab", "wide", false);
  EXPECT_EQ(loose.maxSize, 800);
  EXPECT_EQ(loose.borderWidth, 0);
  loose = read("-5", "5 ", false);
  EXPECT_EQ(loose.maxSize, -5);
  EXPECT_EQ(loose.borderWidth, 0);
  EXPECT_EQ(read("-5", "+5", true).maxSize, -5);

  auto e = thrown([&] { read("12ab", "5", true); });
  ASSERT_TRUE(e);
  EXPECT_EQ(e->errorCase(), Case::invalidSettingValue);
  EXPECT_EQ(e->setting(), "Max Size");
  EXPECT_EQ(e->errorDescription(), "Invalid value for Max Size.");
  e = thrown([&] { read("10", "", true); });
  ASSERT_TRUE(e);
  EXPECT_EQ(e->setting(), "Border Width");
}

TEST_F(ActionFromSettings, AColourFromTheListWinsOverTheTypedOneInAnyOrder) {
  // The editor's Border Color identifier sorts before its Custom Color one,
  // the recipe's after it: both orders occur in real maps.
  for (const ActionTags* tags : {&editor, &recipe}) {
    const ph::SettingsMap map = {{tags->cropBorderColor.identifier, "#ffcc00"},
                                 {tags->cropBorderColorCustom.identifier, "#bad"}};
    for (bool hardFail : {false, true}) {
      const Action a = ZadaZevuPlugin::actionFromSettings(base, *tags, map, hardFail);
      EXPECT_EQ(a.borderColor, "custom");
      EXPECT_EQ(a.borderColorCustom, "#ffcc00");
    }
  }

  // A fixed choice keeps the typed colour, which must then be readable.
  const ph::SettingsMap fixed = {{recipe.cropBorderColor.identifier, "black"},
                                 {recipe.cropBorderColorCustom.identifier, "#bad"}};
  const Action a = ZadaZevuPlugin::actionFromSettings(base, recipe, fixed, false);
  EXPECT_EQ(a.borderColor, "black");
  EXPECT_EQ(a.borderColorCustom, "#bad");
  auto e = thrown([&] { ZadaZevuPlugin::actionFromSettings(base, recipe, fixed, true); });
  ASSERT_TRUE(e);
  EXPECT_EQ(e->setting(), "Custom Color");
  const ph::SettingsMap typedOnly = {{recipe.cropBorderColorCustom.identifier, "ffcc00"}};
  e = thrown([&] { ZadaZevuPlugin::actionFromSettings(base, recipe, typedOnly, true); });
  ASSERT_TRUE(e);
  EXPECT_EQ(e->setting(), "Custom Color");
  EXPECT_EQ(ZadaZevuPlugin::actionFromSettings(
                base, recipe, {{recipe.cropBorderColorCustom.identifier, "#FfCc00"}}, true)
                .borderColorCustom,
            "#FfCc00");
}

TEST_F(ActionFromSettings, OddValuesAreSkippedAndEveryEntryIsLogged) {
  const ph::SettingsMap map = {
      {recipe.destFolder.identifier, ph::Value::array()},
      {recipe.type.identifier, 7},
      {recipe.maxSize.identifier, 1000},
      {recipe.cropBorderEnabled.identifier, "true"},
      {"KadroPlugin.unknown", "x"},
  };
  CapturedDiagnostics log;
  EXPECT_EQ(ZadaZevuPlugin::actionFromSettings(base, recipe, map, true), base);
  const std::string f = "actionFromSettings(action:tags:settings:hardFail:): ";
  EXPECT_THAT(
      log.lines(),
      ElementsAre(f + "KadroPlugin.KadroPlugin.crop-border-enabled-publish: true",
                  f + "KadroPlugin.KadroPlugin.dest-folder-publish: []",
                  f + "KadroPlugin.KadroPlugin.max-size-publish: 1000",
                  f + "KadroPlugin.KadroPlugin.type-publish: 7", f + "KadroPlugin.unknown: x",
                  f + "ignoring unknown setting KadroPlugin.unknown"));
}

}  // namespace
}  // namespace kadro
