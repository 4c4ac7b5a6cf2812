#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "Plugin/about_panel.h"
#include "Plugin/icons.h"
#include "tests/panel_test_support.h"

namespace kadro {
namespace {

using paneltest::find;
using paneltest::findList;
using paneltest::optionTitles;
using paneltest::optionValues;
using paneltest::outline;
using paneltest::pluginId;
using paneltest::samePixels;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr char kBorderText[] =
    "Enable this to add a border around the cropped the image. The image will be sized to fit "
    "inside the border, so the resulting image will still be the same size.";
constexpr char kColorError[] = "Invalid color, should be in #RRGGBB format.";
constexpr Size kIcon{128, 128};

class PresetPanel : public paneltest::PluginTest {
 protected:
  ph::SettingsElements build() { return plugin.presetSettingPanel()->elements(); }

  // Selects `preset` as the working copy without going through the store.
  void select(const Action& preset) {
    plugin.currentName = preset.name;
    plugin.currentPreset = preset;
  }
};

TEST_F(PresetPanel, FirstBuildSelectsTheSmallestNameAndShowsItsValues) {
  const ph::SettingsElementsGroups groups = plugin.settings();
  ASSERT_EQ(groups.size(), 2u);
  EXPECT_EQ(groups[0]->identifier(), "KadroPlugin.presetSettingsGroup");
  EXPECT_EQ(groups[0]->title(), "Kadro Presets");
  EXPECT_EQ(groups[1]->title(), "About Kadro");
  EXPECT_EQ(plugin.currentName, "Circle");
  EXPECT_EQ(plugin.currentPreset, Settings::defaultPresets().at("Circle"));

  const ph::SettingsElements& e = groups[0]->elements();
  EXPECT_THAT(outline(e), ElementsAre("Kadro Presets=Circle", "Name=Circle", "Crop Type=circle",
                                      "Max Size=600", std::string("=") + kBorderText,
                                      "Add Border=true", "Border Width=15", "Border Color=white",
                                      "Save=null", "Save New Preset=null", "Delete=null"));
  EXPECT_EQ(e[0]->identifier(), "KadroPlugin.preset-list");
  EXPECT_EQ(e[1]->identifier(), "KadroPlugin.preset-name");
  EXPECT_EQ(e[2]->identifier(), "KadroPlugin.type");
  EXPECT_EQ(e[3]->identifier(), "KadroPlugin.max-size");
  EXPECT_EQ(e[5]->identifier(), "KadroPlugin.crop-border-enabled");
  EXPECT_EQ(e[6]->identifier(), "KadroPlugin.crop-border-width");
  EXPECT_EQ(e[7]->identifier(), "KadroPlugin.crop-border-color");
  const std::vector<ph::SettingsElementKind> kinds = {
      ph::SettingsElementKind::list,   ph::SettingsElementKind::text,
      ph::SettingsElementKind::list,   ph::SettingsElementKind::text,
      ph::SettingsElementKind::label,  ph::SettingsElementKind::boolean,
      ph::SettingsElementKind::text,   ph::SettingsElementKind::list,
      ph::SettingsElementKind::button, ph::SettingsElementKind::button,
      ph::SettingsElementKind::button};
  for (std::size_t i = 0; i < kinds.size(); ++i) EXPECT_EQ(e[i]->kind(), kinds[i]) << i;
  EXPECT_EQ(e[8]->identifier(), "KadroPlugin.save-button");
  EXPECT_EQ(e[8]->context(), "save");
  EXPECT_EQ(e[9]->identifier(), "KadroPlugin.save-new-button");
  EXPECT_EQ(e[9]->context(), "New");
  EXPECT_EQ(e[10]->identifier(), "KadroPlugin.delete-button");
  EXPECT_EQ(e[10]->context(), "delete");

  const auto presets = findList(e, "KadroPlugin.preset-list");
  EXPECT_THAT(optionTitles(*presets), ElementsAre("Circle", "Hexagon", "Just Border", "Square"));
  EXPECT_THAT(optionValues(*presets), ElementsAre("Circle", "Hexagon", "Just Border", "Square"));
  // The list shows the stored presets' own icons.
  for (const auto& o : presets->options())
    EXPECT_TRUE(samePixels(o.image(), Settings::defaultPresets().at(o.value()).preview(kIcon)))
        << o.value();

  // The other presets' custom colours follow the three fixed choices.
  const auto colors = findList(e, "KadroPlugin.crop-border-color");
  EXPECT_THAT(optionTitles(*colors), ElementsAre("white", "black", "custom (#333333)",
                                                 "custom (#991111)", "custom (#ffcc00)"));
  EXPECT_THAT(optionValues(*colors), ElementsAre("white", "black", "custom", "#991111", "#ffcc00"));
  EXPECT_TRUE(samePixels(colors->options()[0].image(), createSwatch(Color::white(), kIcon)));
  EXPECT_TRUE(samePixels(colors->options()[1].image(), createSwatch(Color::black(), kIcon)));
  EXPECT_TRUE(samePixels(colors->options()[2].image(),
                         createSwatch(*Color::hexStringToRGB("#333333"), kIcon)));
  EXPECT_TRUE(samePixels(colors->options()[4].image(),
                         createSwatch(*Color::hexStringToRGB("#ffcc00"), kIcon)));
}

TEST_F(PresetPanel, CropTypeListOffersFourGreyShapesAndKeepsAnyStoredType) {
  const auto list = findList(build(), "KadroPlugin.type");
  ASSERT_TRUE(list);
  EXPECT_THAT(optionTitles(*list), ElementsAre("square", "circle", "hex", "none"));
  EXPECT_THAT(optionValues(*list), ElementsAre("square", "circle", "hex", "none"));
  const Color grey{0.8, 0.8, 0.8, 1};
  EXPECT_TRUE(samePixels(list->options()[0].image(), createSwatch(grey, kIcon)));
  EXPECT_TRUE(samePixels(list->options()[1].image(), createCircleIcon(grey, kIcon)));
  EXPECT_TRUE(samePixels(list->options()[2].image(), createPolygonIcon(6, 0, grey, kIcon)));
  EXPECT_TRUE(samePixels(list->options()[3].image(), ph::Image::empty(128, 128)));

  // "octo" can only come from stored data: it is shown, though no option matches.
  Action octo("Octo", "octo", 300);
  select(octo);
  EXPECT_EQ(findList(build(), "KadroPlugin.type")->value(), "octo");
}

TEST_F(PresetPanel, HexagonsOwnCustomColourComesFirstAndIsEditable) {
  select(Settings::defaultPresets().at("Hexagon"));
  const ph::SettingsElements e = build();
  const auto colors = findList(e, "KadroPlugin.crop-border-color");
  EXPECT_THAT(optionTitles(*colors), ElementsAre("white", "black", "custom (#ffcc00)",
                                                 "custom (#333333)", "custom (#991111)"));
  EXPECT_EQ(colors->value(), "custom");
  EXPECT_THAT(outline(e),
              ElementsAre("Kadro Presets=Hexagon", "Name=Hexagon", "Crop Type=hex", "Max Size=144",
                          std::string("=") + kBorderText, "Add Border=true", "Border Width=2",
                          "Border Color=custom", "Custom Color=#ffcc00", "Save=null",
                          "Save New Preset=null", "Delete=null"));
  EXPECT_EQ(e[8]->identifier(), "KadroPlugin.crop-border-color-custom");
}

TEST_F(PresetPanel, FieldsComeAndGoWithTypeAndBorder) {
  select(Settings::defaultPresets().at("Just Border"));
  EXPECT_FALSE(find(build(), "KadroPlugin.max-size")) << "no Max Size for \"none\"";

  Action plain("Plain", "square", 250);  // border off
  select(plain);
  EXPECT_THAT(outline(build()),
              ElementsAre("Kadro Presets=Plain", "Name=Plain", "Crop Type=square", "Max Size=250",
                          std::string("=") + kBorderText, "Add Border=false", "Save=null",
                          "Save New Preset=null", "Delete=null"));

  // Negative numbers are written with their sign.
  plain.maxSize = -5;
  select(plain);
  EXPECT_EQ(find(build(), "KadroPlugin.max-size")->value(), "-5");
}

TEST_F(PresetPanel, UnreadableCustomColourGetsTheErrorSwatchAndLabelOnlyWhenInUse) {
  // Not in use: error swatch and plain "custom" title, no field, no label.
  Action unused("Odd", "square", 400, true, 3, "white", "#abcde");
  select(unused);
  ph::SettingsElements e = build();
  auto colors = findList(e, "KadroPlugin.crop-border-color");
  EXPECT_EQ(colors->options()[2].title(), "custom");
  EXPECT_EQ(colors->options()[2].value(), "custom");
  EXPECT_TRUE(samePixels(colors->options()[2].image(), createErrorSwatch(kIcon)));
  EXPECT_FALSE(find(e, "KadroPlugin.crop-border-color-custom"));
  for (const auto& element : e) EXPECT_NE(element->value(), kColorError);

  // In use: the field shows the text as stored and the error label follows.
  Action used("Odd", "square", 400, true, 3, "custom", "ffcc00");
  select(used);
  e = build();
  const auto field = std::find_if(e.begin(), e.end(), [](const auto& x) {
    return x->identifier() == "KadroPlugin.crop-border-color-custom";
  });
  ASSERT_NE(field, e.end());
  EXPECT_EQ((*field)->value(), "ffcc00");
  ASSERT_NE(field + 1, e.end());
  EXPECT_EQ(field[1]->kind(), ph::SettingsElementKind::label);
  EXPECT_EQ(field[1]->title(), "");
  EXPECT_EQ(field[1]->value(), kColorError);
  EXPECT_EQ(field[2]->identifier(), "KadroPlugin.save-button");
}

TEST_F(PresetPanel, ColourChoicesLeaveOutTheEditedColourAndRepeatNone) {
  PresetMap presets = {
      {"A", Action("A", "square", 400, true, 2, "custom", "#123456")},
      {"B", Action("B", "square", 400, true, 2, "white", "#991111")},
      {"C", Action("C", "circle", 400, true, 2, "custom", "#123456")},
  };
  Settings::shared().setPresets(presets);
  const auto colors = findList(build(), "KadroPlugin.crop-border-color");
  EXPECT_THAT(optionTitles(*colors),
              ElementsAre("white", "black", "custom (#123456)", "custom (#991111)"));
}

TEST_F(PresetPanel, PresetsSortByCodePointAndTheSelectionStays) {
  PresetMap presets = Settings::defaultPresets();
  presets.emplace("apple", Action("apple", "square", 100));
  Settings::shared().setPresets(presets);
  const auto list = findList(build(), "KadroPlugin.preset-list");
  EXPECT_THAT(optionTitles(*list),
              ElementsAre("Circle", "Hexagon", "Just Border", "Square", "apple"));

  // A later build keeps the editor's choice, also when it is not the first.
  plugin.didUpdateValue("Square", "KadroPlugin.preset-list", nullptr);
  const ph::SettingsElements e = build();
  EXPECT_EQ(findList(e, "KadroPlugin.preset-list")->value(), "Square");
  EXPECT_EQ(find(e, "KadroPlugin.preset-name")->value(), "Square");
  EXPECT_EQ(plugin.currentName, "Square");
}

TEST_F(PresetPanel, TheEditorShowsTheWorkingCopyAndTheListTheStoredIcons) {
  build();
  plugin.didUpdateValue("hex", "KadroPlugin.type", nullptr);
  plugin.didUpdateValue("Renamed", "KadroPlugin.preset-name", nullptr);
  const ph::SettingsElements e = build();
  EXPECT_EQ(findList(e, "KadroPlugin.preset-list")->value(), "Circle");
  EXPECT_EQ(find(e, "KadroPlugin.preset-name")->value(), "Renamed");
  EXPECT_EQ(find(e, "KadroPlugin.type")->value(), "hex");
  EXPECT_TRUE(samePixels(findList(e, "KadroPlugin.preset-list")->options()[0].image(),
                         Settings::defaultPresets().at("Circle").preview(kIcon)));
}

TEST_F(PresetPanel, EveryBuildGivesLabelsNewIdentifiersAndKeepsTheNamedOnes) {
  const auto labelIds = [](const ph::SettingsElements& e) {
    std::vector<std::string> ids;
    for (const auto& x : e)
      if (x->kind() == ph::SettingsElementKind::label) ids.push_back(x->identifier());
    return ids;
  };
  const auto namedIds = [](const ph::SettingsElements& e) {
    std::vector<std::string> ids;
    for (const auto& x : e)
      if (x->kind() != ph::SettingsElementKind::label) ids.push_back(x->identifier());
    return ids;
  };
  const ph::SettingsElements first = build();
  const ph::SettingsElements second = build();
  EXPECT_EQ(namedIds(first), namedIds(second));
  ASSERT_EQ(labelIds(first).size(), 1u);
  ASSERT_EQ(labelIds(second).size(), 1u);
  const std::string a = labelIds(first)[0];
  const std::string b = labelIds(second)[0];
  EXPECT_EQ(a.rfind("KadroPlugin.anon-", 0), 0u) << a;
  EXPECT_EQ(std::stoll(b.substr(17)), std::stoll(a.substr(17)) + 1);
}

TEST(LabelItem, NamedAndAnonymous) {
  const auto named = ZadaZevuPlugin::labelItem("hint", "Title", "Text");
  EXPECT_EQ(named->identifier(), "KadroPlugin.hint");
  EXPECT_EQ(named->title(), "Title");
  EXPECT_EQ(named->value(), "Text");

  const std::int64_t before = ID::anonCounter;
  const auto anon = ZadaZevuPlugin::labelItem("Text first", "then title");
  EXPECT_EQ(anon->identifier(), "KadroPlugin.anon-" + std::to_string(before + 1));
  EXPECT_EQ(anon->title(), "then title");
  EXPECT_EQ(anon->value(), "Text first");
}

TEST(AboutPanel, FourLabelsWithAVersionThreeWithout) {
  const auto withVersion = aboutPanel("1.2.0");
  EXPECT_EQ(withVersion->identifier(), "KadroPlugin.aboutSettingsGroup");
  EXPECT_EQ(withVersion->title(), "About Kadro");
  const ph::SettingsElements& e = withVersion->elements();
  ASSERT_EQ(e.size(), 4u);
  for (const auto& label : e) EXPECT_EQ(label->kind(), ph::SettingsElementKind::label);
  EXPECT_EQ(e[0]->title(), "Summary");
  EXPECT_EQ(e[1]->title(), "");
  EXPECT_EQ(e[2]->title(), "");
  EXPECT_EQ(e[3]->title(), "Installed Version");
  EXPECT_EQ(e[3]->value(), "1.2.0");
  EXPECT_EQ(e[1]->value(),
            "Customize the exisiting presets and add new ones in Kadro Presets tab. Each preset "
            "can include a crop shape and/or a border that will be applied after cropping. Note, "
            "the shaped crops work brest with PNG exports.");
  const std::string credit = e[2]->value();
  EXPECT_FALSE(credit.empty());
  EXPECT_EQ(credit.find('\n'), std::string::npos) << "one line";

  // Two paragraphs, one empty line between them, none around.
  const std::string summary = e[0]->value();
  const auto gap = summary.find("\n\n");
  ASSERT_NE(gap, std::string::npos);
  EXPECT_EQ(summary.find('\n', gap + 2), std::string::npos);
  EXPECT_NE(summary.front(), '\n');
  EXPECT_NE(summary.back(), '\n');
  EXPECT_TRUE(summary.substr(0, gap).ends_with(
      "in the \"Open With\" menu in a Recipe settings. Make sure JPEG or PNG is select in the "
      "recipe."));
  EXPECT_TRUE(summary.substr(0, gap).starts_with(
      "When selected, plugin will automatically apply crops to exported JPEG and PNG images"));
  EXPECT_EQ(summary.substr(gap + 2), "After cropping images will be resized to the Max Size.");

  const auto without = aboutPanel(std::nullopt);
  ASSERT_EQ(without->elements().size(), 3u);
  EXPECT_THAT(outline(without->elements()), ::testing::Not(::testing::Contains(HasSubstr("1.2"))));

  // Again: new identifiers, same texts.
  const auto again = aboutPanel("1.2.0");
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_NE(again->elements()[i]->identifier(), e[i]->identifier());
    EXPECT_EQ(again->elements()[i]->value(), e[i]->value());
  }
}

TEST(AboutPanel, ThePluginsOwnPanelFollowsItsBundle) {
  // The test program has no bundle, so there is no version to show.
  ZadaZevuPlugin plugin;
  EXPECT_EQ(plugin.aboutSettingsPanel()->elements().size(),
            currentBundle() && currentBundle()->version ? 4u : 3u);
}

}  // namespace
}  // namespace kadro
